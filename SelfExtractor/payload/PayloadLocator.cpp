#include "payload/PayloadLocator.h"

#include "payload/ArchiveSignatures.h"
#include "run/Failure.h"

namespace stub {

using namespace platform;

namespace {

// The window tested at each offset: the 32-byte 7z signature header and the byte after it.
constexpr u32 kWindowBytes = 33;
constexpr u32 kSevenZipZeroByte = 32;  // window byte that must be 0 for a 7z archive

// The file is read in blocks of this size; a block refill keeps the (at most 32) bytes of the
// window not yet tested in front of it.
constexpr u32 kScanBufferBytes = 65536;

[[noreturn]] void Fail() { FailRun(Reason::SelfRead); }

bool IsSevenZipAt(const u8* window, const ArchiveSignatures& signatures) {
    for (u32 i = 0; i < kSevenZipSignatureBytes; ++i) {
        if (window[i] != signatures.sevenZip[i]) return false;
    }
    return window[kSevenZipZeroByte] == 0;
}

bool IsZipAt(const u8* window, const ArchiveSignatures& signatures) {
    for (u32 i = 0; i < kZipSignatureBytes; ++i) {
        if (window[i] != signatures.zip[i]) return false;
    }
    return true;
}

}  // namespace

PayloadKind PayloadLocator(Handle selfFile) {
    ArchiveSignatures signatures;
    LoadArchiveSignatures(signatures);

    u8 buffer[kScanBufferBytes];
    u32 filled = 0;      // bytes held in buffer
    u32 windowAt = 0;    // buffer index of the window's first byte
    u32 position = 0;    // file offset of the window's first byte
    u32 consumed = 0;    // bytes read from the file so far: the file position

    for (;;) {
        // Test every window that lies whole in the buffer, lowest offset first, 7z before ZIP.
        while (filled - windowAt >= kWindowBytes) {
            const u8* window = buffer + windowAt;
            PayloadKind found = PayloadKind::None;
            if (IsSevenZipAt(window, signatures)) {
                found = PayloadKind::SevenZip;
            } else if (IsZipAt(window, signatures)) {
                found = PayloadKind::Zip;
            }
            if (found != PayloadKind::None) {
                // Back from the end of what was read to the signature's first byte.
                const i32 back = -static_cast<i32>(consumed - position);
                if (SetFilePointer(selfFile, back, nullptr, FILE_CURRENT) == INVALID_SET_FILE_POINTER)
                    Fail();
                return found;
            }
            ++windowAt;
            ++position;
        }

        // Keep the untested tail (fewer than kWindowBytes bytes) and read the next block behind it.
        const u32 kept = filled - windowAt;
        for (u32 i = 0; i < kept; ++i) buffer[i] = buffer[windowAt + i];
        windowAt = 0;
        filled = kept;

        u32 read = 0;
        const u32 room = kScanBufferBytes - filled;
        if (!ReadFile(selfFile, buffer + filled, room, &read, nullptr)) Fail();
        if (read > room) Fail();
        if (read == 0) {
            // End of file. Without a single whole window the file is too short to hold anything.
            if (position == 0) FailRun(Reason::NoArchive);
            return PayloadKind::None;
        }
        filled += read;
        consumed += read;
    }
}

}  // namespace stub
