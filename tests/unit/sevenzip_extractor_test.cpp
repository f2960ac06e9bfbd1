// The 7z extractor inside a host run: the staging directory, the stub's own file with an archive
// appended, the payload locator (or a direct seek for archives it would pass over), then the
// extractor, checked against the sandbox afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "run/Failure.h"
#include "run/RunState.h"
#include "staging/StagingDirectory.h"
#include "payload/PayloadLocator.h"
#include "payload/SevenZipExtractor.h"
#include "payload/SevenZipStreams.h"
#include "platform/host/host.h"
#include "support/SevenZipBuilder.h"
#include "support/ZipBuilder.h"

namespace {

using platform::host::Call;
using platform::host::CallRecord;
using platform::host::Environment;
using platform::host::Faults;
using platform::host::RunResult;
using platform::host::Sandbox;
using platform::host::Storage;
using testsupport::SevenZipRawEntry;
using testsupport::SevenZipRawOptions;
using testsupport::SevenZipToolFile;
using testsupport::SevenZipToolStep;

constexpr size_t kImageSize = 4096;

enum class Positioning { Locator, DirectSeek };

struct Extraction {
    RunResult result;
    stub::PayloadKind kind = stub::PayloadKind::None;
    std::u16string staging;  // the staging directory's path; empty when it was not made
    uint32_t stagingLength = 0;
    bool setUpDone = false;
    std::vector<std::string> before;  // the sandbox's content before the run
};

struct RunOptions {
    Positioning positioning = Positioning::Locator;
    std::string trailing;  // bytes after the archive
    bool extract = true;
};

// Writes the stub file (fake image, archive, trailing bytes) and runs the set-up stages and the
// extractor inside one host run.
Extraction RunExtraction(Sandbox& sandbox, const Environment& env, const std::string& archive,
                         const Faults& faults = {}, const RunOptions& options = {}) {
    sandbox.WriteFile(env.modulePath, testsupport::FakeStubImage(kImageSize) + archive +
                                          options.trailing);
    Extraction run;
    platform::host::Run(sandbox, env, [] {});  // lays out the environment's folders
    run.before = sandbox.ListAll();
    auto state = std::make_unique<stub::RunState>();
    run.result = platform::host::Run(
        sandbox, env,
        [&] {
            using namespace platform;
            if (!stub::CreateStagingDirectory(state->staging)) ExitProcess(stub::kFailureExitCode);
            // Workers open the stub's file again by its path.
            std::copy(env.modulePath.begin(), env.modulePath.end(), state->selfPath);
            state->selfPath[env.modulePath.size()] = 0;
            run.staging.assign(state->staging.stagingPath, state->staging.stagingLength);
            run.stagingLength = state->staging.stagingLength;
            state->selfFile = CreateFileW(env.modulePath.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                          nullptr, OPEN_EXISTING, 0, nullptr);
            if (state->selfFile == INVALID_HANDLE_VALUE) ExitProcess(stub::kFailureExitCode);
            if (options.positioning == Positioning::Locator) {
                run.kind = stub::PayloadLocator(state->selfFile);
                if (run.kind != stub::PayloadKind::SevenZip) ExitProcess(stub::kFailureExitCode);
            } else {
                i32 high = 0;
                if (SetFilePointer(state->selfFile, static_cast<i32>(kImageSize), &high,
                                   FILE_BEGIN) == INVALID_SET_FILE_POINTER) {
                    ExitProcess(stub::kFailureExitCode);
                }
                run.kind = stub::PayloadKind::SevenZip;
            }
            run.setUpDone = true;
            if (options.extract) stub::SevenZipExtractor(*state);
            CloseHandle(state->selfFile);
            CloseHandle(state->staging.folder.handle);  // the hold, as the delete lets go
        },
        faults);
    return run;
}

// Files (relative path -> content) and folders (relative path ending in "/") in the staging
// directory.
struct Staged {
    std::map<std::string, std::string> files;
    std::set<std::string> folders;
};

Staged ReadStaged(const Sandbox& sandbox, const std::u16string& staging) {
    Staged staged;
    for (const std::string& entry : sandbox.List(staging)) {
        if (!entry.empty() && entry.back() == '/') {
            staged.folders.insert(entry);
        } else {
            staged.files[entry] = sandbox.ReadFile(staging + u"\\" + platform::host::Utf16(entry));
        }
    }
    return staged;
}

// Paths (relative to the sandbox root) that appeared during the run outside the staging directory.
std::vector<std::string> NewOutsideStaging(const Sandbox& sandbox, const Extraction& run) {
    std::set<std::string> before(run.before.begin(), run.before.end());
    std::string stagingRelative;
    if (!run.staging.empty()) stagingRelative = sandbox.RelativePath(run.staging);
    std::vector<std::string> outside;
    for (std::string path : sandbox.ListAll()) {
        if (before.count(path) != 0) continue;
        if (!path.empty() && path.back() == '/') path.pop_back();
        if (!stagingRelative.empty() &&
            (path == stagingRelative || path.rfind(stagingRelative + "/", 0) == 0)) {
            continue;
        }
        outside.push_back(path);
    }
    return outside;
}

std::map<std::string, std::string> FilesOf(const std::vector<SevenZipToolFile>& files) {
    std::map<std::string, std::string> out;
    for (const SevenZipToolFile& file : files) {
        if (file.name.empty() || file.name.back() != '/') out[file.name] = file.data;
    }
    return out;
}

// Deterministic bytes: incompressible noise, or code-like bytes for the branch filters (call and
// branch opcodes of several architectures among noise).
std::string Noise(size_t size, uint32_t seed) {
    std::string out(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (char& c : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x >> 24);
    }
    return out;
}

std::string CodeLike(size_t size, uint32_t seed) {
    std::string out = Noise(size, seed);
    const std::string opcodes[] = {std::string("\xE8"), std::string("\xE9"),
                                   std::string("\x0F\x85"), std::string("\xEB"),
                                   std::string("\xF0\x00", 2), std::string("\x00\x00\x00\x00", 4),
                                   std::string("\x4B\x00\x00\x48", 4)};
    const size_t kinds = sizeof opcodes / sizeof opcodes[0];
    for (size_t i = 0; i + 8 < size; i += 7 + (i % 5)) {
        const std::string& op = opcodes[(i / 7) % kinds];
        out.replace(i, op.size(), op);
    }
    // Repetitive stretches as well, so the packed streams are not plain copies.
    const std::string pattern = "ABCDABCDABCDABCD";
    for (size_t i = size / 2; i + pattern.size() <= size; i += 64) {
        out.replace(i, pattern.size(), pattern);
    }
    return out;
}

class SevenZipExtractorTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::SevenZipToolAvailable()) GTEST_SKIP() << "7zz is not installed";
    }
    Sandbox sandbox;
    Environment env;
};

