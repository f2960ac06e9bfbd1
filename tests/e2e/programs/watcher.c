/* Looks at the stub's windows from a second program in the same Wine prefix (under Xvfb), for the
 * user-interface tests. Writes what it saw to OUT as "key=value" lines.
 *
 *   watcher.exe progress TITLE SECONDS OUT [cancel]
 *       waits up to SECONDS for a visible top-level window titled TITLE; reads its bar (the child
 *       with id 100: its text), its Cancel button (id 2: class and text) and its DPI-scaled size;
 *       samples the bar's text for a while; with "cancel", clicks Cancel (the parent gets the
 *       button's WM_COMMAND, as a click sends it).
 *   watcher.exe box TITLE SECONDS OUT
 *       waits for a message box titled TITLE, reads its text (the static control 0xFFFF) and
 *       closes it with OK.
 *   watcher.exe none SECONDS OUT
 *       records every visible top-level window that appears within SECONDS (none expected). */
#include <windows.h>

#include <stdio.h>
#include <string.h>
#include <wchar.h>

static FILE* out;
static const wchar_t* wanted;
static HWND found;

static BOOL CALLBACK Match(HWND window, LPARAM unused) {
    (void)unused;
    wchar_t title[512];
    if (!IsWindowVisible(window)) return TRUE;
    if (GetWindowTextW(window, title, 512) <= 0) return TRUE;
    if (wanted != NULL && wcscmp(title, wanted) != 0) return TRUE;
    found = window;
    return FALSE;
}

static HWND Await(const wchar_t* title, DWORD seconds) {
    wanted = title;
    for (DWORD waited = 0; waited < seconds * 1000; waited += 20) {
        found = NULL;
        EnumWindows(Match, 0);
        if (found != NULL) return found;
        Sleep(20);
    }
    return NULL;
}

static void Put(const char* key, const wchar_t* value) {
    char text[2048];
    WideCharToMultiByte(CP_UTF8, 0, value, -1, text, sizeof text, NULL, NULL);
    for (char* c = text; *c; ++c)
        if (*c == '\n') *c = '|';  /* one line a value */
    fprintf(out, "%s=%s\n", key, text);
    fflush(out);
}

int wmain(int argc, wchar_t** argv) {
    if (argc < 4) return 2;
    const wchar_t* mode = argv[1];
    const int none = wcscmp(mode, L"none") == 0;
    const wchar_t* title = none ? NULL : argv[2];
    const DWORD seconds = (DWORD)_wtoi(argv[none ? 2 : 3]);
    out = _wfopen(argv[none ? 3 : 4], L"w");
    if (out == NULL) return 3;
    HWND window = Await(title, seconds);
    fprintf(out, "found=%d\n", window != NULL);
    if (window == NULL) {
        fclose(out);
        return 0;
    }
    wchar_t text[1024], cls[64];
    GetWindowTextW(window, text, 1024);
    Put("title", text);
    if (none) {
        GetClassNameW(window, cls, 64);
        Put("class", cls);
    } else if (wcscmp(mode, L"progress") == 0) {
        RECT r;
        GetWindowRect(window, &r);
        fprintf(out, "width=%ld\nheight=%ld\n", r.right - r.left, r.bottom - r.top);
        /* The controls come right after their window. */
        HWND bar = NULL, cancel = NULL;
        for (int i = 0; i < 250 && (bar == NULL || cancel == NULL); ++i) {
            bar = GetDlgItem(window, 100);
            cancel = GetDlgItem(window, IDCANCEL);
            if (bar == NULL || cancel == NULL) Sleep(20);
        }
        Sleep(200);  /* and their texts and font right after them */
        GetClassNameW(cancel, cls, 64);
        Put("cancel-class", cls);
        GetWindowTextW(cancel, text, 1024);
        Put("cancel-text", text);
        /* The bar's text over a second: the unpack goes on. */
        for (int i = 0; i < 10 && IsWindow(window); ++i) {
            GetWindowTextW(bar, text, 1024);
            Put("bar", text);
            Sleep(100);
        }
        if (argc > 5 && wcscmp(argv[5], L"cancel") == 0 && IsWindow(window)) {
            PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), (LPARAM)cancel);
            fprintf(out, "clicked=1\n");
        }
        /* The window closes before anything is started. */
        for (int i = 0; i < 500 && IsWindow(window); ++i) Sleep(20);
        fprintf(out, "closed=%d\n", !IsWindow(window));
    } else {
        HWND label = GetDlgItem(window, 0xFFFF);
        GetWindowTextW(label, text, 1024);
        Put("text", text);
        GetClassNameW(window, cls, 64);
        Put("class", cls);
        PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    }
    fclose(out);
    return 0;
}
