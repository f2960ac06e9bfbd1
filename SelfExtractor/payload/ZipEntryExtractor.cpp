#include "payload/ZipEntryExtractor.h"

#include <zlib.h>

extern "C" {
#include "7zCrc.h"
}

#include "launcher/Failure.h"
#include "launcher/StagingDirectory.h"
#include "payload/ArchiveSignatures.h"
#include "payload/EntryNameCheck.h"

namespace stub {

using namespace platform;

namespace {

constexpr u32 kLocalHeaderBytes = 30;
constexpr u32 kNameCapacity = kMaxPathChars;  // zipWideName units the conversion may fill

// General-purpose flag bits the walk cannot follow: encrypted data (0), sizes in a data
// descriptor after the data (3), patched data (5), strong encryption (6), a masked local header
// (13).
constexpr u32 kRefusedFlags = 0x0001 | 0x0008 | 0x0020 | 0x0040 | 0x2000;
constexpr u32 kMethodStored = 0;
constexpr u32 kMethodDeflate = 8;
constexpr u32 kSizeUnknown = 0xFFFFFFFFu;  // the ZIP64 marker
constexpr int kRawDeflateWindowBits = -15;

u32 Read16(const u8* bytes) { return static_cast<u32>(bytes[0]) | (static_cast<u32>(bytes[1]) << 8); }

u32 Read32(const u8* bytes) { return Read16(bytes) | (Read16(bytes + 2) << 16); }

// Moves the file position by 0 from `origin` and returns where that is.
u64 FilePosition(Handle file, u32 origin) {
    i32 high = 0;
    const u32 low = SetFilePointer(file, 0, &high, origin);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != ERROR_SUCCESS) FailRun(Reason::SelfRead);
    return (static_cast<u64>(static_cast<u32>(high)) << 32) | low;
}

// zlib's allocations come from the stub's own heap, like every other block of the run.
voidpf InflateAlloc(voidpf, uInt items, uInt size) {
    if (size != 0 && items > ~static_cast<size_t>(0) / size) return Z_NULL;
    return StubHeapAlloc(static_cast<size_t>(items) * size);
}

void InflateFree(voidpf, voidpf block) { StubHeapFree(block); }

// A read that came short: the archive ends early, or the read itself failed.
[[noreturn]] void FailTruncated(const ReadCursor& cursor, u32 index) {
    FailRun(cursor.failed ? Reason::SelfRead : Reason::ZipTruncated, index);
}

// The output file of the entry being extracted: a failure on its way closes and deletes it before
// the run ends, so that no partly written file is left for the installer.
struct EntryOutput {
    Handle file;
    const WChar* path;
    u32 index;
};

[[noreturn]] void FailEntry(EntryOutput& output, Reason reason) {
    CloseHandle(output.file);
    DeleteFileW(output.path);
    FailRun(reason, output.index);
}

void WriteOut(EntryOutput& output, const u8* data, u32 bytes) {
    u32 written = 0;
    if (!WriteFile(output.file, data, bytes, &written, nullptr) || written != bytes) {
        FailEntry(output, Reason::EntryWrite);
    }
}

// A stored entry: its bytes go from the read buffer to the file.
u32 CopyStored(ReadCursor& cursor, EntryOutput& output, u32 size) {
    UInt32 crc = CRC_INIT_VAL;
    u32 left = size;
    while (left != 0) {
        const u8* data;
        u32 available;
        if (!CursorLook(cursor, &data, &available)) FailEntry(output, Reason::SelfRead);
        if (available == 0) FailEntry(output, Reason::ZipTruncated);
        const u32 take = available < left ? available : left;
        crc = CrcUpdate(crc, data, take);
        WriteOut(output, data, take);
        CursorSkip(cursor, take);
        left -= take;
    }
    return CRC_GET_DIGEST(crc);
}

// A deflated entry: `compressedSize` bytes of raw deflate from the read buffer through inflate
// into the output buffer and the file. The stream must end within the compressed size and give
// exactly `uncompressedSize` bytes; what follows the stream's end within the compressed size is
// passed over. Returns the CRC-32 of what was written.
u32 Inflate(z_stream& stream, ReadCursor& cursor, u8* out, EntryOutput& output, const ZipRecord& record) {
    if (inflateReset(&stream) != Z_OK) FailEntry(output, Reason::ZipData);
    UInt32 crc = CRC_INIT_VAL;
    u32 inLeft = record.compressedSize;
    u32 produced = 0;
    for (;;) {
        const u8* data;
        u32 available;
        if (!CursorLook(cursor, &data, &available)) FailEntry(output, Reason::SelfRead);
        const u32 take = available < inLeft ? available : inLeft;
        if (take == 0 && inLeft != 0) FailEntry(output, Reason::ZipTruncated);
        stream.next_in = const_cast<u8*>(data);
        stream.avail_in = take;
        stream.next_out = out;
        stream.avail_out = kZipOutBufferBytes;
        const int result = inflate(&stream, Z_NO_FLUSH);
        const u32 consumed = take - stream.avail_in;
        CursorSkip(cursor, consumed);
        inLeft -= consumed;
        const u32 made = kZipOutBufferBytes - stream.avail_out;
        if (made > record.uncompressedSize - produced) FailEntry(output, Reason::ZipSize);
        produced += made;
        if (made != 0) {
            crc = CrcUpdate(crc, out, made);
            WriteOut(output, out, made);
        }
        if (result == Z_STREAM_END) break;
        // No progress with all of the entry's input given: the stream does not end within it.
        if (result == Z_BUF_ERROR && inLeft == 0) FailEntry(output, Reason::ZipData);
        if (result != Z_OK && result != Z_BUF_ERROR) FailEntry(output, Reason::ZipData);
    }
    if (produced != record.uncompressedSize) FailEntry(output, Reason::ZipSize);
    if (!CursorAdvance(cursor, inLeft)) FailEntry(output, Reason::ZipTruncated);
    return CRC_GET_DIGEST(crc);
}

}  // namespace