// Expects a run that returned (the run would go on to the launch) with every file as given.
void ExpectComplete(const Sandbox& sandbox, const Extraction& run,
                    const std::map<std::string, std::string>& files) {
    ASSERT_TRUE(run.setUpDone);
    EXPECT_FALSE(run.result.exited) << "exit code " << run.result.exitCode;
    EXPECT_EQ(run.result.handlesLeft, 0u);
    EXPECT_EQ(run.result.blocksLeft, 0u);
    const Staged staged = ReadStaged(sandbox, run.staging);
    EXPECT_EQ(staged.files, files);
    EXPECT_EQ(NewOutsideStaging(sandbox, run), std::vector<std::string>{});
}

// ---- complete extraction of the supported folder shapes -------------------------------------

TEST_F(SevenZipExtractorTest, LzmaAndBcjFoldersWithEmptyFilesAndDirectoriesUnpackCompletely) {
    const std::vector<SevenZipToolFile> text = {
        {"readme.txt", "Read me first.\n"},
        {"docs/guide.txt", std::string(5000, 'g') + "end"},
        {"docs/deep/nested/note.txt", "nested"},
        {"docs/empty.txt", ""},
        {"blank.cfg", ""},
        {"unused/", ""},
        {"docs/deep/also-unused/", ""},
    };
    const std::vector<SevenZipToolFile> code = {
        {"Orvak ZEB Installer.exe", CodeLike(70000, 1)},
        {"bin/helper.dll", CodeLike(20000, 2)},
    };
    // Header packed (7zz's default), one LZMA folder, then one folder behind the x86 filter.
    const std::string archive = testsupport::BuildSevenZipWithTool(
        {{text, {"-m0=LZMA"}}, {code, {"-m0=LZMA", "-mf=BCJ"}}});

    const Extraction run = RunExtraction(sandbox, env, archive);
    auto expected = FilesOf(text);
    for (const auto& [name, data] : FilesOf(code)) expected[name] = data;
    ExpectComplete(sandbox, run, expected);

    const Staged staged = ReadStaged(sandbox, run.staging);
    EXPECT_EQ(staged.folders, (std::set<std::string>{"bin/", "docs/", "docs/deep/",
                                                     "docs/deep/nested/"}))
        << "only parents of files are made; directory entries create nothing";
}

