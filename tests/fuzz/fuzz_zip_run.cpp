// A whole normal-mode run on the stub image followed by arbitrary bytes, seeded with ZIP payloads:
// see fuzzsupport::CheckWholeRun for what each run must satisfy.
#include <cstdint>
#include <string>

#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::CheckWholeRun(std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}
