// Non-zero guard bytes that the linker places right after the 7z decoder's signature constant
// (see SevenZipSignaturePlacement.h); referenced by the 7z extractor so that it is never dropped.
#include "payload/SevenZipSignatureGuard.h"

#if defined(_WIN32)
// Byte alignment: the compiler would otherwise align a 40-byte array to 32, and the padding before
// the guard could then reach past the signature's byte 32.
#define SFX_GUARD_SECTION __attribute__((section(".rdata$zz7zsig_b"), aligned(1)))
#else
#define SFX_GUARD_SECTION
#endif

namespace stub {

extern const platform::u8 kSevenZipSignatureGuard[kSevenZipSignatureGuardSize] SFX_GUARD_SECTION = {
    0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5,
    0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5,
    0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5};

}  // namespace stub
