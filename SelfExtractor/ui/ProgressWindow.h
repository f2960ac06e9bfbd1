// The progress window (pack --progress): when unpacking has not ended one second after it began,
// a small window with the installer's title, a bar of the archive bytes read against the
// archive's size, and a Cancel button. It runs on a thread of its own and closes before the
// installer starts. Without a display (CreateWindowExW fails) the run goes on without it.
#pragma once

#include "run/ExtractionProgress.h"
#include "run/RunState.h"

namespace stub {

constexpr u32 kProgressDelayMs = 1000;
constexpr u32 ERROR_CANCELLED = 1223;  // the exit code after Cancel

struct ProgressWindow {
    platform::Handle thread;     // null: no window will show
    platform::Handle ended;      // set when unpacking has ended
    platform::Window window;     // the window once made (shared)
    platform::Window bar;        // its text names the percentage, for screen readers
    platform::Window cancel;
    platform::Handle font;
    u32 closing;                 // 1 once the run closes the window (shared)
    u32 percent;                 // what the bar shows
    ExtractionProgress* progress;
    WChar title[platform::kMaxPathChars];
};

// Starts the window's thread for the run's extraction; does nothing when the options do not ask
// for a window or nobody can answer one.
void ProgressWindowStart(RunState& state, ProgressWindow& window);

// Unpacking has ended: the window closes (or never shows), and its thread has ended on return.
void ProgressWindowEnd(ProgressWindow& window);

// Ends the run's progress window, if one was started (before a failure message shows).
void CloseProgressWindow();

}  // namespace stub
