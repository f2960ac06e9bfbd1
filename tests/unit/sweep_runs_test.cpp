// Fault sweeps over whole runs: for a ZIP run, a 7z run and a relaunch run, fail the N-th platform
// call for every N up to the run's call count, then the N-th allocation for every N, and hold each
// outcome against the failure rules of the stage that made the call: the exit code, whether the
// installer (or the private copy) started, what stays behind in the temp folder, and that a run
// that reports the installer's code always ran it on complete, correct files. The one place where
// a failure does not end the run is the 7z extraction: it stops, and the launch decides with what
// was written.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>

#include "hostile_whole_run.h"
#include "run/Failure.h"
#include "support/SevenZipBuilder.h"
#include "support/ZipBuilder.h"

namespace {

using namespace hostile;
using platform::host::Call;
using platform::host::CallRecord;

// What a failing call must lead to.
enum class Expect {
    Unaffected,         // result not tested: the run ends as the clean run does
    FailsBeforeStaging, // 5, nothing in the temp folder (or only the reserved file)
    Fails,              // 5, no start, the staging folder stays
    ExtractionStops,    // 7z: the launch decides with what was written
    FailsAfterStart,    // the wait failed: 5, the installer ran, the staging folder stays
    FailsAfterCleanUp,  // the exit code could not be read: 5, the installer ran, staging deleted
    StagingStays,       // a file left open: the installer's code, the folder keeps that file alone
    CleanUpFails,       // a call of the delete failed: the installer's code, at most part stays
};

const char* Name(Expect e) {
    switch (e) {
        case Expect::Unaffected: return "unaffected";
        case Expect::FailsBeforeStaging: return "fails before staging";
        case Expect::Fails: return "fails";
        case Expect::ExtractionStops: return "extraction stops";
        case Expect::FailsAfterStart: return "fails after start";
        case Expect::FailsAfterCleanUp: return "fails after clean-up";
        case Expect::StagingStays: return "staging stays";
        case Expect::CleanUpFails: return "clean-up fails";
    }
    return "?";
}

// The payload of the normal-mode sweeps: a `.launch` naming a program in a folder, a deflated
// file, an empty file and an empty folder entry. No file carries the default installer name, so
// a `.launch` that cannot be opened ends the run.
const FileMap kFiles = {
    {".launch", "bin\\setup.exe\r\n"},
    {"bin/setup.exe", std::string("\0MZ setup", 9)},
    {"data/readme.txt", std::string(2000, 'r')},
    {"zero.bin", ""},
};

std::string ZipPayload() {
    using testsupport::ZipEntry;
    ZipEntry launch{".launch", kFiles.at(".launch")};
    ZipEntry setup{"bin/setup.exe", kFiles.at("bin/setup.exe")};
    ZipEntry readme{"data/readme.txt", kFiles.at("data/readme.txt")};
    readme.deflate = true;
    ZipEntry zero{"zero.bin", ""};
    ZipEntry folder{"empty/", ""};
    return testsupport::BuildZip({launch, setup, folder, readme, zero});
}

std::string SevenZipPayload() {
    using testsupport::SevenZipRawEntry;
    // The tests' own writer (one Copy folder, entries in the order given); the first data byte is
    // zero so that the locator takes the archive.
    return testsupport::BuildSevenZipRaw({
        {u"bin/setup.exe", kFiles.at("bin/setup.exe")},
        {u"data", "", true},
        {u"data/readme.txt", kFiles.at("data/readme.txt")},
        {u".launch", kFiles.at(".launch")},
        {u"zero.bin", ""},
    });
}

// The phase of the run that the index-th call (0-based) of the clean run belongs to.
struct Phases {
    long stagingCreated = -1;  // the NtCreateFile that makes and holds the staging folder
    long selfOpened = -1;      // CreateFileW of the stub's own file
    long locatorDone = -1;     // the locator's seek back to the signature
    long extractionDone = -1;  // the CloseHandle of the stub's own file
    long launchOpened = -1;    // CreateFileW of .launch
    long cleanUp = -1;         // the first call of the staging folder's delete
    long spaceChecked = -1;    // the free space's first call (ZIP: after the pass over the headers)
    long passStart = -1;       // ZIP: the walk's buffer, which the pass reads through
};

Phases FindPhases(const RunResult& clean) {
    Phases p;
    for (size_t i = 0; i < clean.calls.size(); ++i) {
        const CallRecord& c = clean.calls[i];
        const long at = static_cast<long>(i);
        if (c.call == Call::NtCreateFile && p.stagingCreated < 0) p.stagingCreated = at;
        if (c.call == Call::CreateFileW && p.selfOpened < 0 && c.path == u"C:\\stub\\SelfExtractor.exe") p.selfOpened = at;
        if (c.call == Call::SetFilePointer && p.selfOpened >= 0 && p.locatorDone < 0) p.locatorDone = at;
        // The launcher's read of .launch (the delete's opens, by "\\?\" paths, come later).
        if (c.call == Call::CreateFileW && c.path.size() > 8 && c.path.compare(c.path.size() - 8, 8, u"\\.launch") == 0 &&
            c.path.rfind(u"\\\\?\\", 0) != 0)
            p.launchOpened = at;
        // The delete follows the process handle's close, which follows the exit code's read.
        if (c.call == Call::GetExitCodeProcess) p.cleanUp = at + 2;
        if (c.call == Call::GetDiskFreeSpaceW && p.spaceChecked < 0) p.spaceChecked = at;
        if (c.call == Call::HeapAlloc && p.spaceChecked < 0) p.passStart = at;
    }
    // The stub's own file is closed right before the .launch path is built.
    for (long i = p.launchOpened; i >= 0; --i) {
        if (clean.calls[i].call == Call::CloseHandle) {
            p.extractionDone = i;
            break;
        }
    }
    return p;
}

// A close that fails leaves its handle open for the rest of the run. For an output file that
// matters: the launcher cannot open a `.launch` still open for writing, and the shell cannot delete
// a staging folder that holds an open file. The name (relative to the staging folder) of the file
// that stays open; "(launch read)" for the launcher's read of `.launch`; empty for the stub's own
// file, the folders' holds and any other object.
std::string LeftOpen(const RunResult& clean, const Phases& p, size_t index) {
    // Only files matter: the host names the kind of object each close closes, and a file's path
    // (workers close theirs in any order).
    const CallRecord& c = clean.calls[index];
    if (c.call != Call::CloseHandle || c.path != u"file") return {};
    std::string path = platform::host::Utf8(c.path2);
    const size_t cut = path.find(".tmp\\");
    if (cut == std::string::npos) return {};  // the stub's own file, a folder's hold
    path = path.substr(cut + 5);
    std::replace(path.begin(), path.end(), '\\', '/');
    if (path.empty()) return {};
    if (path == ".launch" && static_cast<long>(index) > p.launchOpened) return "(launch read)";
    return path;
}

// The machine of the sweeps: 1, 2 or 4 processors; several workers take turns in an interleaving
// of their own.
uint32_t gProcessors = 1;

// Whether the call at `index` gets a resource of a worker beyond the first (its read handle, its
// ZIP buffers or inflate state): without it fewer workers unpack everything.
bool WorkerResource(const RunResult& clean, const Phases& p, size_t index, bool sevenZip) {
    const CallRecord& c = clean.calls[index];
    if (static_cast<long>(index) <= p.locatorDone || static_cast<long>(index) >= p.extractionDone) return false;
    if (c.call == Call::CreateFileW) return c.path == u"C:\\stub\\SelfExtractor.exe";
    if (sevenZip || (c.call != Call::HeapAlloc && c.call != Call::StubHeapAlloc)) return false;
    // ZIP: the walk's buffer, the job slots, then per worker its buffers and its inflate state;
    // the name set's blocks and inflate's windows come later, as the entries need them.
    size_t ordinal = 0;
    for (size_t i = p.locatorDone + 1; i <= index; ++i) ordinal += clean.calls[i].call == c.call;
    return c.call == Call::HeapAlloc ? ordinal > 3 && ordinal <= 2 + gProcessors : ordinal > 1 && ordinal <= gProcessors;
}

Expect Classify(const RunResult& clean, const Phases& p, size_t index, bool sevenZip) {
    const Call call = clean.calls[index].call;
    const long at = static_cast<long>(index);
    const bool inExtraction = at > p.locatorDone && at < p.extractionDone;
    if (at >= p.cleanUp) return Expect::CleanUpFails;
    if (WorkerResource(clean, p, index, sevenZip)) return Expect::Unaffected;
    if (call == Call::CloseHandle) {
        const std::string open = LeftOpen(clean, p, index);
        if (open.empty()) return Expect::Unaffected;
        // A 7z output file whose close fails also stops the extraction.
        if (sevenZip && inExtraction) return Expect::ExtractionStops;
        // A ZIP output file whose close fails may not hold its data: the run ends.
        if (inExtraction) return Expect::Fails;
        return Expect::StagingStays;  // the installer runs; the open file keeps the folder
    }
    switch (call) {
        // Loader hardening, console, message pump, the relaunch test and every clean-up close or
        // free: their results are not tested.
        case Call::GetModuleHandleW: case Call::GetProcAddress: case Call::SetDllDirectoryW:
        case Call::SetDefaultDllDirectories: case Call::GetSystemDirectoryW: case Call::LoadLibraryW:
        case Call::AttachConsole: case Call::CreateThread: case Call::FindFirstFileW:
        // The 7z decoding helper and its events: without them the extractor decodes alone.
        case Call::CreateEventW: case Call::SetEvent:
        case Call::FindClose: case Call::HeapFree: case Call::StubHeapFree: case Call::GetMessageW:
        // The log's variable (no log then), the free space (the writes find out).
        case Call::GetEnvironmentVariableW: case Call::GetDiskFreeSpaceW: case Call::GetDiskFreeSpaceExW:
            return Expect::Unaffected;
        case Call::GetModuleFileNameW:
            // The first read (relaunch test) is not tested: an empty path finds no DLL.
            return at < p.stagingCreated && clean.calls[index + 1].call == Call::FindFirstFileW
                       ? Expect::Unaffected : Expect::FailsBeforeStaging;
        // The options record cannot be looked up: the run ends before anything is made.
        case Call::FindResourceW:
        case Call::GetTempPathW: case Call::GetTempFileNameW: case Call::DeleteFileW:
        // The staging folder's own descriptor cannot be made: the folder is not made at all.
        case Call::OpenProcessToken: case Call::GetTokenInformation:
        case Call::ConvertSidToStringSidW:
        case Call::ConvertStringSecurityDescriptorToSecurityDescriptorW:
            // A reserved file that cannot be deleted keeps the directory from being made.
            return Expect::FailsBeforeStaging;
        case Call::LocalFree: return Expect::Unaffected;
        // The staging folder's NT path and its creation; the folders of entries.
        case Call::GetFullPathNameW: case Call::NtCreateFile:
            return at <= p.stagingCreated ? Expect::FailsBeforeStaging : Expect::Fails;
        case Call::ReadFile: case Call::SetFilePointer: case Call::StubHeapAlloc: case Call::WriteFile:
            // ZIP: the pass over the headers before the free space stops short; the walk reads again.
            if (!sevenZip && at > p.passStart && at < p.spaceChecked) return Expect::Unaffected;
            if (sevenZip && inExtraction) return Expect::ExtractionStops;
            return Expect::Fails;
        case Call::CreateFileW:
            // No .launch: the default installer, which this payload does not hold.
            return Expect::Fails;
        case Call::WaitForSingleObject:
            // In the extraction: the wait for the 7z decoding helper's end, whose result is not
            // tested; later, the wait for the installer.
            return inExtraction ? Expect::Unaffected : Expect::FailsAfterStart;
        case Call::GetExitCodeProcess: return Expect::FailsAfterCleanUp;
        default:
            return Expect::Fails;  // HeapAlloc, GetProcessHeap, MultiByteToWideChar, PathAppendW, ...
    }
}

// Checks one normal-mode outcome against its expectation. `files` is what the archive holds.
void CheckNormalRun(const Outcome& run, Expect expect, const CallRecord& failed,
                    const std::string& leftOpen) {
    const RunResult& r = run.result;
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.invalidHandleUses, 0u);
    EXPECT_EQ(r.invalidFrees, 0u);
    EXPECT_TRUE(run.outside.empty()) << run.outside.front();
    // Never a success on missing or wrong files: a start always sees the whole archive, except
    // after a stopped 7z extraction, where it sees a correct part that holds the program.
    if (run.installerStarted) {
        if (expect == Expect::ExtractionStops) {
            // The file whose write, read or decoding failed was deleted: every file the
            // installer sees is whole.
            for (const auto& [name, data] : run.stagingAtStart) {
                ASSERT_EQ(kFiles.count(name), 1u) << name;
                EXPECT_EQ(data, kFiles.at(name)) << name;
            }
            EXPECT_EQ(run.stagingAtStart.count(".launch") + run.stagingAtStart.count("bin/setup.exe"), 2u);
        } else {
            EXPECT_EQ(run.stagingAtStart, kFiles) << "seen:\n" << Show(run.stagingAtStart);
        }
        EXPECT_EQ(run.startedFile.substr(run.startedFile.size() - 14), u"\\bin\\setup.exe");
    }
    switch (expect) {
        case Expect::Unaffected:
            EXPECT_EQ(r.exitCode, kInstallerCode);
            EXPECT_TRUE(run.installerStarted);
            EXPECT_TRUE(run.tempAfter.empty());
            break;
        case Expect::FailsBeforeStaging:
            EXPECT_EQ(r.exitCode, kFailure);
            EXPECT_FALSE(run.installerStarted);
            // At most the reserved name, as an empty file.
            EXPECT_LE(run.tempAfter.size(), 1u);
            EXPECT_TRUE(run.stagingAfter.empty());
            break;
        case Expect::Fails:
            EXPECT_EQ(r.exitCode, kFailure);
            EXPECT_FALSE(run.installerStarted);
            EXPECT_EQ(run.tempAfter.size(), 1u) << "the staging folder stays";
            break;
        case Expect::ExtractionStops: {
            // The launch decides: the program and its .launch were written whole (and .launch was
            // closed), or the run fails.
            const bool launchable = run.installerStarted ||
                (run.stagingAfter.count(".launch") && run.stagingAfter.at(".launch") == kFiles.at(".launch") &&
                 run.stagingAfter.count("bin/setup.exe") && run.stagingAfter.at("bin/setup.exe") == kFiles.at("bin/setup.exe") &&
                 leftOpen != ".launch");
            EXPECT_EQ(r.exitCode, launchable ? kInstallerCode : kFailure);
            EXPECT_EQ(run.installerStarted, launchable);
            EXPECT_EQ(run.tempAfter.size(), launchable && leftOpen.empty() ? 0u : 1u);
            // What stays after a failed launch is whole too: a failed entry left no file behind.
            for (const auto& [name, data] : run.stagingAfter) {
                ASSERT_EQ(kFiles.count(name), 1u) << name;
                EXPECT_EQ(data, kFiles.at(name)) << name;
            }
            break;
        }
        case Expect::FailsAfterStart:
            EXPECT_EQ(r.exitCode, kFailure);
            EXPECT_TRUE(run.installerStarted);
            EXPECT_EQ(run.tempAfter.size(), 1u);
            EXPECT_EQ(run.stagingAfter, kFiles);
            break;
        case Expect::FailsAfterCleanUp:
            EXPECT_EQ(r.exitCode, kFailure);
            EXPECT_TRUE(run.installerStarted);
            EXPECT_TRUE(run.tempAfter.empty());
            break;
        case Expect::StagingStays: {
            // The delete goes around the open file: it stays, whole, and nothing else does.
            EXPECT_EQ(r.exitCode, kInstallerCode);
            EXPECT_TRUE(run.installerStarted);
            const std::string kept = leftOpen == "(launch read)" ? ".launch" : leftOpen;
            ASSERT_EQ(kFiles.count(kept), 1u) << kept;
            EXPECT_EQ(run.stagingAfter, (FileMap{{kept, kFiles.at(kept)}}));
            EXPECT_EQ(run.tempAfter.size(), 1u);
            break;
        }
        case Expect::CleanUpFails:
            // Whatever stays is what the archive held, unchanged; the exit code is the installer's.
            EXPECT_EQ(r.exitCode, kInstallerCode);
            EXPECT_TRUE(run.installerStarted);
            EXPECT_LE(run.tempAfter.size(), 1u);
            for (const auto& [name, data] : run.stagingAfter) {
                ASSERT_EQ(kFiles.count(name), 1u) << name;
                EXPECT_EQ(data, kFiles.at(name)) << name;
            }
            break;
    }
}

