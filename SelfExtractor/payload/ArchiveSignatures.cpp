#include "payload/ArchiveSignatures.h"

namespace stub {

namespace {

constexpr platform::u32 kShiftedBytes = kSevenZipSignatureBytes + kZipSignatureBytes;

// Each signature byte plus one: the 7z signature, then the ZIP local file header signature.
const volatile platform::u8 kShiftedSignatures[kShiftedBytes] = {
    0x38, 0x7B, 0xBD, 0xB0, 0x28, 0x1D,
    0x51, 0x4C, 0x04, 0x05,
};

}  // namespace

void LoadArchiveSignatures(ArchiveSignatures& signatures) {
    const volatile platform::u8* shifted = kShiftedSignatures;
    for (platform::u32 i = 0; i < kSevenZipSignatureBytes; ++i) {
        signatures.sevenZip[i] = static_cast<platform::u8>(shifted[i] - 1);
    }
    for (platform::u32 i = 0; i < kZipSignatureBytes; ++i) {
        signatures.zip[i] = static_cast<platform::u8>(shifted[kSevenZipSignatureBytes + i] - 1);
    }
}

}  // namespace stub
