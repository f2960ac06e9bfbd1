#include "RunSequence.h"

#include "launcher/InstallerLauncher.h"
#include "launcher/LoaderHardening.h"
#include "launcher/OptionsReader.h"
#include "payload/PayloadLocator.h"
#include "payload/SevenZipExtractor.h"
#include "payload/ZipEntryExtractor.h"
#include "relaunch/CleanFolderRelaunch.h"
#include "run/Failure.h"
#include "run/Text.h"
#include "staging/FolderTreeDelete.h"
#include "staging/StagingDirectory.h"
#include "ui/FailureMessage.h"
#include "ui/ProgressWindow.h"

namespace stub {

using namespace platform;

namespace {

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
    FailureReportScope reporting(state);  // from here on, a failure may show the options' message
    if (ReadInstallerOptions(state.options) == OptionsRecord::Malformed)
        FailRun(Reason::OptionsMalformed);

    state.commandLine = GetCommandLineW();

    // Relaunch test on the module's folder.
    state.relaunchSelfPathLength = GetModuleFileNameW(nullptr, state.relaunchSelfPath, kMaxPathChars);
    if (state.relaunchSelfPathLength == 0) state.relaunchSelfPath[0] = 0;
    if (!FolderOfPath(state.relaunchSelfPath, state.selfFolder)) FailRun(Reason::ModulePath);
    switch (DllPresenceTest(state.selfFolder)) {
        case DllPresence::Present: CleanFolderRelaunch(state);
        case DllPresence::PatternTooLong: FailRun(Reason::DllPatternTooLong);
        case DllPresence::None: break;
    }

    // Normal mode.
    AttachToParentConsole();
    CreateThread(nullptr, 0, MessagePumpThread, nullptr, 0, nullptr);  // failure ignored

    const u32 selfLength = GetModuleFileNameW(nullptr, state.selfPath, kModulePathChars);
    if (selfLength == 0 || selfLength >= kModulePathChars) FailRun(Reason::ModulePath);

    if (!CreateStagingDirectory(state.staging)) FailRun(Reason::StagingDirectory);

    state.selfFile = CreateFileW(state.selfPath, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    if (state.selfFile == INVALID_HANDLE_VALUE) FailRun(Reason::SelfOpen);

    state.payloadKind = PayloadLocator(state.selfFile);
    if (state.payloadKind == PayloadKind::None) FailRun(Reason::NoArchive);

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

    // Cancel: nothing is started, the staging folder goes, and the run ends with ERROR_CANCELLED.
    if (!launch) {
        FolderTreeDelete(state.staging.stagingPath, state.staging.folder);
        ExitProcess(ERROR_CANCELLED);
    }

    InstallerLauncher(state);
}

}  // namespace stub