// The clean run's calls, for the report of a failed sweep.
std::string CallList(const RunResult& run) {
    std::string out;
    for (size_t i = 0; i < run.calls.size(); ++i)
        out += "  " + std::to_string(i + 1) + " " + platform::host::CallName(run.calls[i].call) + " " +
               platform::host::Utf8(run.calls[i].path) + "\n";
    return out;
}

struct SweepCount {
    uint64_t calls = 0, allocations = 0;
    std::map<Expect, int> byExpectation;  // failed calls per expected outcome
};


void SetMachine(WholeRun& run) {
    run.env.processors = gProcessors;
    run.env.interleaveSeed = gProcessors == 1 ? 0 : 5;
}

SweepCount SweepNormalRun(const std::string& payload, bool sevenZip) {
    SweepCount count;
    WholeRun cleanRun;
    SetMachine(cleanRun);
    cleanRun.WriteStub(StubImage(), payload);
    const Outcome clean = cleanRun.Run();
    EXPECT_EQ(clean.result.exitCode, kInstallerCode);
    EXPECT_EQ(clean.stagingAtStart, kFiles) << Show(clean.stagingAtStart);
    const Phases phases = FindPhases(clean.result);
    EXPECT_GT(phases.locatorDone, phases.selfOpened);
    EXPECT_GT(phases.extractionDone, phases.locatorDone);
    EXPECT_GT(phases.launchOpened, phases.extractionDone);

    for (uint64_t n = 1; n <= clean.result.callCount; ++n) {
        WholeRun run;
        SetMachine(run);
        run.WriteStub(StubImage(), payload);
        Faults faults;
        faults.failNthCall = n;
        const Outcome outcome = run.Run(faults);
        const CallRecord& failed = outcome.result.calls.at(n - 1);
        if (!failed.failedByInjection) {  // a call that cannot fail: the clean run's end
            EXPECT_EQ(outcome.result.exitCode, kInstallerCode) << "call " << n;
            continue;
        }
        ++count.calls;
        const Expect expect = Classify(clean.result, phases, n - 1, sevenZip);
        ++count.byExpectation[expect];
        const std::string leftOpen = LeftOpen(clean.result, phases, n - 1);
        SCOPED_TRACE("call " + std::to_string(n) + " " + platform::host::CallName(failed.call) + " " +
                     platform::host::Utf8(failed.path) + ": " + Name(expect) +
                     (leftOpen.empty() ? "" : ", left open: " + leftOpen));
        CheckNormalRun(outcome, expect, failed, leftOpen);
        if (::testing::Test::HasFailure()) {  // one report is enough
            ADD_FAILURE() << "the clean run's calls:\n" << CallList(clean.result);
            return count;
        }
    }
    for (uint64_t n = 1; n <= clean.result.allocationCount; ++n) {
        WholeRun run;
        SetMachine(run);
        run.WriteStub(StubImage(), payload);
        Faults faults;
        faults.failNthAllocation = n;
        const Outcome outcome = run.Run(faults);
        ++count.allocations;
        SCOPED_TRACE("allocation " + std::to_string(n));
        // ZIP: every buffer is needed but those of workers beyond the first. 7z: a refused block
        // stops the extraction (or the open), or leaves fewer workers (their arenas).
        size_t index = 0;
        for (uint64_t seen = 0; index < clean.result.calls.size(); ++index) {
            const Call c = clean.result.calls[index].call;
            if ((c == Call::HeapAlloc || c == Call::StubHeapAlloc) && ++seen == n) break;
        }
        CallRecord failed{Call::HeapAlloc, {}, {}, true};
        // The delete's working block, refused, leaves the staging folder.
        const Expect expect = static_cast<long>(index) >= phases.cleanUp ? Expect::CleanUpFails
                              : WorkerResource(clean.result, phases, index, sevenZip) ? Expect::Unaffected
                              : sevenZip ? Expect::ExtractionStops : Expect::Fails;
        CheckNormalRun(outcome, expect, failed, {});
        if (::testing::Test::HasFailure()) return count;
    }
    return count;
}

