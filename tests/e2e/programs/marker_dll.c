/* A stand-in for a system library, planted beside a program to see whether the loader takes it.
 * When loaded into a process it appends one line to "<its own path>.loaded": the image path of
 * that process. It exports nothing the real library has, so it only ever shows up, never serves. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    wchar_t path[MAX_PATH + 16];
    DWORD n = GetModuleFileNameW(self, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return TRUE;
    lstrcatW(path, L".loaded");
    HANDLE h = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) return TRUE;
    wchar_t image[MAX_PATH + 2];
    DWORD il = GetModuleFileNameW(NULL, image, MAX_PATH);
    char utf8[4 * MAX_PATH + 4];
    int ul = WideCharToMultiByte(CP_UTF8, 0, image, (int)il, utf8, sizeof utf8 - 2, NULL, NULL);
    if (ul < 0) ul = 0;
    utf8[ul++] = '\n';
    DWORD wrote = 0;
    WriteFile(h, utf8, (DWORD)ul, &wrote, NULL);
    CloseHandle(h);
    return TRUE;
}
