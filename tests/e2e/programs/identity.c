/* Reads a program's identity the way Windows does and writes it as JSON.
 *
 *   identity.exe <program> <report-file>
 *
 * The version through GetFileVersionInfoW and VerQueryValueW (fixed versions, translations, the
 * standard strings of the first translation); the icon through ExtractIconExW (count, the sizes of
 * the large and small icon) and through the module loaded as a data file: RT_GROUP_ICON #1, each
 * RT_ICON it names made into an icon by CreateIconFromResourceEx; the manifest through
 * FindResourceW(RT_MANIFEST #1); the PE checksum through MapFileAndCheckSumW. Exit code 0 when the
 * report was written. */
#include <windows.h>
#include <imagehlp.h>

#include <stdio.h>
#include <string.h>

static FILE* out;

static void Utf8(const wchar_t* text, int units) {
    /* A JSON string from UTF-16: UTF-8, with quotes, backslashes and control characters escaped. */
    char buffer[8192];
    int n = WideCharToMultiByte(CP_UTF8, 0, text, units, buffer, sizeof buffer - 1, NULL, NULL);
    fputc('"', out);
    for (int i = 0; i < n; ++i) {
        unsigned char c = (unsigned char)buffer[i];
        if (c == '"' || c == '\\') fprintf(out, "\\%c", c);
        else if (c < 0x20) fprintf(out, "\\u%04x", c);
        else fputc(c, out);
    }
    fputc('"', out);
}

static void Bytes(const char* text, DWORD size) {
    fputc('"', out);
    for (DWORD i = 0; i < size; ++i) {
        unsigned char c = (unsigned char)text[i];
        if (c == '"' || c == '\\') fprintf(out, "\\%c", c);
        else if (c < 0x20) fprintf(out, "\\u%04x", c);
        else fputc(c, out);
    }
    fputc('"', out);
}

/* Width and height of an icon, from its bitmaps. */
static void IconSize(HICON icon, int* width, int* height) {
    ICONINFO info;
    BITMAP bitmap;
    *width = *height = -1;
    if (!icon || !GetIconInfo(icon, &info)) return;
    if (info.hbmColor && GetObjectW(info.hbmColor, sizeof bitmap, &bitmap)) {
        *width = bitmap.bmWidth;
        *height = bitmap.bmHeight;
    } else if (info.hbmMask && GetObjectW(info.hbmMask, sizeof bitmap, &bitmap)) {
        *width = bitmap.bmWidth;
        *height = bitmap.bmHeight / 2;
    }
    if (info.hbmColor) DeleteObject(info.hbmColor);
    if (info.hbmMask) DeleteObject(info.hbmMask);
}

static void Version(const wchar_t* path) {
    static const wchar_t* keys[] = {L"CompanyName", L"FileDescription", L"FileVersion", L"InternalName",
                                    L"LegalCopyright", L"OriginalFilename", L"ProductName", L"ProductVersion",
                                    L"Comments"};
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path, &ignored);
    fprintf(out, "\"versionSize\": %lu, ", (unsigned long)size);
    static char data[65536];
    if (size == 0 || size > sizeof data || !GetFileVersionInfoW(path, 0, size, data)) {
        fprintf(out, "\"fixed\": null, \"translations\": [], \"strings\": {}, ");
        return;
    }
    VS_FIXEDFILEINFO* fixed = NULL;
    UINT length = 0;
    if (VerQueryValueW(data, L"\\", (void**)&fixed, &length) && length >= sizeof *fixed)
        fprintf(out, "\"fixed\": {\"signature\": %lu, \"file\": \"%u.%u.%u.%u\", \"product\": \"%u.%u.%u.%u\"}, ",
                (unsigned long)fixed->dwSignature,
                HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS),
                LOWORD(fixed->dwFileVersionLS), HIWORD(fixed->dwProductVersionMS), LOWORD(fixed->dwProductVersionMS),
                HIWORD(fixed->dwProductVersionLS), LOWORD(fixed->dwProductVersionLS));
    else
        fprintf(out, "\"fixed\": null, ");
    WORD* translation = NULL;
    UINT translationBytes = 0;
    if (!VerQueryValueW(data, L"\\VarFileInfo\\Translation", (void**)&translation, &translationBytes)) translationBytes = 0;
    fprintf(out, "\"translations\": [");
    for (UINT i = 0; i + 1 < translationBytes / 2; i += 2)
        fprintf(out, "%s\"%04x%04x\"", i ? ", " : "", translation[i], translation[i + 1]);
    fprintf(out, "], \"strings\": {");
    int first = 1;
    for (int k = 0; translationBytes >= 4 && k < (int)(sizeof keys / sizeof keys[0]); ++k) {
        wchar_t query[128];
        wchar_t* value = NULL;
        UINT units = 0;
        swprintf(query, 128, L"\\StringFileInfo\\%04x%04x\\%ls", translation[0], translation[1], keys[k]);
        if (!VerQueryValueW(data, query, (void**)&value, &units) || !value) continue;
        fprintf(out, "%s", first ? "" : ", ");
        first = 0;
        Utf8(keys[k], (int)wcslen(keys[k]));
        fprintf(out, ": ");
        Utf8(value, (int)wcslen(value));
    }
    fprintf(out, "}, ");
}