class SweepRuns : public ::testing::TestWithParam<uint32_t> {
protected:
    void SetUp() override { gProcessors = GetParam(); }
    void TearDown() override { gProcessors = 1; }
};

TEST_P(SweepRuns, ZipRunEveryCallAndEveryAllocationFailing) {
    SweepCount count = SweepNormalRun(ZipPayload(), false);
    // Every kind of outcome but the 7z one was met: the sweep reached the launch and the clean-up.
    for (const Expect e : {Expect::Unaffected, Expect::FailsBeforeStaging, Expect::Fails,
                           Expect::FailsAfterStart, Expect::FailsAfterCleanUp, Expect::StagingStays,
                           Expect::CleanUpFails})
        EXPECT_GT(count.byExpectation[e], 0) << Name(e);
    EXPECT_EQ(count.byExpectation[Expect::ExtractionStops], 0);
    // The walk's buffer and its job slots, each worker's buffers and inflate state, and inflate's
    // window (one deflated entry) are allocated once, whatever the number of entries; so are the
    // name set's three blocks and the delete's working block.
    EXPECT_EQ(count.allocations, 7u + 2u * GetParam());
    RecordProperty("failure_points", std::to_string(count.calls + count.allocations));
    std::printf("ZIP run: %llu calls and %llu allocations failed in turn\n",
                static_cast<unsigned long long>(count.calls), static_cast<unsigned long long>(count.allocations));
}

