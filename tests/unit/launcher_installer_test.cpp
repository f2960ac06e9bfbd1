// The installer launch: parameter tail, .launch resolution, start, wait, exit code, clean-up.
#include <gtest/gtest.h>

#include "run/CommandLine.h"
#include "run/Failure.h"
#include "launcher/InstallerLauncher.h"
#include "launcher_test_support.h"

namespace {

using namespace launchertest;
using platform::host::Environment;
using platform::host::Faults;
using platform::host::ProcessOutcome;
using platform::host::ProcessStart;

// ---- parameter tail ---------------------------------------------------------------------------

std::u16string TailOf(const std::u16string& line) {
    const platform::WChar* tail = stub::ParameterTail(line.c_str());
    // The tail points into the line itself: nothing is copied.
    EXPECT_GE(tail, line.c_str());
    EXPECT_LE(tail, line.c_str() + line.size());
    return std::u16string(tail);
}

TEST(LauncherParameterTail, Cases) {
    struct Case {
        std::u16string line;
        std::u16string tail;
    };
    const Case cases[] = {
        {u"-silent /x", u"-silent /x"},                      // leading hyphen: the whole line
        {u"-", u"-"},
        {u"setup.exe", u""},                                 // unquoted name alone
        {u"\"C:\\My Files\\stub.exe\"", u""},                // quoted name alone
        {u"stub.exe /quiet  /log x", u"/quiet  /log x"},     // after the first space
        {u"\"C:\\My Files\\stub.exe\" /a \"b c\"", u" /a \"b c\""},  // leading space kept
        {u"\"C:\\stub.exe\"/a", u"/a"},
        {u"", u""},                                          // empty line
        {u"\"unterminated quote", u""},
        {u"\"\" x", u" x"},                                  // opening quote never closes
        {u" x y", u"y"},                                     // first unit stepped over first
        {u"a\"b c", u"c"},
        {u"setup.exe\tfirst second", u"first second"},     // a tab ends an unquoted name
        {u"setup.exe\t\tfirst", u"\tfirst"},
        {u"\"C:\\a b\\stub.exe\"\tx", u"\tx"},         // inside quotes only the quote ends it
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TailOf(c.line), c.tail) << N(c.line);
    }
}

// ---- launch -----------------------------------------------------------------------------------

class LauncherInstall : public ::testing::Test {
protected:
    static constexpr char16_t kStaging[] = u"C:\\Temp\\ZEB1A2B.tmp";

    void SetUp() override {
        staging = kStaging;
        MakeDirectory(sandbox, staging);
        sandbox.WriteFile(staging + u"\\payload.txt", "unpacked");
        env.commandLine = u"\"C:\\stub dir\\SelfExtractor.exe\" /quiet \"x y\"";
    }

    // A program in the staging directory (or any full path) that ends with `exitCode`.
    void AddProgram(const std::u16string& path, platform::u32 exitCode) {
        sandbox.WriteFile(path, "MZ");
        env.programs[path] = [this, exitCode](const ProcessStart&) {
            stagingSeenByProgram = IsDirectory(sandbox, staging) &&
                                   sandbox.Exists(staging + u"\\payload.txt");
            return ProcessOutcome{exitCode, false};
        };
    }
    void AddInstaller(const std::u16string& relative, platform::u32 exitCode) {
        AddProgram(staging + u"\\" + relative, exitCode);
    }
    void WriteLaunch(const std::string& bytes) { sandbox.WriteFile(staging + u"\\.launch", bytes); }
    // Any existing file started without a registration "runs" and reports 0 (so that a faulty
    // launcher would visibly succeed where it must fail).
    void AcceptAnyStart() {
        env.defaultProgram = [](const ProcessStart&) { return ProcessOutcome{0, false}; };
    }

    RunResult Launch(const Faults& faults = {}) {
        return platform::host::Run(sandbox, env, [&] {
            auto state = NewRunState();
            state->commandLine = platform::GetCommandLineW();
            FillStaging(state->staging, staging);
            stub::InstallerLauncher(*state);
        }, faults);
    }

