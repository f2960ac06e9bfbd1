#include "payload/ZipEntryExtractor.h"

#include <zlib.h>

#include "launcher/StagingDirectory.h"
#include "payload/ArchiveSignatures.h"
#include "payload/EntryNameCheck.h"

namespace stub {

using namespace platform;

namespace {

constexpr u32 kLocalHeaderBytes = 30;
constexpr u32 kNameCapacity = kMaxPathChars;  // zipWideName units the conversion may fill

// General-purpose flag bits the walk cannot follow: the data is encrypted, or the sizes stand in
// a data descriptor after the data instead of in the local header.
constexpr u32 kFlagEncrypted = 0x0001;
constexpr u32 kFlagDataDescriptor = 0x0008;

constexpr u32 kMethodStored = 0;
constexpr int kRawDeflateWindowBits = -15;

// The largest forward skip one SetFilePointer call makes without a high part.
constexpr u32 kMaxSkipBytes = 0x7FFFFFFFu;

[[noreturn]] void Fail() { ExitProcess(kFailureExitCode); }

u32 Read16(const u8* bytes) { return static_cast<u32>(bytes[0]) | (static_cast<u32>(bytes[1]) << 8); }

u32 Read32(const u8* bytes) { return Read16(bytes) | (Read16(bytes + 2) << 16); }

// The fields of one local file header that the walk uses.
struct LocalHeader {
    u32 flags;
    u32 method;
    u32 crc;
    u32 compressedSize;
    u32 uncompressedSize;
    u32 nameLength;
    u32 extraLength;
};

LocalHeader ParseLocalHeader(const u8* header) {
    LocalHeader fields;
    fields.flags = Read16(header + 6);
    fields.method = Read16(header + 8);
    fields.crc = Read32(header + 14);
    fields.compressedSize = Read32(header + 18);
    fields.uncompressedSize = Read32(header + 22);
    fields.nameLength = Read16(header + 26);
    fields.extraLength = Read16(header + 28);
    return fields;
}

void ReadExactly(Handle file, void* buffer, u32 bytes) {
    u32 read = 0;
    if (!ReadFile(file, buffer, bytes, &read, nullptr)) Fail();
    if (read != bytes) Fail();
}

void SkipForward(Handle file, u32 bytes) {
    if (bytes > kMaxSkipBytes) Fail();
    if (SetFilePointer(file, static_cast<i32>(bytes), nullptr, FILE_CURRENT) ==
        INVALID_SET_FILE_POINTER)
        Fail();
}

// Decodes `compressedSize` bytes of raw deflate into exactly `uncompressedSize` bytes of `out`.
// The stream must end within the input and fill the output to the last byte; input left over
// after its end is not looked at (the walk goes on behind the whole compressed size).
void InflateExactly(u8* in, u32 compressedSize, u8* out, u32 uncompressedSize) {
    z_stream stream;
    stream.next_in = in;
    stream.avail_in = compressedSize;
    stream.next_out = out;
    stream.avail_out = uncompressedSize;
    stream.zalloc = Z_NULL;
    stream.zfree = Z_NULL;
    stream.opaque = Z_NULL;
    if (inflateInit2(&stream, kRawDeflateWindowBits) != Z_OK) Fail();
    const int result = inflate(&stream, Z_FINISH);
    const bool whole =
        result == Z_STREAM_END && stream.avail_out == 0 && stream.total_out == uncompressedSize;
    if (inflateEnd(&stream) != Z_OK) Fail();
    if (!whole) Fail();
}

// Creates the entry's file at the path in stagingRoot and writes `bytes` of verified data to it.
// A file whose write fails or comes short is closed and deleted before the run ends.
void WriteEntryFile(const StagingState& staging, const u8* data, u32 bytes) {
    Handle out = CreateFileW(staging.stagingRoot, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                             CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) Fail();
    u32 written = 0;
    const Bool wrote = WriteFile(out, data, bytes, &written, nullptr);
    if (!wrote || written != bytes) {
        CloseHandle(out);
        DeleteFileW(staging.stagingRoot);
        Fail();
    }
    CloseHandle(out);
}

}  // namespace

void ZipEntryExtractor(RunState& state) {
    ArchiveSignatures signatures;
    LoadArchiveSignatures(signatures);

    const Handle heap = GetProcessHeap();
    if (heap == nullptr) Fail();

    ZipScratch& zip = state.zip;
    for (;;) {
        ReadExactly(state.selfFile, zip.header, kLocalHeaderBytes);
        for (u32 i = 0; i < kZipSignatureBytes; ++i) {
            if (zip.header[i] != signatures.zip[i]) return;  // the end of the local records
        }
        const LocalHeader entry = ParseLocalHeader(zip.header);
        if ((entry.flags & (kFlagEncrypted | kFlagDataDescriptor)) != 0) Fail();

        // Name: bounded by the path-length rule before it is read, then converted from UTF-8.
        if (!EntryPathFits(state.staging, entry.nameLength)) Fail();
        if (entry.nameLength == 0) Fail();
        ReadExactly(state.selfFile, zip.nameBytes, entry.nameLength);
        for (u32 i = 0; i < entry.nameLength; ++i) {
            if (zip.nameBytes[i] == 0) Fail();  // a NUL would cut the name short on the way
        }
        const i32 converted = MultiByteToWideChar(CP_UTF8, 0, zip.nameBytes,
                                                  static_cast<i32>(entry.nameLength),
                                                  zip.wideName, static_cast<i32>(kNameCapacity));
        if (converted <= 0) Fail();
        const u32 nameUnits = static_cast<u32>(converted);
        zip.wideName[nameUnits] = 0;
        if (!EntryNameIsSafe(zip.wideName, nameUnits)) Fail();

        // A directory entry creates nothing; whatever data it carries is skipped with its extra field.
        if (zip.wideName[nameUnits - 1] == u'/') {
            if (entry.compressedSize > kMaxSkipBytes - entry.extraLength) Fail();
            SkipForward(state.selfFile, entry.extraLength + entry.compressedSize);
            continue;
        }

        if (!EntryPathBuilder(state.staging, zip.wideName, nameUnits)) Fail();
        SkipForward(state.selfFile, entry.extraLength);

        // The data, whole in memory, decoded and verified before any file is created for it.
        u8* data = static_cast<u8*>(HeapAlloc(heap, 0, entry.uncompressedSize));
        if (data == nullptr) Fail();
        if (entry.method == kMethodStored) {
            ReadExactly(state.selfFile, data, entry.uncompressedSize);
        } else {
            u8* packed = static_cast<u8*>(HeapAlloc(heap, 0, entry.compressedSize));
            if (packed == nullptr) Fail();
            ReadExactly(state.selfFile, packed, entry.compressedSize);
            InflateExactly(packed, entry.compressedSize, data, entry.uncompressedSize);
            HeapFree(heap, 0, packed);
        }
        if (crc32(0L, data, entry.uncompressedSize) != entry.crc) Fail();

        WriteEntryFile(state.staging, data, entry.uncompressedSize);
        HeapFree(heap, 0, data);
    }
}

}  // namespace stub
