/* Starts a program with an exact raw command line and records its full 32-bit exit code.
 *
 *   rawrun.exe <result-file> <program> <command-line-file> <timeout-ms> [<current-folder>]
 *
 * <command-line-file> holds the raw command line as UTF-16LE without byte-order mark, so every
 * unit arrives as written (Wine rebuilds command lines from Unix arguments, and a Unix exit status
 * keeps only 8 bits). The program is named separately (CreateProcessW's application name), so the
 * command line may start with anything. <current-folder> defaults to the program's folder.
 *
 * The result file gets one line: "exit <code>" (decimal), "timeout" (the program was terminated
 * after <timeout-ms>) or "error <step> <GetLastError>". rawrun's own exit code is 0 when the
 * result file was written. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

static int WriteResult(const wchar_t* path, const char* text) {
    HANDLE h = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) return 3;
    DWORD wrote = 0;
    BOOL ok = WriteFile(h, text, (DWORD)strlen(text), &wrote, NULL);
    CloseHandle(h);
    return ok && wrote == strlen(text) ? 0 : 3;
}

static int Fail(const wchar_t* result, const char* step) {
    char text[96];
    snprintf(text, sizeof text, "error %s %lu\n", step, (unsigned long)GetLastError());
    return WriteResult(result, text) ? 3 : 0;
}

int wmain(int argc, wchar_t** argv) {
    if (argc < 5) {
        fprintf(stderr, "usage: rawrun <result-file> <program> <command-line-file> <timeout-ms> [<current-folder>]\n");
        return 2;
    }
    const wchar_t* result = argv[1];
    const wchar_t* program = argv[2];
    DWORD timeoutMs = (DWORD)wcstoul(argv[4], NULL, 10);

    HANDLE f = CreateFileW(argv[3], GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (f == INVALID_HANDLE_VALUE) return Fail(result, "open-command-line");
    DWORD size = GetFileSize(f, NULL);
    if (size == INVALID_FILE_SIZE || size % 2) {
        CloseHandle(f);
        return Fail(result, "command-line-size");
    }
    wchar_t* line = (wchar_t*)calloc(size / 2 + 1, sizeof(wchar_t));
    DWORD got = 0;
    if (!line || !ReadFile(f, line, size, &got, NULL) || got != size) {
        CloseHandle(f);
        return Fail(result, "read-command-line");
    }
    CloseHandle(f);

    static wchar_t folder[32768];
    if (argc > 5) {
        wcsncpy(folder, argv[5], 32767);
    } else {
        wcsncpy(folder, program, 32767);
        wchar_t* cut = wcsrchr(folder, L'\\');
        if (cut) *cut = 0;
    }

    STARTUPINFOW si;
    PROCESS_INFORMATION pi;
    memset(&si, 0, sizeof si);
    memset(&pi, 0, sizeof pi);
    si.cb = sizeof si;
    if (!CreateProcessW(program, line, NULL, NULL, FALSE, 0, NULL, folder, &si, &pi))
        return Fail(result, "create-process");
    CloseHandle(pi.hThread);

    DWORD wait = WaitForSingleObject(pi.hProcess, timeoutMs);
    if (wait == WAIT_TIMEOUT) {
        TerminateProcess(pi.hProcess, 1);
        WaitForSingleObject(pi.hProcess, 5000);
        CloseHandle(pi.hProcess);
        return WriteResult(result, "timeout\n");
    }
    if (wait != WAIT_OBJECT_0) return Fail(result, "wait");
    DWORD code = 0;
    if (!GetExitCodeProcess(pi.hProcess, &code)) return Fail(result, "exit-code");
    CloseHandle(pi.hProcess);
    char text[64];
    snprintf(text, sizeof text, "exit %lu\n", (unsigned long)code);
    return WriteResult(result, text);
}
