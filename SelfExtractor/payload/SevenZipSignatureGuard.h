#pragma once

#include "platform/platform.h"

namespace stub {

// 40 non-zero bytes placed right after the 7z decoder's signature constant in the Windows image.
constexpr platform::u32 kSevenZipSignatureGuardSize = 40;
extern const platform::u8 kSevenZipSignatureGuard[kSevenZipSignatureGuardSize];

}  // namespace stub
