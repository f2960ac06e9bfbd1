// sfxtool's ZIP side: the deterministic writer, and verify's checks of ZIP payloads (each problem
// the stub would trip on is found; a well-formed installer passes).
#include <gtest/gtest.h>

#include <sstream>

#include "sfxtool/Analysis.h"
#include "sfxtool/ZipWalk.h"
#include "sfxtool/ZipWriter.h"
#include "sfxtool_test_support.h"
#include "support/ZipBuilder.h"

using namespace sfxtest;
using sfxtool::Analyse;
using testsupport::ZipEntry;

namespace {

std::string Written(const std::vector<std::pair<std::string, std::string>>& entries, uint32_t time = 0x00210000,
                    uint64_t base = 0) {
    std::ostringstream out;
    sfxtool::ZipWriter w(out, time, base);
    for (const auto& [name, data] : entries) w.Add(name, data);
    w.Finish();
    return out.str();
}

// A stub with the archive appended, written to a temp file; returns its path.
std::string Installer(const TempDir& dir, const std::string& archive, const std::string& stub = FakeStub()) {
    const std::string path = dir / "setup.exe";
    WriteFile(path, stub + archive);
    return path;
}

const std::string kInstallerName = "Orvak ZEB Installer.exe";

}  // namespace

TEST(SfxtoolZipWriter, WritesWhatTheStubsWalkReadsBackWithSizesInTheLocalHeaders) {
    const std::string text(5000, 'a');
    const std::string noise = Noise(3000, 7);
    const std::string zip = Written({{"a/b.txt", text}, {"empty", ""}, {"noise.bin", noise}});
    TempDir dir;
    WriteFile(dir / "p.zip", zip);
    const auto walk = sfxtool::WalkZip(dir / "p.zip", 0, zip.size(), "");
    ASSERT_TRUE(walk.problems.empty()) << walk.problems.front().message;
    ASSERT_EQ(walk.entries.size(), 3u);
    EXPECT_EQ(walk.entries[0].rawName, "a/b.txt");
    EXPECT_EQ(walk.entries[0].method, 8);  // compressible: deflated
    EXPECT_EQ(walk.entries[0].size, 5000u);
    EXPECT_LT(walk.entries[0].packedSize, 100u);
    EXPECT_EQ(walk.entries[1].method, 0);  // empty: stored
    EXPECT_EQ(walk.entries[2].method, 0);  // deflate would not be smaller: stored
    EXPECT_EQ(walk.entries[2].packedSize, 3000u);
    for (const auto& e : walk.entries) EXPECT_EQ(e.flags & 0x0008, 0) << "no data descriptors";
    EXPECT_TRUE(walk.centralDirectory);
    EXPECT_EQ(walk.archiveEnd, zip.size());
    // unzip (Info-ZIP) agrees that the archive and its CRCs are sound.
    EXPECT_EQ(std::system(("unzip -tqq '" + (dir / "p.zip") + "' >/dev/null 2>&1").c_str()), 0);
}

TEST(SfxtoolZipWriter, IsDeterministicAndTakesTheGivenTimeAndBase) {
    const std::vector<std::pair<std::string, std::string>> entries = {{"x", "1"}, {"y/z", std::string(999, 'q')}};
    EXPECT_EQ(Written(entries), Written(entries));
    EXPECT_NE(Written(entries, 0x00210000), Written(entries, 0x00220000));
    // The DOS time of 2023-11-14 22:13:20 UTC.
    EXPECT_EQ(sfxtool::DosDateTime(1700000000), (43u << 9 | 11u << 5 | 14u) << 16 | (22u << 11 | 13u << 5 | 10u));
    EXPECT_EQ(sfxtool::DosDateTime(0), (1u << 5 | 1u) << 16) << "before 1980 clamps to 1980-01-01";
    // With a base offset the central directory points at file offsets of the whole installer.
    TempDir dir;
    const std::string stub = FakeStub();
    WriteFile(dir / "i.exe", stub + Written(entries, 0x00210000, stub.size()));
    EXPECT_EQ(std::system(("unzip -tqq '" + (dir / "i.exe") + "' >/dev/null 2>&1").c_str()), 0);
}

TEST(SfxtoolZipWriter, RefusesWhatNeedsZip64OrADirectoryWithData) {
    std::ostringstream out;
    sfxtool::ZipWriter w(out, 0);
    EXPECT_THROW(w.Add("dir/", "data"), sfxtool::ZipLimitError);
    EXPECT_THROW(w.Add("", "data"), sfxtool::ZipLimitError);
    sfxtool::ZipWriter far(out, 0, 0x100000000ull);
    EXPECT_THROW(far.Add("x", "1"), sfxtool::ZipLimitError);
}

