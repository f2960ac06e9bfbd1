#include "launcher/InstallerLauncher.h"

#include "payload/EntryNameCheck.h"
#include "run/CommandLine.h"
#include "run/Failure.h"
#include "run/Text.h"
#include "staging/FolderTreeDelete.h"
#include "staging/StagingWait.h"

namespace stub {

using namespace platform;

const WChar kDefaultInstallerName[] = u"Orvak ZEB Installer.exe";

namespace {

constexpr u32 kLaunchFileBytes = 260;        // only this much of .launch is read
constexpr u32 kShellExecuteInfoSize = 60;    // SHELLEXECUTEINFOW on 32-bit Windows

// Reads the first line of the open `.launch` file as a path relative to the staging directory
// and puts the full path into `installerPath`. Closes `launchFile`. Ends the run when the file is
// empty, its first line does not fit or does not convert, names nothing inside the staging
// directory, names something that does not exist, or names a directory.
void ReadLaunchFile(Handle launchFile, const WChar* stagingPath, WChar* installerPath) {
    // One byte more than a line can use tells a line that goes on past what is read.
    char bytes[kLaunchFileBytes + 1];
    u32 read = 0;
    ReadFile(launchFile, bytes, kLaunchFileBytes + 1, &read, nullptr);  // only the count matters
    CloseHandle(launchFile);
    if (read > kLaunchFileBytes + 1) FailRun(Reason::LaunchFile);

    // Only the first line counts: it ends at CR, LF, a NUL or the end of the file. What follows
    // it (a comment, a second line) is never converted.
    u32 lineBytes = 0;
    while (lineBytes < read && bytes[lineBytes] != '\r' && bytes[lineBytes] != '\n' && bytes[lineBytes] != 0) {
        ++lineBytes;
    }
    if (lineBytes == 0 || lineBytes > kLaunchFileBytes) FailRun(Reason::LaunchFile);

    // The line must fit with its terminator: a conversion that would need 260 or more units
    // fails here instead of leaving a cut name.
    WChar line[kMaxPathChars];
    const i32 converted = MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<i32>(lineBytes), line,
                                              static_cast<i32>(kMaxPathChars - 1));
    if (converted <= 0) FailRun(Reason::LaunchFile);
    const u32 lineLength = static_cast<u32>(converted);
    line[lineLength] = 0;

    // The stub runs only what it unpacked: an absolute path, a drive, a ".." component or a
    // device name is refused before the path is built, since appending would resolve ".." away.
    if (!EntryNameIsSafe(line, lineLength)) FailRun(Reason::LaunchUnsafe);

    WChar path[kMaxPathChars];
    TruncatingCopy(path, kMaxPathChars, stagingPath);
    if (!PathAppendW(path, line)) FailRun(Reason::LaunchFile);  // a cut path is never run

    const u32 attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) FailRun(Reason::LaunchMissing);
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) FailRun(Reason::LaunchFolder);

    TruncatingCopy(installerPath, kMaxPathChars, path);
}

}  // namespace

void InstallerLauncher(RunState& state) {
    const WChar* parameterTail = ParameterTail(state.commandLine);
    const WChar* stagingPath = state.staging.stagingPath;

    WChar installerPath[kMaxPathChars];
    WChar launchPath[kMaxPathChars];
    TruncatingCopy(launchPath, kMaxPathChars, stagingPath);
    if (!PathAppendW(launchPath, u".launch")) FailRun(Reason::LaunchFile);

    const Handle launchFile = CreateFileW(launchPath, GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL, nullptr);
    const bool named = launchFile != INVALID_HANDLE_VALUE;
    if (!named) {
        TruncatingCopy(installerPath, kMaxPathChars, stagingPath);
        if (!PathAppendW(installerPath, kDefaultInstallerName)) FailRun(Reason::InstallerMissing);
        // The default name must be a file: the shell would open a folder in a window, and the
        // wait on that would never end.
        const u32 attributes = GetFileAttributesW(installerPath);
        if (attributes == INVALID_FILE_ATTRIBUTES) FailRun(Reason::InstallerMissing);
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) FailRun(Reason::InstallerFolder);
    } else {
        ReadLaunchFile(launchFile, stagingPath, installerPath);
    }

    Log("installer: %w (%s)", installerPath, named ? ".launch" : "default name");

    // A tree wait follows the installer's descendants through a job the stub is in before the
    // launch; without one it waits as for the staging folder.
    const Handle job = state.options.wait == WaitMode::Tree ? JoinOwnJob() : nullptr;

    ShellExecuteInfo info = {};
    info.cbSize = kShellExecuteInfoSize;
    // No UI: a start that fails must end the run with 5, never wait on an error box.
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.hwnd = nullptr;
    info.lpVerb = u"open";
    info.lpFile = installerPath;
    info.lpParameters = parameterTail;
    info.lpDirectory = nullptr;  // the installer inherits the stub's current directory
    info.nShow = SW_HIDE;
    info.hProcess = nullptr;
    Log("start: ShellExecuteExW open, hidden, no UI, %u characters of parameters", TextLength(parameterTail));
    LogFlush();  // the installer may run for long
    const u32 started = LogOn() ? GetTickCount() : 0;
    if (!ShellExecuteExW(&info)) FailRun(Reason::InstallerStart);
    // A start without a process handle cannot be waited for.
    if (info.hProcess == nullptr) FailRun(Reason::InstallerStart, kNoEntry, 0);

    if (WaitForSingleObject(info.hProcess, INFINITE) == WAIT_FAILED) FailRun(Reason::InstallerWait);

    const u32 installerEnded = GetTickCount();
    state.exitCode = kFailureExitCode;
    if (!GetExitCodeProcess(info.hProcess, &state.exitCode)) state.exitCode = kFailureExitCode;
    CloseHandle(info.hProcess);
    Log("installer ended: exit code %u after %u ms", state.exitCode, installerEnded - started);

    // Programs it started from the staging folder (a bootstrapper's real installer) keep it.
    if (state.options.wait != WaitMode::Installer) {
        StagingWait(state.staging, job, installerEnded);
        if (LogOn()) {
            Log("wait: %s, %u ms", job != nullptr ? "tree" : "staging", GetTickCount() - installerEnded);
        }
    } else {
        Log("wait: none");
    }
    if (job != nullptr) CloseHandle(job);

    // Everything goes, links as links; what cannot be deleted stays and changes no exit code.
    LogDeleteLeft(FolderTreeDelete(stagingPath, state.staging.folder));

    EndRun(state.exitCode);
}

}  // namespace stub
