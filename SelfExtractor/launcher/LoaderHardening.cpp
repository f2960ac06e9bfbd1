#include "launcher/LoaderHardening.h"

#include "run/Text.h"

namespace stub {

using namespace platform;

// Loaded by full path from the system directory, in this order, before anything else can pull
// them in by bare name.
const WChar* const kSystemDllPreloadList[kSystemDllPreloadCount] = {
    u"comres.dll",   u"clbcatq.dll", u"secur32.dll",  u"netapi32.dll", u"setupapi.dll",
    u"version.dll",  u"msasn1.dll",  u"crypt32.dll",  u"wintrust.dll", u"riched20.dll",
    u"cryptui.dll",  u"shdocvw.dll", u"ws2help.dll",  u"ws2_32.dll",   u"xpsp2res.dll",
    u"sfc_os.dll",   u"psapi.dll",
};

void LoaderHardening() {
    // Both procedures are missing from older kernel32 versions: looked up, never imported, and
    // skipped when absent. Their results change nothing in what follows.
    const Module kernel32 = GetModuleHandleW(u"kernel32.dll");
    if (kernel32 != nullptr) {
        const auto setDllDirectory =
            reinterpret_cast<SetDllDirectoryWProc>(GetProcAddress(kernel32, "SetDllDirectoryW"));
        if (setDllDirectory != nullptr) setDllDirectory(u"");  // current directory out of the search

        const auto setDefaultDllDirectories = reinterpret_cast<SetDefaultDllDirectoriesProc>(
            GetProcAddress(kernel32, "SetDefaultDllDirectories"));
        if (setDefaultDllDirectories != nullptr) {
            setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
        }
    }
    SystemDllPreloader();
}

void SystemDllPreloader() {
    WChar systemFolder[kMaxPathChars];
    WChar libraryPath[kMaxPathChars];

    // 0 is a failure; a result that does not fit is the size the folder would need. Either way
    // nothing is preloaded rather than a library loaded from a cut path.
    const u32 length = GetSystemDirectoryW(systemFolder, kMaxPathChars);
    if (length == 0 || length >= kMaxPathChars) return;
    if (!StrictAppend(systemFolder, u"\\")) return;

    for (u32 i = 0; i < kSystemDllPreloadCount; ++i) {
        if (!StrictCopy(libraryPath, systemFolder)) return;
        if (!StrictAppend(libraryPath, kSystemDllPreloadList[i])) continue;  // never a cut path
        LoadLibraryW(libraryPath);  // result ignored: a missing library is skipped
    }
}

}  // namespace stub
