// The payload locator on arbitrary files: the kind and offset it reports, and the file position it
// leaves, must be the reference scan's; a file under 33 bytes ends the run with 5.
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "ReferenceModel.h"
#include "payload/PayloadLocator.h"
#include "platform/host/host.h"

using namespace platform;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static host::Sandbox sandbox;
    const size_t descriptors = fuzzsupport::OpenDescriptors();
    const std::string file(reinterpret_cast<const char*>(data), size);
    host::Environment env;
    sandbox.WriteFile(u"C:\\stub\\payload.bin", file);

    stub::PayloadKind kind = stub::PayloadKind::None;
    bool returned = false;
    u8 next = 0;
    u32 nextCount = 0;
    const host::RunResult result = host::Run(sandbox, env, [&] {
        Handle self = CreateFileW(u"C:\\stub\\payload.bin", GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        if (self == INVALID_HANDLE_VALUE) fuzzsupport::Violation("cannot open the input");
        kind = stub::PayloadLocator(self);
        returned = true;
        ReadFile(self, &next, 1, &nextCount, nullptr);
        // The handle is left open on purpose: the run must release it.
    });

    const fuzzmodel::Location expected = fuzzmodel::Locate(file);
    if (expected.tooShort) {
        if (returned || !result.exited || result.exitCode != 5)
            fuzzsupport::Violation("a file under 33 bytes must end the run with 5");
    } else {
        if (!returned || result.exited) fuzzsupport::Violation("the locator ended the run");
        const auto want = expected.kind == fuzzmodel::Kind::Zip        ? stub::PayloadKind::Zip
                          : expected.kind == fuzzmodel::Kind::SevenZip ? stub::PayloadKind::SevenZip
                                                                       : stub::PayloadKind::None;
        if (kind != want) fuzzsupport::Violation("wrong kind");
        if (kind == stub::PayloadKind::None) {
            if (nextCount != 0) fuzzsupport::Violation("None must leave the position at the end");
        } else if (nextCount != 1 || next != static_cast<u8>(file[expected.offset])) {
            fuzzsupport::Violation("the position is not on the signature's first byte");
        }
    }
    if (result.handlesLeft != 1) fuzzsupport::Violation("handle count");
    if (fuzzsupport::OpenDescriptors() != descriptors) fuzzsupport::Violation("descriptor leak");
    return 0;
}
