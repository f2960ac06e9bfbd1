// The two archive signatures, recovered at run time from shifted bytes.
//
// Neither signature may appear in the stub's own image, not even inside code: the compiler folds
// byte compares against constants into immediates that hold the signature bytes. So the image
// keeps each byte plus one, read through a volatile access, and the true values exist only in
// memory while a scan runs.
#pragma once

#include "platform/platform.h"

namespace stub {

constexpr platform::u32 kSevenZipSignatureBytes = 6;  // "7z" BC AF 27 1C
constexpr platform::u32 kZipSignatureBytes = 4;       // "PK" 03 04

struct ArchiveSignatures {
    platform::u8 sevenZip[kSevenZipSignatureBytes];
    platform::u8 zip[kZipSignatureBytes];
};

void LoadArchiveSignatures(ArchiveSignatures& signatures);

}  // namespace stub
