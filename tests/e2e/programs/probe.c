/* Probe installer for the end-to-end tests (built as a GUI program, as installers are). It stands in
 * for the installer inside a payload and reports what it was given, so a test can check what the
 * stub passed on and what it unpacked.
 *
 * Environment (passes through the shell launch; the parameters stay untouched):
 *   SFX_PROBE_REPORT     Windows path of the JSON report to write (nothing is written without it)
 *   SFX_PROBE_EXIT       exit code, decimal, full 32 bits (default 0)
 *   SFX_PROBE_LIST_UP    list the folder this many levels above the probe's own folder (default 0)
 *   SFX_PROBE_LOADLIB    a library to load by bare name before reporting (loader checks)
 *
 * Report: the raw command line (UTF-8 and the exact UTF-16 units in hex), argv from
 * CommandLineToArgvW (likewise), the module path, the current folder, the listed folder and a
 * recursive listing of it: relative names with "/" separators, sizes and CRC-32 of every file. */
#include <windows.h>
#include <shellapi.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

typedef struct {
    char* data;
    size_t len;
    size_t cap;
} Buf;

static void Put(Buf* b, const char* s, size_t n) {
    if (b->len + n + 1 > b->cap) {
        size_t cap = b->cap ? b->cap : 4096;
        while (b->len + n + 1 > cap) cap *= 2;
        char* grown = (char*)realloc(b->data, cap);
        if (!grown) ExitProcess(90);
        b->data = grown;
        b->cap = cap;
    }
    memcpy(b->data + b->len, s, n);
    b->len += n;
    b->data[b->len] = 0;
}

static void PutS(Buf* b, const char* s) { Put(b, s, strlen(s)); }

/* A JSON string of UTF-16 text: UTF-8 with escapes (lone surrogates become U+FFFD here; the hex
 * form is the exact one). */
static void PutJsonW(Buf* b, const wchar_t* w, int units) {
    PutS(b, "\"");
    if (units > 0) {
        int n = WideCharToMultiByte(CP_UTF8, 0, w, units, NULL, 0, NULL, NULL);
        char* u = (char*)malloc((size_t)n + 1);
        if (!u) ExitProcess(91);
        WideCharToMultiByte(CP_UTF8, 0, w, units, u, n, NULL, NULL);
        for (int i = 0; i < n; ++i) {
            unsigned char c = (unsigned char)u[i];
            char esc[8];
            if (c == '"') PutS(b, "\\\"");
            else if (c == '\\') PutS(b, "\\\\");
            else if (c < 0x20) {
                snprintf(esc, sizeof esc, "\\u%04x", c);
                PutS(b, esc);
            } else Put(b, (const char*)&c, 1);
        }
        free(u);
    }
    PutS(b, "\"");
}

static void PutHexW(Buf* b, const wchar_t* w, int units) {
    PutS(b, "\"");
    for (int i = 0; i < units; ++i) {
        char h[8];
        snprintf(h, sizeof h, "%04x", (unsigned)(unsigned short)w[i]);
        PutS(b, h);
    }
    PutS(b, "\"");
}

static void PutText(Buf* b, const char* key, const wchar_t* w) {
    int units = (int)wcslen(w);
    PutS(b, "\"");
    PutS(b, key);
    PutS(b, "\": {\"utf8\": ");
    PutJsonW(b, w, units);
    PutS(b, ", \"utf16hex\": ");
    PutHexW(b, w, units);
    PutS(b, "}");
}

static unsigned long crcTable[256];

static void CrcInit(void) {
    for (unsigned long i = 0; i < 256; ++i) {
        unsigned long c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320UL ^ (c >> 1) : c >> 1;
        crcTable[i] = c;
    }
}

/* CRC-32 of a file; false when it cannot be read. */
static int FileCrc(const wchar_t* path, unsigned long* crc, unsigned long long* size) {
    HANDLE h = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) return 0;
    static unsigned char chunk[65536];
    unsigned long c = 0xFFFFFFFFUL;
    unsigned long long total = 0;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(h, chunk, sizeof chunk, &got, NULL)) {
            CloseHandle(h);
            return 0;
        }
        if (got == 0) break;
        for (DWORD i = 0; i < got; ++i) c = crcTable[(c ^ chunk[i]) & 0xFF] ^ (c >> 8);
        total += got;
    }
    CloseHandle(h);
    *crc = c ^ 0xFFFFFFFFUL;
    *size = total;
    return 1;
}

static int listed = 0;

/* Lists `dir` (a full path) recursively; `rel` is its name relative to the listed root ("" for
 * the root itself). */
