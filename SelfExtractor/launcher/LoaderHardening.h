// Loader hardening: the first step of every process of the stub. Narrows the library search path
// (through kernel32 procedures looked up by name, skipped where missing) and preloads a fixed list
// of system libraries by full path. Nothing here can fail the run.
#pragma once

#include "platform/platform.h"

namespace stub {

constexpr platform::u32 kSystemDllPreloadCount = 17;
extern const platform::WChar* const kSystemDllPreloadList[kSystemDllPreloadCount];

void LoaderHardening();
void SystemDllPreloader();

}  // namespace stub