TEST_F(SevenZipExtractorTest, EveryAcceptedCoderChainUnpacks) {
    struct Shape {
        const char* label;
        std::vector<SevenZipToolStep> steps;
        Positioning positioning;
    };
    const std::vector<SevenZipToolFile> files = {
        {"a/prog.bin", CodeLike(40000, 3)},
        {"a/table.dat", CodeLike(9000, 4)},
        {"z.txt", "last file"},
    };
    const std::vector<SevenZipToolFile> more = {{"m/more.bin", CodeLike(12000, 5)},
                                                {"m/more.txt", "more"}};
    const std::vector<Shape> shapes = {
        {"BCJ2 with three LZMA coders",
         {{files,
           {"-m0=BCJ2", "-m1=LZMA", "-m2=LZMA", "-m3=LZMA", "-mb0s0:1", "-mb0s1:2", "-mb0s2:3"}}},
         Positioning::Locator},
        {"PowerPC", {{files, {"-m0=PPC", "-m1=LZMA"}}}, Positioning::Locator},
        {"IA-64", {{files, {"-m0=IA64", "-m1=LZMA"}}}, Positioning::Locator},
        {"ARM", {{files, {"-m0=ARM", "-m1=LZMA"}}}, Positioning::Locator},
        {"ARM Thumb", {{files, {"-m0=ARMT", "-m1=LZMA"}}}, Positioning::Locator},
        {"SPARC", {{files, {"-m0=SPARC", "-m1=LZMA"}}}, Positioning::Locator},
        {"Delta", {{files, {"-m0=Delta:4", "-m1=LZMA"}}}, Positioning::Locator},
        {"x86 BCJ, plain header", {{files, {"-m0=BCJ", "-m1=LZMA", "-mhc=off"}}},
         Positioning::Locator},
        {"LZMA2 folder after an LZMA folder",
         {{files, {"-m0=LZMA"}}, {more, {"-m0=LZMA2"}}}, Positioning::Locator},
        {"Copy (its first byte is data, so no locator)", {{files, {"-m0=Copy"}}},
         Positioning::DirectSeek},
        {"LZMA2 alone (no locator)", {{files, {"-m0=LZMA2"}}}, Positioning::DirectSeek},
    };
    for (const Shape& shape : shapes) {
        SCOPED_TRACE(shape.label);
        Sandbox box;
        const std::string archive = testsupport::BuildSevenZipWithTool(shape.steps);
        RunOptions options;
        options.positioning = shape.positioning;
        const Extraction run = RunExtraction(box, env, archive, {}, options);
        std::map<std::string, std::string> expected;
        for (const SevenZipToolStep& step : shape.steps) {
            for (const auto& [name, data] : FilesOf(step.files)) expected[name] = data;
        }
        ExpectComplete(box, run, expected);
    }
}

TEST_F(SevenZipExtractorTest, TrailingDataAfterTheArchiveIsNeverRead) {
    const std::vector<SevenZipToolFile> files = {{"one.txt", "1"}, {"two/two.txt", "22"}};
    const std::string archive = testsupport::BuildSevenZipWithTool(files, {"-m0=LZMA"});
    RunOptions options;
    // Alignment zeros, then a block shaped like a certificate table, then another signature.
    options.trailing = std::string(8, '\0') + Noise(3000, 9) + archive;
    const Extraction run = RunExtraction(sandbox, env, archive, {}, options);
    ExpectComplete(sandbox, run, FilesOf(files));
}

// ---- entry shapes from our own writer ------------------------------------------------------

TEST_F(SevenZipExtractorTest, ArchivesWithoutFilesWriteNothing) {
    const std::vector<std::pair<const char*, std::vector<SevenZipRawEntry>>> cases = {
        {"no entries", {}},
        {"one directory entry", {{u"lonely", "", true}}},
        {"nested directory entries", {{u"a", "", true}, {u"a/b", "", true}}},
    };
    for (const auto& [label, entries] : cases) {
        SCOPED_TRACE(label);
        Sandbox box;
        RunOptions options;
        options.positioning = Positioning::DirectSeek;
        const Extraction run =
            RunExtraction(box, env, testsupport::BuildSevenZipRaw(entries), {}, options);
        ExpectComplete(box, run, {});
        EXPECT_TRUE(ReadStaged(box, run.staging).folders.empty());
    }
}

