// The installer options record: the stub's parser on every option and every malformed shape (the
// tool's explanation agreeing on each), the lookup in the stub's own resources, and whole runs.
#include <gtest/gtest.h>

#include <cstring>

#include "launcher/OptionsReader.h"
#include "run/Failure.h"
#include "RunSequence.h"
#include "launcher_test_support.h"
#include "sfxtool/OptionsRecord.h"
#include "support/ZipBuilder.h"

namespace {

using namespace launchertest;
using platform::host::Faults;
using stub::OptionsRecord;

// Little-endian u16 values, and UTF-16 text: records are written here from the format.
std::string U16(std::initializer_list<uint32_t> values) {
    std::string b;
    for (uint32_t v : values) b += static_cast<char>(v & 0xFF), b += static_cast<char>(v >> 8 & 0xFF);
    return b;
}
std::string Text(const std::u16string& text) {
    std::string b;
    for (char16_t c : text) b += U16({c});
    return b;
}

// The options in one line; every buffer's length checked against its NUL.
std::string Show(const stub::InstallerOptions& o) {
    std::string s = "wait " + std::to_string(static_cast<int>(o.wait)) + (o.progress ? " progress" : "") +
                    (o.switchListGiven ? " list" : "") + " [" + N(o.failureMessage) + "]";
    EXPECT_EQ(std::char_traits<char16_t>::length(o.failureMessage), o.failureMessageLength);
    for (uint32_t i = 0; i < o.switchCount; ++i) {
        s += " " + N(o.switches[i]);
        EXPECT_EQ(std::char_traits<char16_t>::length(o.switches[i]), o.switchLengths[i]);
    }
    return s;
}
const std::string kDefaults = "wait 1 []";

// Parses from an odd address at the very end of its block (the stub never assumes the data
// aligned; a sanitizer build catches a read past it), over options full of garbage.
std::string Parse(const std::string& bytes, bool& valid) {
    auto options = std::make_unique<stub::InstallerOptions>();
    std::memset(options.get(), 0xA5, sizeof *options);
    std::vector<uint8_t> block(bytes.size() + 1);
    std::memcpy(block.data() + 1, bytes.data(), bytes.size());
    valid = stub::ParseInstallerOptions(block.data() + 1, static_cast<uint32_t>(bytes.size()), *options);
    return Show(*options);
}

TEST(InstallerOptions, ParsesEveryOption) {
    std::u16string longest = u"Fehler – \"Grüße\" 🚀\r\n";  // a surrogate pair, a line break
    longest.resize(1024, u'x');
    std::string manyWords;
    std::string manyShown;
    for (int i = 0; i < 32; ++i) {
        const std::u16string word = std::u16string(31, u'a' + i % 26) + u"-";
        manyWords += U16({32}) + Text(word);
        manyShown += " " + N(word);
    }
    const struct { std::string bytes, want; } cases[] = {
        {U16({1, 1, 0, 0, 0, 0}), kDefaults},
        {U16({1, 0, 0, 0, 0, 0}), "wait 0 []"},
        {U16({1, 2, 1, 0, 0, 0}), "wait 2 progress []"},
        {U16({1, 1, 0, 6, 0, 0}) + Text(u"kaputt"), "wait 1 [kaputt]"},
        {U16({1, 1, 2, 0, 3, 0, 1}) + Text(u"S") + U16({5}) + Text(u"quiet") + U16({5}) + Text(u"no-ui"),
         "wait 1 list [] S quiet no-ui"},
        {U16({1, 2, 3, 1024, 32, 0}) + Text(longest) + manyWords, "wait 2 progress list [" + N(longest) + "]" + manyShown},
    };
    for (const auto& c : cases) {
        bool valid = false;
        EXPECT_EQ(Parse(c.bytes, valid), c.want);
        EXPECT_TRUE(valid) << c.want;
        EXPECT_EQ(sfxtool::OptionsRecordFault(c.bytes), "") << "the tool agrees: " << c.want;
    }
}

TEST(InstallerOptions, RefusesEveryMalformedShape) {
    const std::string head = U16({1, 1, 2, 0, 1, 0});  // one switch follows
    std::vector<std::string> cases = {
        "", U16({1, 1, 0, 0, 0}),                                            // shorter than the header
        U16({0, 1, 0, 0, 0, 0}), U16({2, 1, 0, 0, 0, 0}),                    // version
        U16({1, 3, 0, 0, 0, 0}), U16({1, 0xFFFF, 0, 0, 0, 0}),               // wait
        U16({1, 1, 8, 0, 0, 0}), U16({1, 1, 0x8001, 0, 0, 0}),               // unknown flags
        U16({1, 1, 0, 0, 0, 1}),                                             // reserved
        U16({1, 1, 0, 1025, 0, 0}) + Text(std::u16string(1025, u'm')),       // message over 1024
        U16({1, 1, 0, 5, 0, 0}) + Text(u"abcd"),                             // message past the end
        U16({1, 1, 0, 1, 0, 0}) + "a",                                       // half a unit
        U16({1, 1, 0, 3, 0, 0}) + Text(std::u16string(u"a\0b", 3)),          // NUL in the message
        U16({1, 1, 0, 0, 1, 0, 1}) + Text(u"S"),                             // switches without the flag
        U16({1, 1, 2, 0, 0, 0}),                                             // the flag without switches
        U16({1, 1, 2, 0, 2, 0, 1}) + Text(u"S"),                             // count past the end
        U16({1, 1, 2, 0, 1, 0}),                                             // no length
        head + U16({0}),  head + U16({33}) + Text(std::u16string(33, u'w')), // word lengths
        head + U16({3}) + Text(u"ab"),                                       // word past the end
        head + U16({1}) + Text(u"S") + "\x01",  head + U16({1}) + Text(u"S") + U16({0}),  // trailing bytes
    };
    std::string many = U16({1, 1, 2, 0, 33, 0});
    for (int i = 0; i < 33; ++i) many += U16({1}) + Text(u"S");
    cases.push_back(many);
    for (const std::u16string& word : {u"a b", u"a\tb", u"a/b", u"/S", u"a\"b", u"-S", u"--"})
        cases.push_back(head + U16({static_cast<uint32_t>(word.size())}) + Text(word));
    cases.push_back(head + U16({3}) + Text(std::u16string(u"a\0b", 3)));
    for (size_t i = 0; i < cases.size(); ++i) {
        bool valid = true;
        EXPECT_EQ(Parse(cases[i], valid), kDefaults) << "case " << i << ": nothing of a malformed record is kept";
        EXPECT_FALSE(valid) << "case " << i;
        EXPECT_NE(sfxtool::OptionsRecordFault(cases[i]), "") << "case " << i << ": the tool agrees";
    }
}

// The lookup in the stub's image: not found (whatever Windows says why) is no record; any other
// failure is never taken for one, and nothing of the record is kept.
TEST(InstallerOptions, LookupTellsNoRecordFromOneThatCannotBeRead) {
    Sandbox sandbox;
    platform::host::Environment env;
    env.resources[{24, 1}] = "<assembly/>";
    env.resources[{10, 2}] = U16({1, 0, 0, 0, 0, 0});  // not the record's name
    const std::string valid = U16({1, 2, 0, 6, 0, 0}) + Text(u"kaputt");
    const struct { std::string record; Call fails; uint32_t error; OptionsRecord want; std::string shown; } cases[] = {
        {"", Call::Count_, 0, OptionsRecord::Absent, kDefaults},
        {valid, Call::Count_, 0, OptionsRecord::Valid, "wait 2 [kaputt]"},
        {valid + "!", Call::Count_, 0, OptionsRecord::Malformed, kDefaults},
        {valid, Call::FindResourceW, platform::ERROR_RESOURCE_DATA_NOT_FOUND, OptionsRecord::Absent, kDefaults},
        {valid, Call::FindResourceW, platform::ERROR_RESOURCE_LANG_NOT_FOUND, OptionsRecord::Absent, kDefaults},
        {valid, Call::FindResourceW, platform::ERROR_ACCESS_DENIED, OptionsRecord::Malformed, kDefaults},
        {valid, Call::FindResourceW, platform::ERROR_RESOURCE_LANG_NOT_FOUND + 1, OptionsRecord::Malformed, kDefaults},
        {valid, Call::LoadResource, platform::ERROR_NOT_ENOUGH_MEMORY, OptionsRecord::Malformed, kDefaults},
        {valid, Call::LockResource, platform::ERROR_ACCESS_DENIED, OptionsRecord::Malformed, kDefaults},
        {valid, Call::SizeofResource, platform::ERROR_ACCESS_DENIED, OptionsRecord::Malformed, kDefaults},
    };
    for (const auto& c : cases) {
        if (c.record.empty()) env.resources.erase({10, 1});
        else env.resources[{10, 1}] = c.record;
        Faults faults;
        if (c.fails != Call::Count_) faults.failEvery = {c.fails};
        faults.lastError = c.error;
        auto options = std::make_unique<stub::InstallerOptions>();  // zeros: wait Installer
        OptionsRecord got = OptionsRecord::Absent;
        const RunResult run = platform::host::Run(sandbox, env, [&] { got = stub::ReadInstallerOptions(*options); }, faults);
        EXPECT_EQ(got, c.want) << c.shown << " " << static_cast<int>(c.fails);
        EXPECT_EQ(Show(*options), c.shown);
        EXPECT_EQ(run.invalidHandleUses, 0u);
    }
}

// Whole runs: a malformed record ends the run before anything is made; a valid one is kept in
// the run state, and the run is the one without a record but for reading it.
TEST(InstallerOptions, WholeRuns) {
    Sandbox sandbox;
    platform::host::Environment env;
    testsupport::ZipEntry installer{"Orvak ZEB Installer.exe", "MZ installer"};
    sandbox.WriteFile(env.modulePath, testsupport::FakeStubImage() + testsupport::BuildZip({installer}));
    env.defaultProgram = [](const platform::host::ProcessStart&) { return platform::host::ProcessOutcome{42, false}; };
    auto state = NewRunState();
    auto run = [&] { return platform::host::Run(sandbox, env, [&] { stub::RunSequence(*state); }); };

    env.resources[{10, 1}] = U16({1, 1, 2, 0, 1, 7, 1}) + Text(u"S");  // reserved 7
    RunResult r = run();
    EXPECT_EQ(r.exitCode, 5u);
    ASSERT_EQ(r.notes.size(), 1u);
    EXPECT_EQ(r.notes[0].reason, static_cast<uint32_t>(stub::Reason::OptionsMalformed));
    for (Call made : {Call::GetCommandLineW, Call::FindFirstFileW, Call::GetTempPathW, Call::NtCreateFile, Call::CreateDirectoryW, Call::CreateFileW})
        EXPECT_EQ(r.CountOf(made), 0u) << platform::host::CallName(made);
    EXPECT_TRUE(sandbox.List(env.tempFolder).empty());

    env.resources[{10, 1}] = U16({1, 0, 3, 6, 2, 0}) + Text(u"kaputt") + U16({5}) + Text(u"quiet") + U16({1}) + Text(u"S");
    state = NewRunState();
    const RunResult with = run();
    EXPECT_EQ(with.exitCode, 42u);
    EXPECT_EQ(Show(state->options), "wait 0 progress list [kaputt] quiet S");
    env.resources.clear();
    state = NewRunState();
    const RunResult without = run();
    EXPECT_EQ(without.exitCode, 42u);
    EXPECT_EQ(Show(state->options), kDefaults);
    for (Call call : {Call::LoadResource, Call::LockResource, Call::SizeofResource}) {
        EXPECT_EQ(with.CountOf(call), 1u) << platform::host::CallName(call);
        EXPECT_EQ(without.CountOf(call), 0u) << platform::host::CallName(call);
    }
}

}  // namespace
