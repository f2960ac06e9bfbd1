// sfxtool and the installer options record: what pack writes for each option and refuses, what
// inspect shows, and verify's verdict on a malformed record (the stub's own run over the host).
#include <gtest/gtest.h>

#include "sfxtool/Pack.h"
#include "sfxtool/PeResources.h"
#include "sfxtool_test_support.h"

namespace {

using namespace sfxtest;
using sfxtool::InstallerOptionsSpec;
using sfxtool::OptionsUsageError;
using sfxtool::Report;

std::string Units(const std::u16string& text) {
    std::string b;
    for (char16_t c : text) b += static_cast<char>(c & 0xFF), b += static_cast<char>(c >> 8);
    return b;
}

const sfxtool::Resource* Record(const sfxtool::ResourceList& list) {
    for (const auto& r : list)
        if (!r.type.IsText() && r.type.number == 10 && !r.name.IsText() && r.name.number == 1) return &r;
    return nullptr;
}

struct Packed {
    Report report;
    std::string file;
};

Packed PackWith(const TempDir& dir, const InstallerOptionsSpec& options, const std::string& name = "setup.exe") {
    WriteFile(dir / "payload/Orvak ZEB Installer.exe", "MZ installer");
    WriteFile(dir / "stub.exe", FakeStub());
    sfxtool::PackOptions o;
    o.stub = dir / "stub.exe";
    o.payload = dir / "payload";
    o.format = "zip";
    o.out = dir / name;
    o.options = options;
    Packed p{sfxtool::Pack(o), ReadFile(o.out)};
    return p;
}

TEST(SfxtoolOptions, PackWritesTheRecordOnlyWhenAnOptionIsGiven) {
    TempDir dir;
    InstallerOptionsSpec spec;
    spec.wait = "tree";
    spec.progress = true;
    spec.failureMessage = "Grüße 🚀";
    spec.silentSwitches = {"/S", "-quiet", "VERYSILENT"};
    const Packed p = PackWith(dir, spec);
    ASSERT_TRUE(p.report.problems.empty()) << Codes(p.report);
    const auto list = sfxtool::ReadResources(p.file);
    ASSERT_NE(Record(list), nullptr);
    EXPECT_EQ(Record(list)->language, 0) << "neutral: FindResourceW looks there first";
    // Version 1, wait 2, flags 3, 8 message units, 3 switches, reserved; the text; each word
    // without its '/' or '-' after its length.
    const std::string want = std::string("\1\0\2\0\3\0\x8\0\3\0\0\0", 12) + Units(u"Grüße 🚀") +
                             Units(u"\x1") + Units(u"S") + Units(u"\x5") + Units(u"quiet") + Units(u"\xA") + Units(u"VERYSILENT");
    EXPECT_EQ(Record(list)->data, want);
    const nlohmann::json shown = sfxtool::ReportJson(p.report)["options"];
    EXPECT_EQ(shown, nlohmann::json::parse(R"({"record": true, "valid": true, "fault": null, "wait": "tree", "progress": true,
        "failureMessage": "Grüße 🚀", "silentSwitches": ["/S", "/quiet", "/VERYSILENT"], "silentSwitchesGiven": true})"));

    // Nothing given: no record, and inspect says the stub keeps its defaults.
    const Packed plain = PackWith(dir, {}, "plain.exe");
    EXPECT_EQ(Record(sfxtool::ReadResources(plain.file)), nullptr);
    const nlohmann::json defaults = sfxtool::ReportJson(plain.report)["options"];
    EXPECT_EQ(defaults["record"], false);
    EXPECT_EQ(defaults["wait"], "staging");
    EXPECT_EQ(defaults["silentSwitches"].size(), 8u);
    // One option alone writes a whole record with the others at their defaults.
    InstallerOptionsSpec waitOnly;
    waitOnly.wait = "staging";
    EXPECT_EQ(sfxtool::BuildOptionsRecord(waitOnly), std::string("\1\0\1\0\0\0\0\0\0\0\0\0", 12));
}

TEST(SfxtoolOptions, PackRefusesWhatTheStubCannotTake) {
    const std::string tooLong = std::string(1023, 'x') + "\xF0\x9F\x9A\x80";  // a surrogate pair: 1025 units
    auto refused = [](InstallerOptionsSpec spec) {
        try {
            sfxtool::BuildOptionsRecord(spec);
        } catch (const OptionsUsageError&) {
            return true;
        }
        return false;
    };
    InstallerOptionsSpec s;
    s.wait = "never";
    EXPECT_TRUE(refused(s));
    for (const std::string& message : {std::string(), std::string("a\0b", 3), std::string("\xC3("), tooLong}) {
        s = {};
        s.failureMessage = message;
        EXPECT_TRUE(refused(s)) << message.size();
    }
    s.failureMessage = std::string(1024, 'x');
    EXPECT_FALSE(refused(s));
    for (const std::string& word : std::vector<std::string>{"", "/", "-", "a b", "/a\tb", "--x", "/-x", "a/b", "a\"b", "\xFF",
                                                             std::string(33, 'w')}) {
        s = {};
        s.silentSwitches = {"/S", word};
        EXPECT_TRUE(refused(s)) << word;
    }
    s.silentSwitches = std::vector<std::string>(32, "/" + std::string(32, 'w'));
    EXPECT_FALSE(refused(s));
    s.silentSwitches.push_back("/S");
    EXPECT_TRUE(refused(s)) << "33 switches";
}

TEST(SfxtoolOptions, PackRefusesAMessageWhoseBytesTheLocatorWouldStopAt) {
    TempDir dir;
    InstallerOptionsSpec spec;
    spec.failureMessage = sfxtool::EncodeUtf8(u"Fehler \x4B50\x0403");  // "PK\3\4" as UTF-16
    const Packed p = PackWith(dir, spec);
    ASSERT_TRUE(HasProblem(p.report, "resource-false-signature")) << Codes(p.report);
    EXPECT_NE(p.report.problems[0].message.find("RT_RCDATA #1"), std::string::npos);
    EXPECT_NE(p.report.problems[0].message.find("--failure-message"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir / "setup.exe"));
}

TEST(SfxtoolOptions, VerifyRunsTheStubOverTheRecordAndExplainsAMalformedOne) {
    TempDir dir;
    WriteFile(dir / "payload/Orvak ZEB Installer.exe", "MZ installer");
    const auto files = sfxtool::CollectPayload(dir / "payload", std::nullopt);
    struct Case { std::string record; std::string fault; };
    const Case cases[] = {
        {std::string("\2\0\1\0\0\0\0\0\0\0\0\0", 12), "its version is 2, not 1"},
        {std::string("\1\0\1\0\2\0\0\0\1\0\0\0\1\0\x2D\0", 16), "silent switch 1 is refused: it starts with '-'"},
        {std::string("\1\0\1\0\0\0\0\0\0\0\0\0\0", 13), "1 bytes follow its last field"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        // Made by hand: pack itself refuses to write such a record.
        sfxtool::IdentityOptions identity;
        identity.optionsRecord = c.record;
        const std::string image = sfxtool::InstallerImage(FakeStub(), identity);
        sfxtool::BuildZip(files, 315532800, dir / "a.zip", image.size());
        WriteFile(dir / "bad.exe", image + ReadFile(dir / "a.zip"));
        const Report r = sfxtool::Analyse(dir / "bad.exe");
        ASSERT_EQ(r.problems.size(), 1u) << Codes(r);
        EXPECT_EQ(r.problems[0].code, "options-malformed");
        EXPECT_NE(r.problems[0].message.find("malformed: " + c.fault + "; the stub ends with exit code 5"), std::string::npos)
            << r.problems[0].message;
        EXPECT_FALSE(r.trial.started);
        EXPECT_EQ(r.trial.exitCode, 5u);
        EXPECT_TRUE(r.trial.staged.empty()) << "nothing unpacked";
        const nlohmann::json shown = sfxtool::ReportJson(r)["options"];
        EXPECT_EQ(shown["valid"], false);
        EXPECT_EQ(shown["fault"], c.fault);
    }
}

}  // namespace