TEST_F(SevenZipExtractorTest, EmptyFilesAmongFilesOfOneFolderKeepBothNeighboursIntact) {
    const std::vector<SevenZipRawEntry> entries = {
        {u"first.txt", "first file"},
        {u"empty.txt", ""},
        {u"dir", "", true},
        {u"dir/second.txt", "second file, same folder"},
        {u"dir/empty2.txt", ""},
        {u"third.txt", "third"},
    };
    RunOptions options;
    options.positioning = Positioning::DirectSeek;
    const Extraction run =
        RunExtraction(sandbox, env, testsupport::BuildSevenZipRaw(entries), {}, options);
    ExpectComplete(sandbox, run,
                   {{"first.txt", "first file"},
                    {"empty.txt", ""},
                    {"dir/second.txt", "second file, same folder"},
                    {"dir/empty2.txt", ""},
                    {"third.txt", "third"}});
}

TEST_F(SevenZipExtractorTest, SecondEntryWithTheSamePathEndsTheRun) {
    const std::vector<std::pair<std::u16string, std::u16string>> pairs = {
        {u"dup.txt", u"dup.txt"},
        {u"Dir/Dup.TXT", u"dir/dup.txt"},  // the file system folds case
    };
    for (const auto& [first, second] : pairs) {
        SCOPED_TRACE(platform::host::Utf8(second));
        Sandbox box;
        RunOptions options;
        options.positioning = Positioning::DirectSeek;
        const Extraction run = RunExtraction(
            box, env,
            testsupport::BuildSevenZipRaw({{first, "one"}, {second, "two"}, {u"later.txt", "x"}}),
            {}, options);
        EXPECT_TRUE(run.result.exited);
        EXPECT_EQ(run.result.exitCode, stub::kFailureExitCode);
        const Staged staged = ReadStaged(box, run.staging);
        ASSERT_EQ(staged.files.size(), 1u);
        EXPECT_EQ(staged.files.begin()->second, "one");
        EXPECT_EQ(NewOutsideStaging(box, run), std::vector<std::string>{});
    }
}

TEST_F(SevenZipExtractorTest, NameLengthRuleCountsTheTerminatingNul) {
    // C:\ + 25 units + \ + ZEBxxxx.tmp: a staging path of 40 units.
    env.tempFolder = u"C:\\" + std::u16string(25, u'T') + u"\\";
    for (const size_t length : {size_t{217}, size_t{218}}) {
        SCOPED_TRACE(length);
        const std::string name(length, 'n');
        const std::string archive = testsupport::BuildSevenZipWithTool(
            {{"a.txt", "before"}, {name, "long"}}, {"-m0=LZMA"});
        // The temp file number is random: one of fewer than four hex digits makes the staging
        // path shorter, so run again until it has its full length.
        std::unique_ptr<Sandbox> box;
        Extraction run;
        for (int attempt = 0; attempt < 40; ++attempt) {
            box = std::make_unique<Sandbox>();
            run = RunExtraction(*box, env, archive);
            if (run.stagingLength == 40) break;
        }
        ASSERT_EQ(run.stagingLength, 40u);
        if (length == 217) {  // 40 + 218 + 1 = 259
            ExpectComplete(*box, run, {{"a.txt", "before"}, {name, "long"}});
        } else {              // 40 + 219 + 1 = 260
            EXPECT_TRUE(run.result.exited);
            EXPECT_EQ(run.result.exitCode, stub::kFailureExitCode);
            EXPECT_EQ(ReadStaged(*box, run.staging).files,
                      (std::map<std::string, std::string>{{"a.txt", "before"}}));
        }
    }
}

