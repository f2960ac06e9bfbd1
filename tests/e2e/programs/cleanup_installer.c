/* An installer for the clean-up tests (a GUI program, as installers are). It leaves behind what real
 * installers leave in the staging folder, and it talks to the test through files in a signal folder
 * outside the temp folder.
 *
 * Environment (passes through the shell launch):
 *   SFX_CLEANUP_SIGNALS  Windows path of the signal folder (required)
 *   SFX_CLEANUP_EXIT     exit code, decimal (default 0)
 *   SFX_CLEANUP_MODE     "tree" (default), "log", "security", "bootstrap", "app" or "outside"
 *
 * tree: next to itself it creates made\by\installer.txt and an empty folder made\empty, marks
 *   readonly.txt and control.txt read-only and tries to delete control.txt (the control: the
 *   read-only mark must stop a plain delete), copies itself to <signals>\holder.exe and starts that
 *   copy as a child that opens held\held.txt without delete sharing and keeps it open until
 *   <signals>\release appears. Once the child holds the file, it tries to delete held\held.txt
 *   (the control: the hold must stop a delete), writes <signals>\installer-ready ("key=value" lines)
 *   and waits for <signals>\planted (the test plants links meanwhile), then exits.
 * log: writes install.log by relative path into its current folder, writes that folder's path to
 *   <signals>\log-written and exits.
 * security: reads back who may do what in the folder it runs from and in its current folder
 *   (GetNamedSecurityInfoW: each allow or deny entry as "allow|deny SID mask"), writes a log beside
 *   itself and one by relative path into its current folder, makes names that Win32 paths cannot
 *   express through "\\?\" paths (a file "dot.", a folder "sp " with a file "x. " in it), and a
 *   tree swap\a\... whose names match those of the test's outside folder; writes
 *   <signals>\installer-ready with all that and waits for <signals>\planted, then exits.
 *
 * bootstrap: a bootstrapper: starts child.exe beside itself (the archive holds it: this program
 *   again) as "--late-reader DATA SIGNALS" and exits at once. The child waits 3 seconds, reads
 *   DATA (data.bin beside it) and writes what it read to <signals>\child-read.
 * app: setup that starts "the installed application" at its end: copies itself to
 *   <signals>\app.exe, starts it as "--app SIGNALS" and exits at once; the application waits 8
 *   seconds and writes <signals>\app-done.
 * windows: writes <signals>\windows-at-start: "progress=1" when the stub's progress window (class
 *   ZEBProgress) still exists as the installer starts, else "progress=0"; then exits.
 * outside: a bootstrapper that hands over to a program outside the staging folder (as to msiexec):
 *   copies itself to <signals>\outside.exe, starts it as "--late-reader DATA SIGNALS" with DATA the
 *   staging folder's data.bin, and exits at once.
 *
 * Child (holder.exe --hold FILE SIGNALS): creates FILE, writes <SIGNALS>\child-ready, waits for
 * <SIGNALS>\release, closes FILE and writes <SIGNALS>\child-done.
 *
 * Every wait gives up after ten minutes, so that nothing outlives a broken test for long. */
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shellapi.h>

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#define PATH_UNITS 1024
#define WAIT_LIMIT_MS (10 * 60 * 1000)

static wchar_t signals[PATH_UNITS];

static void Join(wchar_t* out, const wchar_t* folder, const wchar_t* name) {
    swprintf(out, PATH_UNITS, L"%ls\\%ls", folder, name);
}

/* Writes `text` to <signals>\<name> whole: to a side file first, then moved into place. */
static void Signal(const wchar_t* name, const char* text) {
    wchar_t path[PATH_UNITS], part[PATH_UNITS];
    Join(path, signals, name);
    swprintf(part, PATH_UNITS, L"%ls.part", path);
    HANDLE h = CreateFileW(part, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) ExitProcess(90);
    DWORD wrote = 0;
    if (!WriteFile(h, text, (DWORD)strlen(text), &wrote, NULL)) ExitProcess(91);
    CloseHandle(h);
    if (!MoveFileExW(part, path, MOVEFILE_REPLACE_EXISTING)) ExitProcess(92);
}

/* Waits until <signals>\<name> exists; false after the limit. */
static int AwaitSignal(const wchar_t* name) {
    wchar_t path[PATH_UNITS];
    Join(path, signals, name);
    for (DWORD waited = 0; waited < WAIT_LIMIT_MS; waited += 50) {
        if (GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES) return 1;
        Sleep(50);
    }
    return 0;
}