    void ExpectFailedWithStagingLeft(const RunResult& result, const std::string& what) {
        EXPECT_TRUE(result.exited) << what;
        EXPECT_EQ(result.exitCode, 5u) << what;
        EXPECT_TRUE(result.starts.empty()) << what;
        EXPECT_EQ(result.CountOf(Call::ShellExecuteExW), 0u) << what << ": nothing goes to the shell";
        EXPECT_TRUE(IsDirectory(sandbox, staging)) << what;
        EXPECT_EQ(result.CountOf(Call::GetFileInformationByHandleEx), 0u) << what << ": nothing is deleted";
        EXPECT_EQ(result.CountOf(Call::SetFileInformationByHandle), 0u) << what;
    }

    Sandbox sandbox;
    Environment env;
    std::u16string staging;
    bool stagingSeenByProgram = false;
};

TEST_F(LauncherInstall, DefaultInstallerRunsHiddenWithTheTailThenStagingIsDeleted) {
    AddInstaller(u"Orvak ZEB Installer.exe", 0);
    const RunResult result = Launch();
    ASSERT_TRUE(result.exited);
    EXPECT_EQ(result.exitCode, 0u);
    ASSERT_EQ(result.starts.size(), 1u);
    const ProcessStart& start = result.starts[0];
    EXPECT_EQ(start.file, staging + u"\\Orvak ZEB Installer.exe");
    EXPECT_EQ(start.parameters, u" /quiet \"x y\"");
    EXPECT_FALSE(start.parametersNull);
    EXPECT_EQ(start.verb, u"open");
    EXPECT_TRUE(start.directory.empty());
    EXPECT_EQ(start.show, platform::SW_HIDE);
    // No error box from the shell: a failed start must end the run, never wait on a dialog.
    EXPECT_EQ(start.mask, platform::SEE_MASK_NOCLOSEPROCESS | platform::SEE_MASK_FLAG_NO_UI);
    EXPECT_EQ(start.owner, nullptr);
    EXPECT_TRUE(stagingSeenByProgram);
    EXPECT_FALSE(sandbox.Exists(staging));
    EXPECT_TRUE(IsDirectory(sandbox, u"C:\\Temp"));  // only the staging directory went
    EXPECT_EQ(result.handlesLeft, 0u);              // the process handle was closed
    EXPECT_EQ(result.invalidHandleUses, 0u);
    // The stub opens .launch alone; the other opens are the staging folder's hold and the delete's
    // (by "\\?\" paths).
    std::vector<std::u16string> opened;
    for (const std::u16string& path : PathsOf(result, Call::CreateFileW))
        if (path != staging && path.rfind(u"\\\\?\\", 0) != 0) opened.push_back(path);
    EXPECT_EQ(opened, std::vector<std::u16string>{staging + u"\\.launch"});
}

TEST_F(LauncherInstall, InstallerExitCodeBecomesTheStubsAfterCleanUp) {
    for (const platform::u32 code : {3u, 5u, 0u, 3010u, 0xC0000005u}) {
        MakeDirectory(sandbox, staging);
        sandbox.WriteFile(staging + u"\\payload.txt", "unpacked");
        AddInstaller(u"Orvak ZEB Installer.exe", code);
        const RunResult result = Launch();
        EXPECT_EQ(result.exitCode, code);
        EXPECT_EQ(result.starts.size(), 1u);
        // An installer's 5 looks like a stub failure, but the clean-up shows it was a launch.
        EXPECT_FALSE(sandbox.Exists(staging)) << code;
    }
}

TEST_F(LauncherInstall, LaunchFileFirstLineNamesTheProgramWhateverTheLineBreak) {
    for (const std::string& content :
         {std::string("sub\\setup.exe\r\nother.exe\r\n"), std::string("sub\\setup.exe\nother.exe"),
          std::string("sub\\setup.exe\rother.exe"), std::string("sub\\setup.exe")}) {
        MakeDirectory(sandbox, staging);
        AddInstaller(u"sub\\setup.exe", 11);
        AddInstaller(u"other.exe", 12);
        AddInstaller(u"Orvak ZEB Installer.exe", 13);
        WriteLaunch(content);
        const RunResult result = Launch();
        EXPECT_EQ(result.exitCode, 11u) << content;
        ASSERT_EQ(result.starts.size(), 1u) << content;
        EXPECT_EQ(result.starts[0].file, staging + u"\\sub\\setup.exe") << content;
        EXPECT_EQ(result.starts[0].parameters, u" /quiet \"x y\"");
        EXPECT_FALSE(sandbox.Exists(staging));
        EXPECT_EQ(result.handlesLeft, 0u) << "the .launch handle is closed";
    }
}