TEST_F(SevenZipExtractorTest, UnsafeNamesEndTheRunBeforeAnythingIsCreatedForThem) {
    // 7zz normalises or refuses such names, so these archives come from our own writer.
    const std::vector<std::u16string> names = {
        u"../evil.txt",  u"a/../../evil.txt", u"/evil.txt",    u"\\evil.txt",
        u"C:evil.txt",   u"a\\..\\..\\evil.txt", u"sub/CON",    u"nul.txt",
        u"sub/..",       u"..\\evil.txt",
    };
    for (const std::u16string& name : names) {
        SCOPED_TRACE(platform::host::Utf8(name));
        Sandbox box;
        RunOptions options;
        options.positioning = Positioning::DirectSeek;
        const Extraction run = RunExtraction(
            box, env,
            testsupport::BuildSevenZipRaw({{u"ok.txt", "fine"}, {name, "bad"}, {u"after.txt", "x"}}),
            {}, options);
        EXPECT_TRUE(run.result.exited);
        EXPECT_EQ(run.result.exitCode, stub::kFailureExitCode);
        const Staged staged = ReadStaged(box, run.staging);
        EXPECT_EQ(staged.files, (std::map<std::string, std::string>{{"ok.txt", "fine"}}));
        EXPECT_TRUE(staged.folders.empty());
        EXPECT_EQ(NewOutsideStaging(box, run), std::vector<std::string>{});
    }
}

// ---- failures that stop the extraction and let the run go on --------------------------------

TEST_F(SevenZipExtractorTest, ArchivesThatDoNotOpenWriteNothingAndReturn) {
    const std::vector<SevenZipToolFile> files = {{"a.txt", "alpha"}, {"b.txt", "beta"}};
    const std::string good = testsupport::BuildSevenZipWithTool(files, {"-m0=LZMA"});
    const std::string plain = testsupport::BuildSevenZipWithTool(files, {"-m0=LZMA", "-mhc=off"});

    std::vector<std::pair<const char*, std::string>> cases;
    {
        std::string a = good;
        testsupport::FlipByte(a, 20, 0x01);  // next-header size, start-header CRC left stale
        cases.push_back({"start header fails its CRC", a});
    }
    {
        std::string a = good;
        a[6] = 1;  // major version 1
        cases.push_back({"unsupported format version", a});
    }
    {
        std::string a = plain;
        testsupport::FlipByte(a, testsupport::SevenZipHeaderOffset(a) + 3, 0x40);
        cases.push_back({"header fails its CRC", a});
    }
    {
        std::string a = good;
        a.resize(a.size() - 5);  // the header runs past the end of the file
        cases.push_back({"header beyond the end of the file", a});
    }
    {
        // Malformed header with valid CRCs: the file count exceeds the streams.
        std::string a = plain;
        const size_t header = testsupport::SevenZipHeaderOffset(a);
        // End of the streams info, FilesInfo with two files, then the name table.
        const size_t filesInfo = testsupport::FindOnce(a, std::string("\x00\x05\x02\x11", 4), header);
        a[filesInfo + 2] = 3;
        testsupport::RefreshSevenZipCrcs(a);
        cases.push_back({"malformed header", a});
    }
    for (const auto& [label, archive] : cases) {
        SCOPED_TRACE(label);
        Sandbox box;
        ExpectComplete(box, RunExtraction(box, env, archive), {});
    }

    // No name table at all: nothing can be named, treated like an archive that did not open.
    SevenZipRawOptions noNames;
    noNames.storeNames = false;
    RunOptions direct;
    direct.positioning = Positioning::DirectSeek;
    Sandbox box;
    const Extraction run = RunExtraction(
        box, env, testsupport::BuildSevenZipRaw({{u"a.txt", "a"}, {u"b.txt", "b"}}, noNames), {},
        direct);
    ExpectComplete(box, run, {});
}

TEST_F(SevenZipExtractorTest, CrcMismatchInTheThirdFileKeepsTheFirstTwoAndStops) {
    const std::vector<SevenZipToolFile> files = {
        {"a.txt", "first file's data"},
        {"b.txt", "second file's data"},
        {"c.txt", "third file's data, stored CRC broken"},
        {"d.txt", "fourth file's data"},
    };
    std::string archive = testsupport::BuildSevenZipWithTool(files, {"-m0=LZMA", "-mhc=off"});
    const size_t crcAt =
        testsupport::FindOnce(archive, testsupport::Le32(testsupport::Crc32(files[2].data)),
                              testsupport::SevenZipHeaderOffset(archive));
    testsupport::FlipByte(archive, crcAt, 0x01);
    testsupport::RefreshSevenZipCrcs(archive);

    const Extraction run = RunExtraction(sandbox, env, archive);
    ExpectComplete(sandbox, run, {{"a.txt", files[0].data}, {"b.txt", files[1].data}});
    size_t outputCreates = 0;
    for (const CallRecord& record : run.result.calls) {
        if (record.call == Call::CreateFileW && record.path.find(u"ZEB") != std::u16string::npos &&
            record.path.find(u".tmp\\") != std::u16string::npos) {
            ++outputCreates;
        }
    }
    // The third file is streamed, found wrong at its end and deleted; nothing comes after it.
    EXPECT_EQ(outputCreates, 3u) << "nothing is created after the third entry";
    ASSERT_FALSE(run.result.notes.empty());
    EXPECT_EQ(run.result.notes.back().reason, static_cast<uint32_t>(stub::Reason::SevenZipCrc));
    EXPECT_EQ(run.result.notes.back().detail, 2u);
}