static void WriteText(const wchar_t* path, const char* text) {
    HANDLE h = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) ExitProcess(93);
    DWORD wrote = 0;
    WriteFile(h, text, (DWORD)strlen(text), &wrote, NULL);
    CloseHandle(h);
}

static int Hold(const wchar_t* file) {
    HANDLE h = CreateFileW(file, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) return 80;
    DWORD wrote = 0;
    WriteFile(h, "held open by a child of the installer\r\n", 39, &wrote, NULL);
    Signal(L"child-ready", "ready\n");
    AwaitSignal(L"release");
    CloseHandle(h);
    Signal(L"child-done", "done\n");
    return 0;
}

static unsigned long EnvNumber(const wchar_t* name, unsigned long fallback) {
    wchar_t text[64];
    DWORD n = GetEnvironmentVariableW(name, text, 64);
    return n > 0 && n < 64 ? wcstoul(text, NULL, 10) : fallback;
}

static int Tree(const wchar_t* self, const wchar_t* folder, unsigned long exitCode) {
    wchar_t path[PATH_UNITS], held[PATH_UNITS], holder[PATH_UNITS], line[3 * PATH_UNITS];
    char report[4 * PATH_UNITS];

    Join(path, folder, L"made");
    CreateDirectoryW(path, NULL);
    Join(path, folder, L"made\\by");
    CreateDirectoryW(path, NULL);
    Join(path, folder, L"made\\empty");
    CreateDirectoryW(path, NULL);
    Join(path, folder, L"made\\by\\installer.txt");
    WriteText(path, "written by the installer\r\n");

    Join(path, folder, L"readonly.txt");
    BOOL readOnly = SetFileAttributesW(path, FILE_ATTRIBUTE_READONLY);
    DWORD readOnlyAttributes = GetFileAttributesW(path);
    Join(path, folder, L"control.txt");
    SetFileAttributesW(path, FILE_ATTRIBUTE_READONLY);
    BOOL controlDeleted = DeleteFileW(path);
    DWORD controlError = controlDeleted ? 0 : GetLastError();

    /* The child runs from a copy outside the staging folder, in the signal folder, so that only
     * the file it holds keeps anything in the staging folder. */
    Join(holder, signals, L"holder.exe");
    if (!CopyFileW(self, holder, FALSE)) return 81;
    Join(held, folder, L"held\\held.txt");
    swprintf(line, 3 * PATH_UNITS, L"\"%ls\" --hold \"%ls\" \"%ls\"", holder, held, signals);
    STARTUPINFOW si;
    PROCESS_INFORMATION pi;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    if (!CreateProcessW(holder, line, NULL, NULL, FALSE, 0, NULL, signals, &si, &pi)) return 82;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    if (!AwaitSignal(L"child-ready")) return 83;

    BOOL heldDeleted = DeleteFileW(held);
    DWORD heldError = heldDeleted ? 0 : GetLastError();

    char folderUtf8[3 * PATH_UNITS];
    WideCharToMultiByte(CP_UTF8, 0, folder, -1, folderUtf8, sizeof folderUtf8, NULL, NULL);
    snprintf(report, sizeof report,
             "folder=%s\nreadonly-set=%d\nreadonly-attributes=%lu\ncontrol-deleted=%d\n"
             "control-error=%lu\nheld-deleted=%d\nheld-error=%lu\n",
             folderUtf8, readOnly ? 1 : 0, (unsigned long)readOnlyAttributes, controlDeleted ? 1 : 0,
             (unsigned long)controlError, heldDeleted ? 1 : 0, (unsigned long)heldError);
    Signal(L"installer-ready", report);
    AwaitSignal(L"planted");
    return (int)exitCode;
}

static int Log(unsigned long exitCode) {
    WriteText(L"install.log", "installed\r\n");
    wchar_t cwd[PATH_UNITS];
    char text[3 * PATH_UNITS];
    DWORD n = GetCurrentDirectoryW(PATH_UNITS, cwd);
    if (n == 0 || n >= PATH_UNITS) return 84;
    WideCharToMultiByte(CP_UTF8, 0, cwd, -1, text, sizeof text, NULL, NULL);
    Signal(L"log-written", text);
    return (int)exitCode;
}

