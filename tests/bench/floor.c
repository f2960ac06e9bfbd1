/* The floor of the stub's cost for a payload of many files: the folder and file creations the stub
 * makes for it and the same delete, with no archive read and no decompression. What the stub
 * spends above this floor is its own; the floor itself is what the file system (under Wine: Wine's
 * file layer) costs.
 *
 *   floor.exe LIST [--keep]
 *
 * LIST is UTF-8 text, one entry a line: "<size> <path>", the path relative to the archive root with
 * "/" separators, in archive order. Like the stub, the program reserves a fresh FLRxxxx.tmp name in
 * the temp folder and makes it a folder; for each entry it creates the parent folders on the way that
 * the previous entry's path did not already hold (CreateDirectoryW, an existing one accepted, as the
 * stub's entry path builder does), creates the file (CREATE_NEW), writes its bytes in one WriteFile
 * and closes it. Then it deletes the folder as
 * the stub does: children before their folder, listing with FindFirstFileExW (basic level, large
 * fetch) and FindNextFileW, DeleteFileW and RemoveDirectoryW. Exit code 0, or the number of the
 * step that failed. With --keep the folder stays (no delete): the difference to a whole run is what
 * the delete costs. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define PATH_UNITS MAX_PATH

static void Fail(int step) { ExitProcess((UINT)step); }

/* Removes `path` (a folder of `length` units in a MAX_PATH buffer) and everything in it. */
static void DeleteTree(wchar_t* path, size_t length) {
    WIN32_FIND_DATAW found;
    if (length + 2 >= PATH_UNITS) return;
    wcscpy(path + length, L"\\*");
    HANDLE listing = FindFirstFileExW(path, FindExInfoBasic, &found, FindExSearchNameMatch, NULL,
                                      FIND_FIRST_EX_LARGE_FETCH);
    path[length] = 0;
    if (listing != INVALID_HANDLE_VALUE) {
        do {
            const wchar_t* name = found.cFileName;
            if (name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0))) continue;
            size_t nameLength = wcslen(name);
            if (length + 1 + nameLength >= PATH_UNITS) continue;
            path[length] = L'\\';
            wcscpy(path + length + 1, name);
            if (found.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
                SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
                DeleteFileW(path);
            } else if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
                RemoveDirectoryW(path);
            } else {
                DeleteTree(path, length + 1 + nameLength);
            }
            path[length] = 0;
        } while (FindNextFileW(listing, &found));
        FindClose(listing);
    }
    RemoveDirectoryW(path);
}

int wmain(int argc, wchar_t** argv) {
    const int keep = argc == 3 && wcscmp(argv[2], L"--keep") == 0;
    if (argc != 2 && !keep) {
        fprintf(stderr, "usage: floor LIST [--keep]\n");
        return 2;
    }
    HANDLE list = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (list == INVALID_HANDLE_VALUE) Fail(10);
    LARGE_INTEGER listSize;
    if (!GetFileSizeEx(list, &listSize) || listSize.QuadPart > 64 * 1024 * 1024) Fail(11);
    char* text = (char*)malloc((size_t)listSize.QuadPart + 1);
    DWORD got = 0;
    if (!text || !ReadFile(list, text, (DWORD)listSize.QuadPart, &got, NULL) || got != listSize.QuadPart)
        Fail(12);
    CloseHandle(list);
    text[got] = 0;

    /* The largest entry sets the size of the one buffer every file is written from. */
    unsigned long long largest = 0;
    for (char* line = text; *line;) {
        unsigned long long size = strtoull(line, NULL, 10);
        if (size > largest) largest = size;
        char* end = strchr(line, '\n');
        if (!end) break;
        line = end + 1;
    }
    if (largest > 0x7FFFFFFF) Fail(13);
    unsigned char* data = (unsigned char*)malloc((size_t)largest + 1);
    if (!data) Fail(14);
    for (unsigned long long i = 0; i <= largest; ++i) data[i] = (unsigned char)(i * 131 + (i >> 9));

    wchar_t temp[PATH_UNITS], root[PATH_UNITS], path[PATH_UNITS], previous[PATH_UNITS];
    size_t knownFolders = 0;
    DWORD tempLength = GetTempPathW(PATH_UNITS, temp);
    if (tempLength == 0 || tempLength >= PATH_UNITS) Fail(20);
    if (!GetTempFileNameW(temp, L"FLR", 0, root)) Fail(21);
    DeleteFileW(root);
    if (!CreateDirectoryW(root, NULL)) Fail(22);
    size_t rootLength = wcslen(root);

    for (char* line = text; *line;) {
        char* end = strchr(line, '\n');
        if (end) *end = 0;
        char* name = strchr(line, ' ');
        if (!name) Fail(30);
        DWORD size = (DWORD)strtoul(line, NULL, 10);
        ++name;
        wcscpy(path, root);
        path[rootLength] = L'\\';
        int units = MultiByteToWideChar(CP_UTF8, 0, name, -1, path + rootLength + 1,
                                        (int)(PATH_UNITS - rootLength - 1));
        if (units <= 0) Fail(31);
        /* The folders this path shares, unit for unit, with the previous one exist already. */
        int same = 1;
        size_t known = knownFolders;
        knownFolders = 0;
        for (size_t k = rootLength + 1; path[k]; ++k) {
            same = same && k < known && previous[k] == path[k];
            if (path[k] != L'/') continue;
            if (!same) {
                path[k] = 0;
                if (!CreateDirectoryW(path, NULL) && GetLastError() != ERROR_ALREADY_EXISTS) Fail(32);
                path[k] = L'/';
            }
            knownFolders = k + 1;
        }
        wcscpy(previous, path);
        HANDLE out = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_WRITE, NULL, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, NULL);
        if (out == INVALID_HANDLE_VALUE) Fail(33);
        DWORD wrote = 0;
        if (!WriteFile(out, data, size, &wrote, NULL) || wrote != size) Fail(34);
        CloseHandle(out);
        if (!end) break;
        line = end + 1;
    }

    if (keep) return 0;
    wcscpy(path, root);
    DeleteTree(path, rootLength);
    if (GetFileAttributesW(root) != INVALID_FILE_ATTRIBUTES) Fail(40);
    return 0;
}
