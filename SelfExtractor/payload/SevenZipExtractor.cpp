#include "payload/SevenZipExtractor.h"

#include "launcher/Failure.h"
#include "launcher/StagingDirectory.h"
#include "payload/EntryNameCheck.h"
#include "payload/SevenZipAllocators.h"
#include "payload/SevenZipFolderDecoder.h"
#include "payload/SevenZipPipeline.h"
#include "payload/SevenZipSignatureGuard.h"
#include "payload/SevenZipStreams.h"

extern "C" {
#include "7z.h"
#include "7zCrc.h"
}

namespace stub {

using namespace platform;

namespace {

constexpr UInt32 kNoFolder = 0xFFFFFFFFu;
constexpr SizeT kWriteChunkBytes = 1u << 20;  // the most one write call is handed

// A load the optimiser may not remove: keeps the guard bytes (and so their place right after the
// decoder's signature constant) in the linked image.
void TouchSignatureGuard() {
    const volatile u8* guard = kSevenZipSignatureGuard;
    static_cast<void>(guard[0]);
}

Reason StopReason(SRes res) {
    switch (res) {
        case SZ_ERROR_UNSUPPORTED: return Reason::SevenZipUnsupported;
        case SZ_ERROR_MEM: return Reason::SevenZipMemory;
        case SZ_ERROR_CRC: return Reason::SevenZipCrc;
        case SZ_ERROR_READ:
        case SZ_ERROR_INPUT_EOF: return Reason::SevenZipRead;
        default: return Reason::SevenZipData;
    }
}

// The folder being streamed, and how far its unpacked bytes have been taken.
struct OpenFolder {
    UInt32 index;      // kNoFolder: none
    UInt32 lastFile;   // the folder's last file that is written: its end is the folder's end
    u64 position;      // unpacked bytes taken so far
    FolderDecoder decoder;
    SevenZipPipeline pipeline;
};

// The folder's last file entry with data that is not a directory.
UInt32 LastFileOf(const CSzArEx& db, UInt32 folder) {
    UInt32 last = kNoFolder;
    for (UInt32 i = db.FolderToFile[folder]; i < db.NumFiles && i < db.FolderToFile[folder + 1]; ++i) {
        if (db.FileToFolder[i] == folder && !SzArEx_IsDir(&db, i)) last = i;
    }
    return last;
}

// Takes `count` unpacked bytes of the folder, handing each slice to `file` when it is not
// INVALID_HANDLE_VALUE, and to the running CRC. SZ_ERROR_WRITE for a failed write.
SRes Take(OpenFolder& open, u64 count, Handle file, UInt32* crc) {
    while (count != 0) {
        const Byte* data;
        SizeT size;
        const SizeT most = count < kWriteChunkBytes ? static_cast<SizeT>(count) : kWriteChunkBytes;
        const SRes res = PipelineRead(open.pipeline, &data, &size, most);
        if (res != SZ_OK) return res;
        if (size == 0) return SZ_ERROR_DATA;  // the folder ended before the entry did
        open.position += size;
        count -= size;
        if (file == INVALID_HANDLE_VALUE) continue;
        *crc = CrcUpdate(*crc, data, size);
        u32 written = 0;
        if (!WriteFile(file, data, static_cast<u32>(size), &written, nullptr) || written != size) {
            return SZ_ERROR_WRITE;
        }
    }
    return SZ_OK;
}

// Writes entry `i` (a file with data in folder `folder`) to the path in stagingRoot, which the
// caller has created. Not SZ_OK: the extraction stops (the caller deletes the file).
SRes StreamEntry(const CSzArEx& db, UInt32 i, UInt32 folder, OpenFolder& open, Handle file) {
    const u64 start = db.UnpackPositions[i] - db.UnpackPositions[db.FolderToFile[folder]];
    const u64 size = SzArEx_GetFileSize(&db, i);
    // Entries come in folder order; what lies between them (a directory's data) is passed over.
    if (start < open.position) return SZ_ERROR_FAIL;
    SRes res = Take(open, start - open.position, INVALID_HANDLE_VALUE, nullptr);
    if (res != SZ_OK) return res;
    UInt32 crc = CRC_INIT_VAL;
    res = Take(open, size, file, &crc);
    if (res != SZ_OK) return res;
    if (i == open.lastFile) {
        // The folder's last file is kept only when the whole folder ended as it must.
        res = Take(open, open.decoder.unpackSize - open.position, INVALID_HANDLE_VALUE, nullptr);
        if (res != SZ_OK) return res;
        const Byte* data;
        SizeT size;
        res = PipelineRead(open.pipeline, &data, &size, 1);
        if (res == SZ_OK && size != 0) res = SZ_ERROR_DATA;
        if (res != SZ_OK) return res;
    }
    if (SzBitWithVals_Check(&db.CRCs, i) && CRC_GET_DIGEST(crc) != db.CRCs.Vals[i]) return SZ_ERROR_CRC;
    return SZ_OK;
}

void CloseFolder(OpenFolder& open) {
    if (open.index != kNoFolder) {
        PipelineStop(open.pipeline, &kSevenZipMainAllocator);
        FolderDecoderFree(open.decoder, &kSevenZipMainAllocator);
    }
    open.index = kNoFolder;
}

}  // namespace

void SevenZipExtractor(RunState& state) {
    TouchSignatureGuard();

    SevenZipInput input;
    SevenZipInputSetUp(input, state.selfFile);
    const ISzAllocPtr mainAllocator = &kSevenZipMainAllocator;
    const ISzAllocPtr tempAllocator = &kSevenZipTempAllocator;

    CrcGenerateTable();

    CSzArEx db;
    SzArEx_Init(&db);
    OpenFolder open;
    open.index = kNoFolder;
    WChar* entryName = nullptr;
    size_t entryNameCapacity = 0;

    SRes opened = SzArEx_Open(&db, SevenZipLookStream(input), mainAllocator, tempAllocator);
    // Without a name table no entry can be named: treated like an archive that did not open.
    if (opened == SZ_OK && db.NumFiles != 0 && db.FileNameOffsets == nullptr) opened = SZ_ERROR_ARCHIVE;
    if (opened != SZ_OK) NoteStop(Reason::SevenZipOpen, static_cast<u32>(opened));

    for (UInt32 i = 0; opened == SZ_OK && i < db.NumFiles; ++i) {
        if (SzArEx_IsDir(&db, i)) continue;

        // The length counts the terminating NUL.
        const size_t len = SzArEx_GetFileNameUtf16(&db, i, nullptr);
        if (len > entryNameCapacity) {
            SevenZipFree(nullptr, entryName);
            entryNameCapacity = 0;
            entryName = static_cast<WChar*>(SevenZipAlloc(nullptr, len * sizeof(WChar)));
            if (entryName == nullptr) {
                NoteStop(Reason::SevenZipMemory, i);
                break;
            }
            entryNameCapacity = len;
        }
        SzArEx_GetFileNameUtf16(&db, i, reinterpret_cast<UInt16*>(entryName));

        // A file with data needs its folder's decoder before anything is created for it.
        const UInt32 folder = db.FileToFolder[i];
        if (folder != kNoFolder && folder != open.index) {
            CloseFolder(open);
            SRes res = FolderDecoderOpen(open.decoder, db, folder, state.selfFile, mainAllocator);
            if (res == SZ_OK) {
                res = PipelineStart(open.pipeline, open.decoder, mainAllocator);
                if (res != SZ_OK) FolderDecoderFree(open.decoder, mainAllocator);
            }
            if (res != SZ_OK) {
                NoteStop(StopReason(res), i);
                break;
            }
            open.index = folder;
            open.lastFile = LastFileOf(db, folder);
            open.position = 0;
        }

        // Path-length rule (the first test also keeps the 32-bit casts exact), then the name
        // check, before anything is created for the entry.
        if (len > kMaxPathChars || !EntryPathFits(state.staging, static_cast<u32>(len))) {
            FailRun(Reason::NameTooLong, i);
        }
        if (!EntryNameIsSafe(entryName, static_cast<u32>(len))) FailRun(Reason::NameUnsafe, i);
        if (!EntryPathBuilder(state.staging, entryName, static_cast<u32>(len))) FailRun(Reason::EntryFolder, i);

        const Handle file = CreateFileW(state.staging.stagingRoot, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                                        CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) FailRun(Reason::EntryCreate, i);

        SRes res = folder == kNoFolder ? SZ_OK : StreamEntry(db, i, folder, open, file);
        if (!CloseHandle(file) && res == SZ_OK) res = SZ_ERROR_WRITE;
        if (res != SZ_OK) {
            // No partly written or unverified file is left for the installer.
            DeleteFileW(state.staging.stagingRoot);
            NoteStop(res == SZ_ERROR_WRITE ? Reason::SevenZipWrite : StopReason(res), i);
            break;
        }
    }

    CloseFolder(open);
    SevenZipFree(nullptr, entryName);
    SzArEx_Free(&db, mainAllocator);
}

}  // namespace stub
