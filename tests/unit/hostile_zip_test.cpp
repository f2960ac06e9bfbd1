// Hostile ZIP payloads, each run whole through the stub: names that try to leave the staging
// folder in every spelling, sizes no 32-bit process can hold, a deflate bomb, entries that
// overlap or stop short, and headers that point past the end of the file. For each: the exit
// code, what stays behind, and that nothing is ever written outside the staging folder.
#include <gtest/gtest.h>
#include <zlib.h>

#include "hostile_whole_run.h"
#include "run/Failure.h"
#include "support/ZipBuilder.h"

namespace {

using namespace hostile;
using testsupport::BuildZip;
using testsupport::RawDeflate;
using testsupport::ZipEntry;
using testsupport::ZipOptions;

ZipEntry Installer() { return ZipEntry{"Orvak ZEB Installer.exe", "MZ installer"}; }

// The run ended with 5 before any program started; the staging folder stayed with exactly
// `left` in it; nothing was written anywhere else.
void ExpectFailedRun(const Outcome& run, const FileMap& left) {
    ASSERT_TRUE(run.result.exited);
    EXPECT_EQ(run.result.exitCode, kFailure);
    EXPECT_FALSE(run.installerStarted);
    EXPECT_EQ(run.tempAfter.size(), 1u) << "the staging folder stays, alone";
    EXPECT_EQ(run.stagingAfter, left) << "left:\n" << Show(run.stagingAfter);
    EXPECT_TRUE(run.outside.empty()) << run.outside.front();
}

TEST(HostileZip, TraversalInEverySpellingEndsTheRunBeforeTheEntryIsWritten) {
    const std::vector<std::string> names = {
        "../evil.txt", "..\\evil.txt", "/abs.txt", "\\abs.txt", "C:x.txt", "C:/Temp/evil.txt",
        "\\\\server\\share\\evil.txt", "//server/share/evil.txt", "name.txt:stream",
        "a/../../evil.txt", "a\\..\\..\\evil.txt", "sub/../evil.txt", "..", "../", ".. /evil.txt",
        "... /evil.txt", "a/ ../evil.txt",
        // Reserved device names, as a whole name, with an extension, in a folder, in any case.
        "CON", "con.txt", "aux", "sub/NUL", "nul.tar.gz", "PRN ", "COM1", "com9.log", "LPT1",
        "lpt9/x.txt", "CON .txt", "CONIN$", "COM\xC2\xB9",
        // A NUL inside the name: the part after it must not be taken for a second path.
        std::string("a.txt\0../x", 10), std::string("\0../x", 5),
    };
    for (const std::string& name : names) {
        SCOPED_TRACE("name: " + name);
        WholeRun run;
        run.WriteStub(StubImage(), BuildZip({Installer(), ZipEntry{name, "evil"}}));
        ExpectFailedRun(run.Run(), {{"Orvak ZEB Installer.exe", "MZ installer"}});
    }
}

TEST(HostileZip, SizesNoThirtyTwoBitProcessCanHoldEndTheRun) {
    // An entry declaring 3 GiB, stored or deflated, and one whose compressed size claims 3 GiB:
    // the heap refuses the block (as a 32-bit process's would) and nothing is created for it.
    const uint32_t threeGiB = 0xC0000000u;
    ZipEntry stored{"big.bin", "tiny"};
    stored.uncompressedSize = threeGiB;
    ZipEntry deflated{"big.bin", "tiny"};
    deflated.deflate = true;
    deflated.uncompressedSize = threeGiB;
    ZipEntry packed{"big.bin", "tiny"};
    packed.deflate = true;
    packed.compressedSize = threeGiB;
    for (const ZipEntry& big : {stored, deflated, packed}) {
        WholeRun run;
        run.WriteStub(StubImage(), BuildZip({Installer(), big}));
        const Outcome outcome = run.Run();
        ExpectFailedRun(outcome, {{"Orvak ZEB Installer.exe", "MZ installer"}});
    }
}

TEST(HostileZip, DeflateBombEndsTheRunWithoutWritingIt) {
    // 16 MiB of zeros packed into some 16 KiB, declared as 1 MiB: the stream does not end within
    // the declared size, and the entry is not written.
    const std::string zeros(16u << 20, '\0');
    ZipEntry bomb{"bomb.bin", zeros};
    bomb.deflate = true;
    bomb.uncompressedSize = 1u << 20;
    bomb.crc = 0;
    WholeRun run;
    run.WriteStub(StubImage(), BuildZip({Installer(), bomb}));
    ExpectFailedRun(run.Run(), {{"Orvak ZEB Installer.exe", "MZ installer"}});
}

TEST(HostileZip, OverlappingEntriesAreReadAsTheLocalRecordsLie) {
    // A stored entry whose declared size swallows the next record: the walk takes the swallowed
    // record as data (its CRC over those bytes is right), so the second name never exists; the
    // installer runs with exactly what the walk read.
    const std::string second = BuildZip({ZipEntry{"hidden.txt", "hidden"}}, ZipOptions{false});
    ZipEntry swallowing{"Orvak ZEB Installer.exe", "MZ" + second};
    const std::string archive = BuildZip({swallowing});
    WholeRun run;
    run.WriteStub(StubImage(), archive);
    const Outcome outcome = run.Run();
    ASSERT_TRUE(outcome.result.exited);
    EXPECT_EQ(outcome.result.exitCode, kInstallerCode);
    EXPECT_EQ(outcome.stagingAtStart, (FileMap{{"Orvak ZEB Installer.exe", "MZ" + second}}));

    EXPECT_TRUE(outcome.outside.empty());
}

TEST(HostileZip, StoredEntryHidingARecordInItsCompressedSizeIsRefused) {
    // A stored entry whose compressed size covers a second local record that its uncompressed
    // size leaves out. ZIP listers skip the compressed size and never see the hidden record; a
    // walk that followed the uncompressed size would unpack and run it. The stub refuses the
    // entry before creating anything for it.
    const std::string hidden =
        BuildZip({ZipEntry{"Orvak ZEB Installer.exe", "MZ smuggled"}}, ZipOptions{false});
    ZipEntry cover{"readme.txt", "honest text" + hidden};
    cover.uncompressedSize = 11;
    cover.crc = static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>("honest text"), 11));
    WholeRun run;
    run.WriteStub(StubImage(), BuildZip({cover, ZipEntry{"Orvak ZEB Installer.exe", "MZ installer"}}));
    const Outcome outcome = run.Run();
    ExpectFailedRun(outcome, {});
    ASSERT_FALSE(outcome.result.notes.empty());
    EXPECT_EQ(outcome.result.notes.back().reason, static_cast<uint32_t>(stub::Reason::ZipStoredSizes));

    // One byte more declared than stored: refused the same way, not read into the next record.
    ZipEntry running{"Orvak ZEB Installer.exe", "MZ installer"};
    running.uncompressedSize = 13;
    WholeRun runInto;
    runInto.WriteStub(StubImage(), BuildZip({running, ZipEntry{"data.txt", "data"}}));
    ExpectFailedRun(runInto.Run(), {});
}

