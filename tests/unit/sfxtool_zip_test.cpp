// sfxtool's ZIP side: the deterministic writer, and verify's checks of ZIP payloads (each problem
// the stub would trip on is found; a well-formed installer passes).
#include <gtest/gtest.h>

#include <sstream>

#include "sfxtool/Analysis.h"
#include "sfxtool/StubCalls.h"
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
    const auto walk = sfxtool::ListZipAsStub(dir / "p.zip", 64);
    ASSERT_TRUE(walk.complete);
    ASSERT_EQ(walk.records.size(), 3u);
    EXPECT_EQ(walk.records[0].rawName, "a/b.txt");
    EXPECT_EQ(walk.records[0].method, 8u);  // compressible: deflated
    EXPECT_EQ(walk.records[0].size, 5000u);
    EXPECT_LT(walk.records[0].packedSize, 100u);
    EXPECT_EQ(walk.records[1].method, 0u);  // empty: stored
    EXPECT_EQ(walk.records[2].method, 0u);  // deflate would not be smaller: stored
    EXPECT_EQ(walk.records[2].packedSize, 3000u);
    for (const auto& e : walk.records) EXPECT_EQ(e.flags & 0x0008, 0u) << "no data descriptors";
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
    EXPECT_EQ(r.archiveEnd, r.fileSize);
    // The stub's own run on the file unpacked both files and started the installer.
    EXPECT_TRUE(r.trial.started);
    EXPECT_TRUE(r.extractionComplete);
    EXPECT_EQ(r.trial.staged.size(), 2u);
    EXPECT_EQ(r.trial.parameters, std::string(" ") + sfxtool::kTrialParameters);
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
    zip64.uncompressedSize = 0xFFFFFFFFu;
    cases.push_back({"zip64", zip64});
    ZipEntry badCrc{"crc.txt", "hello"};
    badCrc.crc = 0x12345678;
    cases.push_back({"crc-mismatch", badCrc});
    ZipEntry overflow{"over.txt", std::string(4000, 'z'), true};
    overflow.uncompressedSize = 100;  // the stream yields more than the declared size
    cases.push_back({"zip-size", overflow});
    ZipEntry smuggler{"readme.txt", "honest" + testsupport::BuildZip({{kInstallerName, "MZ hidden"}}, {false})};
    smuggler.uncompressedSize = 6;  // a stored entry whose compressed size hides a record
    cases.push_back({"zip-stored-sizes", smuggler});

    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        const auto r = Analyse(Installer(dir, testsupport::BuildZip({installer, c.entry})));
        EXPECT_TRUE(HasProblem(r, c.code)) << Codes(r);
        EXPECT_FALSE(r.trial.started);
    }
}

TEST(SfxtoolZipChecks, ListsAFolderEntryThatCarriesDataAsTheStubWalksIt) {
    // A folder entry whose data holds a whole local record: the stub skips the data unread, so
    // the record inside is never an entry, and the installer runs.
    TempDir dir;
    const std::string hidden = testsupport::BuildZip({{"hidden.exe", "MZ hidden"}}, {false});
    const auto r = Analyse(Installer(dir, testsupport::BuildZip({{"folder/", hidden}, {kInstallerName, "MZ"}})));
    EXPECT_EQ(sfxtool::ErrorCount(r), 0u) << Codes(r);
    ASSERT_EQ(r.entries.size(), 2u);
    EXPECT_EQ(r.entries[0].name, "folder/");
    EXPECT_EQ(r.entries[1].name, kInstallerName);
    EXPECT_TRUE(r.trial.started);
    EXPECT_EQ(r.trial.staged.count("hidden.exe"), 0u);
}

TEST(SfxtoolZipChecks, FindsAnArchiveThatEndsRightAfterItsLastEntry) {
    TempDir dir;
    testsupport::ZipOptions noCentral;
    noCentral.centralDirectory = false;
    const auto r = Analyse(Installer(dir, testsupport::BuildZip({{kInstallerName, "MZ"}}, noCentral)));
    EXPECT_TRUE(HasProblem(r, "zip-no-end-record")) << Codes(r);
    EXPECT_EQ(r.trial.exitCode, 5u) << "the stub's own walk fails at the end of the file";
    EXPECT_EQ(r.trial.staged.size(), 1u);
}

TEST(SfxtoolZipChecks, FindsUnsafeDuplicatedAndOverlongNamesWhereTheStubStops) {
    TempDir dir;
    const std::string longName = std::string(191, 'n') + ".txt";  // 195 bytes
    struct Case {
        std::vector<std::pair<std::string, std::string>> entries;
        const char* code;
    };
    const std::vector<Case> cases = {
        {{{"../evil.txt", "x"}}, "unsafe-name"},
        {{{"sub/CON", "x"}}, "unsafe-name"},
        {{{"what?.txt", "x"}}, "unsafe-name"},
        {{{"Readme.TXT", "1"}, {"readme.txt", "2"}}, "duplicate-name"},  // case
        {{{"trail.", "3"}, {"trail", "4"}}, "duplicate-name"},           // trailing dot
        {{{"item", "5"}, {"item/inner", "6"}}, "duplicate-name"},        // a file used as a folder
        {{{longName, "7"}}, "name-too-long"},  // staging length 64: 64 + 195 + 1 = 260
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.entries.back().first);
        auto entries = c.entries;
        entries.insert(entries.begin(), {kInstallerName, "MZ"});
        const auto r = Analyse(Installer(dir, Written(entries)));
        ASSERT_EQ(sfxtool::ErrorCount(r), 1u) << Codes(r);
        EXPECT_EQ(r.problems.front().code, c.code);
        // The message names the entry, or for a name refused unread, its length.
        const std::string& message = r.problems.front().message;
        EXPECT_TRUE(message.find(c.entries.back().first) != std::string::npos ||
                    message.find("a name of 195 bytes") != std::string::npos) << message;
    }
    // One unit shorter staging path and the long name fits (63 + 195 + 1 = 259).
    const std::string path = Installer(dir, Written({{kInstallerName, "MZ"}, {longName, "7"}}));
    EXPECT_EQ(sfxtool::ErrorCount(Analyse(path, 63)), 0u);
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

TEST(SfxtoolZipChecks, TheStubsBuffersAreThePeakMemoryWhateverTheEntrySize) {
    // 64 MiB of zeros in one deflated entry: streamed through the stub's fixed buffers, so the
    // peak memory the tool reports is those buffers (of the walk and of each worker), and the trial
    // unpacks the entry whole.
    TempDir dir;
    const std::string zeros(64u << 20, '\0');
    const auto r = Analyse(Installer(dir, testsupport::BuildZip({{kInstallerName, "MZ"}, {"zeros.bin", zeros, true}})));
    EXPECT_EQ(sfxtool::ErrorCount(r), 0u) << Codes(r);
    EXPECT_EQ(r.workers, 2u);  // one an entry
    EXPECT_LT(r.peakMemory, 2u << 20);
    EXPECT_EQ(r.trial.staged.at("zeros.bin"), zeros.size());
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

    // Anything else after the archive is "other" trailing data, which the stub never reads: a problem.
    r = Analyse(Installer(dir, archive + "tail bytes"));
    EXPECT_EQ(r.trailingKind, "other");
    EXPECT_EQ(r.trailingSize, 10u);
    EXPECT_EQ(sfxtool::ErrorCount(r), 1u) << Codes(r);
    EXPECT_TRUE(HasProblem(r, "trailing-data")) << Codes(r);
}
