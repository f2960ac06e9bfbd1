// Names as Windows sees them, in sfxtool: the upcase table names are compared with, trailing dots
// and spaces, the causes every refusal names, links in a payload folder, and empty folders.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "platform/host/host.h"
#include "sfxtool/Analysis.h"
#include "sfxtool/Pack.h"
#include "sfxtool_test_support.h"
#include "support/SevenZipBuilder.h"
#include "support/ZipBuilder.h"

using namespace sfxtest;
using platform::host::FoldUnit;
using sfxtool::Analyse;
using testsupport::SevenZipRawEntry;
using testsupport::ZipEntry;

namespace {

const std::string kInstaller = "Orvak ZEB Installer.exe";

std::string ZipInstaller(const TempDir& dir, const std::vector<ZipEntry>& entries) {
    std::vector<ZipEntry> all = {{kInstaller, "MZ"}};
    all.insert(all.end(), entries.begin(), entries.end());
    const std::string path = dir / "zip.exe";
    WriteFile(path, FakeStub() + testsupport::BuildZip(all));
    return path;
}

// The raw writer's Copy folder: a first file starting with a zero byte makes the locator take it.
std::string SevenZipInstaller(const TempDir& dir, const std::vector<SevenZipRawEntry>& entries) {
    std::vector<SevenZipRawEntry> all = {{u"aaa.bin", std::string("\0first", 6)}, {u"Orvak ZEB Installer.exe", "MZ"}};
    all.insert(all.end(), entries.begin(), entries.end());
    const std::string path = dir / "7z.exe";
    WriteFile(path, FakeStub() + testsupport::BuildSevenZipRaw(all));
    return path;
}

const sfxtool::Problem* Find(const sfxtool::Report& r, const std::string& code) {
    for (const auto& p : r.problems)
        if (p.code == code) return &p;
    return nullptr;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

sfxtool::PackOptions Options(const TempDir& dir, const std::string& payload, const std::string& format) {
    sfxtool::PackOptions o;
    o.stub = dir / "stub.exe";
    WriteFile(o.stub, FakeStub());
    o.payload = payload;
    o.format = format;
    o.out = dir / ("out-" + format + ".exe");
    return o;
}

// The PackError message of a pack, or "" when it packed.
std::string Refusal(const sfxtool::PackOptions& o) {
    try {
        sfxtool::Pack(o);
    } catch (const sfxtool::PackError& e) {
        return e.what();
    }
    return {};
}

std::vector<std::string> FileNames(const sfxtool::Report& r) {
    std::vector<std::string> names;
    for (const auto& e : r.entries)
        if (!e.isDir) names.push_back(e.name);
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

TEST(SfxtoolNames, TheUpcaseTableFoldsEveryScriptAndKeepsOneWayPairsApart) {
    // Ukrainian, Vietnamese, Armenian, fullwidth, Georgian, Cherokee, Glagolitic, a digraph.
    const char16_t same[][2] = {{u'Ґ', u'ґ'}, {u'Ạ', u'ạ'}, {u'Ա', u'ա'}, {u'Ａ', u'ａ'}, {0x10A0, 0x2D00},
                                {0x13A0, 0xAB70}, {0x2C00, 0x2C30}, {0x01C4, 0x01C6}, {u'A', u'a'}, {u'É', u'é'}};
    for (const auto& pair : same) EXPECT_EQ(FoldUnit(pair[0]), FoldUnit(pair[1])) << std::hex << pair[0];
    // Unicode maps these to an uppercase that does not map back; Windows keeps them apart.
    const char16_t apart[][2] = {{u'ς', u'Σ'}, {u'ı', u'I'}, {u'µ', u'Μ'}, {u'ſ', u'S'}, {0x01C5, 0x01C4}, {u'ß', 0x1E9E}};
    for (const auto& pair : apart) EXPECT_NE(FoldUnit(pair[0]), FoldUnit(pair[1])) << std::hex << pair[0];
    // Folding once is folding: a name's key never changes when folded again; surrogates stay.
    for (uint32_t u = 0; u < 0x10000; ++u) {
        const char16_t once = FoldUnit(static_cast<char16_t>(u));
        ASSERT_EQ(FoldUnit(once), once) << std::hex << u;
        if (u >= 0xD800 && u <= 0xDFFF) ASSERT_EQ(once, u);
    }
}

TEST(SfxtoolNames, CasePairsOfEveryScriptAreOneFileInBothFormats) {
    TempDir dir;
    const std::vector<std::pair<std::string, std::string>> pairs = {
        {"Ґ.txt", "ґ.txt"}, {"Ạ.txt", "ạ.txt"}, {"Ա.txt", "ա.txt"}, {"Ａ.txt", "ａ.txt"}};
    for (const auto& [first, second] : pairs) {
        SCOPED_TRACE(first);
        const auto zip = Analyse(ZipInstaller(dir, {{first, "1"}, {second, "2"}}));
        const auto sevenZip = Analyse(SevenZipInstaller(dir, {{platform::host::Utf16(first), "1"},
                                                              {platform::host::Utf16(second), "2"}}));
        for (const auto* r : {&zip, &sevenZip}) {
            const auto* p = Find(*r, "duplicate-name");
            ASSERT_NE(p, nullptr) << Codes(*r);
            EXPECT_TRUE(Contains(p->message, "\"" + second + "\"") && Contains(p->message, "\"" + first + "\"") &&
                        Contains(p->message, "names the same file")) << p->message;
        }
    }
    // One-way pairs are two files, as under Windows.
    for (const auto& [first, second] : std::vector<std::pair<std::string, std::string>>{
             {"Σ.txt", "ς.txt"}, {"I.txt", "ı.txt"}, {"Μ.txt", "µ.txt"}}) {
        SCOPED_TRACE(first);
        const auto r = Analyse(ZipInstaller(dir, {{first, "1"}, {second, "2"}}));
        EXPECT_EQ(sfxtool::ErrorCount(r), 0u) << Codes(r);
        EXPECT_EQ(r.trial.staged.size(), 3u);
    }
}

TEST(SfxtoolNames, TrailingDotsAndSpacesAreReportedWithWhatTheStubCreates) {
    TempDir dir;
    // Alone: the stub creates "dot" and "dir/sp" (a folder inside a path loses one trailing dot);
    // verify warns, naming both names, and passes.
    auto r = Analyse(ZipInstaller(dir, {{"dot.", "d"}, {"dir./sp ", "s"}}));
    EXPECT_EQ(sfxtool::ErrorCount(r), 0u) << Codes(r);
    size_t warnings = 0;
    for (const auto& p : r.problems) {
        if (p.code != "name-trailing-dot") continue;
        ++warnings;
        EXPECT_TRUE(p.warning);
        EXPECT_TRUE((Contains(p.message, "\"dot.\"") && Contains(p.message, "creates \"dot\" instead")) ||
                    (Contains(p.message, "\"dir./sp \"") && Contains(p.message, "creates \"dir/sp\" instead")))
            << p.message;
    }
    EXPECT_EQ(warnings, 2u) << Codes(r);
    // A folder ending in a space or in two dots is made as "x" but looked for as "x " or "x.": the
    // stub ends with exit code 5, and verify fails naming the folder.
    for (const std::string name : {"a /b", "a/x /b", "a/x../b", "a/x. /b"}) {
        r = Analyse(ZipInstaller(dir, {{name, "1"}}));
        const auto* folder = Find(r, "name-folder-trailing");
        ASSERT_NE(folder, nullptr) << name << ": " << Codes(r);
        EXPECT_EQ(sfxtool::ErrorCount(r), 1u) << name << ": " << Codes(r);
        EXPECT_TRUE(Contains(folder->message, "exit code 5")) << folder->message;
    }
    // "a" and "a." are one file: the second cannot be created, and the message names the first.
    r = Analyse(SevenZipInstaller(dir, {{u"a", "1"}, {u"a.", "2"}}));
    const auto* p = Find(r, "duplicate-name");
    ASSERT_NE(p, nullptr) << Codes(r);
    EXPECT_TRUE(Contains(p->message, "entry \"a.\"") && Contains(p->message, "entry \"a\" names the same file")) << p->message;

    // pack refuses them, from a folder and from an archive it would append.
    WriteFile(dir / "payload/" + kInstaller, "MZ");
    WriteFile(dir / "payload/sub/dot.", "d");
    for (const std::string format : {"7z", "zip"}) {
        const std::string refusal = Refusal(Options(dir, dir / "payload", format));
        EXPECT_TRUE(Contains(refusal, "\"sub/dot.\"") && Contains(refusal, "create \"sub/dot\"")) << refusal;
    }
    WriteFile(dir / "dot.zip", testsupport::BuildZip({{kInstaller, "MZ"}, {"dot.", "d"}}));
    auto o = Options(dir, dir / "dot.zip", "zip");
    const auto report = sfxtool::Pack(o);
    ASSERT_NE(Find(report, "name-trailing-dot"), nullptr) << Codes(report);
    EXPECT_EQ(sfxtool::ErrorCount(report), 1u);
    EXPECT_FALSE(fs::exists(o.out));
}

TEST(SfxtoolNames, EveryRefusalNamesItsCause) {
    TempDir dir;
    // A lone "x\y": a backslash, not a duplicate.
    auto r = Analyse(ZipInstaller(dir, {{"x\\y", "b"}}));
    auto* p = Find(r, "name-backslash");
    ASSERT_NE(p, nullptr) << Codes(r);
    EXPECT_FALSE(sfxtool::ErrorCount(r) != 1) << Codes(r);
    EXPECT_TRUE(Contains(p->message, "\"x\\y\"") && Contains(p->message, "offset 1")) << p->message;
    // After "x/a" the folder exists and "x\y" is created inside it, as on Windows.
    r = Analyse(ZipInstaller(dir, {{"x/a", "a"}, {"x\\y", "b"}}));
    EXPECT_EQ(sfxtool::ErrorCount(r), 0u) << Codes(r);
    // A file where a folder is needed, both ways round.
    r = Analyse(ZipInstaller(dir, {{"item", "1"}, {"ITEM/inner", "2"}}));
    p = Find(r, "duplicate-name");
    ASSERT_NE(p, nullptr) << Codes(r);
    EXPECT_TRUE(Contains(p->message, "entry \"item\" is a file where this entry needs a folder")) << p->message;
    r = Analyse(ZipInstaller(dir, {{"item/inner", "1"}, {"Item", "2"}}));
    p = Find(r, "duplicate-name");
    ASSERT_NE(p, nullptr) << Codes(r);
    EXPECT_TRUE(Contains(p->message, "entry \"item/inner\" needs a folder of this name")) << p->message;
    // A ZIP name that is not UTF-8: the byte and where it stands.
    r = Analyse(ZipInstaller(dir, {{"bad\xFFname.txt", "u"}}));
    p = Find(r, "name-not-utf8");
    ASSERT_NE(p, nullptr) << Codes(r);
    EXPECT_TRUE(Contains(p->message, "byte 0xFF at offset 3")) << p->message;

    // From a folder: the same causes, before anything is built.
    const std::string folder = dir / "payload";
    WriteFile(folder + "/" + kInstaller, "MZ");
    struct Case {
        std::string name;
        std::vector<std::string> said;
    };
    const Case cases[] = {
        {"sub/b\xC3(d.txt", {"not valid UTF-8", "byte 0xC3 at offset 5"}},
        {"sub/x\\y", {"\"sub/x\\y\"", "backslash (offset 5)"}},
        {"sub/trail ", {"\"sub/trail \"", "create \"sub/trail\""}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.said.front());
        WriteFile(folder + "/" + c.name, "x");
        for (const std::string format : {"7z", "zip"}) {
            const std::string refusal = Refusal(Options(dir, folder, format));
            for (const auto& part : c.said) EXPECT_TRUE(Contains(refusal, part)) << format << ": " << refusal;
        }
        fs::remove(folder + "/" + c.name);
    }
}

TEST(SfxtoolPackLinks, LinksInsideAreCopiedOrFollowedTheRestRefusedNamingLinkAndTarget) {
    TempDir dir;
    const std::string folder = dir / "release";
    WriteFile(folder + "/" + kInstaller, "MZ installer");
    WriteFile(folder + "/lib/libfoo.so.1", "ELF foo");
    WriteFile(folder + "/share/doc/readme", "read me");
    ASSERT_EQ(symlink("libfoo.so.1", (folder + "/lib/libfoo.so").c_str()), 0);
    ASSERT_EQ(symlink("../share/doc", (folder + "/lib/doc").c_str()), 0);
    ASSERT_EQ(symlink("lib/libfoo.so", (folder + "/chained").c_str()), 0);  // a link to a link
    for (const std::string format : {"7z", "zip"}) {
        SCOPED_TRACE(format);
        auto o = Options(dir, folder, format);
        const auto report = sfxtool::Pack(o);
        ASSERT_EQ(sfxtool::ErrorCount(report), 0u) << Codes(report);
        EXPECT_EQ(FileNames(report), (std::vector<std::string>{kInstaller, "chained", "lib/doc/readme", "lib/libfoo.so",
                                                               "lib/libfoo.so.1", "share/doc/readme"}));
        // Each a copy of its target, under the link's name.
        EXPECT_EQ(report.trial.staged.size(), 6u);
    }
    // --no-follow-links: every link is refused, naming it and its target.
    auto o = Options(dir, folder, "zip");
    o.followLinks = false;
    std::string refusal = Refusal(o);
    EXPECT_TRUE(Contains(refusal, "\"chained\" -> \"lib/libfoo.so\"") && Contains(refusal, "--no-follow-links")) << refusal;

    // Outside, dangling or a cycle: refused in both formats, naming the link and its target.
    const std::string outside = dir / "outside.txt";
    WriteFile(outside, "secret");
    struct Case {
        std::string link, target;
        std::string said;
    };
    const Case cases[] = {
        {"lib/hostname", outside, "leads outside the folder"},
        {"up", "..", "leads outside the folder"},
        {"lib/gone", "missing.so", "leads nowhere"},
        {"share/doc/loop", "../..", "(a cycle)"},
        {"self", ".", "(a cycle)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.link);
        ASSERT_EQ(symlink(c.target.c_str(), (folder + "/" + c.link).c_str()), 0);
        for (const std::string format : {"7z", "zip"}) {
            auto refused = Options(dir, folder, format);
            refused.out = dir / "refused.exe";
            refusal = Refusal(refused);
            EXPECT_TRUE(Contains(refusal, "\"" + c.link + "\" -> \"" + c.target + "\"") && Contains(refusal, c.said))
                << format << ": " << refusal;
            EXPECT_FALSE(fs::exists(refused.out));
        }
        fs::remove(folder + "/" + c.link);
    }
}

TEST(SfxtoolNames, EmptyFoldersAreListedAndWarnedWithoutFailing) {
    TempDir dir;
    const std::string path = SevenZipInstaller(dir, {{u"empty", "", true},
                                                     {u"nested", "", true},
                                                     {u"nested/deeper", "", true},
                                                     {u"full", "", true},
                                                     {u"FULL/file.txt", "f"}});
    const auto r = Analyse(path);
    EXPECT_EQ(sfxtool::ErrorCount(r), 0u) << Codes(r);
    EXPECT_EQ(r.emptyFolders, (std::vector<std::string>{"empty/", "nested/", "nested/deeper/"}));
    size_t warned = 0;
    for (const auto& p : r.problems) warned += p.code == "empty-folder" && p.warning && Contains(p.message, "will not exist");
    EXPECT_EQ(warned, 3u) << Codes(r);
    EXPECT_EQ(sfxtool::ReportJson(r)["emptyFolders"].size(), 3u);
    EXPECT_TRUE(Contains(sfxtool::ReportText(r), "empty folders (3, not created by the stub):\n  empty/\n"));
    // Nothing of them exists after the stub's run.
    for (const auto& [staged, size] : r.trial.staged) EXPECT_EQ(staged.rfind("empty", 0), std::string::npos) << staged;
}