static void ListFolder(Buf* b, const wchar_t* dir, const wchar_t* rel) {
    size_t dl = wcslen(dir), rl = wcslen(rel);
    wchar_t* pattern = (wchar_t*)malloc((dl + 3) * sizeof(wchar_t));
    if (!pattern) ExitProcess(92);
    swprintf(pattern, dl + 3, L"%ls\\*", dir);
    WIN32_FIND_DATAW fd;
    HANDLE f = FindFirstFileW(pattern, &fd);
    free(pattern);
    if (f == INVALID_HANDLE_VALUE) return;
    do {
        if (wcscmp(fd.cFileName, L".") == 0 || wcscmp(fd.cFileName, L"..") == 0) continue;
        size_t nl = wcslen(fd.cFileName);
        wchar_t* full = (wchar_t*)malloc((dl + nl + 2) * sizeof(wchar_t));
        wchar_t* relName = (wchar_t*)malloc((rl + nl + 2) * sizeof(wchar_t));
        if (!full || !relName) ExitProcess(93);
        swprintf(full, dl + nl + 2, L"%ls\\%ls", dir, fd.cFileName);
        if (rl) swprintf(relName, rl + nl + 2, L"%ls/%ls", rel, fd.cFileName);
        else swprintf(relName, nl + 1, L"%ls", fd.cFileName);
        PutS(b, listed++ ? ",\n    {" : "\n    {");
        PutS(b, "\"name\": ");
        PutJsonW(b, relName, (int)wcslen(relName));
        PutS(b, ", \"nameHex\": ");
        PutHexW(b, relName, (int)wcslen(relName));
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            PutS(b, ", \"type\": \"dir\"}");
            ListFolder(b, full, relName);
        } else {
            unsigned long crc = 0;
            unsigned long long size = 0;
            char tail[96];
            if (FileCrc(full, &crc, &size))
                snprintf(tail, sizeof tail, ", \"type\": \"file\", \"size\": %llu, \"crc32\": \"%08lx\"}",
                         size, crc);
            else
                snprintf(tail, sizeof tail, ", \"type\": \"file\", \"unreadable\": true}");
            PutS(b, tail);
        }
        free(full);
        free(relName);
    } while (FindNextFileW(f, &fd));
    FindClose(f);
}

static wchar_t* Env(const wchar_t* name) {
    DWORD n = GetEnvironmentVariableW(name, NULL, 0);
    if (n == 0) return NULL;
    wchar_t* v = (wchar_t*)malloc(n * sizeof(wchar_t));
    if (!v) ExitProcess(94);
    if (GetEnvironmentVariableW(name, v, n) == 0) {
        free(v);
        return NULL;
    }
    return v;
}

int main(void) {
    const wchar_t* cmd = GetCommandLineW();
    wchar_t* reportPath = Env(L"SFX_PROBE_REPORT");
    wchar_t* exitText = Env(L"SFX_PROBE_EXIT");
    wchar_t* upText = Env(L"SFX_PROBE_LIST_UP");
    wchar_t* loadLib = Env(L"SFX_PROBE_LOADLIB");
    unsigned long exitCode = exitText ? wcstoul(exitText, NULL, 10) : 0;
    int up = upText ? _wtoi(upText) : 0;

    if (loadLib) LoadLibraryW(loadLib);
    if (!reportPath) ExitProcess((UINT)exitCode);

    CrcInit();
    Buf b = {0};
    PutS(&b, "{\n  ");
    PutText(&b, "commandLine", cmd);

    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(cmd, &argc);
    PutS(&b, ",\n  \"argv\": [");
    for (int i = 0; argv && i < argc; ++i) {
        PutS(&b, i ? ",\n    {\"utf8\": " : "\n    {\"utf8\": ");
        PutJsonW(&b, argv[i], (int)wcslen(argv[i]));
        PutS(&b, ", \"utf16hex\": ");
        PutHexW(&b, argv[i], (int)wcslen(argv[i]));
        PutS(&b, "}");
    }
    PutS(&b, "]");

    static wchar_t module[32768];
    DWORD ml = GetModuleFileNameW(NULL, module, 32768);
    module[ml < 32768 ? ml : 32767] = 0;
    PutS(&b, ",\n  ");
    PutText(&b, "modulePath", module);

    static wchar_t cwd[32768];
    DWORD cl = GetCurrentDirectoryW(32768, cwd);
    cwd[cl < 32768 ? cl : 32767] = 0;
    PutS(&b, ",\n  ");
    PutText(&b, "currentDirectory", cwd);

    static wchar_t root[32768];
    wcscpy(root, module);
    for (int level = 0; level <= up; ++level) {
        wchar_t* cut = wcsrchr(root, L'\\');
        wchar_t* cut2 = wcsrchr(root, L'/');
        if (cut2 > cut) cut = cut2;
        if (cut) *cut = 0;
    }
    PutS(&b, ",\n  ");
    PutText(&b, "listedFolder", root);

    char exitLine[64];
    snprintf(exitLine, sizeof exitLine, ",\n  \"exitCode\": %lu", exitCode);
    PutS(&b, exitLine);

    PutS(&b, ",\n  \"listing\": [");
    ListFolder(&b, root, L"");
    PutS(&b, "]\n}\n");

    /* Written whole to a side file, then moved into place, so a reader never sees half a report. */
    size_t rl = wcslen(reportPath);
    wchar_t* partial = (wchar_t*)malloc((rl + 6) * sizeof(wchar_t));
    if (!partial) ExitProcess(95);
    swprintf(partial, rl + 6, L"%ls.part", reportPath);
    HANDLE h = CreateFileW(partial, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) return 96;
    DWORD wrote = 0;
    if (!WriteFile(h, b.data, (DWORD)b.len, &wrote, NULL) || wrote != b.len) return 97;
    CloseHandle(h);
    if (!MoveFileExW(partial, reportPath, MOVEFILE_REPLACE_EXISTING)) return 98;
    ExitProcess((UINT)exitCode);
}