TEST(SfxtoolZipChecks, AGoodInstallerPassesAndIsDescribed) {
    TempDir dir;
    const std::string path = Installer(dir, Written({{kInstallerName, "MZ installer"}, {"data/a.txt", "abc"}}));
    const auto r = Analyse(path);
    EXPECT_TRUE(r.problems.empty()) << Codes(r);
    EXPECT_EQ(r.kind, sfxtool::ArchiveKind::Zip);
    EXPECT_EQ(r.offset, kFakeImageEnd);
    EXPECT_EQ(r.located.offset, kFakeImageEnd);
    EXPECT_EQ(r.entries.size(), 2u);
    EXPECT_EQ(r.program, kInstallerName);
    EXPECT_TRUE(r.programExists);
    EXPECT_EQ(r.trailingKind, "none");
    // The stub's own extraction, tried on the file, wrote both files and returned.
    EXPECT_TRUE(r.trialRan);
    EXPECT_FALSE(r.trialEnded);
    EXPECT_EQ(r.trialFiles, 2u);
}

TEST(SfxtoolZipChecks, FindsEntriesOutsideTheSubsetTheStubReads) {
    TempDir dir;
    ZipEntry installer{kInstallerName, "MZ"};
    struct Case {
        const char* code;
        ZipEntry entry;
    };
    std::vector<Case> cases;
    ZipEntry descriptor{"dd.txt", "hello"};
    descriptor.flags = 0x0008;
    descriptor.compressedSize = 0;
    descriptor.uncompressedSize = 0;
    descriptor.crc = 0;
    cases.push_back({"zip-data-descriptor", descriptor});
    ZipEntry encrypted{"enc.txt", "hello"};
    encrypted.flags = 0x0001;
    cases.push_back({"zip-encrypted", encrypted});
    ZipEntry bzip{"b.txt", "hello"};
    bzip.method = 12;
    cases.push_back({"zip-method", bzip});
    ZipEntry zip64{"big.txt", "hello"};
    zip64.extra = std::string("\x01\x00\x10\x00", 4) + std::string(16, '\0');
    cases.push_back({"zip64", zip64});
    ZipEntry badCrc{"crc.txt", "hello"};
    badCrc.crc = 0x12345678;
    cases.push_back({"crc-mismatch", badCrc});
    ZipEntry overflow{"over.txt", std::string(4000, 'z'), true};
    overflow.uncompressedSize = 100;  // the stream yields more than the declared size
    cases.push_back({"zip-bad-data", overflow});
    ZipEntry dirWithData{"folder/", ""};
    dirWithData.rawPayload = "junk";
    dirWithData.compressedSize = 4;
    cases.push_back({"zip-dir-with-data", dirWithData});

    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        const auto r = Analyse(Installer(dir, testsupport::BuildZip({installer, c.entry})));
        EXPECT_TRUE(HasProblem(r, c.code)) << Codes(r);
    }
}

TEST(SfxtoolZipChecks, FindsAnArchiveThatEndsRightAfterItsLastEntry) {
    TempDir dir;
    testsupport::ZipOptions noCentral;
    noCentral.centralDirectory = false;
    const auto r = Analyse(Installer(dir, testsupport::BuildZip({{kInstallerName, "MZ"}}, noCentral)));
    EXPECT_TRUE(HasProblem(r, "zip-no-end-record")) << Codes(r);
    EXPECT_TRUE(r.trialEnded) << "the stub's own walk fails at the end of the file as well";
    EXPECT_EQ(r.trialFiles, 1u);
}

TEST(SfxtoolZipChecks, FindsUnsafeDuplicatedAndOverlongNames) {
    TempDir dir;
    const std::string longName = std::string(191, 'n') + ".txt";  // 195 bytes
    const std::string archive = Written({{kInstallerName, "MZ"},
                                         {"../evil.txt", "x"},
                                         {"sub/CON", "x"},
                                         {"what?.txt", "x"},
                                         {"Readme.TXT", "1"},
                                         {"readme.txt", "2"},
                                         {"trail.", "3"},
                                         {"trail", "4"},
                                         {"item", "5"},
                                         {"item/inner", "6"},
                                         {longName, "7"}});
    const std::string path = Installer(dir, archive);
    const auto r = Analyse(path);  // staging length 64: 64 + 195 + 1 = 260 reaches the limit
    int unsafe = 0, duplicate = 0, tooLong = 0;
    for (const auto& p : r.problems) {
        unsafe += p.code == "unsafe-name";
        duplicate += p.code == "duplicate-name";
        tooLong += p.code == "name-too-long";
    }
    EXPECT_EQ(unsafe, 3) << Codes(r);
    EXPECT_EQ(duplicate, 3) << Codes(r);  // case, trailing dot, file used as folder
    EXPECT_EQ(tooLong, 1) << Codes(r);
    // One unit shorter staging path and the long name fits (63 + 195 + 1 = 259).
    EXPECT_FALSE(HasProblem(Analyse(path, 63), "name-too-long"));
}

