// The run sequence as a whole: step order, mode choice, the module-path check, and every failing
// platform call of the launcher's own steps in a full ZIP run.
#include <gtest/gtest.h>

#include "RunSequence.h"
#include "launcher_test_support.h"
#include "support/ZipBuilder.h"

namespace {

using namespace launchertest;
using platform::host::Environment;
using platform::host::Faults;
using platform::host::ProcessOutcome;
using platform::host::ProcessStart;
using testsupport::BuildZip;
using testsupport::FakeStubImage;
using testsupport::ZipEntry;

constexpr platform::u32 kInstallerCode = 42;

class LauncherRunSequence : public ::testing::Test {
protected:
    void SetUp() override {
        env.commandLine = u"\"C:\\stub\\SelfExtractor.exe\" /S";
        // Whatever the staging directory is called, its installer reports kInstallerCode and
        // notes what it saw.
        env.defaultProgram = [this](const ProcessStart& start) {
            seenFile = start.file;
            seenParameters = start.parameters;
            const size_t cut = start.file.find_last_of(u'\\');
            const std::u16string folder = start.file.substr(0, cut);
            seenPayload = sandbox.Exists(folder + u"\\sub\\data.txt") &&
                          sandbox.ReadFile(folder + u"\\sub\\data.txt") == "payload data";
            return ProcessOutcome{kInstallerCode, false};
        };
    }

    void WriteStub(const std::u16string& path, const std::string& archive) {
        sandbox.WriteFile(path, FakeStubImage() + archive);
    }
    static std::string InstallerZip() {
        ZipEntry installer;
        installer.name = "Orvak ZEB Installer.exe";
        installer.data = "MZ installer";
        ZipEntry data;
        data.name = "sub/data.txt";
        data.data = "payload data";
        data.deflate = true;
        return BuildZip({installer, data});
    }

    RunResult RunStub(const Faults& faults = {}) {
        seenFile.clear();
        seenPayload = false;
        return platform::host::Run(sandbox, env, [] {
            auto state = NewRunState();
            stub::RunSequence(*state);
        }, faults);
    }