/* Appends "<key>=allow|deny SID mask,..." for the folder's access list to `report`. */
static void DescribeAccess(char* report, size_t size, const char* key, const wchar_t* folder) {
    PACL dacl = NULL;
    PSECURITY_DESCRIPTOR descriptor = NULL;
    size_t used = strlen(report);
    snprintf(report + used, size - used, "%s=", key);
    DWORD error = GetNamedSecurityInfoW(folder, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL,
                                        &dacl, NULL, &descriptor);
    if (error != ERROR_SUCCESS || dacl == NULL) {
        used = strlen(report);
        snprintf(report + used, size - used, "error %lu\n", (unsigned long)error);
        return;
    }
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACE_HEADER* ace = NULL;
        if (!GetAce(dacl, i, (void**)&ace)) continue;
        if (ace->AceType != ACCESS_ALLOWED_ACE_TYPE && ace->AceType != ACCESS_DENIED_ACE_TYPE) continue;
        ACCESS_ALLOWED_ACE* allowed = (ACCESS_ALLOWED_ACE*)ace;
        char* sid = NULL;
        if (!ConvertSidToStringSidA(&allowed->SidStart, &sid)) continue;
        used = strlen(report);
        snprintf(report + used, size - used, "%s%s %s 0x%lx", i ? "," : "",
                 ace->AceType == ACCESS_ALLOWED_ACE_TYPE ? "allow" : "deny", sid,
                 (unsigned long)allowed->Mask);
        LocalFree(sid);
    }
    used = strlen(report);
    snprintf(report + used, size - used, "\n");
    LocalFree(descriptor);
}

static int Security(const wchar_t* folder, unsigned long exitCode) {
    static char report[16 * PATH_UNITS];
    wchar_t path[PATH_UNITS], cwd[PATH_UNITS];
    report[0] = 0;
    DescribeAccess(report, sizeof report, "folder-access", folder);
    DWORD n = GetCurrentDirectoryW(PATH_UNITS, cwd);
    if (n == 0 || n >= PATH_UNITS) return 84;
    DescribeAccess(report, sizeof report, "current-access", cwd);

    Join(path, folder, L"beside.log");
    WriteText(path, "a log beside the installer\r\n");
    WriteText(L"current.log", "a log in the current folder\r\n");

    /* Names Win32 paths would cut: only "\\?\" paths reach them. */
    swprintf(path, PATH_UNITS, L"\\\\?\\%ls\\dot.", folder);
    WriteText(path, "a trailing dot\r\n");
    swprintf(path, PATH_UNITS, L"\\\\?\\%ls\\sp ", folder);
    BOOL made = CreateDirectoryW(path, NULL);
    swprintf(path, PATH_UNITS, L"\\\\?\\%ls\\sp \\x. ", folder);
    WriteText(path, "a trailing dot and space\r\n");
    swprintf(path, PATH_UNITS, L"%ls\\dot", folder);
    BOOL plainDot = GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;

    /* A tree for the swaps: its names are those of the outside folder. */
    static const wchar_t* const kTree[] = {L"swap", L"swap\\a", L"swap\\a\\inner", L"swap\\a\\inner\\deeper"};
    for (int i = 0; i < 4; ++i) {
        Join(path, folder, kTree[i]);
        CreateDirectoryW(path, NULL);
    }
    static const wchar_t* const kFiles[] = {L"swap\\a\\keep.txt", L"swap\\a\\inner\\deep.bin",
                                            L"swap\\a\\inner\\deeper\\deepest.txt"};
    for (int i = 0; i < 3; ++i) {
        Join(path, folder, kFiles[i]);
        WriteText(path, "staging's own copy\r\n");
    }

    char folderUtf8[3 * PATH_UNITS], cwdUtf8[3 * PATH_UNITS];
    WideCharToMultiByte(CP_UTF8, 0, folder, -1, folderUtf8, sizeof folderUtf8, NULL, NULL);
    WideCharToMultiByte(CP_UTF8, 0, cwd, -1, cwdUtf8, sizeof cwdUtf8, NULL, NULL);
    size_t used = strlen(report);
    snprintf(report + used, sizeof report - used,
             "folder=%s\ncurrent=%s\ntrailing-space-folder=%d\nplain-dot-seen=%d\n", folderUtf8,
             cwdUtf8, made ? 1 : 0, plainDot ? 1 : 0);
    Signal(L"installer-ready", report);
    AwaitSignal(L"planted");
    return (int)exitCode;
}

