// The run's log, the free space checked before the first entry, and the causes named in the log
// and the failure message: whole runs over the host backend.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "hostile_whole_run.h"
#include "launcher_test_support.h"
#include "sfxtool/OptionsRecord.h"
#include "support/SevenZipBuilder.h"
#include "support/ZipBuilder.h"

namespace {

using namespace hostile;
using launchertest::N;
using launchertest::PathsOf;
using platform::host::Call;
using platform::host::CallRecord;

const std::u16string kLog = u"C:\\logs\\run.log";
const std::string kInstaller = "MZ installer";

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// A good stub (a ZIP with the installer and one more file) that logs to kLog.
struct LoggedRun {
    explicit LoggedRun(std::string payload = {}) {
        if (payload.empty()) payload = testsupport::BuildZip({{"Orvak ZEB Installer.exe", kInstaller}, {"a.bin", "aaaa"}});
        run.WriteStub(StubImage(), payload);
        run.env.variables[u"SELFEXTRACTOR_LOG"] = kLog;
        run.sandbox.WriteFile(u"C:\\logs\\keep.txt", "keep");
    }
    std::string Log() const { return run.sandbox.Exists(kLog) ? run.sandbox.ReadFile(kLog) : std::string(); }
    WholeRun run;
};

// What a run did that the log must not change; the handles it leaves to its exit as without a log.
void ExpectGoodRun(const Outcome& outcome) {
    static const uint64_t handlesWithoutLog = [] {
        LoggedRun plain;
        plain.run.env.variables.clear();
        return plain.run.Run().result.handlesLeft;
    }();
    EXPECT_EQ(outcome.result.exitCode, kInstallerCode);
    EXPECT_TRUE(outcome.installerStarted);
    EXPECT_EQ(outcome.stagingAtStart, (FileMap{{"Orvak ZEB Installer.exe", kInstaller}, {"a.bin", "aaaa"}}));
    EXPECT_TRUE(outcome.tempAfter.empty());
    EXPECT_EQ(outcome.result.handlesLeft, handlesWithoutLog);
}

TEST(RunLog, AGoodRunsStepsInOrderTimedFromHeaderToExitAndAppendedRunAfterRun) {
    LoggedRun logged;
    logged.run.env.commandLine = u"\"C:\\stub\\SelfExtractor.exe\" /S LICENSE=K3Y-S3CR3T-0001 /PASSWORD=hunter2";
    ExpectGoodRun(logged.run.Run());
    const std::vector<std::string> lines = Lines(logged.Log());
    ASSERT_GE(lines.size(), 10u) << logged.Log();
    const std::regex stamp(R"(^2026-12-10 12:\d\d:\d\d\.\d{3} .+)");
    for (const std::string& line : lines) EXPECT_TRUE(std::regex_match(line, stamp)) << line;
    EXPECT_TRUE(std::regex_match(lines.front().substr(24), std::regex(R"(SelfExtractor \d+\.\d+\.\d+, 64-bit, process \d+)")))
        << lines.front();
    EXPECT_EQ(lines.back().substr(24), "exit 42");
    // Each step once, in the run's order.
    const char* const steps[] = {"stub: C:\\stub\\SelfExtractor.exe", "token: ", "relaunch: ",
                                 "temp folder: C:\\Temp\\", "staging folder: C:\\Temp\\",
                                 "archive: ZIP at offset 256", "to unpack: 2 files, 16 bytes",
                                 "free space: ", "workers: ", "installer: C:\\Temp\\", "start: ",
                                 "installer ended: exit code 42", "wait: ", "delete: everything removed"};
    size_t at = 1;
    for (const char* step : steps) {
        while (at + 1 < lines.size() && lines[at].compare(24, std::string(step).size(), step) != 0) ++at;
        EXPECT_LT(at + 1, lines.size()) << "missing or out of order: " << step << "\n" << logged.Log();
    }
    // The parameter tail: only its length.
    EXPECT_EQ(logged.Log().find("S3CR3T"), std::string::npos);
    EXPECT_EQ(logged.Log().find("hunter2"), std::string::npos);
    EXPECT_NE(logged.Log().find("parameters of "), std::string::npos);

    // The next run appends: the first run's lines stay, in front.
    const std::string first = logged.Log();
    ExpectGoodRun(logged.run.Run());
    EXPECT_EQ(logged.Log().compare(0, first.size(), first), 0);
    EXPECT_EQ(Lines(logged.Log()).size(), 2 * lines.size());
}

TEST(RunLog, ALinkOrAHardLinkedFileAtThePathGetsNothingAndTheRunGoesOn) {
    for (const bool symbolic : {true, false}) {
        SCOPED_TRACE(symbolic ? "symbolic link" : "hard link");
        LoggedRun logged;
        if (symbolic) logged.run.sandbox.MakeLink(kLog, u"C:\\logs\\keep.txt");
        else logged.run.sandbox.MakeHardLink(kLog, u"C:\\logs\\keep.txt");
        ExpectGoodRun(logged.run.Run());
        EXPECT_EQ(logged.run.sandbox.ReadFile(u"C:\\logs\\keep.txt"), "keep");
    }
}

TEST(RunLog, ALogThatCannotBeOpenedOrWrittenChangesNothingInTheRun) {
    const auto onLog = [](Call call) {
        return [call](const CallRecord& record) { return record.call == call && record.path == kLog; };
    };
    for (const Call call : {Call::CreateFileW, Call::WriteFile}) {
        SCOPED_TRACE(platform::host::CallName(call));
        LoggedRun logged;
        Faults faults;
        faults.failWhen = onLog(call);
        faults.lastError = platform::ERROR_DISK_FULL;
        const Outcome outcome = logged.run.Run(faults);
        ExpectGoodRun(outcome);
        EXPECT_EQ(logged.Log(), "");
        // A write that failed stops the log: it is never tried again.
        const std::vector<std::u16string> writes = PathsOf(outcome.result, Call::WriteFile);
        if (call == Call::WriteFile) EXPECT_EQ(std::count(writes.begin(), writes.end(), kLog), 1);
    }
}

// The payload's files hold `bytes` in all; with one 4096-byte cluster each. Free space exactly
// that fits; one byte less fails before any entry is created, and the staging folder goes.
TEST(FreeSpace, ExactlyEnoughFitsOneByteShortCreatesNothingFor7zAndZip) {
    const std::string big(10000, 'b');
    const std::string installer7z("\0MZ installer", 13);  // as hostile_7z_test.cpp has it
    const std::string sevenZip = testsupport::BuildSevenZipRaw(
        {{u"Orvak ZEB Installer.exe", installer7z}, {u"big.bin", big}, {u"empty.txt", ""}});
    const std::string zip = testsupport::BuildZip(
        {{"Orvak ZEB Installer.exe", kInstaller}, {"big.bin", big}, {"empty.txt", ""}});
    for (const std::string* payload : {&sevenZip, &zip})
    for (const bool enough : {true, false}) {
        const uint64_t needed = (payload == &zip ? kInstaller : installer7z).size() + big.size() + 3 * 4096;
        const uint64_t free = enough ? needed : needed - 1;
        SCOPED_TRACE(std::string(payload == &zip ? "ZIP" : "7z") + ", free " + std::to_string(free));
        LoggedRun logged(*payload);
        logged.run.env.freeBytes = free;
        logged.run.env.clusterBytes = 4096;
        logged.run.env.commandLine = u"\"C:\\stub\\SelfExtractor.exe\"";
        logged.run.env.resources[{10, 1}] = sfxtool::BuildOptionsRecord({{}, {"Setup failed."}, false, {}});
        const Outcome outcome = logged.run.Run();
        if (enough) {
            EXPECT_EQ(outcome.result.exitCode, kInstallerCode);
            EXPECT_EQ(outcome.stagingAtStart.size(), 3u);
            continue;
        }
        EXPECT_EQ(outcome.result.exitCode, kFailure);
        EXPECT_FALSE(outcome.installerStarted);
        EXPECT_TRUE(outcome.tempAfter.empty());
        for (const Call call : {Call::NtCreateFile, Call::CreateFileW})
            for (const std::u16string& path : PathsOf(outcome.result, call))
                EXPECT_EQ(path.find(u".tmp\\"), std::u16string::npos) << N(path);
        EXPECT_NE(logged.Log().find("needs " + std::to_string(needed) + " bytes, " + std::to_string(free) + " bytes free"),
                  std::string::npos) << logged.Log();
        ASSERT_EQ(outcome.result.messageBoxes.size(), 1u);
        EXPECT_EQ(outcome.result.messageBoxes[0].text,
                  u"Setup failed.\n\nThere is not enough free space on C: to unpack this installer: it needs 1 MB, "
                  u"and 0 MB are free.");
    }
}

// Windows' refusals, at the start or at an entry's write, named the same in the log's cause line
// and in the failure message, whatever the number of workers.
TEST(FailureCauses, PolicyAntivirusAndOtherRefusalsNamedInTheLogAndTheMessage) {
    const std::string policy = "Windows blocked the installer program by a policy of this computer. Ask your "
                               "administrator, or set TMP to a folder where programs may run.";
    const std::string antivirus = "Antivirus software blocked a file of this installer.";
    struct Case {
        Call call;
        u32 error;
        std::string cause;
    };
    const Case cases[] = {
        {Call::ShellExecuteExW, 1260, policy},
        {Call::ShellExecuteExW, 786, policy},
        {Call::ShellExecuteExW, 225, antivirus},
        {Call::ShellExecuteExW, 226, antivirus},
        {Call::ShellExecuteExW, 193, "Windows could not start the installer program (error 193"},
        {Call::WriteFile, 225, antivirus},
        {Call::WriteFile, 226, antivirus},
    };
    const std::string payload = testsupport::BuildZip({{"Orvak ZEB Installer.exe", kInstaller},
                                                       {"a.bin", std::string(5000, 'a')},
                                                       {"b.bin", std::string(5000, 'b')},
                                                       {"c.bin", std::string(5000, 'c')}});
    for (const Case& c : cases)
    for (const u32 processors : {1u, 2u, 4u}) {
        if (c.call == Call::ShellExecuteExW && processors != 1) continue;  // the main thread's
        SCOPED_TRACE(std::string(platform::host::CallName(c.call)) + " " + std::to_string(c.error) +
                     ", processors " + std::to_string(processors));
        LoggedRun logged(payload);
        logged.run.env.commandLine = u"\"C:\\stub\\SelfExtractor.exe\"";
        logged.run.env.processors = processors;
        logged.run.env.interleaveSeed = processors == 1 ? 0 : 5;
        logged.run.env.resources[{10, 1}] = sfxtool::BuildOptionsRecord({{}, {"Setup failed."}, false, {}});
        Faults faults;
        faults.failWhen = [&c](const CallRecord& record) {
            return record.call == c.call && (c.call == Call::ShellExecuteExW || record.path.find(u".bin") != std::u16string::npos);
        };
        faults.lastError = c.error;
        const Outcome outcome = logged.run.Run(faults);
        EXPECT_EQ(outcome.result.exitCode, kFailure);
        const std::string log = logged.Log();
        const size_t cause = log.find(" cause: ");
        ASSERT_NE(cause, std::string::npos) << log;
        EXPECT_EQ(log.compare(cause + 8, c.cause.size(), c.cause), 0) << log;
        EXPECT_EQ(Lines(log).back().substr(24), "exit 5");
        EXPECT_NE(logged.Log().find("error " + std::to_string(c.error)), std::string::npos);
        ASSERT_EQ(outcome.result.messageBoxes.size(), 1u);
        EXPECT_EQ(N(outcome.result.messageBoxes[0].text).rfind("Setup failed.\n\n" + c.cause, 0), 0u)
            << N(outcome.result.messageBoxes[0].text);
    }
}

}  // namespace
