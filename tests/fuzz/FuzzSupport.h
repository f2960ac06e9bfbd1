// Shared by the harnesses: a whole normal-mode run of the stub on the host backend, checked
// against the reference model, and the checks every harness makes after each input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/host/host.h"

namespace fuzzsupport {

// Ends the process with a message: libFuzzer records the input as a crash.
[[noreturn]] void Violation(const std::string& what);

// Bytes that stand for the stub's image in front of the archive.
const std::string& StubImage();

// One whole normal-mode run (RunSequence) of a stub file made of StubImage() and `archive`, in a
// fresh sandbox (in memory; on disk for the harness that keeps both backends honest), with a registered installer that records what the staging folder holds when it
// starts. Checks: the run ends through ExitProcess with 5 or the installer's code; nothing is
// written outside the staging folder; the files left and the program started are what the
// reference model says; the run leaves no handle, block or descriptor behind.
void CheckWholeRun(const std::string& archive,
                   platform::host::Storage storage = platform::host::Storage::Memory);

// Open file descriptors of this process; the harnesses compare it across inputs.
size_t OpenDescriptors();

}  // namespace fuzzsupport