TEST_P(SweepRuns, SevenZipRunEveryCallAndEveryAllocationFailing) {
    SweepCount count = SweepNormalRun(SevenZipPayload(), true);
    for (const Expect e : {Expect::Unaffected, Expect::FailsBeforeStaging, Expect::Fails, Expect::ExtractionStops,
                           Expect::FailsAfterStart, Expect::FailsAfterCleanUp, Expect::StagingStays,
                           Expect::CleanUpFails})
        EXPECT_GT(count.byExpectation[e], 0) << Name(e);
    EXPECT_GE(count.allocations, 3u);
    RecordProperty("failure_points", std::to_string(count.calls + count.allocations));
    std::printf("7z run: %llu calls and %llu allocations failed in turn\n",
                static_cast<unsigned long long>(count.calls), static_cast<unsigned long long>(count.allocations));
}

INSTANTIATE_TEST_SUITE_P(Workers, SweepRuns, ::testing::Values(1u, 2u, 4u),
                         [](const ::testing::TestParamInfo<uint32_t>& info) {
                             return std::to_string(info.param) + "Processors";
                         });

// ---- relaunch ---------------------------------------------------------------------------------

long FirstIndexOf(const RunResult& result, Call call) {
    for (size_t i = 0; i < result.calls.size(); ++i)
        if (result.calls[i].call == call) return static_cast<long>(i);
    return -1;
}