    Sandbox sandbox;
    Environment env;
    std::u16string seenFile, seenParameters;
    bool seenPayload = false;
};

TEST_F(LauncherRunSequence, FullZipRunInStepOrder) {
    WriteStub(env.modulePath, InstallerZip());
    const RunResult result = RunStub();
    ASSERT_TRUE(result.exited);
    EXPECT_EQ(result.exitCode, kInstallerCode);
    EXPECT_TRUE(seenPayload);
    EXPECT_EQ(seenParameters, u" /S");
    EXPECT_TRUE(StagingFolders(sandbox, env.tempFolder).empty()) << "staging deleted";
    EXPECT_TRUE(result.attachedConsole);
    EXPECT_TRUE(result.threadStarted);

    // Hardening first: nothing but its own calls before the last preload; then the log's variable
    // is read (it is not set) and the options record is looked up (there is none).
    ASSERT_FALSE(result.calls.empty());
    EXPECT_EQ(result.calls[0].call, Call::GetModuleHandleW);
    const long commandLine = FirstIndexOf(result, Call::GetCommandLineW);
    const long options = FirstIndexOf(result, Call::FindResourceW);
    const long logVariable = FirstIndexOf(result, Call::GetEnvironmentVariableW);
    EXPECT_LT(LastIndexOf(result, Call::LoadLibraryW), logVariable);
    EXPECT_EQ(logVariable + 1, options);
    EXPECT_EQ(options + 1, commandLine);
    EXPECT_EQ(result.CountOf(Call::FindResourceW), 1u);
    EXPECT_EQ(result.CountOf(Call::LoadResource), 0u);
    EXPECT_EQ(result.CountOf(Call::LoadLibraryW), 17u);
    for (long i = 0; i < logVariable; ++i) {
        const Call call = result.calls[static_cast<size_t>(i)].call;
        EXPECT_TRUE(call == Call::GetModuleHandleW || call == Call::GetProcAddress ||
                    call == Call::SetDllDirectoryW || call == Call::SetDefaultDllDirectories ||
                    call == Call::GetSystemDirectoryW || call == Call::LoadLibraryW)
            << platform::host::CallName(call);
    }
    // Then: module path, relaunch test, console, pump thread, module path again, staging,
    // own file, extraction, launch.
    const std::vector<size_t> moduleNames = [&] {
        std::vector<size_t> at;
        for (size_t i = 0; i < result.calls.size(); ++i)
            if (result.calls[i].call == Call::GetModuleFileNameW) at.push_back(i);
        return at;
    }();
    ASSERT_EQ(moduleNames.size(), 2u);
    const long dllTest = FirstIndexOf(result, Call::FindFirstFileW);
    const long attach = FirstIndexOf(result, Call::AttachConsole);
    const long thread = FirstIndexOf(result, Call::CreateThread);
    const long temp = FirstIndexOf(result, Call::GetTempPathW);
    long open = -1;  // the stub's own file
    for (size_t i = 0; i < result.calls.size() && open < 0; ++i)
        if (result.calls[i].call == Call::CreateFileW && result.calls[i].path == env.modulePath)
            open = static_cast<long>(i);
    const long start = FirstIndexOf(result, Call::ShellExecuteExW);
    EXPECT_LT(commandLine, static_cast<long>(moduleNames[0]));
    EXPECT_LT(static_cast<long>(moduleNames[0]), dllTest);
    EXPECT_LT(dllTest, attach);
    EXPECT_LT(attach, thread);
    EXPECT_LT(thread, static_cast<long>(moduleNames[1]));
    EXPECT_LT(static_cast<long>(moduleNames[1]), temp);
    EXPECT_LT(temp, open);
    EXPECT_EQ(result.calls[static_cast<size_t>(open)].path, env.modulePath);
    EXPECT_LT(open, start);
    // The last removal is the staging folder itself, after its contents.
    const auto removed = PathsOf(result, Call::SetFileInformationByHandle);
    ASSERT_FALSE(removed.empty());
    EXPECT_EQ(platform::host::Utf8(removed.back()).rfind("C:\\Temp\\ZEB", 0), 0u);
    EXPECT_EQ(removed.back().find(u'\\', 8), std::u16string::npos) << N(removed.back());
    EXPECT_EQ(StagingFolders(sandbox, env.tempFolder), std::vector<std::u16string>{});
    // The own file is closed before the launch: only the never-closed pump thread handle is left.
    EXPECT_EQ(result.handlesLeft, 1u);
}

TEST_F(LauncherRunSequence, ModulePathTooLongFailsBeforeAnyStagingDirectory) {
    for (const size_t length : {261u, 262u, 400u}) {
        std::u16string path = u"C:\\" + std::u16string(150, u'm') + u"\\";
        path += std::u16string(length - path.size() - 4, u'n') + u".exe";
        ASSERT_EQ(path.size(), length);
        env.modulePath = path;
        env.commandLine = u"\"" + path + u"\"";
        WriteStub(path, InstallerZip());
        const RunResult result = RunStub();
        EXPECT_TRUE(result.exited) << length;
        EXPECT_EQ(result.exitCode, 5u) << length;
        EXPECT_EQ(result.CountOf(Call::GetTempPathW), 0u) << length;
        EXPECT_EQ(result.CountOf(Call::NtCreateFile), 0u) << length;
        EXPECT_TRUE(StagingFolders(sandbox, env.tempFolder).empty()) << length;
        EXPECT_TRUE(result.starts.empty());
    }
}

TEST_F(LauncherRunSequence, ModulePathsThatFitPassTheCheck) {
    // 260 units pass the module-path check (the staging directory is made), though a path that
    // long cannot be opened by the platform afterwards; 259 units run through.
    for (const size_t length : {260u, 259u}) {
        std::u16string path = u"C:\\" + std::u16string(150, u'm') + u"\\";
        path += std::u16string(length - path.size() - 4, u'n') + u".exe";
        env.modulePath = path;
        env.commandLine = u"\"" + path + u"\" -x";
        WriteStub(path, InstallerZip());
        const RunResult result = RunStub();
        EXPECT_EQ(result.CountOf(Call::GetTempFileNameW), 1u) << length << Trace(result);
        if (length == 259) {
            EXPECT_EQ(result.exitCode, kInstallerCode) << Trace(result);
            EXPECT_EQ(seenParameters, u" -x");
            EXPECT_TRUE(seenPayload);
        }
    }
}

TEST_F(LauncherRunSequence, TempFolderThatDoesNotFitEndsTheRun) {
    WriteStub(env.modulePath, InstallerZip());
    env.tempFolder = u"C:\\" + std::u16string(200, u't') + u"\\" + std::u16string(56, u'u') + u"\\";
    ASSERT_EQ(env.tempFolder.size(), 261u);
    const RunResult result = RunStub();
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exitCode, 5u);
    EXPECT_EQ(result.CountOf(Call::GetTempFileNameW), 0u);
    EXPECT_EQ(result.CountOf(Call::NtCreateFile), 0u);
    EXPECT_TRUE(result.starts.empty());
}