void ZipWalkStart(RunState& state) {
    ZipScratch& zip = state.zip;
    CrcGenerateTable();
    // The walk reads from where the locator left the file up to the file's end: data that a
    // record declares past the end is found missing before its entry is accepted.
    const u64 start = FilePosition(state.selfFile, FILE_CURRENT);
    const u64 end = FilePosition(state.selfFile, FILE_END);

    const Handle heap = GetProcessHeap();
    if (heap == nullptr) FailRun(Reason::Memory);
    u8* readBuffer = static_cast<u8*>(HeapAlloc(heap, 0, kZipReadBufferBytes));
    if (readBuffer == nullptr) FailRun(Reason::Memory);
    CursorInit(zip.records, state.selfFile, readBuffer, kZipReadBufferBytes, start, end);
    zip.recordIndex = 0;
    LoadArchiveSignatures(zip.signatures);
}

bool ZipNextRecord(RunState& state, ZipRecord& record) {
    ZipScratch& zip = state.zip;
    record.index = zip.recordIndex++;
    record.offset = zip.records.position;

    // The central directory must follow the last entry: a file that ends here is cut short.
    if (!CursorRead(zip.records, zip.header, kLocalHeaderBytes)) FailTruncated(zip.records, record.index);
    for (u32 i = 0; i < kZipSignatureBytes; ++i) {
        if (zip.header[i] != zip.signatures.zip[i]) return false;  // the end of the local records
    }

    const u8* header = zip.header;
    record.flags = Read16(header + 6);
    record.method = Read16(header + 8);
    record.crc = Read32(header + 14);
    record.compressedSize = Read32(header + 18);
    record.uncompressedSize = Read32(header + 22);
    record.nameBytes = Read16(header + 26);
    record.extraLength = Read16(header + 28);

    if ((record.flags & kRefusedFlags) != 0) FailRun(Reason::ZipFlags, record.index);
    if (record.method != kMethodStored && record.method != kMethodDeflate) {
        FailRun(Reason::ZipMethod, record.index);
    }
    if (record.compressedSize == kSizeUnknown || record.uncompressedSize == kSizeUnknown) {
        FailRun(Reason::ZipSizeUnknown, record.index);
    }
    if (record.method == kMethodStored && record.compressedSize != record.uncompressedSize) {
        FailRun(Reason::ZipStoredSizes, record.index);
    }

    // Name: bounded by the path-length rule before it is read, then converted from UTF-8.
    if (!EntryPathFits(state.staging, record.nameBytes)) FailRun(Reason::NameTooLong, record.index);
    if (record.nameBytes == 0) FailRun(Reason::NameInvalid, record.index);
    if (!CursorRead(zip.records, zip.nameBytes, record.nameBytes)) FailTruncated(zip.records, record.index);
    for (u32 i = 0; i < record.nameBytes; ++i) {
        if (zip.nameBytes[i] == 0) FailRun(Reason::NameInvalid, record.index);  // would cut the name
    }
    const i32 converted = MultiByteToWideChar(CP_UTF8, 0, zip.nameBytes, static_cast<i32>(record.nameBytes),
                                              zip.wideName, static_cast<i32>(kNameCapacity));
    if (converted <= 0) FailRun(Reason::NameInvalid, record.index);
    record.nameUnits = static_cast<u32>(converted);
    zip.wideName[record.nameUnits] = 0;
    if (!EntryNameIsSafe(zip.wideName, record.nameUnits)) FailRun(Reason::NameUnsafe, record.index);
    record.directory = zip.wideName[record.nameUnits - 1] == u'/';
    return true;
}

