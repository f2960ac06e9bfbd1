#include "relaunch/PrivateCopyRunner.h"

#include "run/Text.h"

namespace stub {

using namespace platform;

namespace {

const WChar kOpenVerb[] = u"open";
constexpr u32 kShellExecuteInfoSize = 60;  // sizeof(SHELLEXECUTEINFOW) on 32-bit Windows

}  // namespace

bool PrivateCopyRunner(const WChar* copyPath, const WChar* parameters, u32& exitCode) {
    WChar workingFolder[kMaxPathChars];
    if (!FolderOfPath(copyPath, workingFolder)) return false;

    ShellExecuteInfo info = {};
    info.cbSize = kShellExecuteInfoSize;
    // No UI: a failed start ends the run with 5 instead of waiting on an error box. No zone
    // checks: the copy is the file the user has already accepted, and CopyFileW carried its
    // Mark-of-the-Web along, which would ask again.
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI | SEE_MASK_NOZONECHECKS;
    info.hwnd = GetForegroundWindow();
    info.lpVerb = kOpenVerb;
    info.lpFile = copyPath;
    info.lpParameters = (parameters != nullptr && parameters[0] != 0) ? parameters : nullptr;
    info.lpDirectory = workingFolder;
    info.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExW(&info)) return false;

    // The wait's result is not tested: a time-out goes on like the end of the copy, whose exit
    // code then reads STILL_ACTIVE. Without a process handle the wait and the read fail at once
    // and exitCode keeps its value.
    WaitForSingleObject(info.hProcess, kRelaunchWaitMs);
    u32 copyExitCode = 0;
    if (GetExitCodeProcess(info.hProcess, &copyExitCode)) exitCode = copyExitCode;
    if (info.hProcess != nullptr) CloseHandle(info.hProcess);
    return true;
}

}  // namespace stub