TEST(SfxtoolZipChecks, FindsAMissingInstallerAndABadLaunchFile) {
    TempDir dir;
    auto r = Analyse(Installer(dir, Written({{"setup.exe", "MZ"}})));
    EXPECT_TRUE(HasProblem(r, "no-installer")) << Codes(r);
    EXPECT_FALSE(r.programExists);

    r = Analyse(Installer(dir, Written({{".launch", "bin/Setup.exe\r\nignored"}, {"bin/setup.exe", "MZ"}})));
    EXPECT_TRUE(r.problems.empty()) << Codes(r);  // names compare case-insensitively, the line ends at CR
    EXPECT_EQ(r.program, "bin/Setup.exe");
    EXPECT_TRUE(r.programExists);

    r = Analyse(Installer(dir, Written({{".launch", "bin/missing.exe"}, {"bin/setup.exe", "MZ"}})));
    EXPECT_TRUE(HasProblem(r, "launch-missing")) << Codes(r);
    r = Analyse(Installer(dir, Written({{".launch", "\xEF\xBB\xBFsetup.exe"}, {"setup.exe", "MZ"}})));
    EXPECT_TRUE(HasProblem(r, "launch-bom")) << Codes(r);
    r = Analyse(Installer(dir, Written({{".launch", "\n"}, {"setup.exe", "MZ"}})));
    EXPECT_TRUE(HasProblem(r, "launch-empty")) << Codes(r);
    r = Analyse(Installer(dir, Written({{".launch", "bin"}, {"bin/setup.exe", "MZ"}})));
    EXPECT_TRUE(HasProblem(r, "launch-folder")) << Codes(r);
}

TEST(SfxtoolZipChecks, FindsAnEntryTooLargeForA32BitProcess) {
    TempDir dir;
    ZipEntry huge{"huge.bin", std::string(1000, '\0'), true};
    huge.uncompressedSize = 0x48000000;  // 1.125 GiB declared
    huge.crc = 0;
    const auto r = Analyse(Installer(dir, testsupport::BuildZip({{kInstallerName, "MZ"}, huge})));
    EXPECT_TRUE(HasProblem(r, "folder-too-large")) << Codes(r);
    EXPECT_GT(r.peakMemory, sfxtool::kLargestFolderLimit);
}

TEST(SfxtoolZipChecks, FindsNoArchiveAndAFalseMatchInsideTheStubImage) {
    TempDir dir;
    auto r = Analyse(Installer(dir, ""));
    EXPECT_TRUE(HasProblem(r, "no-archive")) << Codes(r);
    EXPECT_FALSE(r.found);

    std::string stub = FakeStub();
    stub.replace(0x300, 4, "PK\x03\x04");
    r = Analyse(Installer(dir, Written({{kInstallerName, "MZ"}}), stub));
    EXPECT_TRUE(HasProblem(r, "false-match")) << Codes(r);
    EXPECT_EQ(r.located.offset, 0x300u);
    EXPECT_EQ(r.offset, kFakeImageEnd) << "the archive described is the real one after the image";
}

TEST(SfxtoolZipChecks, ReportsACertificateTableAfterTheArchiveAsCoveredTrailingData) {
    TempDir dir;
    const std::string archive = Written({{kInstallerName, "MZ"}});
    auto r = Analyse(Installer(dir, "", Sign(FakeStub() + archive)));
    EXPECT_TRUE(r.problems.empty()) << Codes(r);
    EXPECT_TRUE(r.signatureTable);
    EXPECT_EQ(r.trailingKind, "certificate-table");
    EXPECT_TRUE(r.archiveCovered);

    // Signed first, archive appended afterwards: outside the signature.
    r = Analyse(Installer(dir, archive, Sign(FakeStub())));
    EXPECT_FALSE(r.archiveCovered);
    EXPECT_TRUE(HasProblem(r, "archive-outside-signature")) << Codes(r);

    // Anything else after the archive is "other" trailing data, and harmless to the stub.
    r = Analyse(Installer(dir, archive + "tail bytes"));
    EXPECT_EQ(r.trailingKind, "other");
    EXPECT_EQ(r.trailingSize, 10u);
    EXPECT_TRUE(r.problems.empty()) << Codes(r);
}
