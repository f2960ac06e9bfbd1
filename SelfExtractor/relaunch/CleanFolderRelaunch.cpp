#include "relaunch/CleanFolderRelaunch.h"

#include "relaunch/PrivateCopyPathBuilder.h"
#include "relaunch/PrivateCopyRunner.h"
#include "run/CommandLine.h"
#include "run/Failure.h"
#include "run/Text.h"
#include "staging/FolderTreeDelete.h"

namespace stub {

using namespace platform;

namespace {

// The parameters for the copy: the stub's own parameter tail without its leading spaces. The shell
// puts one space between the copy's path and its parameters, so the copy's own tail then equals
// the stub's and the installer sees the same parameters in either mode.
const WChar* CopyParameters(const WChar* commandLine) {
    const WChar* tail = ParameterTail(commandLine);
    while (*tail == u' ' || *tail == u'\t') ++tail;
    return tail;
}

}  // namespace

void CleanFolderRelaunch(RunState& state) {
    state.exitCode = 0;

    // Never copy from a cut path: the module path must have been read whole.
    if (state.relaunchSelfPathLength == 0 || state.relaunchSelfPathLength >= kMaxPathChars) {
        FailRun(Reason::ModulePath);
    }

    WChar privateCopyPath[kMaxPathChars];
    HeldFolder privateFolderHeld;
    if (!PrivateCopyPathBuilder(privateCopyPath, privateFolderHeld)) FailRun(Reason::RelaunchFolder);

    if (!CopyFileW(state.relaunchSelfPath, privateCopyPath, 1)) FailRun(Reason::RelaunchCopy);

    Log("private copy: %w", privateCopyPath);
    LogFlush();  // the copy may run for long, and log into the same file
    const u32 started = LogOn() ? GetTickCount() : 0;
    if (!PrivateCopyRunner(privateCopyPath, CopyParameters(state.commandLine), state.exitCode)) {
        FailRun(Reason::RelaunchStart);
    }
    if (LogOn()) Log("private copy ended: exit code %u after %u ms", state.exitCode, GetTickCount() - started);

    // Removal of the copy, then of its folder with whatever the installer left in it (the
    // installer runs there: a log written by relative path lands in it). A running program's file
    // cannot be deleted, so a copy still running after the wait keeps its file and its folder
    // untouched. No result changes the exit code.
    WChar privateFolder[kMaxPathChars];
    if (!DeleteFileW(privateCopyPath)) {
        Log("delete: the copy stays, %e", GetLastError());
    } else if (FolderOfPath(privateCopyPath, privateFolder)) {
        LogDeleteLeft(FolderTreeDelete(privateFolder, privateFolderHeld));
    }
    EndRun(state.exitCode);
}

}  // namespace stub
