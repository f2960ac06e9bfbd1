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
// stopped for. Both are set and read on the run's main thread.
RunState* gReporting;
u32 gStopReason;
u32 gStopError;

// The reasons in words, for the log, from ModulePath on, one after the other.
constexpr char kReasonWords[] =
    "own path unreadable\0"
    "own folder too long\0"
    "staging folder failed\0"
    "own file not opened\0"
    "own file not read\0"
    "no archive found\0"
    "options malformed\0"
    "ZIP cut short\0"
    "ZIP flags refused\0"
    "ZIP method refused\0"
    "ZIP64 entry\0"
    "ZIP stored sizes differ\0"
    "ZIP data corrupt\0"
    "ZIP size wrong\0"
    "ZIP CRC wrong\0"
    "out of memory\0"
    "entry path too long\0"
    "entry name invalid\0"
    "entry name unsafe\0"
    "entry folder failed\0"
    "entry create failed\0"
    "entry write failed\0"
    ".launch unreadable\0"
    ".launch path unsafe\0"
    ".launch target missing\0"
    ".launch names a folder\0"
    "no installer found\0"
    "installer is a folder\0"
    "installer not started\0"
    "installer wait failed\0"
    "private folder failed\0"
    "private copy not made\0"
    "private copy not started\0"
    "7z header unreadable\0"
    "7z method unsupported\0"
    "7z memory short\0"
    "7z data corrupt\0"
    "7z CRC wrong\0"
    "7z data cut short\0"
    "7z write failed\0"
    "not enough free space\0";

constexpr u32 Words(const char* words, u32 bytes) {
    u32 count = 0;
    for (u32 i = 0; i < bytes; ++i) count += words[i] == 0;
    return count;
}
static_assert(Words(kReasonWords, sizeof kReasonWords - 1) == static_cast<u32>(Reason::DiskSpace),
              "words for every reason");

bool DiskFull(u32 error) { return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL; }
bool Policy(u32 error) {
    return error == ERROR_ACCESS_DISABLED_BY_POLICY || error == ERROR_ACCESS_DISABLED_NO_SAFER_UI_BY_POLICY;
}
constexpr u32 kCauseBytes = 1024;  // a cause line as UTF-8, at most

bool Antivirus(u32 error) { return error == ERROR_VIRUS_INFECTED || error == ERROR_VIRUS_DELETED; }

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

// Appends `format` with Log's conversions (run/RunLog.h). False when it does not fit.
bool Append(WChar* text, const char* format, ...) {
    char bytes[kCauseBytes];
    __builtin_va_list args;
    __builtin_va_start(args, format);
    FormatText(bytes, kCauseBytes, format, args);
    __builtin_va_end(args);
    const u32 length = TextLength(text);
    const i32 capacity = static_cast<i32>(kFailureTextChars - length);
    if (MultiByteToWideChar(CP_UTF8, 0, bytes, -1, text + length, capacity) > 0) return true;
    text[length] = 0;
    return false;
}

// The cause where the stub can tell it, appended to `text`; false when it cannot.
bool AppendCause(const RunState& state, Reason reason, u32 error, WChar* text) {
    // A 7z extraction that stopped explains a failure that follows (its installer missing).
    const auto stop = static_cast<Reason>(gStopReason);
    const u32 stopError = stop != Reason{} ? gStopError : 0;
    if (reason == Reason::DiskSpace) {
        const WChar* temp = state.staging.tempFolder;
        const WChar drive[] = {temp[0], u':', 0};
        return Append(text, "There is not enough free space on %w to unpack this installer: it needs %U MB, and %U MB are free.",
                      temp[0] != 0 && temp[1] == u':' ? drive : temp,
                      (state.spaceNeeded >> 20) + ((state.spaceNeeded & 0xFFFFF) != 0), state.spaceFree >> 20);
    }
    const char* cause;
    if (Policy(error)) {
        cause = "Windows blocked the installer program by a policy of this computer. Ask your "
                "administrator, or set TMP to a folder where programs may run.";
    } else if (Antivirus(error) || Antivirus(stopError)) {
        cause = "Antivirus software blocked a file of this installer.";
    } else if (reason == Reason::InstallerStart) {
        return Append(text, "Windows could not start the installer program (%e)", error);
    } else if (DiskFull(error) || DiskFull(stopError)) {
        cause = "There is not enough disk space.";
    } else if (Damaged(reason) || Damaged(stop)) {
        cause = "The file is damaged or incomplete. Download it again.";
    } else if (reason == Reason::StagingDirectory) {
        cause = "The temporary folder cannot be written.";
    } else {
        return false;
    }
    return Append(text, "%s", cause);
}

void LogReason(const char* what, Reason reason, u32 detail, u32 error) {
    const char* words = kReasonWords;
    for (u32 i = 1; i < static_cast<u32>(reason) && *words != 0; ++i) {
        while (*words++ != 0) {
        }
    }
    Log(error != 0 ? "%s: %s%n, %e" : "%s: %s%n", what, words, detail, error);
}

}  // namespace

FailureReportScope::FailureReportScope(RunState& state) {
    gReporting = &state;
    gStopReason = 0;
    gStopError = 0;
}

FailureReportScope::~FailureReportScope() { gReporting = nullptr; }

void NoteStop(Reason reason, u32 detail, u32 error) {
    NoteFailureReason(static_cast<u32>(reason), detail);
    if (gStopReason == 0) {
        gStopReason = static_cast<u32>(reason);
        gStopError = error;
    }
    LogReason("stopped", reason, reason == Reason::SevenZipOpen ? kNoEntry : detail, error);
}

bool MayShowWindows(const RunState& state) {
    const InstallerOptions& options = state.options;
    if (!options.progress && options.failureMessageLength == 0) return false;
    return !SilentSwitchGiven(ParameterTail(GetCommandLineW()), options) && InteractiveWindowStation();
}

void FailureText(const RunState& state, Reason reason, u32 error, WChar* text) {
    TruncatingCopy(text, kFailureTextChars, state.options.failureMessage);
    const u32 length = TextLength(text);
    TruncatingAppend(text, kFailureTextChars, u"\n\n");
    if (!AppendCause(state, reason, error, text)) text[length] = 0;
}

void FailRun(Reason reason, u32 detail, u32 error) {
    if (error == kLastError) {
        error = ((kReasonsWithError >> static_cast<u32>(reason)) & 1) != 0 ? GetLastError() : 0;
    }
    NoteFailureReason(static_cast<u32>(reason), detail);
    RunState* const state = gReporting;
    gReporting = nullptr;  // once: nothing the box does reports again
    LogReason("failed", reason, detail, error);
    const bool box = state != nullptr && state->options.failureMessageLength != 0 && MayShowWindows(*state);
    if (state != nullptr && (box || LogOn())) {
        WChar text[kFailureTextChars];
        FailureText(*state, reason, error, text);
        const WChar* cause = text + TextLength(state->options.failureMessage);
        if (*cause != 0) Log("cause: %w", cause + 2);
        if (box) {
            LogFlush();  // the box may wait for long
            CloseProgressWindow();
            WChar modulePath[kMaxPathChars];
            const u32 length = GetModuleFileNameW(nullptr, modulePath, kMaxPathChars);
            if (length == 0 || length >= kMaxPathChars) modulePath[0] = 0;
            WChar title[kMaxPathChars];
            InstallerTitle(modulePath, title);
            MessageBoxW(nullptr, text, title, MB_ICONERROR | MB_SETFOREGROUND);
        }
    }
    EndRun(kFailureExitCode);
}

}  // namespace stub
