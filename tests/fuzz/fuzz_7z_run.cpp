// A whole normal-mode run on the stub image followed by arbitrary bytes, seeded with 7z payloads
// (LZMA, BCJ, BCJ2, Delta, packed headers, empty files and folders): see
// fuzzsupport::CheckWholeRun for what each run must satisfy. Built twice: fuzz_7z_run over the
// memory store, fuzz_7z_run_disk (FUZZ_ON_DISK) over real files, so that both stay honest.
#include <cstdint>
#include <string>

#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
#ifdef FUZZ_ON_DISK
    fuzzsupport::CheckWholeRun(std::string(reinterpret_cast<const char*>(data), size), platform::host::Storage::Disk);
#else
    fuzzsupport::CheckWholeRun(std::string(reinterpret_cast<const char*>(data), size));
#endif
    return 0;
}
