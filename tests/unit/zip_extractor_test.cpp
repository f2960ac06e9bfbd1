// The ZIP entry extractor, run as the stub runs it: staging directory, own file opened, locator,
// extractor, all inside the host sandbox.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <zlib.h>

#include "staging/StagingDirectory.h"
#include "launcher_test_support.h"
#include "payload/PayloadLocator.h"
#include "payload/ZipEntryExtractor.h"
#include "platform/host/host.h"
#include "support/ZipBuilder.h"

namespace {

using platform::host::Call;
using platform::host::Environment;
using platform::host::Faults;
using platform::host::RunResult;
using platform::host::Sandbox;
using platform::host::Storage;
using testsupport::BuildZip;
using testsupport::ZipEntry;
using testsupport::ZipOptions;

const std::u16string kSelfPath = u"C:\\stub\\SelfExtractor.exe";

struct ZipRun {
    RunResult run;
    bool returned = false;             // the extractor returned
    std::u16string staging;            // Windows path of the staging directory
    std::vector<std::string> before;   // the sandbox listing before the run
};

// Runs staging creation (or uses `fixedStaging`), open, locator and extractor on a stub image
// followed by `zip`.
ZipRun RunZip(Sandbox& sandbox, const std::string& zip, const Faults& faults = {},
              const std::u16string& fixedStaging = {}, uint32_t processors = 1, uint32_t seed = 0) {
    sandbox.WriteFile(kSelfPath, testsupport::FakeStubImage(3000) + zip);
    ZipRun outcome;
    Environment env;
    env.modulePath = kSelfPath;
    env.processors = processors;
    env.interleaveSeed = seed;
    outcome.run = platform::host::Run(
        sandbox, env,
        [&] {
            outcome.before = sandbox.ListAll();  // the environment's folders exist by now
            auto state = std::make_unique<stub::RunState>();
            if (fixedStaging.empty()) {
                const bool created = stub::CreateStagingDirectory(state->staging);
                outcome.staging = state->staging.stagingPath;  // named even when creation failed
                if (!created) platform::ExitProcess(stub::kFailureExitCode);
            } else {
                if (!platform::CreateDirectoryW(fixedStaging.c_str(), nullptr))
                    platform::ExitProcess(stub::kFailureExitCode);
                launchertest::FillStaging(state->staging, fixedStaging);
                outcome.staging = fixedStaging;
            }
            std::copy(kSelfPath.begin(), kSelfPath.end(), state->selfPath);
            state->selfPath[kSelfPath.size()] = 0;
            state->selfFile = platform::CreateFileW(kSelfPath.c_str(), platform::GENERIC_READ,
                                                    platform::FILE_SHARE_READ, nullptr,
                                                    platform::OPEN_EXISTING, 0, nullptr);
            if (state->selfFile == platform::INVALID_HANDLE_VALUE)
                platform::ExitProcess(stub::kFailureExitCode);
            if (stub::PayloadLocator(state->selfFile) != stub::PayloadKind::Zip)
                platform::ExitProcess(stub::kFailureExitCode);
            stub::ZipEntryExtractor(*state);
            outcome.returned = true;
            platform::CloseHandle(state->selfFile);
            if (state->staging.folder.handle != platform::INVALID_HANDLE_VALUE)
                platform::CloseHandle(state->staging.folder.handle);  // the hold, as the delete lets go
        },
        faults);
    return outcome;
}

// What the staging directory holds: files with their contents, folders as "name/" -> "".
std::map<std::string, std::string> StagingContents(const Sandbox& sandbox, const ZipRun& run) {
    std::map<std::string, std::string> contents;
    if (run.staging.empty() || sandbox.KindOf(run.staging) != platform::host::EntryKind::Folder)
        return contents;
    for (const std::string& path : sandbox.List(run.staging)) {
        if (!path.empty() && path.back() == '/') {
            contents[path] = "";
        } else {
            contents[path] = sandbox.ReadFile(run.staging + u"\\" + platform::host::Utf16(path));
        }
    }
    return contents;
}

// Paths that appeared in the sandbox outside the staging directory.
std::vector<std::string> WrittenOutsideStaging(const Sandbox& sandbox, const ZipRun& run) {
    std::string stagingRelative;
    if (!run.staging.empty()) stagingRelative = sandbox.RelativePath(run.staging);
    const std::set<std::string> before(run.before.begin(), run.before.end());
    std::vector<std::string> outside;
    for (const std::string& path : sandbox.ListAll()) {
        if (before.count(path) != 0) continue;
        std::string bare = path;
        if (!bare.empty() && bare.back() == '/') bare.pop_back();
        if (!stagingRelative.empty() &&
            (bare == stagingRelative || bare.rfind(stagingRelative + "/", 0) == 0))
            continue;
        outside.push_back(path);
    }
    return outside;
}

// How many calls of the kind (and path) of the n-th call (1-based) the run made up to it.
size_t Ordinal(const RunResult& run, uint64_t n) {
    const auto& at = run.calls[n - 1];
    size_t count = 0;
    for (uint64_t i = 0; i < n; ++i) count += run.calls[i].call == at.call && run.calls[i].path == at.path;
    return count;
}

void ExpectFailed(const ZipRun& run) {
    EXPECT_FALSE(run.returned);
    EXPECT_TRUE(run.run.exited);
    EXPECT_EQ(run.run.exitCode, stub::kFailureExitCode);
}

std::vector<std::u16string> CreatedDirectories(const RunResult& run, const std::u16string& staging) {
    std::vector<std::u16string> created;
    for (const auto& record : run.calls) {
        if (record.call != Call::CreateDirectoryW) continue;
        if (record.path.rfind(staging + u"\\", 0) != 0) continue;
        created.push_back(record.path.substr(staging.size() + 1));
    }
    return created;
}

ZipEntry Deflated(std::string name, std::string data) {
    ZipEntry entry{std::move(name), std::move(data)};
    entry.deflate = true;
    return entry;
}

const std::string kText = "The quick brown fox jumps over the lazy dog. " + std::string(300, 'x');

TEST(ZipEntryExtractor, UnpacksEntriesUntilTheCentralDirectory) {
    Sandbox sandbox;
    const std::string e = "\xC3\xA9";  // "é" in UTF-8
    // Bytes inside the compressed size after the end of the stream are not part of the data: the
    // entry is whole, and the walk goes on behind them.
    ZipEntry trailingInput = Deflated("a/trailing.txt", kText);
    trailingInput.rawPayload = testsupport::RawDeflate(kText) + "junk";
    const std::vector<ZipEntry> entries = {
        {"empty/", ""},
        Deflated("a/b/c.txt", kText),
        {"a/d.txt", "stored"},
        trailingInput,
        {e + "/", ""},
        {"d/" + e + "/f.txt", "accent"},
        {"zero-stored.bin", ""},
        Deflated("zero-deflated.bin", ""),
        {"setup.exe", std::string("MZ\0\x01\x02", 5)},
    };
    const ZipRun run = RunZip(sandbox, BuildZip(entries));
    ASSERT_TRUE(run.returned) << run.run.exitCode;
    const std::map<std::string, std::string> expected = {
        {"a/", ""},
        {"a/b/", ""},
        {"a/b/c.txt", kText},
        {"a/d.txt", "stored"},
        {"a/trailing.txt", kText},
        {"d/", ""},
        {"d/" + e + "/", ""},
        {"d/" + e + "/f.txt", "accent"},
        {"zero-stored.bin", ""},
        {"zero-deflated.bin", ""},
        {"setup.exe", std::string("MZ\0\x01\x02", 5)},
    };
    EXPECT_EQ(StagingContents(sandbox, run), expected);
    EXPECT_TRUE(WrittenOutsideStaging(sandbox, run).empty());

    // Directory entries create nothing; each file's parents are created outermost first, at their
    // converted (UTF-16) length, and only where they differ from the previous file's: "a" once for
    // "a/b/c.txt", "a/d.txt" and "a/trailing.txt".
    const std::vector<std::u16string> created = CreatedDirectories(run.run, run.staging);
    const std::vector<std::u16string> expectedCreated = {u"a", u"a/b", u"d", u"d/\u00e9"};
    EXPECT_EQ(created, expectedCreated);
}

TEST(ZipEntryExtractor, FileEndingRightAfterTheLastEntryFailsAfterWritingIt) {
    Sandbox sandbox;
    ZipOptions noCentral;
    noCentral.centralDirectory = false;
    const ZipRun run = RunZip(sandbox, BuildZip({{"one.txt", "1"}, Deflated("two.txt", kText)}, noCentral));
    ExpectFailed(run);
    const std::map<std::string, std::string> expected = {{"one.txt", "1"}, {"two.txt", kText}};
    EXPECT_EQ(StagingContents(sandbox, run), expected);
}

TEST(ZipEntryExtractor, NameLengthBoundary) {
    // A staging path of 40 units: 40 + 218 + 1 = 259 fits, 219 does not.
    const std::u16string staging = u"C:\\Temp\\" + std::u16string(32, u's');
    ASSERT_EQ(staging.size(), 40u);
    const std::string fits(218, 'n');
    {
        Sandbox sandbox;
        const ZipRun run = RunZip(sandbox, BuildZip({{fits, "ok"}}), {}, staging);
        ASSERT_TRUE(run.returned);
        EXPECT_EQ(StagingContents(sandbox, run), (std::map<std::string, std::string>{{fits, "ok"}}));
    }
    {
        Sandbox sandbox;
        const ZipRun run = RunZip(sandbox, BuildZip({{fits + "n", "too long"}}), {}, staging);
        ExpectFailed(run);
        EXPECT_TRUE(StagingContents(sandbox, run).empty());
        // The rule is tested on the byte count before the name is read: no name read took place
        // (the header's read is the last of the run's file calls).
        Call lastFileCall = Call::Count_;
        for (const auto& record : run.run.calls) {
            if (record.call == Call::ReadFile || record.call == Call::SetFilePointer ||
                record.call == Call::CreateFileW || record.call == Call::CreateDirectoryW)
                lastFileCall = record.call;
        }
        EXPECT_EQ(lastFileCall, Call::ReadFile);
    }
}

TEST(ZipEntryExtractor, MalformedEntriesEndTheRunWithoutWritingThem) {
    struct Case {
        const char* what;
        ZipEntry entry;
        std::string first = "good";  // content of the stored entry before it
    };
    ZipEntry badCrc{"crc.txt", kText};
    badCrc.crc = 0x12345678;
    ZipEntry badCrcDeflated = Deflated("crc-deflated.txt", kText);
    badCrcDeflated.crc = 0;
    ZipEntry oversize = Deflated("oversize.txt", kText);
    oversize.uncompressedSize = static_cast<uint32_t>(kText.size() - 1);
    ZipEntry shortStream = Deflated("short.txt", kText);
    shortStream.uncompressedSize = static_cast<uint32_t>(kText.size() + 1);
    // The same, with a CRC over the declared size: the stored first entry of the case below
    // leaves exactly those bytes in a block of that size, which the heap is likely to hand out
    // again, so only the output-size check can tell.
    const std::string longer = kText + "!";
    ZipEntry shortMatchingCrc = Deflated("short-crc.txt", kText);
    shortMatchingCrc.uncompressedSize = static_cast<uint32_t>(longer.size());
    shortMatchingCrc.crc = static_cast<uint32_t>(
        crc32(0L, reinterpret_cast<const Bytef*>(longer.data()), static_cast<uInt>(longer.size())));
    ZipEntry encrypted{"secret.txt", "data"};
    encrypted.flags = 0x0001;
    ZipEntry descriptor{"descriptor.txt", "data"};
    descriptor.flags = 0x0008;
    ZipEntry descriptorFolder{"folder/", ""};
    descriptorFolder.flags = 0x0008;
    ZipEntry corrupt = Deflated("corrupt.txt", kText);
    corrupt.rawPayload = std::string("\xFF\xFF\xFF\xFF", 4);
    ZipEntry hugeStored{"huge.bin", "x"};
    hugeStored.uncompressedSize = 0xFFFFFFF0u;
    ZipEntry hugePacked = Deflated("huge-packed.bin", "x");
    hugePacked.compressedSize = 0x90000000u;
    ZipEntry beyondEnd = Deflated("beyond.bin", "x");
    beyondEnd.compressedSize = 1u << 20;
    ZipEntry empty{"", "x"};
    const std::vector<Case> cases = {
        {"CRC mismatch (stored)", badCrc},
        {"CRC mismatch (deflate)", badCrcDeflated},
        {"stream larger than declared", oversize},
        {"stream shorter than declared", shortStream},
        {"stream shorter than declared, CRC of the declared size", shortMatchingCrc, longer},
        {"flag bit 0 (encrypted)", encrypted},
        {"flag bit 3 (data descriptor)", descriptor},
        {"flag bit 3 on a directory entry", descriptorFolder},
        {"not a deflate stream", corrupt},
        {"uncompressed size near 4 GiB", hugeStored},
        {"compressed size over 2 GiB", hugePacked},
        {"compressed size beyond the end of the file", beyondEnd},
        {"empty name", empty},
    };
    for (const Case& c : cases) {
        Sandbox sandbox;
        const ZipRun run = RunZip(sandbox, BuildZip({{"first.txt", c.first}, c.entry}));
        SCOPED_TRACE(c.what);
        ExpectFailed(run);
        EXPECT_EQ(StagingContents(sandbox, run),
                  (std::map<std::string, std::string>{{"first.txt", c.first}}));
        EXPECT_TRUE(WrittenOutsideStaging(sandbox, run).empty());
    }
}

TEST(ZipEntryExtractor, DuplicateNamesFailAtTheSecond) {
    for (const std::string second : {"dup.txt", "DUP.txt"}) {
        Sandbox sandbox;
        const ZipRun run = RunZip(sandbox, BuildZip({{"dup.txt", "first"}, {second, "second"}}));
        ExpectFailed(run);
        EXPECT_EQ(StagingContents(sandbox, run),
                  (std::map<std::string, std::string>{{"dup.txt", "first"}}));
    }
}

TEST(ZipEntryExtractor, DirectoryEntryDataIsSkipped) {
    // As Python's zipfile writes a folder in a deflated archive: method 8 and the two bytes of an
    // empty deflate stream as its data.
    ZipEntry folder = Deflated("folder/", "");
    ASSERT_EQ(folder.rawPayload.value_or(testsupport::RawDeflate("")).size(), 2u);
    ZipEntry folderWithExtra{"other/", "four"};
    folderWithExtra.extra = std::string("\x55\x54\x05\x00\x01\x00\x00\x00\x00", 9);
    Sandbox sandbox;
    const ZipRun run = RunZip(sandbox, BuildZip({folder, Deflated("folder/in.txt", kText),
                                                 folderWithExtra, {"after.txt", "after"}}));
    ASSERT_TRUE(run.returned) << run.run.exitCode;
    const std::map<std::string, std::string> expected = {
        {"folder/", ""}, {"folder/in.txt", kText}, {"after.txt", "after"}};
    EXPECT_EQ(StagingContents(sandbox, run), expected);
}

TEST(ZipEntryExtractor, NamesLeavingTheStagingDirectoryAreRejected) {
    const std::vector<std::string> names = {
        "../x", "..\\x", "a/../../b", "a/..", "/abs", "\\abs", "C:x", "C:/x", "name:stream",
        "CON", "nul.txt", "lpt1", "\\\\server\\share\\x", std::string("a.txt\0../x", 10),
        "../", "a/../../up/", std::string("evil.txt\0", 9),
    };
    for (const std::string& name : names) {
        Sandbox sandbox;
        const ZipRun run = RunZip(sandbox, BuildZip({{"good.txt", "good"}, {name, "evil"}}));
        SCOPED_TRACE(name);
        ExpectFailed(run);
        // Nothing of the entry was created, inside or outside the staging directory.
        EXPECT_EQ(StagingContents(sandbox, run),
                  (std::map<std::string, std::string>{{"good.txt", "good"}}));
        EXPECT_EQ(WrittenOutsideStaging(sandbox, run), std::vector<std::string>{});
    }
}

// With 1, 2 and 4 workers (the walk's thread is one of them); several workers take turns in an
// interleaving of their own.
class ZipCallSweep : public ::testing::TestWithParam<uint32_t> {};

TEST_P(ZipCallSweep, EveryPlatformCallFailureEndsTheRunCleanly) {
    const uint32_t processors = GetParam();
    const uint32_t seed = processors == 1 ? 0 : 7;
    const std::vector<ZipEntry> entries = {
        {"dir/", ""},
        Deflated("dir/sub/packed.txt", kText),
        {"stored.bin", std::string("\0\1\2stored", 9)},
        Deflated("zero.bin", ""),
    };
    const std::map<std::string, std::string> complete = {
        {"dir/", ""},
        {"dir/sub/", ""},
        {"dir/sub/packed.txt", kText},
        {"stored.bin", std::string("\0\1\2stored", 9)},
        {"zero.bin", ""},
    };
    const std::string zip = BuildZip(entries);
    uint64_t callCount = 0;
    {
        Sandbox sandbox(Storage::Memory);
        const ZipRun clean = RunZip(sandbox, zip, {}, {}, processors, seed);
        ASSERT_TRUE(clean.returned);
        ASSERT_EQ(StagingContents(sandbox, clean), complete);
        callCount = clean.run.callCount;
    }
    ASSERT_GT(callCount, 20u);
    for (uint64_t n = 1; n <= callCount; ++n) {
        Sandbox sandbox(Storage::Memory);
        Faults faults;
        faults.failNthCall = n;
        const ZipRun run = RunZip(sandbox, zip, faults, {}, processors, seed);
        ASSERT_GE(run.run.calls.size(), n);
        const Call failed = run.run.calls[n - 1].call;
        const std::u16string& path = run.run.calls[n - 1].path;
        SCOPED_TRACE("call " + std::to_string(n) + ": " + platform::host::CallName(failed));
        // Calls that cannot fail: processors, waits on threads and events, setting events.
        if (!run.run.calls[n - 1].failedByInjection) continue;
        EXPECT_EQ(run.run.invalidHandleUses, 0u);
        // The pass over the local headers reads through the walk's buffer (the first block) before
        // the free space is asked for; where it stops short, the walk reads again.
        const long buffer = launchertest::FirstIndexOf(run.run, Call::HeapAlloc);
        const long space = launchertest::FirstIndexOf(run.run, Call::GetDiskFreeSpaceW);
        const long at = static_cast<long>(n) - 1;
        const bool pass = (failed == Call::ReadFile || failed == Call::SetFilePointer) && at > buffer && at < space;
        const bool untested = failed == Call::HeapFree || failed == Call::StubHeapFree ||
                              failed == Call::LocalFree || failed == Call::GetModuleHandleW ||
                              failed == Call::GetProcAddress || failed == Call::GetDiskFreeSpaceW ||
                              failed == Call::GetDiskFreeSpaceExW || pass ||
                              (failed == Call::CloseHandle && path == u"token");
        if (untested) {
            // A result the stub does not test (or, for the look-up of GetTempPath2W, one whose
            // failure leaves GetTempPathW; the free space, which the writes then find out): the
            // run goes on and completes.
            EXPECT_TRUE(run.returned);
        } else if (failed == Call::CreateThread || failed == Call::CreateEventW ||
                   (failed == Call::CreateFileW && path == kSelfPath && Ordinal(run.run, n) > 1) ||
                   (failed == Call::HeapAlloc && Ordinal(run.run, n) > 3 && Ordinal(run.run, n) <= 2 + processors) ||
                   (failed == Call::StubHeapAlloc && Ordinal(run.run, n) > 1 && Ordinal(run.run, n) <= processors)) {
            // A worker that cannot start (its thread, the crew's events, its own read handle,
            // buffers or inflate state; the first three blocks are the walk's buffer, the job
            // slots and the first worker's buffers, the name set's follow the workers'): the
            // others unpack everything.
            EXPECT_TRUE(run.returned);
        } else if (failed == Call::CloseHandle) {
            // The stub's own file and the staging folder's hold are closed by the caller after
            // the walk (the clean run's last two calls), each worker's read handle right after
            // its thread; an output file whose close fails may not have been written whole: the
            // run ends.
            const bool readHandle = n > 1 && run.run.calls[n - 2].call == Call::CloseHandle &&
                                    run.run.calls[n - 2].path == u"thread";
            const bool outputFile = path == u"file" && n + 1 < callCount && !readHandle;
            EXPECT_EQ(run.returned, !outputFile);
        } else {
            ExpectFailed(run);
        }
        // Whatever is left holds only whole, verified entries.
        const std::map<std::string, std::string> left = StagingContents(sandbox, run);
        for (const auto& [path, content] : left) {
            const auto want = complete.find(path);
            ASSERT_NE(want, complete.end()) << path;
            EXPECT_EQ(content, want->second) << path;
        }
        if (run.returned) {
            EXPECT_EQ(left, complete);
        }
        EXPECT_EQ(WrittenOutsideStaging(sandbox, run), std::vector<std::string>{});
        if (::testing::Test::HasFailure()) break;
    }
}

INSTANTIATE_TEST_SUITE_P(Workers, ZipCallSweep, ::testing::Values(1u, 2u, 4u),
                         [](const ::testing::TestParamInfo<uint32_t>& info) {
                             return std::to_string(info.param) + "Workers";
                         });

}  // namespace