TEST_F(SevenZipExtractorTest, DecodingFailuresStopAtTheFirstEntryOfTheBadFolder) {
    const std::vector<SevenZipToolFile> early = {{"Orvak ZEB Installer.exe", CodeLike(3000, 6)},
                                                 {"early.txt", "early"}};
    const std::vector<SevenZipToolFile> late = {{"late/big.bin", Noise(30000, 7)},
                                                {"late/small.txt", "small"}};
    std::map<std::string, std::string> earlyFiles = FilesOf(early);

    {
        SCOPED_TRACE("PPMd folder: unsupported method");
        Sandbox box;
        const std::string archive = testsupport::BuildSevenZipWithTool(
            {{early, {"-m0=LZMA"}}, {late, {"-m0=PPMd"}}});
        ExpectComplete(box, RunExtraction(box, env, archive), earlyFiles);
    }
    {
        SCOPED_TRACE("corrupt packed data in the second folder");
        Sandbox box;
        std::string archive = testsupport::BuildSevenZipWithTool(
            {{early, {"-m0=LZMA"}}, {late, {"-m0=LZMA", "-mhc=off"}}});
        // The second folder's packed stream (about 30 KB of noise) ends where the header begins.
        testsupport::FlipByte(archive, testsupport::SevenZipHeaderOffset(archive) - 15000, 0x5A);
        ExpectComplete(box, RunExtraction(box, env, archive), earlyFiles);
    }
}

// ---- fault injection over a whole extraction ---------------------------------------------------

// With 1, 2 and 4 processors: as many workers as folders allow, taking turns in an interleaving of
// their own.
class SevenZipFaultSweep : public SevenZipExtractorTest, public ::testing::WithParamInterface<uint32_t> {
protected:
    void SetUp() override {
        SevenZipExtractorTest::SetUp();
        if (IsSkipped()) return;
        text = {{"readme.txt", "Read me.\n"},
                {"docs/guide.txt", std::string(3000, 'g')},
                {"docs/empty.txt", ""},
                {"docs/deep/note.txt", "note"},
                {"unused/", ""}};
        code = {{"Orvak ZEB Installer.exe", CodeLike(40000, 8)}, {"bin/x.dll", CodeLike(5000, 9)}};
        more = {{"more/a.bin", Noise(9000, 10)}, {"more/b.txt", "bee"}};
        last = {{"z/last.txt", std::string(700, 'z')}};
        // Four folders: up to four workers.
        archive = testsupport::BuildSevenZipWithTool({{text, {"-m0=LZMA"}},
                                                      {code, {"-m0=LZMA", "-mf=BCJ"}},
                                                      {more, {"-m0=LZMA2"}},
                                                      {last, {"-m0=LZMA"}}});
        expected = FilesOf(text);
        for (const auto* step : {&code, &more, &last}) {
            for (const auto& [name, data] : FilesOf(*step)) expected[name] = data;
        }

        // Archive order: the order one worker writes the files in.
        Sandbox orderBox(Storage::Memory);
        const Extraction sequential = RunExtraction(orderBox, env, archive);
        ExpectComplete(orderBox, sequential, expected);
        for (const CallRecord& record : sequential.result.calls) {
            if (record.call == Call::CreateFileW && record.path.rfind(sequential.staging + u"\\", 0) == 0) {
                order.push_back(platform::host::Utf8(record.path.substr(sequential.staging.size() + 1)));
            }
        }
        ASSERT_EQ(order.size(), expected.size());

        env.processors = GetParam();
        env.interleaveSeed = GetParam() == 1 ? 0 : 3;
        Sandbox box(Storage::Memory);
        baseline = RunExtraction(box, env, archive);
        ExpectComplete(box, baseline, expected);
        // The workers beyond the first open the stub's file again.
        EXPECT_EQ(ReadHandles(baseline), GetParam());

        Sandbox setUpBox(Storage::Memory);
        RunOptions setUpOnly;
        setUpOnly.extract = false;
        const Extraction setUp = RunExtraction(setUpBox, env, archive, {}, setUpOnly);
        ASSERT_TRUE(setUp.setUpDone);
        setUpCalls = setUp.result.callCount - 2;  // without the two closing CloseHandle calls
        setUpAllocations = setUp.result.allocationCount;
    }