void ZipSkipData(RunState& state, const ZipRecord& record) {
    const u64 skip = static_cast<u64>(record.extraLength) + record.compressedSize;
    if (!CursorAdvance(state.zip.records, skip)) FailRun(Reason::ZipTruncated, record.index);
}

void ZipEntryExtractor(RunState& state) {
    ZipScratch& zip = state.zip;
    ZipWalkStart(state);
    const Handle heap = GetProcessHeap();
    zip.outBuffer = static_cast<u8*>(HeapAlloc(heap, 0, kZipOutBufferBytes));
    if (zip.outBuffer == nullptr) FailRun(Reason::Memory);

    // One inflate state serves the whole walk.
    z_stream stream;
    stream.next_in = Z_NULL;
    stream.avail_in = 0;
    stream.zalloc = InflateAlloc;
    stream.zfree = InflateFree;
    stream.opaque = Z_NULL;
    if (inflateInit2(&stream, kRawDeflateWindowBits) != Z_OK) FailRun(Reason::Memory);

    ZipRecord record;
    while (ZipNextRecord(state, record)) {
        // A directory entry creates nothing; whatever data it carries is passed over.
        if (record.directory) {
            ZipSkipData(state, record);
            continue;
        }
        if (!EntryPathBuilder(state.staging, zip.wideName, record.nameUnits)) {
            FailRun(Reason::EntryFolder, record.index);
        }
        if (!CursorAdvance(zip.records, record.extraLength)) FailRun(Reason::ZipTruncated, record.index);

        EntryOutput output;
        output.path = state.staging.stagingRoot;
        output.index = record.index;
        output.file = CreateFileW(output.path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (output.file == INVALID_HANDLE_VALUE) FailRun(Reason::EntryCreate, record.index);

        const u32 crc = record.method == kMethodStored
                            ? CopyStored(zip.records, output, record.uncompressedSize)
                            : Inflate(stream, zip.records, zip.outBuffer, output, record);
        if (crc != record.crc) FailEntry(output, Reason::ZipCrc);
        if (!CloseHandle(output.file)) {
            DeleteFileW(output.path);
            FailRun(Reason::EntryWrite, record.index);
        }
    }

    inflateEnd(&stream);
    HeapFree(heap, 0, zip.outBuffer);
    HeapFree(heap, 0, zip.records.buffer);
}

}  // namespace stub
