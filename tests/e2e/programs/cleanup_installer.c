/* An installer for the clean-up tests (a GUI program, as installers are). It leaves behind what real
 * installers leave in the staging folder, and it talks to the test through files in a signal folder
 * outside the temp folder.
 *
 * Environment (passes through the shell launch):
 *   SFX_CLEANUP_SIGNALS  Windows path of the signal folder (required)
 *   SFX_CLEANUP_EXIT     exit code, decimal (default 0)
 *   SFX_CLEANUP_MODE     "tree" (default) or "log"
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
 *
 * Child (holder.exe --hold FILE SIGNALS): creates FILE, writes <SIGNALS>\child-ready, waits for
 * <SIGNALS>\release, closes FILE and writes <SIGNALS>\child-done.
 *
 * Every wait gives up after ten minutes, so that nothing outlives a broken test for long. */
#include <windows.h>
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

int main(void) {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
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
    ExitProcess((UINT)Tree(self, folder, exitCode));
}