TEST_F(LauncherInstall, LaunchFileNameIsUtf8) {
    AddInstaller(u"\u00FCber Setup \u4E2D.exe", 21);
    WriteLaunch("\xC3\xBC" "ber Setup \xE4\xB8\xAD.exe\r\n");
    const RunResult result = Launch();
    EXPECT_EQ(result.exitCode, 21u);
    ASSERT_EQ(result.starts.size(), 1u);
    EXPECT_EQ(result.starts[0].file, staging + u"\\\u00FCber Setup \u4E2D.exe");
}

TEST_F(LauncherInstall, LaunchFileThatResolvesToNothingRunnableFails) {
    AcceptAnyStart();
    AddInstaller(u"setup.exe", 0);
    AddInstaller(u"Orvak ZEB Installer.exe", 0);
    MakeDirectory(sandbox, staging + u"\\sub");
    const struct {
        std::string content;
        const char* what;
    } cases[] = {
        {"\xEF\xBB\xBFsetup.exe\r\n", "byte-order mark"},
        {"", "empty file"},
        {"\r\nsetup.exe", "empty first line (CRLF)"},
        {"\nsetup.exe", "empty first line (LF)"},
        {"sub", "a directory"},
        {"sub\\", "a directory with a trailing separator"},
        {"missing.exe", "nothing that exists"},
        {"sub\\setup.exe", "nothing at that sub-path"},
    };
    for (const auto& c : cases) {
        WriteLaunch(c.content);
        const RunResult result = Launch();
        ExpectFailedWithStagingLeft(result, c.what);
        EXPECT_EQ(result.handlesLeft, 1u) << c.what;  // the staging folder's hold
    }
}

TEST_F(LauncherInstall, LaunchFileLeadingOutsideTheStagingDirectoryFails) {
    // Each line would reach an existing program outside the staging directory.
    AddProgram(u"C:\\Temp\\evil.exe", 0);
    AddProgram(u"C:\\evil.exe", 0);
    AddProgram(u"D:\\evil.exe", 0);
    AddInstaller(u"sub\\evil.exe", 0);
    AddInstaller(u"Orvak ZEB Installer.exe", 0);
    AcceptAnyStart();
    for (const std::string line :
         {"..\\evil.exe", "../evil.exe", "sub\\..\\..\\evil.exe", "sub/../../evil.exe", "..",
          "C:\\Temp\\evil.exe", "C:\\evil.exe", "D:evil.exe", "C:evil.exe", "\\evil.exe",
          "/evil.exe", "\\Temp\\evil.exe", "\\\\server\\share\\evil.exe",
          "sub\\..\\sub\\evil.exe"}) {
        WriteLaunch(line + "\r\n");
        const RunResult result = Launch();
        ExpectFailedWithStagingLeft(result, line);
    }
}

TEST_F(LauncherInstall, LaunchLineTooLongToAppendNeverRunsACutPath) {
    // A cut append would end at 259 units: make exactly that cut path a runnable program.
    const size_t room = 259 - staging.size() - 1;
    AddInstaller(std::u16string(room, u'p'), 0);
    AcceptAnyStart();
    WriteLaunch(std::string(250, 'p'));
    const RunResult result = Launch();
    ExpectFailedWithStagingLeft(result, "line too long");
}

TEST_F(LauncherInstall, OnlyTheFirstLineOfLaunchIsConverted) {
    AddInstaller(u"setup.exe", 31);
    AcceptAnyStart();
    // Whatever follows the first line, of any length and encoding, is never converted.
    for (const std::string& rest : {std::string(249, 'x'), std::string(5000, 'x'), std::string("\xFF\xFE bad UTF-8")}) {
        SCOPED_TRACE(rest.size());
        MakeDirectory(sandbox, staging);
        AddInstaller(u"setup.exe", 31);
        WriteLaunch("setup.exe\r\n" + rest);
        const RunResult result = Launch();
        EXPECT_EQ(result.exitCode, 31u);
        ASSERT_EQ(result.starts.size(), 1u);
        EXPECT_EQ(result.starts[0].file, staging + u"\\setup.exe");
    }
    // A first line that does not fit the name buffer (260 units with its terminator), or that
    // goes on past what is read, is refused: a cut name is never run.
    for (const size_t length : {260u, 4000u}) {
        SCOPED_TRACE(length);
        MakeDirectory(sandbox, staging);
        AddInstaller(u"setup.exe", 31);
        WriteLaunch(std::string(length, 'x') + "\n");
        ExpectFailedWithStagingLeft(Launch(), "long first line");
    }
    {  // 258 bytes of two-byte characters make 129 units: the line fits, names nothing, fails
        MakeDirectory(sandbox, staging);
        std::string content;
        while (content.size() < 258) content += "\xC3\xA9";
        WriteLaunch(content + "\n");
        const RunResult result = Launch();
        EXPECT_EQ(result.exitCode, stub::kFailureExitCode);
        ASSERT_FALSE(result.notes.empty());
        EXPECT_EQ(result.notes.back().reason, static_cast<uint32_t>(stub::Reason::LaunchMissing));
    }
}

