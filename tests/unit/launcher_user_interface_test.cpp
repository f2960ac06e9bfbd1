// What people see: the silent switches and the window station that keep every window away, the
// failure message with its title and cause line, Cancel during the unpack, and the wait mode
// chosen at pack time. Whole runs over the host backend, with the options record and the version
// information in the stub's resources as sfxtool pack writes them.
#include <gtest/gtest.h>

#include "hostile_whole_run.h"
#include "launcher/OptionsReader.h"
#include "ui/FailureMessage.h"
#include "launcher/InstallerLauncher.h"
#include "ui/InstallerTitle.h"
#include "ui/UserPresence.h"
#include "launcher_test_support.h"
#include "sfxtool/OptionsRecord.h"
#include "sfxtool/VersionResource.h"
#include "support/ZipBuilder.h"

namespace {

using namespace hostile;
using launchertest::N;
using platform::host::Call;
using platform::WChar;

stub::InstallerOptions Options(const sfxtool::InstallerOptionsChoice& choice) {
    const std::string record = sfxtool::BuildOptionsRecord(choice);
    stub::InstallerOptions options;
    EXPECT_TRUE(stub::ParseInstallerOptions(reinterpret_cast<const platform::u8*>(record.data()),
                                            static_cast<platform::u32>(record.size()), options));
    return options;
}

TEST(SilentSwitches, WholeWordsWithEitherPrefixWithoutRegardToCase) {
    const stub::InstallerOptions defaults = Options({{}, {"x"}, false, {}});
    struct Case {
        const char16_t* tail;
        bool silent;
    };
    const Case cases[] = {
        {u" /S", true}, {u" -s", true}, {u"\t/quiet\t", true}, {u" /QN", true},
        {u" /norestart /passive", true}, {u" /VerySilent", true}, {u" -SILENT", true},
        {u" /SUPPRESSMSGBOXES", true}, {u" \"/S\"", true}, {u" a /q b", true},
        {u"", false}, {u" /S2", false}, {u" x/S", false}, {u" /S=1", false}, {u" --S", false},
        {u" /", false}, {u" S", false}, {u" \"/S", false}, {u" /quietly", false}, {u" /D=C:\\S", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(stub::SilentSwitchGiven(c.tail, defaults), c.silent) << N(c.tail);
    // A list of the record's own replaces the default one.
    const stub::InstallerOptions own = Options({{}, {"x"}, false, {"/silent-mode", "Q2"}});
    EXPECT_TRUE(stub::SilentSwitchGiven(u" -SILENT-MODE", own));
    EXPECT_TRUE(stub::SilentSwitchGiven(u" /q2", own));
    EXPECT_FALSE(stub::SilentSwitchGiven(u" /S", own));
}

std::string VersionBlock(const std::vector<std::pair<std::u16string, std::u16string>>& strings) {
    sfxtool::VersionInfo info;
    info.strings = strings;
    info.translations = {0x04B00409};
    return sfxtool::BuildVersionResource(info);
}

TEST(InstallerTitle, FileDescriptionElseProductNameElseTheFileName) {
    WChar title[platform::kMaxPathChars];
    const std::string both = VersionBlock({{u"ProductName", u"Orvak ZEB"}, {u"FileDescription", u"Orvak ZEB Setup"}});
    const auto* data = reinterpret_cast<const platform::u8*>(both.data());
    ASSERT_TRUE(stub::VersionString(data, static_cast<u32>(both.size()), "FileDescription", title, 260));
    EXPECT_EQ(std::u16string(title), u"Orvak ZEB Setup");
    // Cut to the buffer, never past it; truncated blocks are no title.
    ASSERT_TRUE(stub::VersionString(data, static_cast<u32>(both.size()), "ProductName", title, 6));
    EXPECT_EQ(std::u16string(title), u"Orvak");
    for (size_t cut = 0; cut < both.size(); cut += 7)
        stub::VersionString(data, static_cast<u32>(cut), "FileDescription", title, 260);  // stays inside
    EXPECT_FALSE(stub::VersionString(data, 40, "FileDescription", title, 260));

    Sandbox sandbox;
    Environment env;
    for (const auto& [resource, want] :
         std::vector<std::pair<std::string, std::u16string>>{
             {both, u"Orvak ZEB Setup"},
             {VersionBlock({{u"ProductName", u"Orvak ZEB"}, {u"FileDescription", u""}}), u"Orvak ZEB"},
             {VersionBlock({{u"CompanyName", u"Orvak GmbH"}}), u"OrvakSetup.exe"},
             {"", u"OrvakSetup.exe"}}) {
        if (resource.empty()) env.resources.erase({16, 1});
        else env.resources[{16, 1}] = resource;
        platform::host::Run(sandbox, env, [&] { stub::InstallerTitle(u"C:\\dl\\OrvakSetup.exe", title); });
        EXPECT_EQ(std::u16string(title), want);
    }
}

// A stub whose payload fails its CRC (a damaged download), with the options in its resources.
struct FailingRun {
    explicit FailingRun(const sfxtool::InstallerOptionsChoice& choice, std::string payload = {}) {
        if (payload.empty()) {
            payload = testsupport::BuildZip({{"Orvak ZEB Installer.exe", "MZ installer"}});
            payload[payload.find("MZ installer")] = 'X';  // the data no longer matches its CRC
        }
        run.WriteStub(StubImage(), payload);
        if (choice.Any()) run.env.resources[{10, 1}] = sfxtool::BuildOptionsRecord(choice);
        run.env.resources[{16, 1}] = VersionBlock({{u"FileDescription", u"Orvak ZEB Setup"}});
    }
    WholeRun run;
};

TEST(FailureMessage, ADamagedDownloadShowsTheMessageTitledByTheInstallerWithItsCause) {
    FailingRun failing({{}, {"Setup could not start. Please download it again from orvak.example."}, false, {}});
    failing.run.env.commandLine = u"\"C:\\stub\\SelfExtractor.exe\" /lang=de";
    const Outcome outcome = failing.run.Run();
    EXPECT_EQ(outcome.result.exitCode, kFailure);
    ASSERT_EQ(outcome.result.messageBoxes.size(), 1u);
    const auto& box = outcome.result.messageBoxes[0];
    EXPECT_EQ(box.caption, u"Orvak ZEB Setup");
    EXPECT_EQ(box.text, u"Setup could not start. Please download it again from orvak.example.\n\n"
                        u"The file is damaged or incomplete. Download it again.");
    EXPECT_EQ(box.type & 0xF0, platform::MB_ICONERROR);
}

TEST(FailureMessage, NoBoxWhereNobodyCanAnswerOrNoMessageWasGiven) {
    const sfxtool::InstallerOptionsChoice withMessage{{}, {"Setup failed."}, false, {}};
    for (const char16_t* tail : {u" /S", u" /qn", u" -VERYSILENT /log"}) {
        FailingRun failing(withMessage);
        failing.run.env.commandLine = std::u16string(u"\"C:\\stub\\SelfExtractor.exe\"") + tail;
        const Outcome outcome = failing.run.Run();
        EXPECT_EQ(outcome.result.exitCode, kFailure) << N(tail);
        EXPECT_TRUE(outcome.result.messageBoxes.empty()) << N(tail);
    }
    FailingRun service(withMessage);
    service.run.env.commandLine = u"\"C:\\stub\\SelfExtractor.exe\"";
    service.run.env.interactiveStation = false;  // a service, session 0
    EXPECT_TRUE(service.run.Run().result.messageBoxes.empty());
    FailingRun none({});  // no record: silent, as ever
    none.run.env.commandLine = u"\"C:\\stub\\SelfExtractor.exe\"";
    EXPECT_TRUE(none.run.Run().result.messageBoxes.empty());
}

TEST(FailureMessage, TheCauseLineNamesDiskSpaceAndTheTempFolder) {
    const std::string whole = testsupport::BuildZip({{"Orvak ZEB Installer.exe", "MZ installer"},
                                                     {"a.bin", std::string(5000, 'a')},
                                                     {"b.bin", std::string(5000, 'b')},
                                                     {"c.bin", std::string(5000, 'c')}});
    struct Case {
        platform::host::Call call;
        u32 error;
        const char16_t* cause;
    };
    const Case cases[] = {
        {Call::WriteFile, platform::ERROR_DISK_FULL, u"There is not enough disk space."},
        {Call::NtCreateFile, platform::ERROR_ACCESS_DENIED, u"The temporary folder cannot be written."},
        {Call::NtCreateFile, platform::ERROR_DISK_FULL, u"There is not enough disk space."},
        {Call::ShellExecuteExW, platform::ERROR_ACCESS_DENIED,
         u"Windows could not start the installer program (error 5: Access is denied.)"},
        {Call::GetFileAttributesW, platform::ERROR_ACCESS_DENIED, nullptr},  // the stub cannot tell
    };
    // With several workers, the write that fails is a worker's: its error still names the cause.
    for (const Case& c : cases)
    for (const u32 processors : {1u, 2u}) {
        FailingRun failing({{}, {"Setup failed."}, false, {}}, whole);
        failing.run.env.commandLine = u"\"C:\\stub\\SelfExtractor.exe\"";
        failing.run.env.processors = processors;
        failing.run.env.interleaveSeed = processors == 1 ? 0 : 3;
        Faults faults;
        faults.failEvery = {c.call};
        faults.lastError = c.error;
        const Outcome outcome = failing.run.Run(faults);
        SCOPED_TRACE(std::string(platform::host::CallName(c.call)) + ", processors " + std::to_string(processors));
        EXPECT_EQ(outcome.result.exitCode, kFailure);
        ASSERT_EQ(outcome.result.messageBoxes.size(), 1u);
        EXPECT_EQ(outcome.result.messageBoxes[0].text,
                  c.cause == nullptr ? std::u16string(u"Setup failed.") : u"Setup failed.\n\n" + std::u16string(c.cause));
    }
}

// Cancel (as the progress window's button sets it) during the unpack: nothing is started, the
// staging folder goes, and the run ends with ERROR_CANCELLED.
TEST(Cancel, StagingDeletedNothingStartedExitCancelled) {
    WholeRun run;
    run.WriteStub(StubImage(), testsupport::BuildZip({{"Orvak ZEB Installer.exe", "MZ installer"},
                                                      {"data.bin", std::string(100000, 'd')}}));
    run.env.resources[{10, 1}] = sfxtool::BuildOptionsRecord({{}, {}, true, {}});
    stub::RunState* current = nullptr;
    Faults faults;
    // Clicked while the first file is being written.
    faults.beforeCall = [&](const platform::host::CallRecord& call) {
        if (call.call == Call::WriteFile && current != nullptr) stub::RequestCancel(current->progress);
    };
    const auto result = platform::host::Run(run.sandbox, run.env, [&] {
        auto state = std::make_unique<stub::RunState>();
        current = state.get();
        stub::RunSequence(*state);
    }, faults);
    EXPECT_EQ(result.exitCode, 1223u);
    EXPECT_TRUE(result.starts.empty());
    EXPECT_TRUE(launchertest::StagingFolders(run.sandbox, u"C:\\Temp").empty());
    EXPECT_TRUE(result.messageBoxes.empty()) << "a cancel is no failure";
}

// Cancel and the launch are one decision: a Cancel pressed at any moment of a run is either taken,
// and the run ends with 1223, starts nothing and deletes the staging folder, or refused because
// the launch was decided first (the window is closing), and the installer runs. Never both.
TEST(Cancel, TakenBeforeTheLaunchIsDecidedAndRefusedAfterWheneverItComes) {
    WholeRun run;
    run.WriteStub(StubImage(), testsupport::BuildZip({{"Orvak ZEB Installer.exe", "MZ installer"},
                                                      {"data.bin", std::string(100000, 'd')}}));
    run.env.resources[{10, 1}] = sfxtool::BuildOptionsRecord({{}, {}, true, {}});
    auto runWith = [&](uint64_t pressAt, int& taken) {
        stub::RunState* current = nullptr;
        Faults faults;
        faults.beforeCall = [&, count = uint64_t{0}](const platform::host::CallRecord&) mutable {
            if (++count == pressAt && current != nullptr) taken = stub::RequestCancel(current->progress);
        };
        return platform::host::Run(run.sandbox, run.env, [&] {
            auto state = std::make_unique<stub::RunState>();
            current = state.get();
            stub::RunSequence(*state);
        }, faults);
    };
    int none = -1;
    const uint64_t calls = runWith(0, none).callCount;
    int takenCount = 0, refusedCount = 0;
    for (uint64_t n = 1; n <= calls; ++n) {
        int taken = -1;
        const auto result = runWith(n, taken);
        const auto left = launchertest::StagingFolders(run.sandbox, u"C:\\Temp");
        for (const auto& folder : left) std::filesystem::remove_all(run.sandbox.LinuxPath(folder));
        if (taken < 0) continue;  // pressed before the run state was there
        SCOPED_TRACE("Cancel before call " + std::to_string(n) + launchertest::Trace(result, 3));
        if (taken == 1) {
            ++takenCount;
            EXPECT_EQ(result.exitCode, 1223u);
            EXPECT_TRUE(result.starts.empty());
            EXPECT_TRUE(left.empty());
        } else {
            ++refusedCount;
            EXPECT_EQ(result.exitCode, kInstallerCode);
            EXPECT_EQ(result.starts.size(), 1u);
        }
    }
    EXPECT_GT(takenCount, 0);
    EXPECT_GT(refusedCount, 0);
}

// The wait mode the record gives: installer (as before: no wait), staging, tree (the stub's job).
TEST(WaitMode, TheRecordChoosesHowLongTheStagingFolderIsKept) {
    struct Case {
        const char* wait;
        long deleteAfter;
        bool joinedJob;
    };
    for (const Case& c : {Case{"installer", 0, false}, Case{"staging", 4000, false}, Case{"tree", 9000, true}}) {
        WholeRun run;
        run.env.tempFileStart = 0x1000;
        run.WriteStub(StubImage(), testsupport::BuildZip({{"Orvak ZEB Installer.exe", "MZ setup"}}));
        run.env.resources[{10, 1}] = sfxtool::BuildOptionsRecord({{c.wait}, {}, false, {}});
        run.env.programs[u"C:\\Temp\\ZEB1000.tmp\\Orvak ZEB Installer.exe"] = [](const ProcessStart&) {
            return ProcessOutcome{kInstallerCode, false,
                                  {{u"C:\\Temp\\ZEB1000.tmp\\real.exe", 4000},
                                   {u"C:\\Windows\\System32\\msiexec.exe", 9000}}};
        };
        const Outcome outcome = run.Run();
        SCOPED_TRACE(c.wait);
        EXPECT_EQ(outcome.result.exitCode, kInstallerCode);
        EXPECT_EQ(outcome.result.joinedJob, c.joinedJob);
        long ended = -1, removed = -1;
        for (const auto& record : outcome.result.calls) {
            if (record.call == Call::GetExitCodeProcess && ended < 0) ended = record.clock;
            if (record.call == Call::SetFileInformationByHandle && removed < 0) removed = record.clock;
        }
        EXPECT_EQ(removed - ended, c.deleteAfter);
    }
}

}  // namespace
