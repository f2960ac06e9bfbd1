// The installer options record: the stub's parser on every option and every malformed shape (with
// the tool's explanation agreeing on each), the lookup in the stub's own resources, and a whole
// run with a record, with a malformed one and without one.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <tuple>

#include "launcher/Failure.h"
#include "launcher/InstallerOptions.h"
#include "launcher/RunSequence.h"
#include "launcher_test_support.h"
#include "sfxtool/OptionsRecord.h"
#include "support/ZipBuilder.h"

namespace {

using namespace launchertest;
using platform::host::Environment;
using platform::host::Faults;
using platform::host::ProcessOutcome;
using platform::host::ProcessStart;
using stub::InstallerOptions;
using stub::OptionsRecord;
using stub::WaitMode;

// A record written field by field, independently of the tool's writer. Lengths and the count
// follow the text unless set.
struct Record {
    uint16_t version = 1, wait = 1, flags = 0, reserved = 0;
    std::u16string message;
    std::vector<std::u16string> words;
    std::optional<uint16_t> messageLength, count;
    std::vector<std::optional<uint16_t>> wordLengths;  // per word, unset: its size
    std::string tail;                                  // bytes after the last field

    std::string Bytes() const {
        std::string b;
        auto put = [&b](uint32_t v) { b += static_cast<char>(v & 0xFF), b += static_cast<char>(v >> 8 & 0xFF); };
        put(version), put(wait), put(flags);
        put(messageLength.value_or(static_cast<uint16_t>(message.size())));
        put(count.value_or(static_cast<uint16_t>(words.size())));
        put(reserved);
        for (char16_t c : message) put(c);
        for (size_t i = 0; i < words.size(); ++i) {
            const std::optional<uint16_t> length = i < wordLengths.size() ? wordLengths[i] : std::nullopt;
            put(length.value_or(static_cast<uint16_t>(words[i].size())));
            for (char16_t c : words[i]) put(c);
        }
        return b + tail;
    }
};

Record WithWords(std::vector<std::u16string> words) {
    Record r;
    r.flags = stub::kOptionsSwitchList;
    r.words = std::move(words);
    return r;
}

// The options as a parse left them, with the switch buffers' NUL checked.
struct Seen {
    WaitMode wait;
    bool progress, listGiven;
    std::u16string message;
    std::vector<std::u16string> words;
    bool operator==(const Seen& o) const {
        return std::tie(wait, progress, listGiven, message, words) == std::tie(o.wait, o.progress, o.listGiven, o.message, o.words);
    }
};

void PrintTo(const Seen& s, std::ostream* out) {
    *out << "wait " << static_cast<int>(s.wait) << ", progress " << s.progress << ", list " << s.listGiven << ", message \""
         << N(s.message) << "\", words";
    for (const auto& w : s.words) *out << " " << N(w);
}

Seen Look(const InstallerOptions& o) {
    Seen s{o.wait, o.progress, o.switchListGiven, std::u16string(o.failureMessage), {}};
    EXPECT_EQ(s.message.size(), o.failureMessageLength) << "NUL right after the message";
    for (uint32_t i = 0; i < o.switchCount; ++i) {
        s.words.emplace_back(o.switches[i]);
        EXPECT_EQ(s.words.back().size(), o.switchLengths[i]) << "NUL right after switch " << i;
    }
    return s;
}

const Seen kDefaults{WaitMode::Staging, false, false, u"", {}};

bool Parse(const std::string& bytes, InstallerOptions& out) {
    // Garbage first: a parse leaves nothing of what was there before.
    std::memset(&out, 0xA5, sizeof out);
    // At an odd address (the stub never assumes the resource data aligned), at the very end of
    // its block (a sanitizer build catches a read past it).
    std::vector<uint8_t> block(bytes.size() + 1);
    std::memcpy(block.data() + 1, bytes.data(), bytes.size());
    return stub::ParseInstallerOptions(block.data() + 1, static_cast<uint32_t>(bytes.size()), out);
}

TEST(InstallerOptions, ParsesEveryOption) {
    std::u16string longest = u"Setup failed – Grüße 🚀 ";  // a surrogate pair among them
    longest.resize(1024, u'x');
    std::vector<std::u16string> many;
    for (int i = 0; i < 32; ++i) many.push_back(std::u16string(31, u'a' + i % 26) + u"-");
    struct Case { const char* what; Record record; Seen want; };
    Record installer, tree, progress, message, longMessage, words, full;
    installer.wait = 0;
    tree.wait = 2;
    progress.flags = stub::kOptionsProgress;
    message.message = u"Das Paket ist beschädigt.\r\nBitte neu laden.";
    longMessage.message = longest;
    words = WithWords({u"S", u"quiet", u"no-ui", u"VERYSILENT"});
    full = WithWords(many);
    full.wait = 2;
    full.flags |= stub::kOptionsProgress;
    full.message = longest;
    const Case cases[] = {
        {"header only: the defaults", Record{}, kDefaults},
        {"wait installer", installer, {WaitMode::Installer, false, false, u"", {}}},
        {"wait tree", tree, {WaitMode::Tree, false, false, u"", {}}},
        {"progress", progress, {WaitMode::Staging, true, false, u"", {}}},
        {"message", message, {WaitMode::Staging, false, false, message.message, {}}},
        {"1024-unit message", longMessage, {WaitMode::Staging, false, false, longest, {}}},
        {"switches", words, {WaitMode::Staging, false, true, u"", words.words}},
        {"everything at its limit", full, {WaitMode::Tree, true, true, longest, many}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string bytes = c.record.Bytes();
        InstallerOptions out;
        ASSERT_TRUE(Parse(bytes, out));
        EXPECT_EQ(Look(out), c.want);
        EXPECT_EQ(sfxtool::OptionsRecordFault(bytes), "") << "the tool agrees";
    }
}

TEST(InstallerOptions, RefusesEveryMalformedShape) {
    const std::string good = WithWords({u"S"}).Bytes();
    struct Case { const char* what; std::string bytes; };
    std::vector<Case> cases = {
        {"empty", ""},
        {"short header", good.substr(0, 11)},
        {"one byte of the message", [] { Record r; r.message = u"a"; return r.Bytes().substr(0, 13); }()},
        {"trailing byte", good + "\x01"},
        {"trailing zero unit", good + std::string(2, '\0')},
    };
    auto add = [&cases](const char* what, Record r) { cases.push_back({what, r.Bytes()}); };
    Record r;
    r.version = 0, add("version 0", r);
    r.version = 2, add("version 2", r);
    r = {}, r.wait = 3, add("wait 3", r);
    r.wait = 0xFFFF, add("wait 0xFFFF", r);
    r = {}, r.flags = 4, add("flag bit 2", r);
    r.flags = 0x8001, add("flag bit 15", r);
    r = {}, r.reserved = 1, add("reserved", r);
    r = {}, r.message = std::u16string(1025, u'm'), add("1025-unit message", r);
    r = {}, r.message = u"abcd", r.messageLength = 5, add("message past the end", r);
    r = {}, r.message = std::u16string(u"ab\0c", 4), add("NUL in the message", r);
    r = WithWords(std::vector<std::u16string>(33, u"S")), add("33 switches", r);
    r = WithWords({u"S"}), r.flags = 0, add("switches without their flag", r);
    r = Record{}, r.flags = stub::kOptionsSwitchList, add("flag without switches", r);
    r = WithWords({u"S"}), r.count = 2, add("count past the end", r);
    r = WithWords({u"S"}), r.wordLengths = {0}, add("0-unit switch", r);
    r = WithWords({std::u16string(33, u'w')}), add("33-unit switch", r);
    r = WithWords({u"ab"}), r.wordLengths = {3}, add("switch past the end", r);
    const std::u16string refused[] = {u"a b", u"a\tb", u"a/b", u"/S", u"a\"b", std::u16string(u"a\0b", 3), u"-S", u"--"};
    for (const std::u16string& word : refused) {
        r = WithWords({u"ok", word});
        cases.push_back({"refused word", r.Bytes()});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        InstallerOptions out;
        EXPECT_FALSE(Parse(c.bytes, out));
        EXPECT_EQ(Look(out), kDefaults) << "nothing of a malformed record is kept";
        EXPECT_NE(sfxtool::OptionsRecordFault(c.bytes), "") << "the tool agrees";
    }
}

// The lookup in the stub's own image, over the host backend's resources.
class InstallerOptionsLookup : public ::testing::Test {
protected:
    OptionsRecord Read(const Faults& faults = {}) {
        std::memset(&options, 0, sizeof options);  // WaitMode::Installer: defaults must be set
        const RunResult result = platform::host::Run(sandbox, env, [this] { record = stub::ReadInstallerOptions(options); }, faults);
        EXPECT_FALSE(result.exited);
        EXPECT_EQ(result.invalidHandleUses, 0u);
        return record;
    }
    Sandbox sandbox;
    Environment env;
    InstallerOptions options;
    OptionsRecord record = OptionsRecord::Absent;
};

TEST_F(InstallerOptionsLookup, FindsTheRecordAmongTheImagesResources) {
    env.resources[{24, 1}] = "<assembly/>";
    env.resources[{10, 2}] = WithWords({u"S"}).Bytes();  // not the record's id
    EXPECT_EQ(Read(), OptionsRecord::Absent);
    EXPECT_EQ(Look(options), kDefaults);

    Record valid;
    valid.wait = 2;
    valid.message = u"kaputt";
    env.resources[{10, 1}] = valid.Bytes();
    EXPECT_EQ(Read(), OptionsRecord::Valid);
    EXPECT_EQ(Look(options), (Seen{WaitMode::Tree, false, false, u"kaputt", {}}));

    env.resources[{10, 1}] = valid.Bytes() + "!";
    EXPECT_EQ(Read(), OptionsRecord::Malformed);
    EXPECT_EQ(Look(options), kDefaults);
}

TEST_F(InstallerOptionsLookup, ACallThatFailsIsNeverTakenForNoRecord) {
    Record valid;
    valid.message = u"kaputt";
    env.resources[{10, 1}] = valid.Bytes();
    // Not found, whatever the reason Windows gives: no record. Any other failure: the record
    // exists or cannot be told apart from one that does, and is not read.
    struct Case { Call call; platform::u32 error; OptionsRecord want; };
    const Case cases[] = {
        {Call::FindResourceW, platform::ERROR_RESOURCE_DATA_NOT_FOUND, OptionsRecord::Absent},
        {Call::FindResourceW, platform::ERROR_RESOURCE_LANG_NOT_FOUND, OptionsRecord::Absent},
        {Call::FindResourceW, platform::ERROR_ACCESS_DENIED, OptionsRecord::Malformed},
        {Call::FindResourceW, platform::ERROR_RESOURCE_LANG_NOT_FOUND + 1, OptionsRecord::Malformed},
        {Call::LoadResource, platform::ERROR_NOT_ENOUGH_MEMORY, OptionsRecord::Malformed},
        {Call::LockResource, platform::ERROR_ACCESS_DENIED, OptionsRecord::Malformed},
        {Call::SizeofResource, platform::ERROR_ACCESS_DENIED, OptionsRecord::Malformed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(platform::host::CallName(c.call)) + " " + std::to_string(c.error));
        Faults faults;
        faults.failEvery = {c.call};
        faults.lastError = c.error;
        EXPECT_EQ(Read(faults), c.want);
        EXPECT_EQ(Look(options), kDefaults);
    }
}

// Whole runs: the record is read before anything else happens.
class InstallerOptionsRun : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::ZipEntry installer;
        installer.name = "Orvak ZEB Installer.exe";
        installer.data = "MZ installer";
        sandbox.WriteFile(env.modulePath, testsupport::FakeStubImage() + testsupport::BuildZip({installer}));
        env.defaultProgram = [](const ProcessStart&) { return ProcessOutcome{42, false}; };
    }
    RunResult RunStub() {
        return platform::host::Run(sandbox, env, [this] { stub::RunSequence(*state); });
    }
    Sandbox sandbox;
    Environment env;
    std::unique_ptr<stub::RunState> state = NewRunState();
};

