// The message a release engineer gave with pack --failure-message, shown in an error box when the
// stub ends with 5, so that a damaged download does not fail silently.
#pragma once

#include "run/Failure.h"

namespace stub {

// The run whose failures are reported: RunSequence holds one for its life. Outside it (a stage
// run alone) nothing is ever shown.
struct FailureReportScope {
    explicit FailureReportScope(RunState& state);
    ~FailureReportScope();
    FailureReportScope(const FailureReportScope&) = delete;
    FailureReportScope& operator=(const FailureReportScope&) = delete;
};

// Whether the run may show windows at all: its options ask for one (a progress window or a failure
// message), no silent switch is in the parameter tail, and the window station is visible.
[[nodiscard]] bool MayShowWindows(const RunState& state);

// The message box's text: the options' message, then after an empty line the cause where the stub
// can tell it (damaged or incomplete, not enough disk space, a temp folder that cannot be
// written). `error` is the last error when the run failed. Into `text` (kFailureTextChars units).
constexpr u32 kFailureTextChars = kFailureMessageChars + 128;
void FailureText(const InstallerOptions& options, Reason reason, u32 error, WChar* text);

}  // namespace stub