class LauncherLongStaging : public LauncherInstall {
protected:
    // Rebuilds the staging directory with a path of exactly `length` units.
    void UseStagingOfLength(size_t length) {
        std::u16string path = u"C:\\Temp\\" + std::u16string(100, u'x') + u"\\";
        path += std::u16string(length - path.size() - 4, u'y') + u".tmp";
        ASSERT_EQ(path.size(), length);
        staging = path;
        MakeDirectory(sandbox, staging);
        sandbox.WriteFile(staging + u"\\payload.txt", "unpacked");
    }
};

TEST_F(LauncherLongStaging, DefaultNameTooLongToAppendNeverRunsACutPath) {
    UseStagingOfLength(240);
    const std::u16string name = stub::kDefaultInstallerName;
    AddInstaller(name, 0);  // cannot be reached in full
    AddInstaller(name.substr(0, 259 - 241), 0);  // what a cut append would name
    AcceptAnyStart();
    const RunResult result = Launch();
    ExpectFailedWithStagingLeft(result, "default name");
}

TEST_F(LauncherLongStaging, DefaultNameThatJustFitsRuns) {
    const std::u16string name = stub::kDefaultInstallerName;
    UseStagingOfLength(259 - 1 - name.size());  // staging + "\" + name is 259 units
    AddInstaller(name, 41);
    const RunResult result = Launch();
    EXPECT_EQ(result.exitCode, 41u);
    ASSERT_EQ(result.starts.size(), 1u);
    EXPECT_EQ(result.starts[0].file.size(), 259u);
}

TEST_F(LauncherLongStaging, LaunchFilePathTooLongFails) {
    UseStagingOfLength(252);  // staging + "\.launch" would be 260 units
    AddInstaller(u"a", 0);
    WriteLaunch("a");
    AcceptAnyStart();
    const RunResult result = Launch();
    ExpectFailedWithStagingLeft(result, ".launch path");
    EXPECT_EQ(result.CountOf(Call::CreateFileW), 1u);  // the staging folder's hold alone
}

TEST_F(LauncherInstall, MissingInstallerFailsAndLeavesStaging) {
    const RunResult result = Launch();
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exitCode, 5u);
    EXPECT_TRUE(result.starts.empty());
    EXPECT_TRUE(sandbox.Exists(staging + u"\\payload.txt"));
}

TEST_F(LauncherInstall, DefaultInstallerNameThatIsAFolderFailsWithoutStartingAnything) {
    // The shell would open the folder in a window and the wait would never end.
    MakeDirectory(sandbox, staging + u"\\Orvak ZEB Installer.exe");
    AcceptAnyStart();
    const RunResult result = Launch();
    EXPECT_EQ(result.exitCode, 5u);
    EXPECT_TRUE(result.starts.empty());
    EXPECT_EQ(result.CountOf(Call::ShellExecuteExW), 0u);
    ASSERT_FALSE(result.notes.empty());
    EXPECT_EQ(result.notes.back().reason, static_cast<uint32_t>(stub::Reason::InstallerFolder));
    EXPECT_TRUE(sandbox.Exists(staging + u"\\payload.txt"));
}

TEST_F(LauncherInstall, StartWithoutProcessHandleFails) {
    AddInstaller(u"Orvak ZEB Installer.exe", 0);
    env.shellStartGivesNoProcess = true;
    const RunResult result = Launch();
    EXPECT_EQ(result.exitCode, 5u);
    EXPECT_TRUE(IsDirectory(sandbox, staging));
}

