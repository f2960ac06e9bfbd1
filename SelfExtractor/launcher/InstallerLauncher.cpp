#include "launcher/InstallerLauncher.h"

#include "launcher/FolderTreeDelete.h"
#include "launcher/Text.h"
#include "payload/EntryNameCheck.h"

namespace stub {

using namespace platform;

const WChar kDefaultInstallerName[] = u"Orvak ZEB Installer.exe";

namespace {

constexpr u32 kLaunchFileBytes = 260;        // only this much of .launch is read
constexpr u32 kShellExecuteInfoSize = 60;    // SHELLEXECUTEINFOW on 32-bit Windows

[[noreturn]] void Fail() { ExitProcess(kFailureExitCode); }

// Reads the first line of the open `.launch` file as a path relative to the staging directory
// and puts the full path into `installerPath`. Closes `launchFile`. False when the file is empty,
// does not convert, names nothing inside the staging directory, names something that does not
// exist, names a directory, or does not fit the path buffer.
bool ReadLaunchFile(Handle launchFile, const WChar* stagingPath, WChar* installerPath) {
    if (launchFile == INVALID_HANDLE_VALUE) return false;

    char bytes[kLaunchFileBytes + 1];
    u32 read = 0;
    ReadFile(launchFile, bytes, kLaunchFileBytes, &read, nullptr);  // only the count matters
    CloseHandle(launchFile);
    if (read == 0 || read > kLaunchFileBytes) return false;
    bytes[read] = 0;

    // The whole text read, NUL included, must fit: a conversion that would need 260 or more
    // units fails here instead of leaving a cut name.
    WChar line[kMaxPathChars];
    line[0] = 0;
    const i32 converted = MultiByteToWideChar(CP_UTF8, 0, bytes, -1, line,
                                              static_cast<i32>(kMaxPathChars));
    if (converted <= 0) return false;
    line[kMaxPathChars - 1] = 0;

    u32 lineLength = 0;
    while (line[lineLength] != 0 && line[lineLength] != u'\r' && line[lineLength] != u'\n') {
        ++lineLength;
    }
    line[lineLength] = 0;

    // The stub runs only what it unpacked: an empty line (the staging directory itself), an
    // absolute path, a drive, a ".." component or a device name is refused before the path is
    // built, since appending would resolve ".." away.
    if (lineLength == 0) return false;
    if (!EntryNameIsSafe(line, lineLength)) return false;

    WChar path[kMaxPathChars];
    TruncatingCopy(path, kMaxPathChars, stagingPath);
    if (!PathAppendW(path, line)) return false;  // a cut path is never run

    const u32 attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return false;

    TruncatingCopy(installerPath, kMaxPathChars, path);
    return true;
}

}  // namespace

const WChar* ParameterTail(const WChar* commandLine) {
    const WChar* tail = commandLine;
    if (*tail == u'-') return tail;  // the whole line
    if (*tail == 0) return tail;     // nothing to step over

    // The first unit is stepped over before any test, so an opening quote never closes.
    const WChar delimiter = (*tail == u'"') ? u'"' : u' ';
    for (;;) {
        ++tail;
        if (*tail == 0) return tail;
        if (*tail == delimiter) return tail + 1;
    }
}

void InstallerLauncher(RunState& state) {
    const WChar* parameterTail = ParameterTail(state.commandLine);
    const WChar* stagingPath = state.staging.stagingPath;

    WChar installerPath[kMaxPathChars];
    WChar launchPath[kMaxPathChars];
    TruncatingCopy(launchPath, kMaxPathChars, stagingPath);
    if (!PathAppendW(launchPath, u".launch")) Fail();

    const Handle launchFile = CreateFileW(launchPath, GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL, nullptr);
    if (launchFile == INVALID_HANDLE_VALUE) {
        TruncatingCopy(installerPath, kMaxPathChars, stagingPath);
        if (!PathAppendW(installerPath, kDefaultInstallerName)) Fail();  // never a cut path
    } else {
        if (!ReadLaunchFile(launchFile, stagingPath, installerPath)) Fail();
    }

    ShellExecuteInfo info = {};
    info.cbSize = kShellExecuteInfoSize;
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.hwnd = nullptr;
    info.lpVerb = u"open";
    info.lpFile = installerPath;
    info.lpParameters = parameterTail;
    info.lpDirectory = nullptr;  // the installer inherits the stub's current directory
    info.nShow = SW_HIDE;
    info.hProcess = nullptr;
    if (!ShellExecuteExW(&info)) Fail();
    // A start without a process handle cannot be waited for.
    if (info.hProcess == nullptr) Fail();

    if (WaitForSingleObject(info.hProcess, INFINITE) == WAIT_FAILED) Fail();

    state.exitCode = kFailureExitCode;
    if (!GetExitCodeProcess(info.hProcess, &state.exitCode)) state.exitCode = kFailureExitCode;
    CloseHandle(info.hProcess);

    // Everything goes, links as links; what cannot be deleted stays and changes no exit code.
    FolderTreeDelete(stagingPath);

    ExitProcess(state.exitCode);
}

}  // namespace stub