constexpr u32 kCopyCode = 33;

TEST(SweepRuns, RelaunchRunEveryCallFailing) {
    // The stub's folder holds a DLL: the stub copies itself to a private folder and runs the copy,
    // which here reports kCopyCode after checking that it is a faithful copy.
    const std::string stubFile = StubImage() + ZipPayload();
    auto prepare = [&](WholeRun& run, bool& copyStarted, bool& faithful) {
        run.WriteStub(stubFile);
        run.sandbox.WriteFile(u"C:\\stub\\helper.dll", "MZ dll");
        run.privateFolderAllowed = true;
        run.env.commandLine = u"\"C:\\stub\\SelfExtractor.exe\" /S";
        run.env.defaultProgram = [&run, &copyStarted, &faithful, &stubFile](const ProcessStart& start) {
            // Normal mode (the DLL test failed) starts the installer: it reports the same code so
            // that the outcome does not hang on the mode.
            copyStarted = true;
            const bool isCopy = start.file.size() > 17 &&
                                start.file.compare(start.file.size() - 17, 17, u"\\ZEBInstaller.exe") == 0;
            faithful = !isCopy || run.sandbox.ReadFile(start.file) == stubFile;
            return ProcessOutcome{kCopyCode, false};
        };
    };
    WholeRun cleanRun;
    bool cleanStarted = false, cleanFaithful = false;
    prepare(cleanRun, cleanStarted, cleanFaithful);
    const Outcome clean = cleanRun.Run();
    ASSERT_EQ(clean.result.exitCode, kCopyCode);
    ASSERT_TRUE(cleanStarted && cleanFaithful);
    ASSERT_TRUE(clean.tempAfter.empty()) << "copy and private folder removed";
    ASSERT_EQ(clean.result.CountOf(Call::CopyFileW), 1u);

    // The private folder is made and held (in one call) before the copy; the delete's calls come
    // after the copy's end. The delete first lets go of the hold, then opens the folder itself.
    const long copied = FirstIndexOf(clean.result, Call::CopyFileW);
    const long ended = FirstIndexOf(clean.result, Call::GetExitCodeProcess);
    ASSERT_GT(copied, 0);
    ASSERT_GT(ended, copied);
    long holdReleased = -1;
    for (size_t i = static_cast<size_t>(ended); i < clean.result.calls.size() && holdReleased < 0; ++i)
        if (clean.result.calls[i].call == Call::CloseHandle && clean.result.calls[i].path == u"file")
            holdReleased = static_cast<long>(i);
    ASSERT_GT(holdReleased, ended);
    uint64_t checked = 0;
    for (uint64_t n = 1; n <= clean.result.callCount; ++n) {
        WholeRun run;
        bool started = false, faithful = false;
        prepare(run, started, faithful);
        Faults faults;
        faults.failNthCall = n;
        const Outcome outcome = run.Run(faults);
        const CallRecord& failed = outcome.result.calls.at(n - 1);
        if (!failed.failedByInjection) continue;
        ++checked;
        SCOPED_TRACE("call " + std::to_string(n) + " " + platform::host::CallName(failed.call) + " " +
                     platform::host::Utf8(failed.path));
        const RunResult& r = outcome.result;
        ASSERT_TRUE(r.exited);
        EXPECT_TRUE(outcome.outside.empty());
        EXPECT_EQ(r.invalidHandleUses, 0u);
        if (started) EXPECT_TRUE(faithful) << "the copy differs from the stub";
        // Where the copy lives: a {GUID} or JUV*.tmp folder in the temp folder.
        size_t privateFolders = 0;
        for (const std::string& name : outcome.tempAfter) privateFolders += name.rfind("ZEB", 0) != 0;
        const long at = static_cast<long>(n - 1);
        Call kind = failed.call;
        // The folder's hold and the delete's handle: made before the copy, they end the run with
        // the folder left empty; after it, the copy's code stays and so does the folder.
        const bool holdOrDelete = kind == Call::CreateFileW || kind == Call::GetFileInformationByHandle ||
                                  kind == Call::GetVolumeInformationByHandleW;
        if (holdOrDelete && at < copied) kind = Call::CopyFileW;
        if (kind == Call::GetFullPathNameW && at < copied) kind = Call::NtCreateFile;  // its NT path
        if (holdOrDelete && at > ended) kind = Call::DeleteFileW;
        if (kind == Call::CloseHandle && at == holdReleased) kind = Call::DeleteFileW;
        if (kind == Call::GetFullPathNameW || kind == Call::SetFileInformationByHandle ||
            (at > ended && (kind == Call::GetProcessHeap || kind == Call::HeapAlloc)))
            kind = Call::DeleteFileW;
        switch (kind) {
            case Call::FindResourceW:  // the options record, read before the mode is chosen
            case Call::OpenProcessToken:
            case Call::GetTokenInformation:
            case Call::ConvertSidToStringSidW:
            case Call::ConvertStringSecurityDescriptorToSecurityDescriptorW:
            case Call::GetTempPathW:
                EXPECT_EQ(r.exitCode, kFailure);
                EXPECT_FALSE(started);
                EXPECT_TRUE(outcome.tempAfter.empty());
                break;
            case Call::NtCreateFile:
            case Call::CopyFileW:
            case Call::ShellExecuteExW:
                EXPECT_EQ(r.exitCode, kFailure);
                EXPECT_FALSE(started);
                // Nothing new when the folder was not made; the empty folder, or the folder with
                // the copy, when the copy or its start failed.
                EXPECT_EQ(privateFolders, kind == Call::NtCreateFile ? 0u : 1u);
                break;
            case Call::GetExitCodeProcess:
                EXPECT_EQ(r.exitCode, 0u) << "the exit code keeps its start value";
                EXPECT_TRUE(started);
                EXPECT_TRUE(outcome.tempAfter.empty());
                break;
            case Call::DeleteFileW:
                // The copy's code all the same; what could not be removed stays. (The folder is
                // empty once the copy is deleted: a failing listing or close still removes it.)
                EXPECT_EQ(r.exitCode, kCopyCode);
                EXPECT_TRUE(started);
                EXPECT_EQ(privateFolders, 1u);
                break;
            default:
                // Hardening, the module path, the DLL test (which then takes normal mode), the GUID
                // (the fallback name serves), the wait (not tested), the closes: the copy's code.
                EXPECT_EQ(r.exitCode, kCopyCode);
                EXPECT_TRUE(started);
                EXPECT_TRUE(outcome.tempAfter.empty());
                break;
        }
        if (::testing::Test::HasFailure()) break;
    }
    EXPECT_GT(checked, 25u);
    RecordProperty("failure_points", std::to_string(checked));
    std::printf("relaunch run: %llu calls failed in turn (%llu allocations in the run)\n",
                static_cast<unsigned long long>(checked),
                static_cast<unsigned long long>(clean.result.allocationCount));
}

