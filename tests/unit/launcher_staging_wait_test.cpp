// Programs started from the staging folder keep it: after the installer ends, the stub waits for
// every process that runs a program from the staging folder (whoever started it), in a tree wait
// also for the installer's descendants wherever their programs lie, never for anything else, and
// never longer than 30 minutes after the installer's end. The processes live on the run's clock.
#include <gtest/gtest.h>

#include "hostile_whole_run.h"
#include "staging/StagingWait.h"
#include "launcher_test_support.h"
#include "support/ZipBuilder.h"

namespace {

using namespace hostile;
using launchertest::N;
using platform::host::Call;
using platform::host::CallRecord;
using platform::host::Spawned;

std::string Payload() {
    return testsupport::BuildZip({{"Orvak ZEB Installer.exe", "MZ bootstrapper"},
                                  {"child.exe", "MZ the real installer"}, {"data.bin", "its data"}});
}

// A whole run whose installer leaves `spawns` running; the staging folder is named ZEB1000.tmp.
Outcome RunWith(WholeRun& run, std::vector<Spawned> spawns) {
    run.env.tempFileStart = 0x1000;
    run.WriteStub(StubImage(), Payload());
    run.env.programs[u"C:\\Temp\\ZEB1000.tmp\\Orvak ZEB Installer.exe"] =
        [spawns](const ProcessStart&) { return ProcessOutcome{kInstallerCode, false, spawns}; };
    return run.Run();
}

// The run's clock when the staging folder's delete began (its first removal), relative to the
// installer's end (GetExitCodeProcess).
long DeleteAfterInstallerMs(const platform::host::RunResult& result) {
    long ended = -1, removed = -1;
    for (const CallRecord& record : result.calls) {
        if (record.call == Call::GetExitCodeProcess && ended < 0) ended = record.clock;
        if (record.call == Call::SetFileInformationByHandle && record.path2 == u"disposition" && removed < 0)
            removed = record.clock;
    }
    return ended < 0 || removed < 0 ? -1 : removed - ended;
}

const std::u16string kChild = u"C:\\Temp\\ZEB1000.tmp\\child.exe";

TEST(StagingWait, AProgramFromStagingThatOutlivesTheInstallerKeepsTheFolderUntilItEnds) {
    WholeRun run;
    const Outcome outcome = RunWith(run, {{kChild, 3000}});
    EXPECT_EQ(outcome.result.exitCode, kInstallerCode) << "the exit code stays the installer's";
    EXPECT_EQ(DeleteAfterInstallerMs(outcome.result), 3000);
    EXPECT_TRUE(outcome.tempAfter.empty());
    // Names compare as the file system does (another case, the long name the system reports), and
    // one started by someone else (a service, a task) counts as much; several are waited for in turn.
    WholeRun other;
    const Outcome several = RunWith(other, {{u"C:\\TEMP\\zeb1000.TMP\\CHILD.exe", 2000, false},
                                            {u"C:\\Temp\\ZEB1000.tmp\\sub\\helper.exe", 7000}});
    EXPECT_EQ(DeleteAfterInstallerMs(several.result), 7000);
}

// %TEMP% often holds short (8.3) names, and a program started by such a path may be reported by
// it: it keeps the folder all the same, the folder being named by the system in its long form.
TEST(StagingWait, AProgramStartedByAShortPathKeepsTheFolder) {
    const std::u16string shortTemp = u"C:\\Users\\JOHNSM~1\\AppData\\Local\\Temp";
    const std::u16string staging = shortTemp + u"\\ZEB1000.tmp";
    Sandbox sandbox;
    Environment env;
    env.shortNames[u"C:\\Users\\JOHNSM~1"] = u"C:\\Users\\John Smith";
    env.tempFolder = shortTemp + u"\\";
    env.tempFileStart = 0x1000;
    env.commandLine = u"\"C:\\stub\\SelfExtractor.exe\" /S";
    sandbox.WriteFile(env.modulePath, StubImage() + Payload());
    env.programs[staging + u"\\Orvak ZEB Installer.exe"] = [&](const ProcessStart&) {
        return ProcessOutcome{kInstallerCode, false, {{staging + u"\\child.exe", 3000}}};
    };
    const auto result = platform::host::Run(sandbox, env, [] {
        auto state = std::make_unique<stub::RunState>();
        stub::RunSequence(*state);
    });
    EXPECT_EQ(result.exitCode, kInstallerCode) << launchertest::Trace(result, 12);
    EXPECT_EQ(DeleteAfterInstallerMs(result), 3000);
    EXPECT_TRUE(sandbox.List(u"C:\\Users\\John Smith\\AppData\\Local\\Temp").empty());
    EXPECT_EQ(result.CountOf(Call::GetLongPathNameW), 1u) << "only the path that did not match as it is";
}

TEST(StagingWait, ProgramsFromElsewhereAreNotWaitedFor) {
    WholeRun run;
    // The installed application setup starts at its end, and a folder whose name only begins like
    // the staging folder's.
    const Outcome outcome = RunWith(run, {{u"C:\\Program Files\\Orvak\\app.exe", 600000},
                                          {u"C:\\Temp\\ZEB1000.tmp2\\x.exe", 600000}});
    EXPECT_EQ(outcome.result.exitCode, kInstallerCode);
    EXPECT_EQ(DeleteAfterInstallerMs(outcome.result), 0);
    EXPECT_TRUE(outcome.tempAfter.empty());
}

TEST(StagingWait, TheWaitEndsThirtyMinutesAfterTheInstaller) {
    WholeRun run;
    const Outcome outcome = RunWith(run, {{kChild, 2 * 3600 * 1000}, {u"C:\\Temp\\ZEB1000.tmp\\b.exe", 40000}});
    EXPECT_EQ(outcome.result.exitCode, kInstallerCode);
    EXPECT_EQ(DeleteAfterInstallerMs(outcome.result), static_cast<long>(stub::kStagingWaitMs));
}

TEST(StagingWait, FailingLooksEndTheWaitAndTheDeleteGoesOn) {
    for (const Call call : {Call::CreateToolhelp32Snapshot, Call::OpenProcess, Call::Process32FirstW,
                            Call::QueryFullProcessImageNameW, Call::GetFinalPathNameByHandleW,
                            Call::WaitForMultipleObjects}) {
        WholeRun run;
        run.env.tempFileStart = 0x1000;
        run.WriteStub(StubImage(), Payload());
        run.env.programs[u"C:\\Temp\\ZEB1000.tmp\\Orvak ZEB Installer.exe"] = [](const ProcessStart&) {
            return ProcessOutcome{kInstallerCode, false, {{kChild, 5000}}};
        };
        Faults faults;
        faults.failEvery = {call};
        const Outcome outcome = run.Run(faults);
        SCOPED_TRACE(platform::host::CallName(call));
        EXPECT_EQ(outcome.result.exitCode, kInstallerCode);
        EXPECT_EQ(outcome.result.handlesLeft, 1u) << "only the message pump's thread";
        EXPECT_LE(DeleteAfterInstallerMs(outcome.result), 5000);
    }
}

// The tree wait: the installer's descendants, wherever their programs lie, through the job the
// stub puts itself into before the launch; others' processes from elsewhere still not.
TEST(StagingWait, ATreeWaitAlsoWaitsForTheInstallersDescendantsElsewhere) {
    for (const bool tree : {false, true}) {
        Sandbox sandbox;
        Environment env;
        sandbox.WriteFile(kChild, "MZ");
        env.programs[u"C:\\setup.exe"] = [](const ProcessStart&) {
            return ProcessOutcome{0, false, {{u"C:\\Windows\\System32\\msiexec.exe", 9000},
                                             {u"C:\\Windows\\System32\\svchost.exe", 60000, false}}};
        };
        sandbox.WriteFile(u"C:\\setup.exe", "MZ");
        u32 waited = 0;
        const auto result = platform::host::Run(sandbox, env, [&] {
            using namespace platform;
            stub::StagingState staging{};
            launchertest::FillStaging(staging, u"C:\\Temp\\ZEB1000.tmp");
            const Handle job = tree ? stub::JoinOwnJob() : nullptr;
            ShellExecuteInfo info = {};
            info.cbSize = 60;
            info.fMask = SEE_MASK_NOCLOSEPROCESS;
            info.lpFile = u"C:\\setup.exe";
            ASSERT_TRUE(ShellExecuteExW(&info));
            CloseHandle(info.hProcess);
            const u32 ended = GetTickCount();
            stub::StagingWait(staging, job, ended);
            waited = GetTickCount() - ended;
            if (job != nullptr) CloseHandle(job);
            CloseHandle(staging.folder.handle);
        });
        EXPECT_EQ(result.joinedJob, tree);
        EXPECT_EQ(waited, tree ? 9000u : 0u);
        EXPECT_EQ(result.handlesLeft, 0u);
    }
}

}  // namespace
