// Loader hardening: search-path narrowing through looked-up procedures and the system library
// preload by full path.
#include <gtest/gtest.h>

#include "launcher/LoaderHardening.h"
#include "launcher_test_support.h"

namespace {

using namespace launchertest;
using platform::host::Environment;
using platform::host::Faults;

const std::vector<std::u16string> kExpectedOrder = {
    u"comres.dll",  u"clbcatq.dll", u"secur32.dll", u"netapi32.dll", u"setupapi.dll",
    u"version.dll", u"msasn1.dll",  u"crypt32.dll", u"wintrust.dll", u"riched20.dll",
    u"cryptui.dll", u"shdocvw.dll", u"ws2help.dll", u"ws2_32.dll",   u"xpsp2res.dll",
    u"sfc_os.dll",  u"psapi.dll"};

std::vector<std::u16string> FullPaths(const std::u16string& folder) {
    std::vector<std::u16string> paths;
    for (const auto& name : kExpectedOrder) paths.push_back(folder + u"\\" + name);
    return paths;
}

RunResult Harden(Sandbox& sandbox, const Environment& env, const Faults& faults = {}) {
    return platform::host::Run(sandbox, env, [] { stub::LoaderHardening(); }, faults);
}

TEST(LauncherLoaderHardening, NarrowsTheSearchPathThenLoadsEveryListedLibraryOnceByFullPath) {
    Sandbox sandbox;
    Environment env;
    const RunResult result = Harden(sandbox, env);
    EXPECT_FALSE(result.exited);

    ASSERT_EQ(result.dllDirectoryCalls.size(), 1u);
    EXPECT_EQ(result.dllDirectoryCalls[0], u"");
    EXPECT_FALSE(result.dllDirectoryCallNull[0]) << "an empty string, not null";
    EXPECT_EQ(result.defaultDllDirectoryFlags, std::vector<platform::u32>{0x800});

    EXPECT_EQ(PathsOf(result, Call::LoadLibraryW), FullPaths(u"C:\\Windows\\System32"));
    // Both search settings come before the first load; kernel32 is asked by name.
    const long firstLoad = FirstIndexOf(result, Call::LoadLibraryW);
    EXPECT_LT(LastIndexOf(result, Call::SetDllDirectoryW), firstLoad);
    EXPECT_LT(LastIndexOf(result, Call::SetDefaultDllDirectories), firstLoad);
    EXPECT_LT(FirstIndexOf(result, Call::SetDllDirectoryW),
              FirstIndexOf(result, Call::SetDefaultDllDirectories));
    for (const auto& name : PathsOf(result, Call::GetModuleHandleW)) {
        EXPECT_EQ(N(platform::host::FoldCase(name)), "KERNEL32.DLL");
    }
    EXPECT_EQ(stub::kSystemDllPreloadCount, kExpectedOrder.size());
}

TEST(LauncherLoaderHardening, MissingExportsAreSkippedAndEveryLoadStillHappens) {
    const std::vector<std::set<std::string>> missing = {
        {"SetDllDirectoryW", "SetDefaultDllDirectories"},
        {"SetDllDirectoryW"},
        {"SetDefaultDllDirectories"},
    };
    for (const auto& set : missing) {
        Sandbox sandbox;
        Environment env;
        env.missingKernel32Exports = set;
        const RunResult result = Harden(sandbox, env);
        EXPECT_FALSE(result.exited);
        EXPECT_EQ(result.dllDirectoryCalls.size(), set.count("SetDllDirectoryW") ? 0u : 1u);
        EXPECT_EQ(result.defaultDllDirectoryFlags.size(),
                  set.count("SetDefaultDllDirectories") ? 0u : 1u);
        EXPECT_EQ(PathsOf(result, Call::LoadLibraryW), FullPaths(u"C:\\Windows\\System32"));
    }
}

TEST(LauncherLoaderHardening, FailingLookupsAndCallsChangeNothingAfterThem) {
    for (const Call call : {Call::GetModuleHandleW, Call::GetProcAddress, Call::SetDllDirectoryW,
                            Call::SetDefaultDllDirectories}) {
        Sandbox sandbox;
        Environment env;
        Faults faults;
        faults.failEvery = {call};
        const RunResult result = Harden(sandbox, env, faults);
        EXPECT_FALSE(result.exited) << platform::host::CallName(call);
        EXPECT_EQ(PathsOf(result, Call::LoadLibraryW), FullPaths(u"C:\\Windows\\System32"))
            << platform::host::CallName(call);
    }
}

TEST(LauncherLoaderHardening, ALibraryThatFailsDoesNotStopTheRest) {
    Sandbox sandbox;
    Environment env;
    env.systemFolder = u"C:\\WINNT\\system32";
    Faults faults;
    faults.nthOfKind = Call::LoadLibraryW;
    faults.failNthOfKind = 1;
    const RunResult first = Harden(sandbox, env, faults);
    EXPECT_EQ(PathsOf(first, Call::LoadLibraryW), FullPaths(u"C:\\WINNT\\system32"));
    faults.failNthOfKind = 0;
    faults.failEvery = {Call::LoadLibraryW};
    const RunResult all = Harden(sandbox, env, faults);
    EXPECT_FALSE(all.exited);
    EXPECT_EQ(PathsOf(all, Call::LoadLibraryW), FullPaths(u"C:\\WINNT\\system32"));
}

TEST(LauncherLoaderHardening, NoSystemDirectoryMeansNoLoadAndNeverABareName) {
    {  // the call fails
        Sandbox sandbox;
        Environment env;
        Faults faults;
        faults.failEvery = {Call::GetSystemDirectoryW};
        const RunResult result = Harden(sandbox, env, faults);
        EXPECT_FALSE(result.exited);
        EXPECT_EQ(result.CountOf(Call::LoadLibraryW), 0u);
    }
    // A system folder of 260 units does not fit the buffer; one of 259 leaves no room for the
    // backslash. Neither may load anything from a cut or bare path.
    for (const size_t length : {300u, 260u, 259u}) {
        Sandbox sandbox;
        Environment env;
        env.createFolders = false;
        std::u16string folder = u"C:\\" + std::u16string(120, u'w') + u"\\";
        folder += std::u16string(length - folder.size(), u's');
        ASSERT_EQ(folder.size(), length);
        env.systemFolder = folder;
        const RunResult result = Harden(sandbox, env);
        EXPECT_FALSE(result.exited) << length;
        EXPECT_EQ(result.CountOf(Call::LoadLibraryW), 0u) << length;
    }
}

TEST(LauncherLoaderHardening, LongSystemFolderLoadsOnlyWhatFitsUncut) {
    // 248 units + "\" leave room for names of up to 10 units: "comres.dll" loads, "clbcatq.dll"
    // is skipped, "psapi.dll" loads; nothing is ever loaded from a cut path.
    Sandbox sandbox;
    Environment env;
    env.createFolders = false;
    std::u16string folder = u"C:\\" + std::u16string(120, u'w') + u"\\";
    folder += std::u16string(248 - folder.size(), u's');
    env.systemFolder = folder;
    const RunResult result = Harden(sandbox, env);
    std::vector<std::u16string> expected;
    for (const auto& name : kExpectedOrder) {
        if (folder.size() + 1 + name.size() < 260) expected.push_back(folder + u"\\" + name);
    }
    ASSERT_EQ(expected.size(), 5u);
    EXPECT_EQ(PathsOf(result, Call::LoadLibraryW), expected);
}

}  // namespace