/* Starts `program` with `arguments` (appended after its quoted path), detached; 0 when it started. */
static int Start(const wchar_t* program, const wchar_t* arguments) {
    wchar_t line[4 * PATH_UNITS];
    swprintf(line, 4 * PATH_UNITS, L"\"%ls\" %ls", program, arguments);
    STARTUPINFOW si;
    PROCESS_INFORMATION pi;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    if (!CreateProcessW(program, line, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) return 1;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return 0;
}

/* The child of a bootstrapper: reads its data file 3 seconds after its start. */
static int LateReader(const wchar_t* data) {
    Sleep(3000);
    char bytes[256] = "";
    HANDLE h = CreateFileW(data, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    DWORD got = 0;
    if (h == INVALID_HANDLE_VALUE) {
        snprintf(bytes, sizeof bytes, "missing (error %lu)", (unsigned long)GetLastError());
    } else {
        ReadFile(h, bytes, sizeof bytes - 1, &got, NULL);
        bytes[got] = 0;
        CloseHandle(h);
    }
    Signal(L"child-read", bytes);
    return 0;
}

static int Bootstrap(const wchar_t* self, const wchar_t* folder, const wchar_t* mode, unsigned long exitCode) {
    wchar_t program[PATH_UNITS], data[PATH_UNITS], arguments[3 * PATH_UNITS];
    Join(data, folder, L"data.bin");
    if (wcscmp(mode, L"bootstrap") == 0) {
        Join(program, folder, L"child.exe");
    } else {
        Join(program, signals, wcscmp(mode, L"app") == 0 ? L"app.exe" : L"outside.exe");
        if (!CopyFileW(self, program, FALSE)) return 81;
    }
    if (wcscmp(mode, L"app") == 0) {
        swprintf(arguments, 3 * PATH_UNITS, L"--app \"%ls\"", signals);
    } else {
        swprintf(arguments, 3 * PATH_UNITS, L"--late-reader \"%ls\" \"%ls\"", data, signals);
    }
    if (Start(program, arguments) != 0) return 82;
    return (int)exitCode;
}

int main(void) {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv && argc == 4 && wcscmp(argv[1], L"--late-reader") == 0) {
        wcsncpy(signals, argv[3], PATH_UNITS - 1);
        ExitProcess((UINT)LateReader(argv[2]));
    }
    if (argv && argc == 3 && wcscmp(argv[1], L"--app") == 0) {
        wcsncpy(signals, argv[2], PATH_UNITS - 1);
        Sleep(8000);
        Signal(L"app-done", "done\n");
        ExitProcess(0);
    }
    if (argv && argc == 4 && wcscmp(argv[1], L"--hold") == 0) {
        wcsncpy(signals, argv[3], PATH_UNITS - 1);
        ExitProcess((UINT)Hold(argv[2]));
    }
    DWORD n = GetEnvironmentVariableW(L"SFX_CLEANUP_SIGNALS", signals, PATH_UNITS);
    if (n == 0 || n >= PATH_UNITS) ExitProcess(85);
    unsigned long exitCode = EnvNumber(L"SFX_CLEANUP_EXIT", 0);
    wchar_t mode[16] = L"tree";
    GetEnvironmentVariableW(L"SFX_CLEANUP_MODE", mode, 16);
    if (wcscmp(mode, L"log") == 0) ExitProcess((UINT)Log(exitCode));

    static wchar_t self[PATH_UNITS], folder[PATH_UNITS];
    DWORD ml = GetModuleFileNameW(NULL, self, PATH_UNITS);
    if (ml == 0 || ml >= PATH_UNITS) ExitProcess(86);
    wcscpy(folder, self);
    wchar_t* cut = wcsrchr(folder, L'\\');
    if (!cut) ExitProcess(87);
    *cut = 0;
    if (wcscmp(mode, L"security") == 0) ExitProcess((UINT)Security(folder, exitCode));
    if (wcscmp(mode, L"windows") == 0) {
        Signal(L"windows-at-start", FindWindowW(L"ZEBProgress", NULL) != NULL ? "progress=1\n" : "progress=0\n");
        ExitProcess((UINT)exitCode);
    }
    if (wcscmp(mode, L"bootstrap") == 0 || wcscmp(mode, L"app") == 0 || wcscmp(mode, L"outside") == 0)
        ExitProcess((UINT)Bootstrap(self, folder, mode, exitCode));
    ExitProcess((UINT)Tree(self, folder, exitCode));
}
