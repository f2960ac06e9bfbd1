// The run's log: one UTF-8 line a step, for the runs nobody watches (a deployment tool's, SYSTEM's)
// where the exit code is all that stays. It is off unless asked for:
// - SELFEXTRACTOR_LOG in the environment names a file: the stub appends to it, creating it when it
//   is missing, and never writes through a link: a reparse point at that path, or a file with more
//   than one hard link, means no log for the run;
// - otherwise the installer options' log flag (sfxtool pack --log): a new file
//   "<installer name without .exe>-<yyyyMMdd-HHmmss>-<pid>.log" (UTC) in the temp folder the stub
//   unpacks under, beside the staging folder; it is created only under a name that does not exist.
// Each line starts with the UTC time, "YYYY-MM-DD HH:MM:SS.mmm". Lines wait in a fixed buffer and
// are written when it runs short, before a program is started and at the end, so that a run makes
// a handful of writes whatever its payload holds; while the log is off every call returns at once.
// A log that cannot be written changes nothing in the run: it stops. The parameter tail is never
// logged, only its length.
//
// Lines come from the run's main thread only: the workers keep what they have to say (the entry
// that failed, why, and the Windows error of the call that failed) in their crew seats, and the
// extractor logs it once they have stopped.
#pragma once

#include "platform/platform.h"

namespace stub {

using platform::u32;
using platform::WChar;

// Starts this process's log, dropping any earlier state: opens the file SELFEXTRACTOR_LOG names.
// Its first line names the stub, its version and its process.
void LogStart();

// The options' log flag: when SELFEXTRACTOR_LOG is not set, creates the flag's file in
// `tempFolder` (ending in a backslash), named after the module's file.
void LogToTempFolder(const WChar* tempFolder);

[[nodiscard]] bool LogOn();

// One line from `format`, whose conversions are %s (UTF-8 text), %w (UTF-16 text), %u (u32),
// %U (u64), %x (u32 in hex), %e (a Windows error: "error N: <the system's text>",
// or "no Windows error") and %n (an entry
// in archive order: " (entry N)", nothing for 0xFFFFFFFF); a digit after '%' gives a number's
// least digits ("%2u": "07").
void Log(const char* format, ...);

// The same conversions into `out` (UTF-8 with its NUL, at most `capacity` bytes: a longer text is cut).
void FormatText(char* out, u32 capacity, const char* format, __builtin_va_list args);

// The system's text for a Windows error (FormatMessageW), without its line break, into `text`
// (kErrorTextChars units); its length, 0 when the system has none.
constexpr u32 kErrorTextChars = 512;
u32 ErrorText(u32 error, WChar* text);

// Writes the lines kept so far (before a program is started, which may run for long).
void LogFlush();

// Ends the run: the line "exit N", the log written and closed, then ExitProcess(exitCode).
[[noreturn]] void EndRun(u32 exitCode);

}  // namespace stub
