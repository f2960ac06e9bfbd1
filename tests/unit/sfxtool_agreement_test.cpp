// One truth: on every installer of a hostile corpus, verify's verdict (pass or fail) is what the
// stub itself does with the file, run on its own over the host backend: it unpacks everything and
// starts the installer, or it does not.
#include <gtest/gtest.h>

#include <filesystem>

#include "sfxtool/Analysis.h"
#include "sfxtool_test_support.h"
#include "support/SevenZipBuilder.h"
#include "support/StubAgreement.h"
#include "support/ZipBuilder.h"

namespace {

using testsupport::BuildZip;
using testsupport::SevenZipRawEntry;
using testsupport::ZipEntry;
using testsupport::ZipOptions;

const std::string kInstaller = "Orvak ZEB Installer.exe";

// Archives the stub refuses, stops on or runs, each after the tests' stand-in stub image.
std::vector<std::pair<std::string, std::string>> Corpus() {
    std::vector<std::pair<std::string, std::string>> c;
    const ZipEntry installer{kInstaller, "MZ installer"};
    auto zip = [&](const std::string& label, std::vector<ZipEntry> entries, ZipOptions o = {}) {
        c.emplace_back("zip " + label, BuildZip(entries, o));
    };
    zip("good", {installer, {"sub/a.txt", "a"}, {"empty/", ""}});
    for (const char* name : {"../evil.txt", "..\\evil.txt", "/abs.txt", "C:x.txt", "a.txt:stream", "CON", "sub/nul.txt",
                             "what?.txt", "a/../../x"})
        zip(std::string("name ") + name, {installer, {name, "evil"}});
    zip("duplicate", {installer, {"Readme.txt", "1"}, {"README.TXT", "2"}});
    zip("file as folder", {installer, {"item", "1"}, {"item/inner", "2"}});
    zip("long name", {installer, {std::string(240, 'n'), "x"}});
    for (const uint16_t method : {1, 9, 12, 14, 93, 99}) {
        ZipEntry e{"m.bin", "data data data"};
        e.deflate = true;
        e.method = method;
        zip("method " + std::to_string(method), {installer, e});
    }
    for (const uint16_t flag : {0x0001, 0x0008, 0x0020, 0x0040, 0x2000}) {
        ZipEntry e{"f.bin", "data"};
        e.flags = flag;
        zip("flag " + std::to_string(flag), {installer, e});
    }
    ZipEntry zip64{"z.bin", "data"};
    zip64.uncompressedSize = 0xFFFFFFFFu;
    zip("zip64", {installer, zip64});
    ZipEntry smuggler{"readme.txt", "honest" + BuildZip({{kInstaller, "MZ hidden"}}, {false})};
    smuggler.uncompressedSize = 6;
    smuggler.crc = static_cast<uint32_t>(testsupport::Crc32("honest"));
    zip("smuggled record", {smuggler, installer});
    ZipEntry badCrc{"c.bin", "data"};
    badCrc.crc = 1;
    zip("crc", {installer, badCrc});
    ZipEntry bomb{"bomb.bin", std::string(1 << 20, '\0'), true};
    bomb.uncompressedSize = 1000;
    bomb.crc = 0;
    zip("bomb", {installer, bomb});
    zip("no central directory", {installer}, ZipOptions{false});
    zip("folder with data", {{"folder/", "data in a folder entry"}, installer});
    zip("no installer", {{"setup.exe", "MZ"}});
    zip("installer is a folder", {{kInstaller + "/", ""}, {kInstaller + "/x", "x"}});
    zip("launch", {{".launch", "bin\\setup.exe\r\n# comment\r\n"}, {"bin/setup.exe", "MZ"}});
    zip("launch long first line", {{".launch", std::string(300, 'x') + "\n"}, installer});
    zip("launch outside", {{".launch", "..\\outside.exe"}, installer});
    zip("launch bom", {{".launch", "\xEF\xBB\xBFsetup.exe"}, {"setup.exe", "MZ"}});
    zip("launch folder", {{".launch", "bin"}, {"bin/setup.exe", "MZ"}});
    zip("launch empty", {{".launch", "\r\n"}, installer});
    // Names as Windows compares and makes them: case pairs of other scripts are one file, pairs
    // whose uppercase does not map back are two; trailing dots and spaces are dropped; a backslash
    // separates, but the stub makes folders only at "/"; invalid UTF-8 becomes U+FFFD.
    for (const auto& [a, b] : std::vector<std::pair<std::string, std::string>>{
             {"Ґ.txt", "ґ.txt"}, {"Ạ", "ạ"}, {"Ա", "ա"}, {"Ａ", "ａ"}, {"Σ", "ς"}, {"I", "ı"}, {"Μ", "µ"}, {"a", "a."},
             {"sp", "sp "}, {"dir/f", "DIR. /F"}, {"x/a", "x\\y"}})
        zip("names " + a + " " + b, {installer, {a, "1"}, {b, "2"}});
    for (const char* name : {"dot.", "sp ", "x\\y", "bad\xFF.txt", "bad\xFF.txt/inner"})
        zip(std::string("name ") + name, {installer, {name, "n"}});
    zip("empty folders", {installer, {"empty/", ""}, {"full/", ""}, {"full/f", "f"}});

    auto sevenZip = [&](const std::string& label, const std::vector<SevenZipRawEntry>& entries,
                        testsupport::SevenZipRawOptions o = {}) {
        c.emplace_back("7z " + label, testsupport::BuildSevenZipRaw(entries, o));
    };
    // The raw writer's Copy folder starts with the first file's data: a zero byte makes the
    // locator take it.
    const SevenZipRawEntry first{u"aaa.bin", std::string("\0first", 6)};
    sevenZip("good", {first, {u"Orvak ZEB Installer.exe", "MZ"}, {u"sub", "", true}, {u"sub/x.txt", "x"}});
    SevenZipRawEntry wrong{u"Orvak ZEB Installer.exe", "MZ"};
    wrong.crc = 7;
    sevenZip("crc of the installer", {first, wrong});
    SevenZipRawEntry wrongLater{u"later.txt", "later"};
    wrongLater.crc = 7;
    sevenZip("crc after the installer", {first, {u"Orvak ZEB Installer.exe", "MZ"}, wrongLater});
    sevenZip("unsafe name", {first, {u"..\\up.txt", "up"}, {u"Orvak ZEB Installer.exe", "MZ"}});
    sevenZip("case pair", {first, {u"Orvak ZEB Installer.exe", "MZ"}, {u"Ґ.txt", "1"}, {u"ґ.txt", "2"}});
    sevenZip("one-way case pair", {first, {u"Orvak ZEB Installer.exe", "MZ"}, {u"Σ", "1"}, {u"ς", "2"}});
    sevenZip("trailing dot pair", {first, {u"Orvak ZEB Installer.exe", "MZ"}, {u"a", "1"}, {u"a.", "2"}});
    sevenZip("lone backslash", {first, {u"Orvak ZEB Installer.exe", "MZ"}, {u"x\\y", "1"}});
    sevenZip("empty folders", {first, {u"Orvak ZEB Installer.exe", "MZ"}, {u"e", "", true}, {u"e/f", "", true}});
    testsupport::SevenZipRawOptions noNames;
    noNames.storeNames = false;
    sevenZip("no names", {first, {u"Orvak ZEB Installer.exe", "MZ"}}, noNames);
    if (testsupport::SevenZipToolAvailable()) {
        c.emplace_back("7z tool lzma", testsupport::BuildSevenZipWithTool({{kInstaller, "MZ installer"}}, {"-m0=LZMA"}));
        c.emplace_back("7z tool lzma2", testsupport::BuildSevenZipWithTool({{kInstaller, "MZ installer"}}, {"-m0=LZMA2"}));
        std::string damaged = testsupport::BuildSevenZipWithTool(
            {{kInstaller, "MZ installer"}, {"data.bin", std::string(20000, 'q')}}, {"-m0=LZMA", "-mhc=off"});
        testsupport::FlipByte(damaged, 40, 0x10);
        c.emplace_back("7z damaged", damaged);
    }
    // The kept fuzz reproducers.
    for (const auto& entry : std::filesystem::directory_iterator(std::string(SFX_SOURCE_DIR) + "/tests/fuzz/regressions/fuzz_inspect"))
        c.emplace_back("regression " + entry.path().filename().string(), sfxtest::ReadFile(entry.path()).substr(1));
    return c;
}

}  // namespace

TEST(SfxtoolAgreement, VerifysVerdictIsTheStubsOwnOnEveryHostileInstaller) {
    sfxtest::TempDir dir;
    int passes = 0, fails = 0;
    for (const auto& [label, archive] : Corpus()) {
        SCOPED_TRACE(label);
        const std::string file = sfxtest::FakeStub() + archive;
        const std::string path = dir / "setup.exe";
        sfxtest::WriteFile(path, file);
        const sfxtool::Report report = sfxtool::Analyse(path, agreement::kStagingLength);
        const agreement::StubOutcome stub = agreement::RunStub(file);
        EXPECT_EQ(agreement::Disagreement(report, stub), "") << sfxtest::Codes(report);
        (stub.whole ? passes : fails) += 1;
    }
    // The corpus holds both verdicts.
    EXPECT_GE(passes, 12);
    EXPECT_GE(fails, 40);
}