    // The workers that ran: the first uses the stub's file as opened, each other opens it again.
    uint32_t ReadHandles(const Extraction& run) const {
        uint32_t opens = 0;
        for (const CallRecord& record : run.result.calls) {
            opens += record.call == Call::CreateFileW && record.path == env.modulePath && !record.failedByInjection;
        }
        return opens;
    }

    // The files present must be the first entries in archive order, each complete, except that the
    // last may be cut short when a write failed.
    void ExpectPrefix(const Sandbox& box, const Extraction& run, bool writeFailed) {
        const Staged staged = ReadStaged(box, run.staging);
        size_t present = 0;
        while (present < order.size() && staged.files.count(order[present]) != 0) ++present;
        EXPECT_EQ(staged.files.size(), present) << "files present out of archive order";
        for (size_t i = 0; i < present; ++i) {
            const std::string& got = staged.files.at(order[i]);
            const std::string& want = expected.at(order[i]);
            if (got == want) continue;
            const bool cutShort = writeFailed && i + 1 == present && got.size() < want.size() &&
                                  want.compare(0, got.size(), got) == 0;
            EXPECT_TRUE(cutShort) << order[i] << " has wrong content";
        }
        EXPECT_EQ(NewOutsideStaging(box, run), std::vector<std::string>{});
    }

    std::vector<SevenZipToolFile> text, code, more, last;
    std::string archive;
    std::map<std::string, std::string> expected;
    std::vector<std::string> order;  // output files in archive order
    Extraction baseline;
    uint64_t setUpCalls = 0;
    uint64_t setUpAllocations = 0;
};

TEST_P(SevenZipFaultSweep, EveryPlatformCallFailingEndsAsItsFailureRuleSays) {
    ASSERT_GT(baseline.result.callCount, setUpCalls + 10);
    RecordProperty("extractorCalls", static_cast<int>(baseline.result.callCount - setUpCalls));
    for (uint64_t n = setUpCalls + 1; n <= baseline.result.callCount; ++n) {
        const CallRecord& call = baseline.result.calls[n - 1];
        const Call kind = call.call;
        SCOPED_TRACE("call " + std::to_string(n) + ": " + platform::host::CallName(kind) + " " +
                     platform::host::Utf8(call.path));
        Sandbox box(Storage::Memory);
        Faults faults;
        faults.failNthCall = n;
        const Extraction run = RunExtraction(box, env, archive, faults);
        ASSERT_TRUE(run.setUpDone);
        if (!run.result.calls[n - 1].failedByInjection) continue;  // cannot fail (waits, events)
        EXPECT_EQ(run.result.invalidHandleUses, 0u);
        // A worker's own read handle, its thread, the crew's or a decoding helper's events and
        // threads: fewer threads, every file all the same.
        const bool startOnly = (kind == Call::CreateFileW && call.path == env.modulePath) ||
                               kind == Call::CreateThread || kind == Call::CreateEventW;
        // Directories and output files that cannot be created end the run; everything else
        // (reads, seeks, writes, closes, heap) stops the extraction, which returns.
        const bool ends = (kind == Call::CreateDirectoryW || kind == Call::CreateFileW) && !startOnly;
        EXPECT_EQ(run.result.exited, ends);
        if (ends) {
            EXPECT_EQ(run.result.exitCode, stub::kFailureExitCode);
        } else {
            // A refused free or close may leave its block or handle; nothing else may.
            if (kind != Call::StubHeapFree && kind != Call::HeapFree) {
                EXPECT_EQ(run.result.blocksLeft, 0u);
            }
            if (kind != Call::CloseHandle) {
                EXPECT_EQ(run.result.handlesLeft, 0u);
            }
        }
        if (startOnly) ExpectComplete(box, run, expected);
        ExpectPrefix(box, run, kind == Call::WriteFile);
        if (HasFailure()) break;
    }
}

