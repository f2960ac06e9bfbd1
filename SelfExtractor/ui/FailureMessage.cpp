#include "ui/FailureMessage.h"

#include "run/CommandLine.h"
#include "run/Text.h"
#include "ui/InstallerTitle.h"
#include "ui/ProgressWindow.h"
#include "ui/UserPresence.h"

namespace stub {

using namespace platform;

namespace {

// Trivial globals: the reporting run, and the first reason (with its error) a 7z extraction
// stopped for, which the workers may note at once.
RunState* gReporting;
u32 gStopReason;
u32 gStopError;
u32 gFailureError;  // a worker's error behind the failure, 0: the calling thread's last error

constexpr u32 ERROR_HANDLE_DISK_FULL = 39;

bool DiskFull(u32 error) { return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL; }

bool Damaged(Reason reason) {
    switch (reason) {
        case Reason::NoArchive: case Reason::SelfRead: case Reason::ZipTruncated:
        case Reason::ZipData: case Reason::ZipSize: case Reason::ZipCrc:
        case Reason::SevenZipOpen: case Reason::SevenZipData: case Reason::SevenZipCrc:
        case Reason::SevenZipRead:
            return true;
        default:
            return false;
    }
}

}  // namespace

FailureReportScope::FailureReportScope(RunState& state) {
    gReporting = &state;
    gStopReason = 0;
    gStopError = 0;
    gFailureError = 0;
}

FailureReportScope::~FailureReportScope() { gReporting = nullptr; }

void NoteExtractionStop(Reason reason) {
    const u32 error = gFailureError != 0 ? gFailureError : GetLastError();
    u32 none = 0;
    if (__atomic_compare_exchange_n(&gStopReason, &none, static_cast<u32>(reason), false,
                                    __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
        __atomic_store_n(&gStopError, error, __ATOMIC_RELEASE);
    }
}

void NoteFailureError(u32 error) { gFailureError = error; }

bool MayShowWindows(const RunState& state) {
    const InstallerOptions& options = state.options;
    if (!options.progress && options.failureMessageLength == 0) return false;
    return !SilentSwitchGiven(ParameterTail(GetCommandLineW()), options) && InteractiveWindowStation();
}

void FailureText(const InstallerOptions& options, Reason reason, u32 error, WChar* text) {
    TruncatingCopy(text, kFailureTextChars, options.failureMessage);
    // A 7z extraction that stopped explains a failure that follows (its installer missing).
    const auto stop = static_cast<Reason>(__atomic_load_n(&gStopReason, __ATOMIC_ACQUIRE));
    const u32 stopError = __atomic_load_n(&gStopError, __ATOMIC_ACQUIRE);
    const WChar* cause = nullptr;
    if (DiskFull(error) || (stop != Reason{} && DiskFull(stopError))) {
        cause = u"There is not enough disk space.";
    } else if (Damaged(reason) || Damaged(stop)) {
        cause = u"The file is damaged or incomplete. Download it again.";
    } else if (reason == Reason::StagingDirectory) {
        cause = u"The temporary folder cannot be written.";
    }
    if (cause == nullptr) return;
    TruncatingAppend(text, kFailureTextChars, u"\n\n");
    TruncatingAppend(text, kFailureTextChars, cause);
}

void ReportFailure(Reason reason) {
    const u32 error = gFailureError != 0 ? gFailureError : GetLastError();
    RunState* const state = gReporting;
    if (state == nullptr || state->options.failureMessageLength == 0) return;
    gReporting = nullptr;  // once: nothing the box does reports again
    if (!MayShowWindows(*state)) return;
    CloseProgressWindow();
    WChar modulePath[kMaxPathChars];
    const u32 length = GetModuleFileNameW(nullptr, modulePath, kMaxPathChars);
    if (length == 0 || length >= kMaxPathChars) modulePath[0] = 0;
    WChar title[kMaxPathChars];
    InstallerTitle(modulePath, title);
    WChar text[kFailureTextChars];
    FailureText(state->options, reason, error, text);
    MessageBoxW(nullptr, text, title, MB_ICONERROR | MB_SETFOREGROUND);
}

}  // namespace stub
