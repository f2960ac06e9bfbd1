// The 7z decoder's view of the stub's own file, over the platform layer: the archive's headers
// are read through it (file data is streamed by SevenZipFolderDecoder).
#pragma once

#include "platform/platform.h"

extern "C" {
#include "7zTypes.h"
}

namespace stub {

// Size of the look-ahead reader's buffer (fixed storage inside SevenZipStreams.cpp).
constexpr platform::u32 kLookAheadBufferSize = 16384;

// Seekable input stream over an open read handle. Pure pass-through: positions are the file's own,
// so the decoder takes the current position as the archive's first byte.
struct SelfFileStream {
    ISeekInStream vt;
    platform::Handle file;  // never opened or closed by the stream
};

// The stream the decoder reads from: a look-ahead reader in exact-look mode over SelfFileStream.
struct SevenZipInput {
    SelfFileStream selfFileStream;
    CLookToRead2 lookAheadReader;
};

// Installs the stream operations on `file` and points the reader, emptied, at the stream and at
// the fixed 16,384-byte buffer. Only one SevenZipInput may be in use at a time (one buffer).
void SevenZipInputSetUp(SevenZipInput& input, platform::Handle file);

// The stream interface to hand to SzArEx_Open and SzArEx_Extract.
inline ILookInStreamPtr SevenZipLookStream(SevenZipInput& input) {
    return &input.lookAheadReader.vt;
}

}  // namespace stub
