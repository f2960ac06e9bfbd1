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
// can tell it: not enough free space for the payload (in MB, with the drive), a program blocked by
// a policy (errors 1260, 786), a file blocked by antivirus software (225, 226), not enough disk
// space, a damaged or incomplete file, a temp folder that cannot be written, an installer program
// Windows could not start ("error N: <the system's text>"). `error` is the Windows error of the
// call that failed (0: none). Into `text` (kFailureTextChars units). The run's log gives the same
// cause on a line of its own.
constexpr u32 kFailureTextChars = 2 * kFailureMessageChars;
void FailureText(const RunState& state, Reason reason, u32 error, WChar* text);

}  // namespace stub