// ---- both storages ----------------------------------------------------------------------------

using platform::host::Utf8;
using platform::host::Utf16;

std::string Digest(const std::string& data) {
    uint64_t hash = 1469598103934665603ull;  // FNV-1a
    for (const unsigned char c : data) hash = (hash ^ c) * 1099511628211ull;
    char text[40];
    std::snprintf(text, sizeof text, "%zu bytes %016llx", data.size(), static_cast<unsigned long long>(hash));
    return text;
}

// Everything a run shows, line by line: how it ended, every call (kind, paths, whether the
// injection failed it, the clock), the notes, the starts, what it left open, what the installer
// saw, and every entry of the sandbox afterwards with its bytes.
std::vector<std::string> Observed(const WholeRun& run, const Outcome& outcome) {
    const RunResult& r = outcome.result;
    std::vector<std::string> lines{"exit " + std::to_string(r.exited) + " " + std::to_string(r.exitCode)};
    for (const CallRecord& c : r.calls)
        lines.push_back(std::string("call ") + platform::host::CallName(c.call) + " " + Utf8(c.path) + " | " +
                        Utf8(c.path2) + (c.failedByInjection ? " FAILED" : "") + " @" + std::to_string(c.clock));
    for (const auto& note : r.notes)
        lines.push_back("note " + std::to_string(note.reason) + " " + std::to_string(note.detail));
    for (const auto& start : r.starts) lines.push_back("start " + Utf8(start.file) + " " + Utf8(start.parameters));
    lines.push_back("left " + std::to_string(r.handlesLeft) + " handles " + std::to_string(r.blocksLeft) + " blocks " +
                    std::to_string(r.invalidHandleUses) + " misuses " + std::to_string(r.invalidFrees) + " bad frees");
    for (const auto& [name, data] : outcome.stagingAtStart) lines.push_back("at the start " + name + " " + Digest(data));
    for (const std::string& entry : run.sandbox.ListAll()) {
        std::u16string path = Utf16(entry.substr(0, 1)) + u":\\" + Utf16(entry.substr(2));
        for (char16_t& c : path) c = c == u'/' ? u'\\' : c;
        const bool file = run.sandbox.KindOf(path) == EntryKind::File;
        lines.push_back("after " + entry + (file ? " " + Digest(run.sandbox.ReadFile(path)) : ""));
    }
    return lines;
}