TEST(HostileZip, RecordsTheWalkCannotFollowAreRefusedBeforeTheirEntry) {
    // Methods other than stored and deflate (even when the data is deflate), the flags for
    // encryption, a data descriptor, patched data, strong encryption and a masked header, and the
    // ZIP64 size marker: each ends the run with nothing created for the entry.
    struct Case {
        const char* label;
        ZipEntry entry;
        stub::Reason reason;
    };
    std::vector<Case> cases;
    for (const uint16_t method : {1, 9, 12, 14, 93, 99}) {
        ZipEntry e{"payload.bin", "data data data"};
        e.deflate = true;
        e.method = method;
        cases.push_back({"method", e, stub::Reason::ZipMethod});
    }
    for (const uint16_t flag : {0x0001, 0x0008, 0x0020, 0x0040, 0x2000}) {
        ZipEntry e{"payload.bin", "data"};
        e.flags = flag;
        cases.push_back({"flag", e, stub::Reason::ZipFlags});
    }
    for (const bool packed : {false, true}) {
        ZipEntry e{"payload.bin", "data"};
        e.deflate = true;
        (packed ? e.compressedSize : e.uncompressedSize) = 0xFFFFFFFFu;
        cases.push_back({"zip64", e, stub::Reason::ZipSizeUnknown});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.label) + " " + std::to_string(c.entry.method.value_or(0)) + " " +
                     std::to_string(c.entry.flags));
        WholeRun run;
        run.WriteStub(StubImage(), BuildZip({Installer(), c.entry}));
        const Outcome outcome = run.Run();
        ExpectFailedRun(outcome, {{"Orvak ZEB Installer.exe", "MZ installer"}});
        ASSERT_FALSE(outcome.result.notes.empty());
        EXPECT_EQ(outcome.result.notes.back().reason, static_cast<uint32_t>(c.reason));
        EXPECT_EQ(outcome.result.notes.back().detail, 1u);
    }
}

TEST(HostileZip, TruncatedEntriesAndHeadersPastTheEndEndTheRun) {
    const std::string whole = BuildZip({Installer(), ZipEntry{"data.bin", std::string(1000, 'd')}},
                                       ZipOptions{false});
    // Cut inside the second entry's data, inside its name, inside its header.
    const size_t second = whole.find("PK\x03\x04", 4);
    ASSERT_NE(second, std::string::npos);
    for (const size_t cut : {whole.size() - 1, second + 30 + 4, second + 12}) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        WholeRun run;
        run.WriteStub(StubImage(), whole.substr(0, cut));
        ExpectFailedRun(run.Run(), {{"Orvak ZEB Installer.exe", "MZ installer"}});
    }
    // A compressed size pointing past the end of the file, and an extra field that does.
    ZipEntry past{"past.bin", "data"};
    past.deflate = true;
    past.compressedSize = 0x01000000u;
    ZipEntry extra{"extra.bin", "data"};
    extra.extra = "x";
    for (ZipEntry entry : {past, extra}) {
        std::string archive = BuildZip({Installer(), entry}, ZipOptions{false});
        if (entry.name == "extra.bin") {
            const size_t at = archive.find("PK\x03\x04", 4) + 28;
            archive[at] = '\xFF';  // extra field length 0xFFFF, far beyond the file
            archive[at + 1] = '\xFF';
        }
        SCOPED_TRACE(entry.name);
        WholeRun run;
        run.WriteStub(StubImage(), archive);
        ExpectFailedRun(run.Run(), {{"Orvak ZEB Installer.exe", "MZ installer"}});
    }
}

}  // namespace
