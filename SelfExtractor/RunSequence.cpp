#include "RunSequence.h"

#include "launcher/InstallerLauncher.h"
#include "launcher/LoaderHardening.h"
#include "launcher/OptionsReader.h"
#include "payload/ExtractionWorkers.h"
#include "payload/PayloadLocator.h"
#include "payload/SevenZipExtractor.h"
#include "payload/ZipEntryExtractor.h"
#include "relaunch/CleanFolderRelaunch.h"
#include "run/CommandLine.h"
#include "run/Failure.h"
#include "run/Text.h"
#include "staging/FolderTreeDelete.h"
#include "staging/PrivateFolder.h"
#include "staging/StagingDirectory.h"
#include "ui/FailureMessage.h"
#include "ui/ProgressWindow.h"

namespace stub {

using namespace platform;

namespace {

// The token's elevation and integrity level, for the log.
void LogToken() {
    Handle token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        Log("token: unreadable, %e", GetLastError());
        return;
    }
    u32 elevated = 0;
    u32 returned = 0;
    alignas(8) u8 label[128];  // TOKEN_MANDATORY_LABEL: a SID_AND_ATTRIBUTES, then the SID
    u32 level = 0;
    const bool elevation = GetTokenInformation(token, TokenElevation, &elevated, sizeof elevated, &returned);
    if (GetTokenInformation(token, TokenIntegrityLevel, label, sizeof label, &returned)) {
        const u8* sid;
        __builtin_memcpy(&sid, label, sizeof sid);
        const u32 count = sid >= label && sid + 8 <= label + sizeof label ? sid[1] : 0;
        // The label's RID: the SID's last sub-authority.
        if (count != 0 && sid + 8 + 4 * count <= label + sizeof label) __builtin_memcpy(&level, sid + 4 + 4 * count, 4);
    }
    CloseHandle(token);
    Log("token: elevated %s, integrity level 0x%x", !elevation ? "?" : elevated != 0 ? "yes" : "no", level);
}

void AttachToParentConsole() {
    Module kernel32 = GetModuleHandleW(u"kernel32.dll");
    if (kernel32 == nullptr) return;
    auto attach = reinterpret_cast<AttachConsoleProc>(GetProcAddress(kernel32, "AttachConsole"));
    if (attach != nullptr) attach(ATTACH_PARENT_PROCESS);  // result ignored: nothing is written
}

}  // namespace

u32 PLATFORM_API MessagePumpThread(void*) {
    Message message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 1;
}

void RunSequence(RunState& state) {
    LoaderHardening();
    LogStart();                           // SELFEXTRACTOR_LOG
    FailureReportScope reporting(state);  // from here on, a failure may show the options' message
    if (ReadInstallerOptions(state.options) == OptionsRecord::Malformed)
        FailRun(Reason::OptionsMalformed);
    if (state.options.log) {
        WChar temp[kModulePathChars];
        const u32 length = TempFolderPath(temp, kModulePathChars);
        if (length != 0 && length < kModulePathChars) LogToTempFolder(temp);
    }

    state.commandLine = GetCommandLineW();

    // Relaunch test on the module's folder.
    state.relaunchSelfPathLength = GetModuleFileNameW(nullptr, state.relaunchSelfPath, kMaxPathChars);
    if (state.relaunchSelfPathLength == 0) state.relaunchSelfPath[0] = 0;
    if (LogOn()) {
        Log("stub: %w, %u processors, parameters of %u characters (not logged)", state.relaunchSelfPath,
            LogicalProcessors(), TextLength(ParameterTail(state.commandLine)));
        LogToken();
    }
    if (!FolderOfPath(state.relaunchSelfPath, state.selfFolder)) FailRun(Reason::ModulePath);
    WChar dll[kMaxPathChars];
    switch (DllPresenceTest(state.selfFolder, dll)) {
        case DllPresence::Present:
            Log("relaunch: %w beside the stub", dll);
            CleanFolderRelaunch(state);
        case DllPresence::PatternTooLong: FailRun(Reason::DllPatternTooLong);
        case DllPresence::None: Log("relaunch: no"); break;
    }

    // Normal mode.
    AttachToParentConsole();
    CreateThread(nullptr, 0, MessagePumpThread, nullptr, 0, nullptr);  // failure ignored

    const u32 selfLength = GetModuleFileNameW(nullptr, state.selfPath, kModulePathChars);
    if (selfLength == 0 || selfLength >= kModulePathChars) FailRun(Reason::ModulePath);

    if (!CreateStagingDirectory(state.staging)) FailRun(Reason::StagingDirectory);
    Log("temp folder: %w", state.staging.tempFolder);
    Log("staging folder: %w", state.staging.stagingPath);

    state.selfFile = CreateFileW(state.selfPath, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    if (state.selfFile == INVALID_HANDLE_VALUE) FailRun(Reason::SelfOpen);

    state.payloadKind = PayloadLocator(state.selfFile);
    if (state.payloadKind == PayloadKind::None) FailRun(Reason::NoArchive);
    if (LogOn()) {
        i32 high = 0;
        const u32 low = SetFilePointer(state.selfFile, 0, &high, FILE_CURRENT);
        Log("archive: %s at offset %U", state.payloadKind == PayloadKind::SevenZip ? "7z" : "ZIP",
            (static_cast<u64>(static_cast<u32>(high)) << 32) | low);
    }

    // The progress window, when the options ask for one, shows if unpacking takes a while; it is
    // closed before anything is launched.
    ProgressWindow progress;
    ProgressWindowStart(state, progress);
    const ExtractionEnd end = state.payloadKind == PayloadKind::SevenZip ? SevenZipExtractor(state)
                                                                          : ZipEntryExtractor(state);
    // One step decides between a Cancel and the launch, before the window closes: a Cancel that
    // came first ends the run, one pressed after is refused (the window's thread may still run).
    const bool launch = end == ExtractionEnd::Finished && DecideLaunch(state.progress);
    ProgressWindowEnd(progress);

    CloseHandle(state.selfFile);
    state.selfFile = INVALID_HANDLE_VALUE;

    // A payload that does not fit: nothing was created, the empty staging folder goes.
    if (end == ExtractionEnd::NoSpace) {
        LogDeleteLeft(FolderTreeDelete(state.staging.stagingPath, state.staging.folder));
        FailRun(Reason::DiskSpace, kNoEntry, 0);
    }
    // Cancel: nothing is started, the staging folder goes, and the run ends with ERROR_CANCELLED.
    if (!launch) {
        LogDeleteLeft(FolderTreeDelete(state.staging.stagingPath, state.staging.folder));
        EndRun(ERROR_CANCELLED);
    }
    Log("unpacked: %U bytes read", ProgressConsumed(state.progress));

    InstallerLauncher(state);
}

}  // namespace stub