// Every platform call of the launcher, failing: the documented outcome.
TEST_F(LauncherInstall, EachFailingCallGivesItsDocumentedOutcome) {
    enum Outcome { kInstallerCode, kFailKeep, kFailCleaned, kInstallerCodeKeep };
    struct Case {
        Call call;
        uint64_t nth;
        bool withLaunchFile;
        Outcome outcome;
        const char* what;
    };
    const Case cases[] = {
        {Call::PathAppendW, 1, false, kFailKeep, ".launch path"},
        {Call::CreateFileW, 2, false, kInstallerCode, ".launch absent"},  // 1: the hold
        {Call::PathAppendW, 2, false, kFailKeep, "default path"},
        {Call::ShellExecuteExW, 1, false, kFailKeep, "start"},
        {Call::WaitForSingleObject, 1, false, kFailKeep, "wait"},
        {Call::GetExitCodeProcess, 1, false, kFailCleaned, "exit code"},
        {Call::CloseHandle, 1, false, kInstallerCode, "process handle close"},
        {Call::GetFileAttributesW, 1, false, kFailKeep, "default installer: file or folder"},
        {Call::GetFullPathNameW, 1, false, kInstallerCodeKeep, "delete: the staging folder"},
        {Call::GetFileInformationByHandleEx, 1, false, kInstallerCodeKeep, "delete: its listing"},
        {Call::SetFileInformationByHandle, 1, false, kInstallerCodeKeep, "delete: an entry"},
        // With a .launch naming another program: an unopenable one falls back to the default.
        {Call::CreateFileW, 2, true, kInstallerCode, ".launch unopenable"},
        {Call::ReadFile, 1, true, kFailKeep, ".launch read"},
        // A .launch handle left open (share mode 0) keeps that file, so the delete is partial.
        {Call::CloseHandle, 1, true, kInstallerCodeKeep, ".launch close"},
        {Call::MultiByteToWideChar, 1, true, kFailKeep, ".launch conversion"},
        {Call::PathAppendW, 2, true, kFailKeep, ".launch line append"},
        {Call::GetFileAttributesW, 1, true, kFailKeep, ".launch existence"},
        {Call::ShellExecuteExW, 1, true, kFailKeep, "start from .launch"},
    };
    for (const Case& c : cases) {
        MakeDirectory(sandbox, staging);
        sandbox.WriteFile(staging + u"\\payload.txt", "unpacked");
        AddInstaller(u"Orvak ZEB Installer.exe", 7);
        AddInstaller(u"named.exe", 8);
        if (c.withLaunchFile) {
            WriteLaunch("named.exe\r\n");
        } else {
            std::filesystem::remove(sandbox.LinuxPath(staging + u"\\.launch"));
        }
        Faults faults;
        faults.nthOfKind = c.call;
        faults.failNthOfKind = c.nth;
        const RunResult result = Launch(faults);
        ASSERT_TRUE(result.exited) << c.what;
        // The injected fault must have hit: otherwise the case tests nothing.
        bool hit = false;
        for (const CallRecord& record : result.calls) hit = hit || record.failedByInjection;
        EXPECT_TRUE(hit) << c.what;

        // The default installer reports 7, the one named in .launch 8; an unopenable .launch
        // falls back to the default.
        const platform::u32 installerCode =
            (c.withLaunchFile && c.call != Call::CreateFileW) ? 8u : 7u;
        switch (c.outcome) {
            case kInstallerCode:
                EXPECT_EQ(result.exitCode, installerCode) << c.what;
                EXPECT_FALSE(sandbox.Exists(staging)) << c.what;
                break;
            case kInstallerCodeKeep:
                EXPECT_EQ(result.exitCode, installerCode) << c.what;
                EXPECT_TRUE(IsDirectory(sandbox, staging)) << c.what;
                break;
            case kFailKeep:
                EXPECT_EQ(result.exitCode, 5u) << c.what;
                EXPECT_TRUE(sandbox.Exists(staging + u"\\payload.txt")) << c.what;
                EXPECT_EQ(result.CountOf(Call::GetFileInformationByHandleEx), 0u) << c.what;
                break;
            case kFailCleaned:
                EXPECT_EQ(result.exitCode, 5u) << c.what;
                EXPECT_EQ(result.starts.size(), 1u) << c.what;
                EXPECT_FALSE(sandbox.Exists(staging)) << c.what;
                break;
        }
    }
}

}  // namespace