void ExpectSame(const std::vector<std::string>& disk, const std::vector<std::string>& memory, const std::string& what) {
    size_t i = 0;
    while (i < disk.size() && i < memory.size() && disk[i] == memory[i]) ++i;
    if (i == disk.size() && i == memory.size()) return;
    ADD_FAILURE() << what << ": the storages part at line " << i << "\n  disk:   "
                  << (i < disk.size() ? disk[i] : "(end)") << "\n  memory: " << (i < memory.size() ? memory[i] : "(end)");
}

// The run `prepare` sets up, on a disk and on a memory sandbox: clean, then with each call and
// each allocation failing in turn. Returns the fault points compared.
uint64_t CompareStorages(const std::function<void(WholeRun&)>& prepare) {
    auto observe = [&](Storage storage, const Faults& faults) {
        WholeRun run(storage);
        prepare(run);
        run.env.randomSeed = 7;  // the same staging and private folder names on both
        const Outcome outcome = run.Run(faults);
        return Observed(run, outcome);
    };
    WholeRun clean(Storage::Memory);
    prepare(clean);
    const RunResult counts = clean.Run().result;
    ExpectSame(observe(Storage::Disk, {}), observe(Storage::Memory, {}), "the clean run");
    uint64_t compared = 0;
    for (uint64_t n = 1; n <= counts.callCount && !::testing::Test::HasFailure(); ++n, ++compared) {
        Faults faults;
        faults.failNthCall = n;
        ExpectSame(observe(Storage::Disk, faults), observe(Storage::Memory, faults), "call " + std::to_string(n));
    }
    for (uint64_t n = 1; n <= counts.allocationCount && !::testing::Test::HasFailure(); ++n, ++compared) {
        Faults faults;
        faults.failNthAllocation = n;
        ExpectSame(observe(Storage::Disk, faults), observe(Storage::Memory, faults),
                   "allocation " + std::to_string(n));
    }
    return compared;
}

