// Hostile 7z payloads, each run whole through the stub: unsafe names in every spelling, a folder
// that declares more than 4 GiB, entries whose sizes overrun their folder, truncated archives and
// a header that points past the end of the file. A 7z failure of the decoder only stops the
// extraction: the run goes on to the launch with what was written before.
#include <gtest/gtest.h>

#include "hostile_whole_run.h"
#include "support/SevenZipBuilder.h"

namespace {

using namespace hostile;
using testsupport::BuildSevenZipRaw;
using testsupport::SevenZipRawEntry;

// The installer's data starts with a zero byte: it is the archive's byte 32, which the locator
// wants to be zero (as an LZMA stream's first byte is).
const std::string kInstallerData = std::string("\0MZ installer", 13);

// ---- a minimal 7z writer for shapes neither 7zz nor the tests' writer makes -----------------
// One Copy folder per entry, each entry's data its folder's only packed stream; the unpacked size
// each folder declares is given per entry.
void Number(std::string& out, uint64_t value) {
    // 7z's variable-length number: the first byte's leading one bits count the bytes that follow.
    for (int extra = 0; extra < 8; ++extra) {
        if (value < (1ull << (7 * (extra + 1)))) {
            const uint8_t high = static_cast<uint8_t>(value >> (8 * extra));
            out.push_back(static_cast<char>(static_cast<uint8_t>(0xFF00u >> extra) | high));
            for (int i = 0; i < extra; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
            return;
        }
    }
    out.push_back(static_cast<char>(0xFF));
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}

struct FolderEntry {
    std::u16string name;
    std::string data;
    uint64_t declaredSize;  // the folder's unpacked size as written
};

std::string Le64(uint64_t v) {
    std::string out;
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
    return out;
}

// The start header's CRC over its 20 bytes after it, for headers edited to point anywhere.
void FixStartCrc(std::string& archive) {
    archive.replace(8, 4, testsupport::Le32(testsupport::Crc32(archive.substr(12, 20))));
}

std::string BuildFolders(const std::vector<FolderEntry>& entries) {
    std::string packed;
    for (const auto& e : entries) packed += e.data;
    std::string h;
    h += '\x01';  // Header
    h += '\x04';  // MainStreamsInfo
    h += '\x06';  // PackInfo
    Number(h, 0);
    Number(h, entries.size());
    h += '\x09';  // Size
    for (const auto& e : entries) Number(h, e.data.size());
    h += '\x00';
    h += '\x07';  // UnpackInfo
    h += '\x0B';  // Folder
    Number(h, entries.size());
    h += '\x00';  // not external
    for (size_t i = 0; i < entries.size(); ++i) {
        h += '\x01';  // one coder
        h += '\x01';  // simple coder, 1-byte method id
        h += '\x00';  // Copy
    }
    h += '\x0C';  // CodersUnpackSize
    for (const auto& e : entries) Number(h, e.declaredSize);
    h += '\x00';
    h += '\x00';  // end of streams info
    h += '\x05';  // FilesInfo
    Number(h, entries.size());
    std::string names;
    names += '\x00';  // not external
    for (const auto& e : entries) {
        for (const char16_t unit : e.name) {
            names.push_back(static_cast<char>(unit & 0xFF));
            names.push_back(static_cast<char>(unit >> 8));
        }
        names += std::string(2, '\0');
    }
    h += '\x11';  // Name
    Number(h, names.size());
    h += names;
    h += '\x00';  // end of files info
    h += '\x00';  // end of header

    std::string start("7z\xBC\xAF\x27\x1C\x00\x04", 8);
    start += testsupport::Le32(0);  // start-header CRC, filled below
    start += Le64(packed.size());
    start += Le64(h.size());
    start += testsupport::Le32(testsupport::Crc32(h));
    std::string archive = start + packed + h;
    testsupport::RefreshSevenZipCrcs(archive);
    return archive;
}

// ---- tests ----------------------------------------------------------------------------------

TEST(Hostile7z, UnsafeNamesInEverySpellingEndTheRunBeforeTheEntryIsWritten) {
    const std::vector<std::u16string> names = {
        u"../evil.txt", u"..\\evil.txt", u"/abs.txt", u"\\abs.txt", u"C:x.txt", u"C:\\Temp\\evil.txt",
        u"\\\\server\\share\\evil.txt", u"name.txt:stream", u"a/../../evil.txt", u"a\\..\\..\\evil.txt",
        u"..", u".. /evil.txt", u"CON", u"con.txt", u"sub/AUX", u"nul.tar.gz", u"COM1", u"lpt9.log",
        u"CONOUT$", u"COM\u00B3", u"PRN. .txt",
    };
    for (const std::u16string& name : names) {
        SCOPED_TRACE("name: " + platform::host::Utf8(name));
        WholeRun run;
        run.WriteStub(StubImage(), BuildSevenZipRaw({{u"Orvak ZEB Installer.exe", kInstallerData},
                                                     {name, "evil"}}));
        const Outcome outcome = run.Run();
        ASSERT_TRUE(outcome.result.exited);
        EXPECT_EQ(outcome.result.exitCode, kFailure);
        EXPECT_FALSE(outcome.installerStarted);
        EXPECT_EQ(outcome.stagingAfter, (FileMap{{"Orvak ZEB Installer.exe", kInstallerData}}));
        EXPECT_TRUE(outcome.outside.empty()) << outcome.outside.front();
    }
}

TEST(Hostile7z, ANulInsideANameMakesTheNameTableMalformed) {
    // "a.txt", NUL, "../x" as one name: the name table then holds one terminator more than there
    // are entries, which the decoder refuses on open. Nothing is written, so no installer exists:
    // the launch fails, and "../x" never becomes a path.
    WholeRun run;
    run.WriteStub(StubImage(), BuildSevenZipRaw({{u"Orvak ZEB Installer.exe", kInstallerData},
                                                 {std::u16string(u"a.txt\0../x", 10), "evil"}}));
    const Outcome outcome = run.Run();
    ASSERT_TRUE(outcome.result.exited);
    EXPECT_EQ(outcome.result.exitCode, kFailure);
    EXPECT_FALSE(outcome.installerStarted);
    EXPECT_TRUE(outcome.stagingAfter.empty()) << Show(outcome.stagingAfter);
    EXPECT_EQ(outcome.tempAfter.size(), 1u);
    EXPECT_TRUE(outcome.outside.empty()) << outcome.outside.front();
}

TEST(Hostile7z, AFolderDeclaringMoreThanFourGiBStopsTheExtractionThere) {
    // The heap refuses the folder's buffer (as it would in a 32-bit process): the extraction stops
    // at that entry, and the run goes on to launch what was written before it.
    const uint64_t fiveGiB = 5ull << 30;
    {
        WholeRun run;
        run.WriteStub(StubImage(), BuildFolders({{u"Orvak ZEB Installer.exe", kInstallerData, kInstallerData.size()},
                                                 {u"big.bin", "sixteen bytes..!", fiveGiB},
                                                 {u"after.txt", "after", 5}}));
        const Outcome outcome = run.Run();
        ASSERT_TRUE(outcome.result.exited);
        EXPECT_EQ(outcome.result.exitCode, kInstallerCode);
        EXPECT_EQ(outcome.stagingAtStart, (FileMap{{"Orvak ZEB Installer.exe", kInstallerData}}));
        EXPECT_TRUE(outcome.tempAfter.empty()) << "the staging folder is deleted after the launch";
        EXPECT_EQ(outcome.result.blocksLeft, 0u);
    }
    {
        // The same folder first: nothing is written, no installer exists, the launch fails.
        WholeRun run;
        run.WriteStub(StubImage(), BuildFolders({{u"big.bin", std::string("\0sixteen bytes.!", 16), fiveGiB},
                                                 {u"Orvak ZEB Installer.exe", kInstallerData, kInstallerData.size()}}));
        const Outcome outcome = run.Run();
        ASSERT_TRUE(outcome.result.exited);
        EXPECT_EQ(outcome.result.exitCode, kFailure);
        EXPECT_FALSE(outcome.installerStarted);
        EXPECT_TRUE(outcome.stagingAfter.empty());
        EXPECT_EQ(outcome.tempAfter.size(), 1u);
    }
    {
        // Sizes just over 4 GiB, which a 32-bit size would wrap to a few bytes: refused like the
        // rest, never taken for a short buffer.
        for (const uint64_t declared : {(4ull << 30) + 16, 0xFFFFFFFFull + 1}) {
            WholeRun run;
            run.WriteStub(StubImage(), BuildFolders({{u"Orvak ZEB Installer.exe", kInstallerData, kInstallerData.size()},
                                                     {u"wrap.bin", "sixteen bytes..!", declared}}));
            const Outcome outcome = run.Run();
            ASSERT_TRUE(outcome.result.exited);
            EXPECT_EQ(outcome.result.exitCode, kInstallerCode);
            EXPECT_EQ(outcome.stagingAtStart, (FileMap{{"Orvak ZEB Installer.exe", kInstallerData}}));
        }
    }
}

TEST(Hostile7z, SizesThatOverrunTheirPackedDataStopTheExtraction) {
    // A folder that declares more unpacked bytes than its Copy stream holds: the decoder fails the
    // folder, the entries before it stay, the launch runs them.
    WholeRun run;
    run.WriteStub(StubImage(), BuildFolders({{u"Orvak ZEB Installer.exe", kInstallerData, kInstallerData.size()},
                                             {u"over.bin", "four", 4096}}));
    const Outcome outcome = run.Run();
    ASSERT_TRUE(outcome.result.exited);
    EXPECT_EQ(outcome.result.exitCode, kInstallerCode);
    EXPECT_EQ(outcome.stagingAtStart, (FileMap{{"Orvak ZEB Installer.exe", kInstallerData}}));
}

TEST(Hostile7z, TruncatedArchivesAndAHeaderPastTheEndOpenNothing) {
    const std::string whole = BuildSevenZipRaw({{u"Orvak ZEB Installer.exe", kInstallerData},
                                                {u"data.txt", "data"}});
    std::vector<std::pair<std::string, std::string>> cases;
    cases.emplace_back("cut in the header", whole.substr(0, whole.size() - 3));
    cases.emplace_back("cut in the data", whole.substr(0, 40));
    cases.emplace_back("start header only", whole.substr(0, 33));
    std::string past = whole;
    const std::string farAway = Le64(0x7FFFFFFF00ull);
    past.replace(12, 8, farAway);  // next-header offset far past the end of the file
    FixStartCrc(past);
    cases.emplace_back("header past the end", past);
    std::string huge = whole;
    huge.replace(20, 8, Le64(1ull << 40));  // next-header size of 1 TiB
    FixStartCrc(huge);
    cases.emplace_back("header of a TiB", huge);
    for (const auto& [label, archive] : cases) {
        SCOPED_TRACE(label);
        WholeRun run;
        run.WriteStub(StubImage(), archive);
        const Outcome outcome = run.Run();
        ASSERT_TRUE(outcome.result.exited);
        EXPECT_EQ(outcome.result.exitCode, kFailure) << "no installer could be written";
        EXPECT_FALSE(outcome.installerStarted);
        EXPECT_TRUE(outcome.stagingAfter.empty());
        EXPECT_TRUE(outcome.outside.empty());
        EXPECT_EQ(outcome.result.blocksLeft, 0u) << "the extractor releases what it took";
    }
}

}  // namespace
