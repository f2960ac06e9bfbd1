#include "payload/SevenZipExtractor.h"

#include "launcher/StagingDirectory.h"
#include "payload/EntryNameCheck.h"
#include "payload/SevenZipAllocators.h"
#include "payload/SevenZipSignatureGuard.h"
#include "payload/SevenZipStreams.h"

extern "C" {
#include "7z.h"
#include "7zCrc.h"
}

namespace stub {

using namespace platform;

namespace {

constexpr u32 kNoFolder = 0xFFFFFFFFu;

[[noreturn]] void Fail() { ExitProcess(kFailureExitCode); }

// A load the optimiser may not remove: keeps the guard bytes (and so their place right after the
// decoder's signature constant) in the linked image.
void TouchSignatureGuard() {
    const volatile u8* guard = kSevenZipSignatureGuard;
    static_cast<void>(guard[0]);
}

// Writes one decoded entry to the path in stagingRoot. False when the write or the close failed
// (the extraction stops there); a file that cannot be created ends the run.
bool WriteEntryFile(const StagingState& staging, const Byte* data, size_t size) {
    EntryFile entryFile;
    entryFile.handle = CreateFileW(staging.stagingRoot, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                                   CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (entryFile.handle == INVALID_HANDLE_VALUE) Fail();

    size_t count = size;
    const WRes written = EntryFileWrite(entryFile, data, &count);
    if (written != 0 || count != size) {
        EntryFileClose(entryFile);  // the partly written file stays; its handle does not
        return false;
    }
    return EntryFileClose(entryFile) == 0;
}

}  // namespace

void SevenZipExtractor(RunState& state) {
    TouchSignatureGuard();

    SevenZipInput input;
    SevenZipInputSetUp(input, state.selfFile);
    const ISzAllocPtr mainAllocator = &kSevenZipMainAllocator;
    const ISzAllocPtr tempAllocator = &kSevenZipTempAllocator;

    CrcGenerateTable();

    CSzArEx archiveDatabase;
    SzArEx_Init(&archiveDatabase);

    u32 cachedFolderIndex = kNoFolder;
    Byte* folderBuffer = nullptr;
    size_t folderBufferSize = 0;
    WChar* entryName = nullptr;
    size_t entryNameCapacity = 0;

    SRes opened = SzArEx_Open(&archiveDatabase, SevenZipLookStream(input), mainAllocator,
                              tempAllocator);
    // Without a name table no entry can be named: treated like an archive that did not open.
    if (opened == SZ_OK && archiveDatabase.NumFiles != 0 &&
        archiveDatabase.FileNameOffsets == nullptr) {
        opened = SZ_ERROR_ARCHIVE;
    }

    if (opened == SZ_OK) {
        for (u32 i = 0; i < archiveDatabase.NumFiles; ++i) {
            size_t entryOffset = 0;
            size_t entrySize = 0;

            if (SzArEx_IsDir(&archiveDatabase, i)) continue;

            // The length counts the terminating NUL.
            const size_t len = SzArEx_GetFileNameUtf16(&archiveDatabase, i, nullptr);
            if (len > entryNameCapacity) {
                SevenZipFree(nullptr, entryName);
                entryName = nullptr;
                entryNameCapacity = 0;
                entryName = static_cast<WChar*>(SevenZipAlloc(nullptr, len * sizeof(WChar)));
                if (entryName == nullptr) break;
                entryNameCapacity = len;
            }
            SzArEx_GetFileNameUtf16(&archiveDatabase, i, reinterpret_cast<UInt16*>(entryName));

            const SRes extracted = SzArEx_Extract(
                &archiveDatabase, SevenZipLookStream(input), i, &cachedFolderIndex, &folderBuffer,
                &folderBufferSize, &entryOffset, &entrySize, mainAllocator, tempAllocator);
            if (extracted != SZ_OK) break;

            // Path-length rule (the first test also keeps the 32-bit casts exact), then the name
            // check, before anything is created for the entry.
            if (len > kMaxPathChars || !EntryPathFits(state.staging, static_cast<u32>(len))) Fail();
            if (!EntryNameIsSafe(entryName, static_cast<u32>(len))) Fail();
            if (!EntryPathBuilder(state.staging, entryName, static_cast<u32>(len))) Fail();

            if (!WriteEntryFile(state.staging, folderBuffer + entryOffset, entrySize)) break;
        }
    }

    SevenZipFree(nullptr, entryName);
    ISzAlloc_Free(mainAllocator, folderBuffer);
    SzArEx_Free(&archiveDatabase, mainAllocator);
}

}  // namespace stub