TEST_F(LauncherRunSequence, NoArchiveFailsAndLeavesTheEmptyStagingDirectory) {
    WriteStub(env.modulePath, "");
    const RunResult result = RunStub();
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exitCode, 5u);
    const auto folders = StagingFolders(sandbox, env.tempFolder);
    ASSERT_EQ(folders.size(), 1u);
    EXPECT_TRUE(IsDirectory(sandbox, folders[0]));
    EXPECT_TRUE(sandbox.List(folders[0]).empty());
    EXPECT_TRUE(result.starts.empty());
}

TEST_F(LauncherRunSequence, DllBesideTheStubSkipsConsoleThreadAndStaging) {
    WriteStub(env.modulePath, InstallerZip());
    sandbox.WriteFile(u"C:\\stub\\helper.dll", "MZ");
    const RunResult result = RunStub();
    EXPECT_TRUE(result.exited);
    EXPECT_FALSE(result.attachedConsole);
    EXPECT_FALSE(result.threadStarted);
    EXPECT_EQ(result.CountOf(Call::AttachConsole), 0u);
    EXPECT_EQ(result.CountOf(Call::CreateThread), 0u);
    EXPECT_EQ(result.CountOf(Call::GetTempFileNameW), 0u);
    EXPECT_TRUE(StagingFolders(sandbox, env.tempFolder).empty());
    // Hardening ran before the relaunch too.
    EXPECT_EQ(result.calls[0].call, Call::GetModuleHandleW);
    EXPECT_LT(LastIndexOf(result, Call::LoadLibraryW), FirstIndexOf(result, Call::GetCommandLineW));
}

