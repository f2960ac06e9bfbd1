// The host backend: the Windows behaviour other tests rely on (paths, files, errors, faults, the
// release of what runs leave behind, and the text routines with Windows' exact rules).
#include <cstring>
#include <ctime>
#include <algorithm>
#include <set>
#include <stdexcept>

#include <gtest/gtest.h>

#include "platform/host/host.h"
#include "platform/platform.h"

namespace {

using namespace platform;
using namespace platform::host;

// Runs `body` in a fresh run over `sandbox`, failing the test if the body exits.
RunResult RunBody(Sandbox& sandbox, const std::function<void()>& body, const Faults& faults = {},
                  const Environment& env = {}) {
    return host::Run(sandbox, env, body, faults);
}

Handle Open(const char16_t* path, u32 disposition, u32 access = GENERIC_READ | GENERIC_WRITE) {
    return CreateFileW(path, access, 0, nullptr, disposition, 0, nullptr);
}

std::vector<std::u16string> Argv(const char16_t* line) {
    i32 count = -1;
    WChar** argv = CommandLineToArgvW(line, &count);
    std::vector<std::u16string> out;
    if (argv == nullptr) return out;
    for (i32 k = 0; k < count; ++k) out.emplace_back(argv[k]);
    EXPECT_EQ(argv[count], nullptr);
    return out;
}

// ---- paths ----------------------------------------------------------------------------------

// The rules of names, files, folders and links hold alike on both storages.
class HostPaths : public ::testing::TestWithParam<Storage> {};
class HostFiles : public ::testing::TestWithParam<Storage> {};
std::string StorageName(const ::testing::TestParamInfo<Storage>& info) {
    return info.param == Storage::Disk ? "Disk" : "Memory";
}
INSTANTIATE_TEST_SUITE_P(Storage, HostPaths, ::testing::Values(Storage::Disk, Storage::Memory), StorageName);
INSTANTIATE_TEST_SUITE_P(Storage, HostFiles, ::testing::Values(Storage::Disk, Storage::Memory), StorageName);

TEST_P(HostPaths, NamesMatchCaseInsensitivelyAndCreateNewCollides) {
    Sandbox sandbox(GetParam());
    RunBody(sandbox, [] {
        Handle first = Open(u"C:\\Temp\\a.txt", CREATE_NEW);
        ASSERT_NE(first, INVALID_HANDLE_VALUE);
        CloseHandle(first);
        EXPECT_EQ(Open(u"C:\\temp\\A.TXT", CREATE_NEW), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
        // Trailing dots and spaces go; "/" and repeated separators work like "\".
        Handle again = Open(u"c:/TEMP//A.txt. .", OPEN_EXISTING);
        ASSERT_NE(again, INVALID_HANDLE_VALUE);
        CloseHandle(again);
        EXPECT_EQ(CreateDirectoryW(u"C:\\TEMP\\Sub", nullptr), 1);
        EXPECT_EQ(CreateDirectoryW(u"C:\\temp\\sub.", nullptr), 0);
        EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
        EXPECT_EQ(Open(u"C:\\Temp\\SUB\\.\\..\\sub\\x.bin", CREATE_NEW) != INVALID_HANDLE_VALUE, true);
        // Inside a path a component loses one trailing dot and nothing else, as under Wine: "Sub."
        // leads to Sub, while "Sub ", "Sub.." and "Sub. " name folders that do not exist.
        EXPECT_EQ(CreateDirectoryW(u"C:\\Temp\\Sub.\\In", nullptr), 1);
        for (const char16_t* path : {u"C:\\Temp\\Sub \\No", u"C:\\Temp\\Sub..\\No", u"C:\\Temp\\Sub. \\No"})
            EXPECT_EQ(CreateDirectoryW(path, nullptr), 0);
        // Beyond ASCII: names are UTF-8 on Linux and still compare case-insensitively.
        EXPECT_NE(Open(u"C:\\\u00C9t\u00E9.txt", CREATE_NEW), INVALID_HANDLE_VALUE);
        EXPECT_EQ(Open(u"C:\\\u00E9T\u00C9.TXT", CREATE_NEW), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
    });
    EXPECT_EQ(sandbox.List(u"C:\\"), (std::vector<std::string>{"Temp/", "Temp/Sub/", "Temp/Sub/In/", "Temp/Sub/x.bin",
                                                               "Temp/a.txt", "Windows/", "Windows/System32/",
                                                               "cwd/", "\xC3\x89t\xC3\xA9.txt"}));
    EXPECT_EQ(sandbox.List(u"C:\\Temp"), (std::vector<std::string>{"Sub/", "Sub/In/", "Sub/x.bin", "a.txt"}));
}

TEST_P(HostPaths, DotDotNeverLeavesTheDriveAndRelativePathsUseTheCurrentFolder) {
    Sandbox sandbox(GetParam());
    RunBody(sandbox, [] {
        Handle escaped = Open(u"C:\\..\\..\\..\\x.txt", CREATE_NEW);
        ASSERT_NE(escaped, INVALID_HANDLE_VALUE);
        CloseHandle(escaped);
        Handle relative = Open(u"..\\cwd\\..\\..\\cwd\\rel.txt", CREATE_NEW);
        ASSERT_NE(relative, INVALID_HANDLE_VALUE);
        CloseHandle(relative);
        Handle bare = Open(u"bare.txt", CREATE_NEW);
        ASSERT_NE(bare, INVALID_HANDLE_VALUE);
        CloseHandle(bare);
    });
    EXPECT_TRUE(sandbox.Exists(u"C:\\x.txt"));
    EXPECT_TRUE(sandbox.Exists(u"C:\\cwd\\rel.txt"));
    EXPECT_TRUE(sandbox.Exists(u"C:\\cwd\\bare.txt"));
    EXPECT_EQ(sandbox.RelativePath(u"C:\\..\\..\\X.TXT"), "C/x.txt");
    EXPECT_EQ(sandbox.WindowsPath("/etc/passwd"), u"");
    if (GetParam() == Storage::Memory) {  // nothing of it on disk
        EXPECT_THROW(sandbox.LinuxPath(u"C:\\x.txt"), std::logic_error);
        return;
    }
    EXPECT_EQ(sandbox.LinuxPath(u"C:\\..\\..\\X.TXT"), sandbox.root() + "/C/x.txt");
    EXPECT_EQ(sandbox.WindowsPath(sandbox.root() + "/C/cwd/rel.txt"), u"C:\\cwd\\rel.txt");
}

TEST_P(HostPaths, MalformedNamesAndMissingEntriesGiveWindowsErrors) {
    Sandbox sandbox(GetParam());
    sandbox.WriteFile(u"C:\\data\\f.bin", "x");
    RunBody(sandbox, [] {
        for (const char16_t* bad : {u"C:\\data\\a:b", u"C:\\data\\CON", u"C:\\data\\nul.txt",
                                    u"C:\\data\\com1", u"C:\\LPT9.log\\x", u"C:\\data\\a*b"}) {
            EXPECT_EQ(Open(bad, CREATE_ALWAYS), INVALID_HANDLE_VALUE) << Utf8(bad);
            EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME) << Utf8(bad);
        }
        EXPECT_EQ(Open(u"C:\\data\\missing", OPEN_EXISTING), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(Open(u"C:\\nothing\\missing", OPEN_EXISTING), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
        EXPECT_EQ(Open(u"C:\\data\\f.bin\\below", CREATE_NEW), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
        EXPECT_EQ(Open(u"C:\\DATA", OPEN_EXISTING), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
        EXPECT_EQ(Open(u"C:\\DATA", CREATE_NEW), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
        EXPECT_EQ(GetFileAttributesW(u"C:\\data"), FILE_ATTRIBUTE_DIRECTORY);
        EXPECT_EQ(GetFileAttributesW(u"C:\\DATA\\F.BIN"), FILE_ATTRIBUTE_NORMAL);
        EXPECT_EQ(GetFileAttributesW(u"C:\\data\\gone"), INVALID_FILE_ATTRIBUTES);
        EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(Open(u"C:\\data\\dir/", CREATE_NEW), INVALID_HANDLE_VALUE);  // no file "dir"
        EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
        // MAX_PATH: 259 units work, 260 do not.
        const std::u16string longest = u"C:\\data\\" + std::u16string(251, u'n');
        Handle fits = Open(longest.c_str(), CREATE_NEW);
        EXPECT_NE(fits, INVALID_HANDLE_VALUE);
        CloseHandle(fits);
        EXPECT_EQ(Open((longest + u"n").c_str(), CREATE_NEW), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    });
}

TEST_P(HostPaths, FoldersFindAndRemoval) {
    Sandbox sandbox(GetParam());
    sandbox.WriteFile(u"C:\\app\\Setup.EXE", "x");
    sandbox.WriteFile(u"C:\\app\\helper.dll", "dll");
    RunBody(sandbox, [] {
        FindData found{};
        Handle find = nullptr;
        find = FindFirstFileW(u"C:\\APP\\*.DLL", &found);
        ASSERT_NE(find, INVALID_HANDLE_VALUE);
        EXPECT_EQ(std::u16string(found.cFileName), u"helper.dll");
        EXPECT_EQ(found.nFileSizeLow, 3u);
        EXPECT_EQ(FindClose(find), 1);
        EXPECT_EQ(FindFirstFileW(u"C:\\app\\*.ini", &found), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(FindFirstFileW(u"C:\\none\\*.dll", &found), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
        EXPECT_EQ(CreateDirectoryW(u"C:\\x\\y", nullptr), 0);
        EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
        EXPECT_EQ(RemoveDirectoryW(u"C:\\app"), 0);
        EXPECT_EQ(GetLastError(), ERROR_DIR_NOT_EMPTY);
        EXPECT_EQ(CopyFileW(u"C:\\app\\setup.exe", u"C:\\app\\HELPER.DLL", 1), 0);
        EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
        EXPECT_EQ(CopyFileW(u"C:\\app\\setup.exe", u"C:\\app\\copy.exe", 1), 1);
        // An open file cannot be deleted (no delete sharing), a closed one can.
        Handle open = Open(u"C:\\app\\copy.exe", OPEN_EXISTING, GENERIC_READ);
        EXPECT_EQ(DeleteFileW(u"C:\\app\\copy.exe"), 0);
        EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
        CloseHandle(open);
        EXPECT_EQ(DeleteFileW(u"C:\\app\\COPY.exe"), 1);
        // A listing: NTFS order, "." and ".." first, from a snapshot taken at its start.
        find = FindFirstFileExW(u"C:\\app\\*", FindExInfoBasic, &found, FindExSearchNameMatch,
                                nullptr, FIND_FIRST_EX_LARGE_FETCH);
        ASSERT_NE(find, INVALID_HANDLE_VALUE);
        std::vector<std::u16string> names{found.cFileName};
        EXPECT_EQ(DeleteFileW(u"C:\\app\\helper.dll"), 1);
        while (FindNextFileW(find, &found)) {
            names.emplace_back(found.cFileName);
            if (names.back() == u"Setup.EXE") EXPECT_EQ(found.nFileSizeLow, 1u);
        }
        EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
        EXPECT_EQ(names, (std::vector<std::u16string>{u".", u"..", u"helper.dll", u"Setup.EXE"}));
        EXPECT_EQ(FindClose(find), 1);
        EXPECT_EQ(FindNextFileW(find, &found), 0);  // a closed listing
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    });
    EXPECT_EQ(sandbox.List(u"C:\\app"), std::vector<std::string>{"Setup.EXE"});
}

// Links as Windows treats junctions and symbolic links, and the read-only attribute.
TEST_P(HostPaths, LinksAreRemovedAsLinksAndReadOnlyBlocksDeletes) {
    Sandbox sandbox(GetParam());
    sandbox.WriteFile(u"C:\\outside\\keep.txt", "keep");
    sandbox.WriteFile(u"C:\\outside.txt", "keep too");
    sandbox.WriteFile(u"C:\\app\\ro.txt", "read-only");
    sandbox.MakeLink(u"C:\\app\\dirlink", u"C:\\outside");
    sandbox.MakeLink(u"C:\\app\\filelink", u"C:\\outside.txt");
    sandbox.MakeLink(u"C:\\app\\dangling", u"C:\\nowhere");
    EXPECT_EQ(sandbox.KindOf(u"C:\\app\\DirLink"), EntryKind::Link);
    RunBody(sandbox, [] {
        EXPECT_EQ(GetFileAttributesW(u"C:\\app\\dirlink"), 0x410u);
        EXPECT_EQ(GetFileAttributesW(u"C:\\app\\filelink"), 0x420u);
        EXPECT_EQ(GetFileAttributesW(u"C:\\APP\\dirlink\\KEEP.txt"), FILE_ATTRIBUTE_NORMAL);  // through it
        FindData found{};
        Handle find = FindFirstFileExW(u"C:\\app\\d*", FindExInfoBasic, &found,
                                       FindExSearchNameMatch, nullptr, 0);
        ASSERT_NE(find, INVALID_HANDLE_VALUE);
        EXPECT_EQ(std::u16string(found.cFileName), u"dangling");
        EXPECT_EQ(found.dwFileAttributes, 0x420u);  // a link whose target is missing is listed too
        ASSERT_EQ(FindNextFileW(find, &found), 1);
        EXPECT_EQ(std::u16string(found.cFileName), u"dirlink");
        EXPECT_EQ(found.dwFileAttributes, 0x410u);
        FindClose(find);

        EXPECT_EQ(DeleteFileW(u"C:\\app\\dirlink"), 0);  // a folder link is a folder
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
        EXPECT_EQ(RemoveDirectoryW(u"C:\\app\\filelink"), 0);
        EXPECT_EQ(GetLastError(), ERROR_DIRECTORY);
        EXPECT_EQ(SetFileAttributesW(u"C:\\app\\dirlink", FILE_ATTRIBUTE_READONLY), 1);
        EXPECT_EQ(RemoveDirectoryW(u"C:\\app\\dirlink"), 1);  // not empty, yet the link goes
        EXPECT_EQ(DeleteFileW(u"C:\\app\\filelink"), 1);
        EXPECT_EQ(DeleteFileW(u"C:\\app\\dangling"), 1);

        // Read-only: no delete, no write, until the attribute is cleared.
        ASSERT_EQ(SetFileAttributesW(u"C:\\app\\ro.txt", FILE_ATTRIBUTE_READONLY), 1);
        EXPECT_EQ(GetFileAttributesW(u"C:\\app\\ro.txt"), FILE_ATTRIBUTE_READONLY);
        EXPECT_EQ(DeleteFileW(u"C:\\app\\ro.txt"), 0);
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
        EXPECT_EQ(Open(u"C:\\app\\ro.txt", OPEN_EXISTING), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
        Handle reader = Open(u"C:\\app\\ro.txt", OPEN_EXISTING, GENERIC_READ);
        EXPECT_NE(reader, INVALID_HANDLE_VALUE);
        CloseHandle(reader);
        ASSERT_EQ(SetFileAttributesW(u"C:\\app", FILE_ATTRIBUTE_READONLY), 1);
        EXPECT_EQ(GetFileAttributesW(u"C:\\app"), FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY);
        ASSERT_EQ(SetFileAttributesW(u"C:\\app\\ro.txt", FILE_ATTRIBUTE_NORMAL), 1);
        EXPECT_EQ(GetFileAttributesW(u"C:\\app\\ro.txt"), FILE_ATTRIBUTE_NORMAL);
        EXPECT_EQ(DeleteFileW(u"C:\\app\\ro.txt"), 1);
        EXPECT_EQ(RemoveDirectoryW(u"C:\\app"), 0);  // empty, but read-only
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
        EXPECT_EQ(SetFileAttributesW(u"C:\\app", FILE_ATTRIBUTE_NORMAL), 1);
        EXPECT_EQ(RemoveDirectoryW(u"C:\\app"), 1);
        EXPECT_EQ(SetFileAttributesW(u"C:\\app", FILE_ATTRIBUTE_NORMAL), 0);
        EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    });
    // The targets are untouched, the read-only attribute of the folder link never reached them.
    EXPECT_EQ(sandbox.ReadFile(u"C:\\outside\\keep.txt"), "keep");
    EXPECT_EQ(sandbox.ReadFile(u"C:\\outside.txt"), "keep too");
    RunBody(sandbox, [] { EXPECT_EQ(GetFileAttributesW(u"C:\\outside"), FILE_ATTRIBUTE_DIRECTORY); });
    EXPECT_EQ(sandbox.List(u"C:\\outside"), std::vector<std::string>{"keep.txt"});
    EXPECT_FALSE(sandbox.Exists(u"C:\\app"));
}

// ---- file contents and positions ----------------------------------------------------------------

TEST_P(HostFiles, ReadWriteAndFilePointerConventions) {
    Sandbox sandbox(GetParam());
    RunBody(sandbox, [] {
        Handle file = Open(u"C:\\f.bin", CREATE_ALWAYS);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        u32 done = 0;
        ASSERT_EQ(WriteFile(file, "0123456789", 10, &done, nullptr), 1);
        EXPECT_EQ(done, 10u);
        EXPECT_EQ(SetFilePointer(file, -4, nullptr, FILE_END), 6u);
        char buffer[16] = {};
        EXPECT_EQ(ReadFile(file, buffer, 16, &done, nullptr), 1);  // short count at the end
        EXPECT_EQ(done, 4u);
        EXPECT_EQ(std::string(buffer, 4), "6789");
        EXPECT_EQ(ReadFile(file, buffer, 16, &done, nullptr), 1);
        EXPECT_EQ(done, 0u);
        EXPECT_EQ(SetFilePointer(file, -20, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
        EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
        EXPECT_EQ(SetFilePointer(file, 0, nullptr, FILE_CURRENT), 10u);  // unchanged
        // A position whose low part is all ones is told apart by the last error.
        i32 high = 0;
        EXPECT_EQ(SetFilePointer(file, -1, &high, FILE_BEGIN), INVALID_SET_FILE_POINTER);
        EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
        EXPECT_EQ(high, 0);
        high = 1;
        EXPECT_EQ(SetFilePointer(file, 5, &high, FILE_BEGIN), 5u);
        EXPECT_EQ(high, 1);
        EXPECT_EQ(SetFilePointer(file, 0x7FFFFFFF, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);  // beyond 32 bits without a high part
        EXPECT_EQ(CloseHandle(file), 1);
        EXPECT_EQ(CloseHandle(file), 0);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        Handle reader = Open(u"C:\\F.BIN", OPEN_EXISTING, GENERIC_READ);
        EXPECT_EQ(WriteFile(reader, "x", 1, &done, nullptr), 0);
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    });
    EXPECT_EQ(sandbox.ReadFile(u"C:\\f.bin"), "0123456789");
}

// A second name of a file is the same file (its ID, its links, its bytes) until one name goes;
// listings and handles carry the entries' times.
TEST_P(HostFiles, HardLinksAreOneFileAndEntriesCarryTheirTimes) {
    Sandbox sandbox(GetParam());
    const u64 before = (static_cast<u64>(std::time(nullptr)) - 2 + 11644473600ull) * 10000000ull;
    sandbox.WriteFile(u"C:\\data\\a.bin", "first");
    sandbox.MakeHardLink(u"C:\\data\\b.bin", u"C:\\data\\A.BIN");
    RunBody(sandbox, [before] {
        auto time = [](const FileTime& t) { return (static_cast<u64>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
        const Handle a = Open(u"C:\\data\\a.bin", OPEN_EXISTING, GENERIC_READ);
        const Handle b = Open(u"C:\\data\\b.bin", OPEN_EXISTING, GENERIC_WRITE);
        ByHandleFileInformation ia{}, ib{};
        ASSERT_EQ(GetFileInformationByHandle(a, &ia), 1);
        ASSERT_EQ(GetFileInformationByHandle(b, &ib), 1);
        EXPECT_EQ(ia.nNumberOfLinks, 2u);
        EXPECT_EQ(ia.nFileIndexLow, ib.nFileIndexLow);
        EXPECT_EQ(ia.dwVolumeSerialNumber, ib.dwVolumeSerialNumber);
        EXPECT_GE(time(ia.ftLastWriteTime), before);
        EXPECT_GE(time(ia.ftCreationTime), before);
        u32 done = 0;
        ASSERT_EQ(WriteFile(b, "second", 6, &done, nullptr), 1);
        char text[8] = {};
        ASSERT_EQ(ReadFile(a, text, sizeof text, &done, nullptr), 1);
        EXPECT_EQ(std::string(text, done), "second");
        CloseHandle(a);
        CloseHandle(b);
        EXPECT_EQ(DeleteFileW(u"C:\\data\\a.bin"), 1);
        FindData found{};
        const Handle find = FindFirstFileW(u"C:\\data\\b.bin", &found);
        ASSERT_NE(find, INVALID_HANDLE_VALUE);
        EXPECT_EQ(found.nFileSizeLow, 6u);
        EXPECT_GE(time(found.ftLastWriteTime), time(ia.ftLastWriteTime));
        FindClose(find);
        const Handle kept = Open(u"C:\\data\\b.bin", OPEN_EXISTING, GENERIC_READ);
        ASSERT_EQ(GetFileInformationByHandle(kept, &ib), 1);
        EXPECT_EQ(ib.nNumberOfLinks, 1u);
        CloseHandle(kept);
    });
    EXPECT_EQ(sandbox.List(u"C:\\data"), std::vector<std::string>{"b.bin"});
    EXPECT_EQ(sandbox.ReadFile(u"C:\\data\\b.bin"), "second");
}

// A memory volume of a chosen size: a write that does not fit writes what fits and fails with
// ERROR_DISK_FULL, as a full disk does; deleting a file makes room again.
TEST(HostMemory, AFullVolumeRefusesWritesUntilSpaceIsFreed) {
    Sandbox sandbox(Storage::Memory, 1000);
    sandbox.WriteFile(u"C:\\big.bin", std::string(600, 'b'));
    RunBody(sandbox, [] {
        const std::string more(600, 'm');
        Handle file = Open(u"C:\\more.bin", CREATE_NEW);
        u32 done = 0;
        EXPECT_EQ(WriteFile(file, more.data(), 600, &done, nullptr), 0);
        EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
        EXPECT_EQ(done, 400u);
        EXPECT_EQ(DeleteFileW(u"C:\\big.bin"), 1);
        EXPECT_EQ(WriteFile(file, more.data(), 600, &done, nullptr), 1);
        CloseHandle(file);
    });
    EXPECT_EQ(sandbox.ReadFile(u"C:\\more.bin").size(), 1000u);
    EXPECT_THROW(Sandbox(Storage::Disk, 1000), std::invalid_argument);
}

// ---- runs: faults, exit, release -------------------------------------------------------------

TEST(HostRuns, FaultInjectionByCountKindAndEvery) {
    Sandbox sandbox;
    auto body = [] {
        if (GetFileAttributesW(u"C:\\") == INVALID_FILE_ATTRIBUTES) ExitProcess(10 + GetLastError());
        if (GetFileAttributesW(u"C:\\cwd") == INVALID_FILE_ATTRIBUTES) ExitProcess(20 + GetLastError());
        if (CreateDirectoryW(u"C:\\new", nullptr) == 0) ExitProcess(30 + GetLastError());
        ExitProcess(0);
    };
    Faults second;
    second.failNthCall = 2;
    second.lastError = 7;
    RunResult result = RunBody(sandbox, body, second);
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exitCode, 27u);
    ASSERT_EQ(result.calls.size(), 2u);
    EXPECT_FALSE(result.calls[0].failedByInjection);
    EXPECT_TRUE(result.calls[1].failedByInjection);
    EXPECT_EQ(result.calls[1].path, u"C:\\cwd");

    Faults kind;
    kind.nthOfKind = Call::CreateDirectoryW;
    kind.failNthOfKind = 1;
    kind.lastError = ERROR_DISK_FULL;
    result = RunBody(sandbox, body, kind);
    EXPECT_EQ(result.exitCode, 30 + ERROR_DISK_FULL);
    EXPECT_EQ(result.callCount, 3u);

    Faults every;
    every.failEvery = {Call::GetFileAttributesW};
    every.lastError = 1;
    EXPECT_EQ(RunBody(sandbox, body, every).exitCode, 11u);

    Faults byPath;
    byPath.failWhen = [](const CallRecord& call) { return call.path == u"C:\\new"; };
    byPath.lastError = 9;
    EXPECT_EQ(RunBody(sandbox, body, byPath).exitCode, 39u);

    result = RunBody(sandbox, body);
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_TRUE(sandbox.Exists(u"C:\\new"));
    result = RunBody(sandbox, [] {});
    EXPECT_FALSE(result.exited);
    EXPECT_EQ(result.callCount, 0u);
}

TEST(HostRuns, EveryCallKindFailsWithItsFailureValue) {
    Sandbox sandbox;
    sandbox.WriteFile(u"C:\\f", "x");
    Faults faults;
    faults.failEvery = {Call::CreateFileW, Call::SetFilePointer, Call::HeapAlloc, Call::StubHeapAlloc,
                        Call::ShellExecuteExW, Call::FindFirstFileExW, Call::CoCreateGuid,
                        Call::GetTempPathW, Call::WaitForSingleObject, Call::AttachConsole,
                        Call::GetCommandLineW};
    faults.lastError = ERROR_WRITE_FAULT;
    RunResult result = RunBody(sandbox, [] {
        EXPECT_EQ(Open(u"C:\\f", OPEN_EXISTING), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_WRITE_FAULT);
        EXPECT_EQ(SetFilePointer(nullptr, 0, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
        EXPECT_EQ(HeapAlloc(GetProcessHeap(), 0, 4), nullptr);
        EXPECT_EQ(StubHeapAlloc(4), nullptr);
        ShellExecuteInfo info{};
        info.lpFile = u"C:\\f";
        EXPECT_EQ(ShellExecuteExW(&info), 0);
        FindData found{};
        EXPECT_EQ(FindFirstFileExW(u"C:\\*", FindExInfoBasic, &found, FindExSearchNameMatch, nullptr,
                                   0),
                  INVALID_HANDLE_VALUE);
        Guid guid{};
        EXPECT_LT(CoCreateGuid(&guid), 0);
        WChar buffer[8];
        EXPECT_EQ(GetTempPathW(8, buffer), 0u);
        EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
        auto attach = reinterpret_cast<AttachConsoleProc>(
            GetProcAddress(GetModuleHandleW(u"kernel32.dll"), "AttachConsole"));
        ASSERT_NE(attach, nullptr);
        EXPECT_EQ(attach(ATTACH_PARENT_PROCESS), 0);
        EXPECT_NE(GetCommandLineW(), nullptr);  // cannot fail on Windows
    }, faults);
    EXPECT_TRUE(sandbox.Exists(u"C:\\f"));
    EXPECT_FALSE(result.attachedConsole);
    EXPECT_EQ(result.CountOf(Call::AttachConsole), 1u);
}

TEST_P(HostFiles, ThousandsOfLeakingRunsReleaseEverything) {
    Sandbox sandbox(GetParam());
    const size_t descriptorsBefore = sandbox.OpenDescriptors();
    for (int run = 0; run < 2000; ++run) {
        RunResult result = RunBody(sandbox, [] {
            Open(u"C:\\Temp\\leak.bin", CREATE_ALWAYS);
            HeapAlloc(GetProcessHeap(), 0, 1 << 16);
            StubHeapAlloc(1 << 16);
            i32 count = 0;
            CommandLineToArgvW(u"a b c", &count);
            ExitProcess(5);
        });
        ASSERT_EQ(result.exitCode, 5u);
        ASSERT_EQ(result.handlesLeft, 1u);
        ASSERT_EQ(result.blocksLeft, 2u);
    }
    EXPECT_EQ(sandbox.OpenDescriptors(), descriptorsBefore);
    // The leftover handle is closed: the file can be deleted by the next run.
    EXPECT_EQ(RunBody(sandbox, [] {
                  if (!DeleteFileW(u"C:\\Temp\\leak.bin")) ExitProcess(1);
              }).exited,
              false);
}

TEST(HostRuns, HeapsRefuseHugeBlocksAndCountAllocationsTogether) {
    Sandbox sandbox;
    Faults faults;
    faults.failNthAllocation = 3;
    RunResult result = RunBody(sandbox, [] {
        Handle heap = GetProcessHeap();
        EXPECT_EQ(HeapAlloc(heap, 0, size_t{0x80000000u}), nullptr);  // #1: over 2 GiB
        EXPECT_EQ(StubHeapAlloc(size_t{0x80000000u}), nullptr);       // #2
        EXPECT_EQ(StubHeapAlloc(16), nullptr);                         // #3: injected
        void* a = HeapAlloc(heap, HEAP_ZERO_MEMORY, 0);
        void* b = HeapAlloc(heap, 0, 0);
        ASSERT_NE(a, nullptr);
        EXPECT_NE(a, b);
        EXPECT_EQ(HeapFree(heap, 0, a), 1);
        EXPECT_EQ(HeapFree(heap, 0, a), 0);  // double free is reported
        void* c = StubHeapAlloc(8);
        EXPECT_EQ(HeapFree(heap, 0, c), 0);  // wrong heap
        StubHeapFree(c);
    }, faults);
    EXPECT_EQ(result.allocationCount, 6u);
    EXPECT_EQ(result.invalidFrees, 2u);
    EXPECT_EQ(result.blocksLeft, 1u);
    Faults limited;
    limited.heapLimit = 1000;
    result = RunBody(sandbox, [] {
        void* most = StubHeapAlloc(600);
        EXPECT_EQ(HeapAlloc(GetProcessHeap(), 0, 401), nullptr);
        StubHeapFree(most);
        EXPECT_NE(HeapAlloc(GetProcessHeap(), 0, 1000), nullptr);
    }, limited);
    EXPECT_EQ(result.blocksLeft, 1u);
}

TEST(HostRuns, CallsOutsideRunsUseTheDefaultContext) {
    Sandbox sandbox;
    SetDefaultSandbox(&sandbox);
    EXPECT_FALSE(InRun());
    EXPECT_EQ(CreateDirectoryW(u"C:\\tool", nullptr), 1);
    Handle file = Open(u"C:\\tool\\out.txt", CREATE_NEW);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    u32 done = 0;
    EXPECT_EQ(WriteFile(file, "hi", 2, &done, nullptr), 1);
    EXPECT_EQ(CloseHandle(file), 1);
    SetDefaultSandbox(nullptr);
    EXPECT_EQ(sandbox.ReadFile(u"c:\\TOOL\\OUT.TXT"), "hi");
}

// ---- environment, modules, processes ----------------------------------------------------------

TEST(HostEnvironment, BufferSizesModulesAndKernel32Procedures) {
    Sandbox sandbox;
    sandbox.WriteFile(u"C:\\Windows\\System32\\version.dll", "");
    Environment env;
    env.missingKernel32Exports = {"SetDefaultDllDirectories"};
    RunResult result = host::Run(sandbox, env, [] {
        WChar small[4];
        EXPECT_EQ(GetTempPathW(4, small), 9u);  // "C:\Temp\" + NUL
        WChar path[kMaxPathChars];
        EXPECT_EQ(GetTempPathW(kMaxPathChars, path), 8u);
        EXPECT_EQ(GetModuleFileNameW(nullptr, small, 4), 4u);
        EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
        EXPECT_EQ(std::u16string(small), u"C:\\");
        EXPECT_EQ(GetSystemDirectoryW(small, 4), 20u);
        Module kernel32 = GetModuleHandleW(u"KERNEL32.DLL");
        ASSERT_NE(kernel32, nullptr);
        EXPECT_EQ(GetProcAddress(kernel32, "SetDefaultDllDirectories"), nullptr);
        auto setDirectory = reinterpret_cast<SetDllDirectoryWProc>(GetProcAddress(kernel32, "SetDllDirectoryW"));
        ASSERT_NE(setDirectory, nullptr);
        EXPECT_EQ(setDirectory(u""), 1);
        EXPECT_NE(LoadLibraryW(u"C:\\windows\\system32\\VERSION.dll"), nullptr);
        EXPECT_EQ(LoadLibraryW(u"C:\\windows\\system32\\absent.dll"), nullptr);
        EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    });
    EXPECT_EQ(result.dllDirectoryCalls, std::vector<std::u16string>{u""});
    EXPECT_EQ(result.CountOf(Call::SetDllDirectoryW), 1u);
    EXPECT_EQ(result.loadedLibraries.size(), 2u);
}

TEST(HostEnvironment, ShellStartsRegisteredProgramsOnly) {
    Sandbox sandbox;
    sandbox.WriteFile(u"C:\\Temp\\s\\Setup.exe", "MZ");
    sandbox.WriteFile(u"C:\\Temp\\s\\readme.txt", "");
    sandbox.WriteFile(u"C:\\Temp\\s\\slow.exe", "MZ");
    Environment env;
    bool sawFile = false;
    env.programs[u"c:\\temp\\S\\setup.EXE"] = [&](const ProcessStart& start) {
        sawFile = sandbox.Exists(u"C:\\Temp\\s\\readme.txt");
        EXPECT_EQ(start.parameters, u"/quiet");
        return ProcessOutcome{3010, false};
    };
    env.programs[u"C:\\Temp\\s\\slow.exe"] = [](const ProcessStart&) { return ProcessOutcome{0, true}; };
    RunResult result = host::Run(sandbox, env, [] {
        ShellExecuteInfo info{};
        info.fMask = SEE_MASK_NOCLOSEPROCESS;
        info.lpFile = u"C:\\Temp\\s\\.\\setup.exe";
        info.lpParameters = u"/quiet";
        ASSERT_EQ(ShellExecuteExW(&info), 1);
        EXPECT_EQ(WaitForSingleObject(info.hProcess, INFINITE), WAIT_OBJECT_0);
        u32 code = 0;
        EXPECT_EQ(GetExitCodeProcess(info.hProcess, &code), 1);
        EXPECT_EQ(code, 3010u);
        CloseHandle(info.hProcess);
        EXPECT_EQ(WaitForSingleObject(info.hProcess, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

        info.lpFile = u"C:\\Temp\\s\\slow.exe";
        ASSERT_EQ(ShellExecuteExW(&info), 1);
        EXPECT_EQ(WaitForSingleObject(info.hProcess, 1800000), WAIT_TIMEOUT);
        EXPECT_EQ(GetExitCodeProcess(info.hProcess, &code), 1);
        EXPECT_EQ(code, STILL_ACTIVE);
        EXPECT_THROW(WaitForSingleObject(info.hProcess, INFINITE), std::logic_error);

        info.lpFile = u"C:\\Temp\\s\\readme.txt";
        EXPECT_EQ(ShellExecuteExW(&info), 0);
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
        info.lpFile = u"C:\\Temp\\s\\gone.exe";
        EXPECT_EQ(ShellExecuteExW(&info), 0);
        EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
        info.lpFile = u"C:\\Temp\\s";
        EXPECT_EQ(ShellExecuteExW(&info), 0);
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    });
    EXPECT_TRUE(sawFile);
    ASSERT_EQ(result.starts.size(), 2u);
    EXPECT_FALSE(result.starts[0].parametersNull);
    EXPECT_EQ(result.handlesLeft, 1u);  // the slow process, released by Run
}

TEST(HostEnvironment, ProgramsCanRunNestedRunsThatSeeTheOuterRunsOpenFiles) {
    Sandbox sandbox;
    sandbox.WriteFile(u"C:\\stub\\SelfExtractor.exe", "MZ outer");
    Environment outer;
    outer.defaultProgram = [&](const ProcessStart& start) {
        Environment inner;
        inner.modulePath = start.file;
        RunResult copy = host::Run(sandbox, inner, [] {
            // The outer run holds its own file open without delete sharing, and runs from it.
            if (DeleteFileW(u"C:\\stub\\SelfExtractor.exe")) ExitProcess(1);
            if (GetLastError() != ERROR_ACCESS_DENIED) ExitProcess(2);
            WChar self[kMaxPathChars];
            GetModuleFileNameW(nullptr, self, kMaxPathChars);
            ExitProcess(std::u16string(self) == u"C:\\Temp\\copy\\x.exe" ? 42 : 3);
        });
        return ProcessOutcome{copy.exitCode, false};
    };
    RunResult result = host::Run(sandbox, outer, [] {
        Handle self = CreateFileW(u"C:\\stub\\SelfExtractor.exe", GENERIC_READ, FILE_SHARE_READ,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
        if (self == INVALID_HANDLE_VALUE) ExitProcess(10);
        if (CreateDirectoryW(u"C:\\Temp\\copy", nullptr) == 0) ExitProcess(11);
        if (!CopyFileW(u"C:\\stub\\SelfExtractor.exe", u"C:\\Temp\\copy\\x.exe", 1)) ExitProcess(12);
        ShellExecuteInfo info{};
        info.fMask = SEE_MASK_NOCLOSEPROCESS;
        info.lpFile = u"C:\\Temp\\copy\\x.exe";
        if (!ShellExecuteExW(&info)) ExitProcess(13);
        u32 code = 0;
        if (WaitForSingleObject(info.hProcess, 1800000) != WAIT_OBJECT_0) ExitProcess(14);
        if (!GetExitCodeProcess(info.hProcess, &code)) ExitProcess(15);
        CloseHandle(info.hProcess);
        if (!DeleteFileW(u"C:\\Temp\\copy\\x.exe")) ExitProcess(16);
        if (!RemoveDirectoryW(u"C:\\Temp\\copy")) ExitProcess(17);
        ExitProcess(code);
    });
    EXPECT_EQ(result.exitCode, 42u);
    EXPECT_EQ(result.handlesLeft, 1u);  // its own file, closed by Run
    EXPECT_FALSE(sandbox.Exists(u"C:\\Temp\\copy"));
}

TEST(HostEnvironment, GuidsAndTempFileNames) {
    Sandbox sandbox;
    Environment env;
    RunBody(sandbox, [] {
        WChar out[kMaxPathChars];
        const u32 number = GetTempFileNameW(u"C:\\Temp\\", u"ZEBRA", 0, out);
        ASSERT_NE(number, 0u);
        const std::u16string name(out);
        ASSERT_EQ(name.rfind(u"C:\\Temp\\ZEB", 0), 0u);
        const std::u16string digits = name.substr(11, name.size() - 11 - 4);
        EXPECT_EQ(name.substr(name.size() - 4), u".tmp");
        EXPECT_TRUE(digits.size() >= 1 && digits.size() <= 4);
        EXPECT_EQ(digits.find_first_not_of(u"0123456789ABCDEF"), std::u16string::npos);
        EXPECT_EQ(GetFileAttributesW(out), FILE_ATTRIBUTE_NORMAL);  // reserved by an empty file
        WChar second[kMaxPathChars];
        EXPECT_NE(GetTempFileNameW(u"C:\\Temp", u"ZEB", 0, second), 0u);  // no trailing backslash
        EXPECT_NE(std::u16string(second), name);
        EXPECT_EQ(std::u16string(second).rfind(u"C:\\Temp\\ZEB", 0), 0u);
        EXPECT_EQ(GetTempFileNameW(u"C:\\Missing\\", u"ZEB", 0, out), 0u);
        EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
        const std::u16string deep = u"C:\\" + std::u16string(244, u'd');  // 247 units: too long
        EXPECT_EQ(GetTempFileNameW(deep.c_str(), u"ZEB", 0, out), 0u);
        EXPECT_EQ(GetLastError(), ERROR_BUFFER_OVERFLOW);

        Guid guid{};
        ASSERT_EQ(CoCreateGuid(&guid), S_OK);
        guid = Guid{0x0123ABCDu, 0x4567, 0x89EF, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
        WChar text[39];
        EXPECT_EQ(StringFromGUID2(guid, text, 39), 39);
        EXPECT_EQ(std::u16string(text), u"{0123ABCD-4567-89EF-0123-456789ABCDEF}");
        EXPECT_EQ(StringFromGUID2(guid, text, 38), 0);
    }, {}, env);
    env.guidCreationFails = true;
    RunBody(sandbox, [] {
        Guid guid{};
        EXPECT_EQ(CoCreateGuid(&guid), E_FAIL);
    }, {}, env);
}

// ---- text -------------------------------------------------------------------------------------

TEST(HostText, CommandLineToArgvFollowsWindowsQuoting) {
    Sandbox sandbox;
    RunBody(sandbox, [] {
        using V = std::vector<std::u16string>;
        EXPECT_EQ(Argv(u"\"C:\\a b\\x.exe\" /q"), (V{u"C:\\a b\\x.exe", u"/q"}));
        EXPECT_EQ(Argv(u"C:\\a\\\"x.exe  one"), (V{u"C:\\a\\\"x.exe", u"one"}));  // no escapes first
        EXPECT_EQ(Argv(u"\"p\"next arg"), (V{u"p", u"next", u"arg"}));
        EXPECT_EQ(Argv(u"p a\\\\\\\"b c\\\\\"d e\" f"), (V{u"p", u"a\\\"b", u"c\\d e", u"f"}));
        EXPECT_EQ(Argv(u"p a\\\\b \"\" \"x\"\"y\""), (V{u"p", u"a\\\\b", u"", u"x\"y"}));
        EXPECT_EQ(Argv(u"p \t "), (V{u"p"}));
        EXPECT_EQ(Argv(u" lead"), (V{u"", u"lead"}));
        EXPECT_EQ(Argv(u""), (V{u"C:\\stub\\SelfExtractor.exe"}));
    });
}

TEST(HostText, PathAppendCanonicalizesAndRefusesOverflow) {
    Sandbox sandbox;
    RunBody(sandbox, [] {
        auto append = [](std::u16string base, const char16_t* more, Bool expected = 1) {
            WChar path[kMaxPathChars] = {};
            std::copy(base.begin(), base.end(), path);
            EXPECT_EQ(PathAppendW(path, more), expected);
            return std::u16string(path);
        };
        EXPECT_EQ(append(u"C:\\Temp\\ZEB1.tmp", u"setup.exe"), u"C:\\Temp\\ZEB1.tmp\\setup.exe");
        EXPECT_EQ(append(u"C:\\Temp", u"\\setup.exe"), u"C:\\Temp\\setup.exe");
        EXPECT_EQ(append(u"C:\\Temp\\", u"\\\\srv\\x"), u"\\\\srv\\x");  // UNC: replaces
        EXPECT_EQ(append(u"C:\\Temp\\s", u"..\\..\\..\\x.exe"), u"C:\\x.exe");
        EXPECT_EQ(append(u"C:\\a\\.\\b", u"c\\..\\d\\."), u"C:\\a\\b\\d");
        EXPECT_EQ(append(u"C:\\a", u"D:\\b"), u"D:\\b");
        const std::u16string base = u"C:\\" + std::u16string(250, u'a');
        EXPECT_EQ(append(base, u"12345"), base + u"\\12345");  // 259 units: fits
        EXPECT_EQ(append(base, u"123456", 0), base);           // 260 units: unchanged
        EXPECT_EQ(append(base, u"x\\..\\..\\y", 0), base);     // too long before canonicalizing
    });
}

TEST(HostText, MultiByteToWideCharEdgeCases) {
    Sandbox sandbox;
    RunBody(sandbox, [] {
        WChar out[16];
        EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", 0, out, 16), 0);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", -1, nullptr, 0), 4);  // with the NUL
        EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", 3, nullptr, 0), 3);
        EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", -1, out, 3), 0);
        EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
        // "é", a 4-byte character, a stray continuation, a truncated 3-byte sequence, an overlong.
        const char bytes[] = "\xC3\xA9\xF0\x9F\x98\x80\x80\xE2\x82" "A\xC0\xAF";
        const i32 n = MultiByteToWideChar(CP_UTF8, 0, bytes, sizeof bytes - 1, out, 16);
        EXPECT_EQ(std::u16string(out, static_cast<size_t>(n)),
                  u"\u00E9\U0001F600\uFFFD\uFFFDA\uFFFD\uFFFD");
        EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "\xFF", 1, out, 16), 0);
        EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
    });
}

}  // namespace

// ---- threads --------------------------------------------------------------------------------

namespace threads {

// The run's own thread and two others append their mark to a log at every step, each step a
// platform call.
struct Log {
    std::string text;
};

struct Step {
    Log* log;
    char mark;
};

u32 PLATFORM_API Marker(void* parameter) {
    auto* step = static_cast<Step*>(parameter);
    for (int i = 0; i < 20; ++i) {
        step->log->text += step->mark;
        GetTempPathW(0, nullptr);
    }
    return 0;
}

std::string Interleaving(uint32_t seed) {
    Sandbox sandbox;
    Environment env;
    env.interleaveSeed = seed;
    Log log;
    Step one{&log, '1'}, two{&log, '2'}, main{&log, '0'};
    const RunResult result = Run(sandbox, env, [&] {
        Handle a = CreateThread(nullptr, 0, Marker, &one, 0, nullptr);
        Handle b = CreateThread(nullptr, 0, Marker, &two, 0, nullptr);
        Marker(&main);
        EXPECT_EQ(WaitForSingleObject(a, INFINITE), WAIT_OBJECT_0);
        EXPECT_EQ(WaitForSingleObject(b, INFINITE), WAIT_OBJECT_0);
        CloseHandle(a);
        CloseHandle(b);
    });
    EXPECT_FALSE(result.exited);
    EXPECT_EQ(result.handlesLeft, 0u);
    return log.text;
}

u32 PLATFORM_API WaitsForEver(void* parameter) {
    WaitForSingleObject(static_cast<Handle>(parameter), INFINITE);
    return 0;
}

u32 PLATFORM_API Exits(void*) { ExitProcess(77); }

}  // namespace threads

TEST(HostThreads, ThreadsTakeTurnsAsTheSeedSaysAndTheSameSeedGivesTheSameRun) {
    using threads::Interleaving;
    // Seed 0: the run's thread runs until it waits, then each thread until it ends.
    EXPECT_EQ(Interleaving(0), std::string(20, '0') + std::string(20, '1') + std::string(20, '2'));
    std::set<std::string> seen;
    for (uint32_t seed = 1; seed <= 6; ++seed) {
        const std::string once = Interleaving(seed);
        EXPECT_EQ(once, Interleaving(seed)) << "seed " << seed;
        EXPECT_EQ(std::count(once.begin(), once.end(), '1'), 20);
        EXPECT_EQ(std::count(once.begin(), once.end(), '2'), 20);
        seen.insert(once);
    }
    EXPECT_GT(seen.size(), 3u) << "the seeds give different interleavings";
}

TEST(HostThreads, EventsWakeWaitersDeadlocksThrowAndExitProcessFromAThreadEndsTheRun) {
    Sandbox sandbox;
    Environment env;
    env.interleaveSeed = 9;
    // An event set by the run's thread lets the waiter end.
    RunResult result = platform::host::Run(sandbox, env, [] {
        Handle event = CreateEventW(nullptr, 0, 0, nullptr);
        Handle thread = CreateThread(nullptr, 0, threads::WaitsForEver, event, 0, nullptr);
        EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_TIMEOUT);
        EXPECT_EQ(SetEvent(event), 1);
        EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
        CloseHandle(thread);
        CloseHandle(event);
    });
    EXPECT_FALSE(result.exited);
    // Both wait for an event nobody sets: reported in the run's thread; the waiter is unwound.
    EXPECT_THROW(platform::host::Run(sandbox, env, [] {
                     Handle event = CreateEventW(nullptr, 0, 0, nullptr);
                     Handle thread = CreateThread(nullptr, 0, threads::WaitsForEver, event, 0, nullptr);
                     WaitForSingleObject(thread, INFINITE);
                 }),
                 std::logic_error);
    // A thread's ExitProcess ends the run with its code, wherever the run's thread waits.
    result = platform::host::Run(sandbox, env, [] {
        Handle event = CreateEventW(nullptr, 0, 0, nullptr);
        CreateThread(nullptr, 0, threads::Exits, nullptr, 0, nullptr);
        WaitForSingleObject(event, INFINITE);
        ADD_FAILURE() << "the run went on after ExitProcess";
    });
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exitCode, 77u);
    // Threads still waiting when the run ends are unwound and joined; their handles were left.
    result = platform::host::Run(sandbox, env, [] {
        Handle event = CreateEventW(nullptr, 0, 0, nullptr);
        CreateThread(nullptr, 0, threads::WaitsForEver, event, 0, nullptr);
        CreateThread(nullptr, 0, threads::WaitsForEver, event, 0, nullptr);
        GetTempPathW(0, nullptr);
    });
    EXPECT_FALSE(result.exited);
    EXPECT_EQ(result.handlesLeft, 3u);
}