TEST_F(InstallerOptionsRun, AMalformedRecordEndsTheRunBeforeAnythingIsMade) {
    Record record = WithWords({u"S"});
    record.reserved = 7;
    env.resources[{10, 1}] = record.Bytes();
    const RunResult result = RunStub();
    ASSERT_TRUE(result.exited);
    EXPECT_EQ(result.exitCode, 5u);
    ASSERT_EQ(result.notes.size(), 1u);
    EXPECT_EQ(result.notes[0].reason, static_cast<platform::u32>(stub::Reason::OptionsMalformed));
    EXPECT_TRUE(result.starts.empty());
    EXPECT_EQ(result.CountOf(Call::GetTempPathW), 0u);
    EXPECT_EQ(result.CountOf(Call::CreateDirectoryW), 0u);
    EXPECT_EQ(result.CountOf(Call::CreateFileW), 0u);
    EXPECT_EQ(result.CountOf(Call::FindFirstFileW), 0u) << "not even the relaunch test";
    EXPECT_TRUE(sandbox.List(env.tempFolder).empty());
}

TEST_F(InstallerOptionsRun, AValidRecordIsKeptInTheRunStateAndTheRunGoesOn) {
    Record record = WithWords({u"quiet", u"S"});
    record.wait = 0;
    record.flags |= stub::kOptionsProgress;
    record.message = u"Die Installation ist fehlgeschlagen.";
    env.resources[{10, 1}] = record.Bytes();
    const RunResult withRecord = RunStub();
    EXPECT_EQ(withRecord.exitCode, 42u);
    EXPECT_TRUE(withRecord.notes.empty());
    EXPECT_EQ(Look(state->options), (Seen{WaitMode::Installer, true, true, record.message, {u"quiet", u"S"}}));

    // Without a record the run is the one it was before records existed, call for call, but the
    // single lookup; the options hold the defaults.
    env.resources.clear();
    state = NewRunState();
    const RunResult without = RunStub();
    EXPECT_EQ(without.exitCode, 42u);
    EXPECT_EQ(Look(state->options), kDefaults);
    std::vector<Call> callsWith, callsWithout;
    for (const auto& c : withRecord.calls)
        if (c.call != Call::FindResourceW && c.call != Call::LoadResource && c.call != Call::LockResource &&
            c.call != Call::SizeofResource)
            callsWith.push_back(c.call);
    for (const auto& c : without.calls)
        if (c.call != Call::FindResourceW) callsWithout.push_back(c.call);
    EXPECT_EQ(callsWith, callsWithout);
}

}  // namespace