static void Icons(const wchar_t* path) {
    HICON large = NULL, small = NULL;
    UINT count = ExtractIconExW(path, -1, NULL, NULL, 0);
    fprintf(out, "\"iconCount\": %u, ", count);
    int w = -1, h = -1, sw = -1, sh = -1;
    if (count > 0 && ExtractIconExW(path, 0, &large, &small, 1) > 0) {
        IconSize(large, &w, &h);
        IconSize(small, &sw, &sh);
    }
    fprintf(out, "\"largeIcon\": [%d, %d], \"smallIcon\": [%d, %d], ", w, h, sw, sh);
    if (large) DestroyIcon(large);
    if (small) DestroyIcon(small);
}

#pragma pack(push, 2)
typedef struct {
    BYTE width, height, colors, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
} GroupEntry;
#pragma pack(pop)

static void Resources(const wchar_t* path) {
    HMODULE module = LoadLibraryExW(path, NULL, LOAD_LIBRARY_AS_DATAFILE);
    fprintf(out, "\"loaded\": %s, \"group\": [", module ? "true" : "false");
    HRSRC group = module ? FindResourceW(module, MAKEINTRESOURCEW(1), (LPCWSTR)RT_GROUP_ICON) : NULL;
    const BYTE* g = group ? (const BYTE*)LockResource(LoadResource(module, group)) : NULL;
    if (g && SizeofResource(module, group) >= 6) {
        WORD count = *(const WORD*)(g + 4);
        const GroupEntry* entries = (const GroupEntry*)(g + 6);
        for (WORD i = 0; i < count && 6 + (i + 1) * sizeof(GroupEntry) <= SizeofResource(module, group); ++i) {
            HRSRC icon = FindResourceW(module, MAKEINTRESOURCEW(entries[i].id), (LPCWSTR)RT_ICON);
            DWORD bytes = icon ? SizeofResource(module, icon) : 0;
            BYTE* bits = icon ? (BYTE*)LockResource(LoadResource(module, icon)) : NULL;
            HICON made = bits ? CreateIconFromResourceEx(bits, bytes, TRUE, 0x00030000, 0, 0, LR_DEFAULTCOLOR) : NULL;
            int w = -1, h = -1;
            IconSize(made, &w, &h);
            if (made) DestroyIcon(made);
            fprintf(out, "%s{\"width\": %u, \"height\": %u, \"bitCount\": %u, \"bytes\": %lu, \"resourceBytes\": %lu, "
                         "\"made\": [%d, %d]}", i ? ", " : "", entries[i].width ? entries[i].width : 256,
                    entries[i].height ? entries[i].height : 256, entries[i].bitCount, (unsigned long)entries[i].bytes,
                    (unsigned long)bytes, w, h);
        }
    }
    fprintf(out, "], \"manifest\": ");
    HRSRC manifest = module ? FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24)) : NULL;
    const char* text = manifest ? (const char*)LockResource(LoadResource(module, manifest)) : NULL;
    if (text) Bytes(text, SizeofResource(module, manifest));
    else fprintf(out, "null");
    fprintf(out, ", ");
    if (module) FreeLibrary(module);
}

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: identity <program> <report-file>\n");
        return 2;
    }
    out = _wfopen(argv[2], L"wb");
    if (!out) return 3;
    fprintf(out, "{");
    Version(argv[1]);
    Icons(argv[1]);
    Resources(argv[1]);
    DWORD header = 0, computed = 0;
    DWORD result = MapFileAndCheckSumW(argv[1], &header, &computed);
    fprintf(out, "\"checksum\": {\"result\": %lu, \"header\": %lu, \"computed\": %lu}}\n", (unsigned long)result,
            (unsigned long)header, (unsigned long)computed);
    return fclose(out) == 0 ? 0 : 3;
}