// The fault sweeps above run in memory; here every one of their runs (two workers taking turns,
// and the relaunch) is made on both storages and must show the same calls, failures, exit code,
// files and bytes.
TEST(SweepRuns, DiskAndMemoryGiveTheSameRunUnderEveryFault) {
    for (const bool sevenZip : {false, true}) {
        SCOPED_TRACE(sevenZip ? "7z" : "ZIP");
        const uint64_t compared = CompareStorages([sevenZip](WholeRun& run) {
            run.env.processors = 2;
            run.env.interleaveSeed = 5;
            run.WriteStub(StubImage(), sevenZip ? SevenZipPayload() : ZipPayload());
        });
        EXPECT_GT(compared, 150u);
    }
    SCOPED_TRACE("relaunch");
    const uint64_t compared = CompareStorages([](WholeRun& run) {
        run.WriteStub(StubImage() + ZipPayload());
        run.sandbox.WriteFile(u"C:\\stub\\helper.dll", "MZ dll");
        run.privateFolderAllowed = true;
        run.env.defaultProgram = [](const ProcessStart&) { return ProcessOutcome{kCopyCode, false}; };
    });
    EXPECT_GT(compared, 50u);
}

// A volume that fills up in the middle of the unpack, with no fault injected: the write that does
// not fit ends the run with 5 and the entry's note, and the staging folder keeps the whole entries
// before it (the partial file is deleted).
TEST(SweepRuns, AFullVolumeEndsTheRunWithTheEntriesBeforeIt) {
    const std::string stub = StubImage() + ZipPayload();
    // The stub's file, the prepared outside.exe, then room for .launch and bin/setup.exe and
    // part of data/readme.txt.
    const uint64_t room = kFiles.at(".launch").size() + kFiles.at("bin/setup.exe").size() + 500;
    WholeRun run(Storage::Memory, stub.size() + std::string("MZ outside").size() + room);
    run.WriteStub(stub);
    const Outcome outcome = run.Run();
    EXPECT_EQ(outcome.result.exitCode, kFailure);
    EXPECT_FALSE(outcome.installerStarted);
    ASSERT_FALSE(outcome.result.notes.empty());
    EXPECT_EQ(outcome.result.notes.back().reason, static_cast<u32>(stub::Reason::EntryWrite));
    EXPECT_EQ(outcome.stagingAfter, (FileMap{{".launch", kFiles.at(".launch")},
                                             {"bin/setup.exe", kFiles.at("bin/setup.exe")}}));
}

}  // namespace