TEST_P(SevenZipFaultSweep, EveryAllocationFailingStopsTheExtractionOrLeavesFewerWorkers) {
    // The database's blocks come first, then one arena per worker, in worker order; the decoders
    // and their buffers live in the arenas.
    const uint64_t allocations = baseline.result.allocationCount;
    const uint64_t arenas = GetParam();
    ASSERT_GT(allocations, setUpAllocations + arenas + 2);
    RecordProperty("extractorAllocations", static_cast<int>(allocations - setUpAllocations));
    for (uint64_t n = setUpAllocations + 1; n <= allocations; ++n) {
        SCOPED_TRACE("allocation " + std::to_string(n));
        Sandbox box(Storage::Memory);
        Faults faults;
        faults.failNthAllocation = n;
        const Extraction run = RunExtraction(box, env, archive, faults);
        ASSERT_TRUE(run.setUpDone);
        EXPECT_FALSE(run.result.exited);
        EXPECT_EQ(run.result.blocksLeft, 0u);
        EXPECT_EQ(run.result.handlesLeft, 0u);
        ExpectPrefix(box, run, false);
        const uint64_t arena = n + arenas > allocations ? n + arenas - allocations : 0;  // 1-based, 0: none
        if (arena == 0) {
            EXPECT_LT(ReadStaged(box, run.staging).files.size(), expected.size())
                << "a refused allocation of the database must stop the extraction short";
        } else {
            // Worker k's arena refused: the first worker decodes from the heap folder by folder; a
            // later one does not run, and those before it unpack everything.
            ExpectComplete(box, run, expected);
            EXPECT_EQ(ReadHandles(run), arena == 1 ? GetParam() : arena - 1);
        }
        if (HasFailure()) break;
    }
}

INSTANTIATE_TEST_SUITE_P(Workers, SevenZipFaultSweep, ::testing::Values(1u, 2u, 4u),
                         [](const ::testing::TestParamInfo<uint32_t>& info) {
                             return std::to_string(info.param) + "Workers";
                         });

// ---- the input stream over the stub's file ----------------------------------------------------

TEST(SevenZipStreamsTest, SeeksPassSixtyFourBitPositionsThroughBothParts) {
    Sandbox box;
    Environment env;
    const std::u16string path = u"C:\\data\\big.bin";
    box.WriteFile(path, "");
    // A sparse file a little over 4 GiB, with a marker just past the 32-bit boundary.
    const uint64_t marker = (uint64_t{1} << 32) + 0x10;
    std::filesystem::resize_file(box.LinuxPath(path), marker + 4);
    {
        FILE* file = std::fopen(box.LinuxPath(path).c_str(), "r+b");
        ASSERT_NE(file, nullptr);
        ASSERT_EQ(fseeko(file, static_cast<off_t>(marker), SEEK_SET), 0);
        std::fwrite("MARK", 1, 4, file);
        std::fclose(file);
    }
    const auto result = platform::host::Run(box, env, [&] {
        using namespace platform;
        const Handle file =
            CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        stub::SevenZipInput input;
        stub::SevenZipInputSetUp(input, file);
        ILookInStreamPtr stream = stub::SevenZipLookStream(input);

        Int64 position = 0;
        ASSERT_EQ(stream->Seek(stream, &position, SZ_SEEK_END), SZ_OK);
        EXPECT_EQ(static_cast<uint64_t>(position), marker + 4);

        position = static_cast<Int64>(marker);
        ASSERT_EQ(stream->Seek(stream, &position, SZ_SEEK_SET), SZ_OK);
        EXPECT_EQ(static_cast<uint64_t>(position), marker);
        char buffer[4] = {};
        size_t size = 4;
        ASSERT_EQ(stream->Read(stream, buffer, &size), SZ_OK);
        EXPECT_EQ(std::string(buffer, size), "MARK");

        position = -0x20;  // back across the boundary
        ASSERT_EQ(stream->Seek(stream, &position, SZ_SEEK_CUR), SZ_OK);
        EXPECT_EQ(static_cast<uint64_t>(position), marker + 4 - 0x20);

        position = 0;
        size = 0;
        ASSERT_EQ(stream->Read(stream, buffer, &size), SZ_OK);
        EXPECT_EQ(size, 0u);
        CloseHandle(file);
    });
    EXPECT_FALSE(result.exited);
}

}  // namespace
