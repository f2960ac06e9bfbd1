#include "run/RunLog.h"

#ifndef SFX_VERSION_TEXT
#define SFX_VERSION_TEXT "0.0.0"
#endif

namespace stub {

using namespace platform;

namespace {

constexpr u32 kBufferBytes = 16384;
constexpr u32 kLineBytes = 2048;       // the longest line; a longer one is cut and says so
const char kCut[] = " [cut]";

// Trivial global, zero-initialised: the log is off.
struct LogState {
    bool open;
    Handle file;
    u32 fill;
    char buffer[kBufferBytes];
} gLog;

struct Line {
    char* at;
    char* end;  // kCut and the line break still fit behind it
    bool cut;
};

void Put(Line& line, u32 byte) {
    if (line.at < line.end) *line.at++ = static_cast<char>(byte);
    else line.cut = true;
}

void PutText(Line& line, const char* text) {
    while (*text != 0) Put(line, static_cast<u8>(*text++));
}

void PutNumber(Line& line, u64 value, u32 base, u32 digits) {
    char out[20];
    u32 n = 0;
    do {
        const u64 next = value / base;
        out[n++] = "0123456789abcdef"[static_cast<u32>(value) - static_cast<u32>(next) * base];
        value = next;
    } while (value != 0 || n < digits);
    while (n != 0) Put(line, static_cast<u8>(out[--n]));
}

void PutWide(Line& line, const WChar* text, u32 length = 0xFFFFFFFFu) {
    for (u32 i = 0; i < length && text[i] != 0; ++i) {
        u32 c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < length && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;
        }
        if (c < 0x20) c = u' ';
        if (c < 0x80) {
            Put(line, c);
        } else {
            const u32 extra = c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
            Put(line, (0xF00u >> extra) | (c >> (6 * extra)));
            for (u32 k = extra; k != 0; --k) Put(line, 0x80 | ((c >> (6 * (k - 1))) & 0x3F));
        }
    }
}

// "error N", and ": <the system's text>" where the system has one.
void PutError(Line& line, u32 error) {
    if (error == 0) {
        PutText(line, "no Windows error");
        return;
    }
    PutText(line, "error ");
    PutNumber(line, error, 10, 1);
    WChar text[kErrorTextChars];
    const u32 length = ErrorText(error, text);
    if (length == 0) return;
    PutText(line, ": ");
    PutWide(line, text, length);
}

// The conversions of Log; a digit after '%' gives a number's least digits ("%2u": "07").
void Format(Line& line, const char* f, __builtin_va_list args) {
    for (; *f != 0; ++f) {
        if (*f != '%') {
            Put(line, static_cast<u8>(*f));
            continue;
        }
        u32 digits = 1;
        if (f[1] >= '1' && f[1] <= '9') digits = static_cast<u32>(*++f - '0');
        switch (*++f) {
            case 's': PutText(line, __builtin_va_arg(args, const char*)); break;
            case 'w': PutWide(line, __builtin_va_arg(args, const WChar*)); break;
            case 'u': PutNumber(line, __builtin_va_arg(args, u32), 10, digits); break;
            case 'U': PutNumber(line, __builtin_va_arg(args, u64), 10, digits); break;
            case 'x': PutNumber(line, __builtin_va_arg(args, u32), 16, digits); break;
            case 'e': PutError(line, __builtin_va_arg(args, u32)); break;
            case 'n': {
                const u32 entry = __builtin_va_arg(args, u32);
                if (entry != 0xFFFFFFFFu) {
                    PutText(line, " (entry ");
                    PutNumber(line, entry, 10, 1);
                    Put(line, ')');
                }
                break;
            }
            default: return;
        }
    }
}

void FormatTo(Line& line, const char* format, ...) {
    __builtin_va_list args;
    __builtin_va_start(args, format);
    Format(line, format, args);
    __builtin_va_end(args);
}

// The UTC time now, in `format` (year, month, day, hour, minute, second, millisecond).
void Stamp(Line& line, const char* format) {
    SystemTime t;
    GetSystemTime(&t);
    FormatTo(line, format, t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
}

void Append(const char* format, __builtin_va_list args) {
    if (kBufferBytes - gLog.fill < kLineBytes) LogFlush();
    if (!gLog.open) return;
    Line line{gLog.buffer + gLog.fill, gLog.buffer + gLog.fill + kLineBytes - sizeof kCut, false};
    Stamp(line, "%4u-%2u-%2u %2u:%2u:%2u.%3u ");
    Format(line, format, args);
    if (line.cut) {
        for (const char* c = kCut; *c != 0; ++c) *line.at++ = *c;
    }
    *line.at++ = '\n';
    gLog.fill = static_cast<u32>(line.at - gLog.buffer);
}

void LogHeader() {
    Log("SelfExtractor " SFX_VERSION_TEXT ", %u-bit, process %u", static_cast<u32>(sizeof(void*) * 8),
        GetCurrentProcessId());
}

// Opens the log file at `path`. A file already there is appended to, but only when it is an
// ordinary file with one name: a link, or a file with another hard link, is never written.
void OpenLog(const WChar* path, u32 disposition) {
    const Handle file = CreateFileW(path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    ByHandleFileInformation info;
    if (!GetFileInformationByHandle(file, &info) || info.nNumberOfLinks != 1 ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        CloseHandle(file);
        return;
    }
    gLog.file = file;
    gLog.open = true;
    LogHeader();
}

bool gNamedByEnvironment;  // SELFEXTRACTOR_LOG was set: the flag's file is never made

}  // namespace

void LogStart() {
    gLog.open = false;
    gLog.fill = 0;
    WChar path[kMaxPathChars];
    const u32 length = GetEnvironmentVariableW(u"SELFEXTRACTOR_LOG", path, kMaxPathChars);
    gNamedByEnvironment = length != 0;
    if (length != 0 && length < kMaxPathChars) OpenLog(path, OPEN_ALWAYS);
}

void LogToTempFolder(const WChar* tempFolder) {
    if (gNamedByEnvironment || gLog.open) return;
    WChar module[kMaxPathChars];
    const u32 moduleLength = GetModuleFileNameW(nullptr, module, kMaxPathChars);
    if (moduleLength == 0 || moduleLength >= kMaxPathChars) return;
    // The file name without ".exe" (in any case).
    u32 start = moduleLength;
    while (start != 0 && module[start - 1] != u'\\') --start;
    u32 end = moduleLength;
    if (end - start > 4 && module[end - 4] == u'.' && (module[end - 3] | 0x20) == u'e' &&
        (module[end - 2] | 0x20) == u'x' && (module[end - 1] | 0x20) == u'e') {
        end -= 4;
    }
    module[end] = 0;
    // "<temp><name>-yyyyMMdd-HHmmss-<pid>.log", made as UTF-8 and converted back whole.
    char name[3 * kMaxPathChars];
    Line line{name, name + sizeof name - 1, false};
    FormatTo(line, "%w%w", tempFolder, module + start);
    Stamp(line, "-%4u%2u%2u-%2u%2u%2u");
    FormatTo(line, "-%u.log", GetCurrentProcessId());
    *line.at = 0;
    WChar path[kMaxPathChars];
    if (line.cut || MultiByteToWideChar(CP_UTF8, 0, name, -1, path, kMaxPathChars) <= 0) return;
    OpenLog(path, CREATE_NEW);  // never a name that exists: a planted file or link stays untouched
}

u32 ErrorText(u32 error, WChar* text) {
    u32 length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                    FORMAT_MESSAGE_MAX_WIDTH_MASK,
                                nullptr, error, 0, text, kErrorTextChars, nullptr);
    if (length >= kErrorTextChars) length = 0;
    while (length != 0 && text[length - 1] <= u' ') --length;
    text[length] = 0;
    return length;
}

void FormatText(char* out, u32 capacity, const char* format, __builtin_va_list args) {
    Line line{out, out + capacity - 1, false};
    Format(line, format, args);
    *line.at = 0;
}

bool LogOn() { return gLog.open; }

void Log(const char* format, ...) {
    if (!gLog.open) return;
    __builtin_va_list args;
    __builtin_va_start(args, format);
    Append(format, args);
    __builtin_va_end(args);
}

void LogFlush() {
    if (!gLog.open || gLog.fill == 0) return;
    u32 written = 0;
    if (!WriteFile(gLog.file, gLog.buffer, gLog.fill, &written, nullptr) || written != gLog.fill) {
        // A log that cannot be written stops; the run goes on as without one.
        CloseHandle(gLog.file);
        gLog.open = false;
    }
    gLog.fill = 0;
}

void EndRun(u32 exitCode) {
    Log("exit %u", exitCode);
    LogFlush();
    if (gLog.open) CloseHandle(gLog.file);
    gLog.open = false;
    ExitProcess(exitCode);
}

}  // namespace stub