// Every platform call that the launcher's own steps make in a full ZIP run, failing one at a time
// (the N-th call of the whole run): each gives its documented exit code. Calls made inside the
// payload stages belong to their own tests, except the entry path builder's directories.
TEST_F(LauncherRunSequence, EachFailingLauncherCallGivesItsDocumentedExitCode) {
    WriteStub(env.modulePath, InstallerZip());
    const RunResult clean = RunStub();
    ASSERT_EQ(clean.exitCode, kInstallerCode);

    // Phases of the clean run, by call index.
    const long firstModuleName = FirstIndexOf(clean, Call::GetModuleFileNameW);
    long console = -1;  // the console lookup that ends the relaunch test
    for (long i = firstModuleName; i >= 0 && i < static_cast<long>(clean.calls.size()); ++i) {
        if (clean.calls[static_cast<size_t>(i)].call == Call::GetModuleHandleW) {
            console = i;
            break;
        }
    }
    ASSERT_GT(console, firstModuleName);
    ASSERT_EQ(clean.calls[static_cast<size_t>(console) + 2].call, Call::AttachConsole);
    long selfOpen = -1;  // the stub's own file (the staging folder's hold comes before it)
    for (size_t i = 0; i < clean.calls.size() && selfOpen < 0; ++i)
        if (clean.calls[i].call == Call::CreateFileW && clean.calls[i].path == env.modulePath)
            selfOpen = static_cast<long>(i);
    const long launchPath = FirstIndexOf(clean, Call::PathAppendW);
    ASSERT_GT(launchPath, selfOpen);

    size_t checked = 0;
    for (size_t i = 0; i < clean.calls.size(); ++i) {
        const Call call = clean.calls[i].call;
        const long at = static_cast<long>(i);
        if (call == Call::GetCommandLineW || call == Call::GetTickCount) continue;  // never fail
        bool expectInstaller;  // otherwise: the failure exit code
        bool stagingDeleted = false;
        if (call == Call::FindResourceW) {
            expectInstaller = false;  // an options record that cannot be looked up ends the run
        } else if (at < firstModuleName) {
            expectInstaller = true;  // hardening: nothing in it can fail the run
        } else if (at < console) {
            continue;  // the relaunch test belongs to the relaunch stage
        } else if (at < selfOpen) {
            // console and pump thread are optional; module path and staging are not; a reserved
            // file that stays in place makes the directory creation fail. The look-up of
            // GetTempPath2W leaves GetTempPathW when it fails; the token's close and the frees
            // of the SID text and the descriptor are not tested.
            expectInstaller = call == Call::GetModuleHandleW || call == Call::GetProcAddress ||
                              call == Call::AttachConsole || call == Call::CreateThread ||
                              call == Call::LocalFree ||
                              (call == Call::CloseHandle && clean.calls[i].path == u"token");
        } else if (at == selfOpen) {
            expectInstaller = false;
        } else if (at < launchPath) {
            // Extraction: only the entry path builder's directory and the own file's close.
            if (call == Call::CreateDirectoryW) {
                expectInstaller = false;
            } else if (call == Call::CloseHandle && at + 1 == launchPath) {
                expectInstaller = true;
            } else {
                continue;
            }
        } else {
            const std::u16string& path = clean.calls[i].path;
            switch (call) {
                // No .launch readable: the default runs anyway. The delete's own opens (by
                // "\\?\" paths) and closes (of files and folders) leave what they meet.
                case Call::CreateFileW:
                case Call::CloseHandle:
                    expectInstaller = true;
                    stagingDeleted = path.rfind(u"\\\\?\\", 0) != 0 && path != u"file";
                    break;
                // The default installer's attributes (a folder is refused): the run ends.
                case Call::GetFileAttributesW:
                    expectInstaller = at > FirstIndexOf(clean, Call::GetExitCodeProcess);
                    break;
                // The wait for programs from the staging folder: a failing look ends it early.
                case Call::CreateToolhelp32Snapshot: case Call::Process32FirstW:
                case Call::Process32NextW: case Call::OpenProcess:
                case Call::GetFinalPathNameByHandleW: case Call::QueryFullProcessImageNameW:
                case Call::WaitForMultipleObjects:
                    expectInstaller = true;
                    stagingDeleted = true;
                    break;
                // The staging folder's delete: whatever fails, the code stays the installer's.
                case Call::GetFullPathNameW: case Call::GetProcessHeap: case Call::HeapAlloc:
                case Call::HeapFree: case Call::GetFileInformationByHandle:
                case Call::GetVolumeInformationByHandleW: case Call::NtQueryInformationFile:
                case Call::GetFileInformationByHandleEx: case Call::SetFileInformationByHandle:
                    expectInstaller = true;
                    break;
                case Call::GetExitCodeProcess:
                    expectInstaller = false;
                    stagingDeleted = true;
                    break;
                default:
                    expectInstaller = false;
                    break;
            }
        }
        Faults faults;
        faults.failNthCall = i + 1;
        const RunResult result = RunStub(faults);
        const std::string what = std::to_string(i) + " " + platform::host::CallName(call);
        ASSERT_TRUE(result.exited) << what;
        ASSERT_LT(i, result.calls.size()) << what;
        EXPECT_EQ(result.calls[i].call, call) << what << ": the run is not deterministic";
        EXPECT_TRUE(result.calls[i].failedByInjection) << what;
        EXPECT_EQ(result.exitCode, expectInstaller ? kInstallerCode : 5u) << what << Trace(result);
        if (stagingDeleted) {
            EXPECT_TRUE(StagingFolders(sandbox, env.tempFolder).empty()) << what;
        }
        ++checked;
        // Start the next case with a clean temp folder.
        std::filesystem::remove_all(sandbox.LinuxPath(env.tempFolder));
        MakeDirectory(sandbox, env.tempFolder);
    }
    EXPECT_GT(checked, 30u);
}

}  // namespace
