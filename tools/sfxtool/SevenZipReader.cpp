#include "sfxtool/SevenZipReader.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>

#include "payload/SevenZipFolderDecoder.h"

extern "C" {
#include "7z.h"
#include "7zCrc.h"
}

namespace sfxtool {
namespace {

// The decoder's seekable input over a Linux FILE.
struct FileSeekStream {
    ISeekInStream vt;  // first member: the interface pointer is the record's address
    FILE* file;
};

SRes FileRead(ISeekInStreamPtr pp, void* buf, size_t* size) {
    auto* self = reinterpret_cast<const FileSeekStream*>(pp);
    const size_t want = *size;
    *size = want ? std::fread(buf, 1, want, self->file) : 0;
    return (*size < want && std::ferror(self->file)) ? SZ_ERROR_READ : SZ_OK;
}

SRes FileSeek(ISeekInStreamPtr pp, Int64* pos, ESzSeek origin) {
    auto* self = reinterpret_cast<const FileSeekStream*>(pp);
    const int whence = origin == SZ_SEEK_SET ? SEEK_SET : origin == SZ_SEEK_CUR ? SEEK_CUR : SEEK_END;
    if (fseeko(self->file, static_cast<off_t>(*pos), whence) != 0) return SZ_ERROR_READ;
    *pos = static_cast<Int64>(ftello(self->file));
    return SZ_OK;
}

void* AllocBlock(ISzAllocPtr, size_t size) { return size ? std::malloc(size) : std::malloc(1); }
void FreeBlock(ISzAllocPtr, void* address) { std::free(address); }
const ISzAlloc kAlloc = {AllocBlock, FreeBlock};

constexpr size_t kLookBufferSize = 1 << 16;

// One open archive: file, streams, database.
struct OpenArchive {
    FILE* file = nullptr;
    FileSeekStream stream{};
    CLookToRead2 look{};
    std::unique_ptr<Byte[]> lookBuffer{new Byte[kLookBufferSize]};
    CSzArEx db{};
    bool dbInit = false;
    int result = SZ_ERROR_FAIL;

    OpenArchive(const std::string& path, uint64_t offset) {
        static const bool crcReady = (CrcGenerateTable(), true);
        (void)crcReady;
        file = std::fopen(path.c_str(), "rb");
        if (!file) { result = SZ_ERROR_READ; return; }
        stream.vt.Read = FileRead;
        stream.vt.Seek = FileSeek;
        stream.file = file;
        LookToRead2_CreateVTable(&look, False);
        look.buf = lookBuffer.get();
        look.bufSize = kLookBufferSize;
        look.realStream = &stream.vt;
        LookToRead2_INIT(&look);
        Int64 pos = static_cast<Int64>(offset);
        if (look.vt.Seek(&look.vt, &pos, SZ_SEEK_SET) != SZ_OK) { result = SZ_ERROR_READ; return; }
        SzArEx_Init(&db);
        dbInit = true;
        result = SzArEx_Open(&db, &look.vt, &kAlloc, &kAlloc);
    }
    ~OpenArchive() {
        if (dbInit) SzArEx_Free(&db, &kAlloc);
        if (file) std::fclose(file);
    }
};

uint64_t Le64(const unsigned char* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

}  // namespace

std::string MethodName(uint32_t id) {
    switch (id) {
        case 0x00: return "Copy";
        case 0x030101: return "LZMA";
        case 0x21: return "LZMA2";
        case 0x03: return "Delta";
        case 0x03030103: return "BCJ";
        case 0x0303011B: return "BCJ2";
        case 0x03030205: return "PPC";
        case 0x03030401: return "IA64";
        case 0x03030501: return "ARM";
        case 0x03030701: return "ARMT";
        case 0x03030805: return "SPARC";
        case 0x0A: return "ARM64";
        case 0x0B: return "RISCV";
        case 0x030401: return "PPMD";
        case 0x06F10701: return "AES";
        case 0x040108: return "Deflate";
        case 0x040109: return "Deflate64";
        case 0x040202: return "BZip2";
        default: {
            char buf[16];
            std::snprintf(buf, sizeof buf, "%X", id);
            return std::string("method ") + buf;
        }
    }
}

std::string CoderChain(const SevenZipFolder& f) {
    std::string s;
    for (size_t i = f.coders.size(); i-- > 0;) {  // filters last in the folder come first in use
        if (!s.empty()) s += ' ';
        s += MethodName(f.coders[i].methodId);
    }
    return s;
}

std::string SevenZipResultText(int sres) {
    switch (sres) {
        case SZ_OK: return "ok";
        case SZ_ERROR_DATA: return "data error";
        case SZ_ERROR_MEM: return "out of memory";
        case SZ_ERROR_CRC: return "CRC mismatch";
        case SZ_ERROR_UNSUPPORTED: return "unsupported method or version";
        case SZ_ERROR_ARCHIVE: return "malformed archive header";
        case SZ_ERROR_NO_ARCHIVE: return "no 7z signature";
        case SZ_ERROR_INPUT_EOF: return "archive runs past the end of the file";
        case SZ_ERROR_READ: return "read error";
        default: return "decoder error " + std::to_string(sres);
    }
}

SevenZipListing ListSevenZip(const std::string& path, uint64_t offset) {
    SevenZipListing out;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        unsigned char head[32];
        if (fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0 && std::fread(head, 1, 32, f) == 32) {
            out.startHeaderRead = true;
            out.versionMajor = head[6];
            out.archiveSize = 32 + Le64(head + 12) + Le64(head + 20);
        }
        std::fclose(f);
    }
    OpenArchive arc(path, offset);
    out.openResult = arc.result;
    // Without a name table no entry can be named: the stub takes that for an archive that does
    // not open.
    if (arc.result == SZ_OK && arc.db.NumFiles != 0 && arc.db.FileNameOffsets == nullptr) out.openResult = SZ_ERROR_ARCHIVE;
    if (out.openResult != SZ_OK) return out;
    const CSzAr& ar = arc.db.db;
    out.numPackStreams = ar.NumPackStreams;
    for (UInt32 i = 0; i < ar.NumFolders; ++i) {
        SevenZipFolder folder;
        CSzData sd{ar.CodersData + ar.FoCodersOffsets[i], ar.FoCodersOffsets[i + 1] - ar.FoCodersOffsets[i]};
        CSzFolder f{};
        if (SzGetNextFolderItem(&f, &sd) == SZ_OK) {
            for (UInt32 c = 0; c < f.NumCoders; ++c)
                folder.coders.push_back({f.Coders[c].MethodID, f.Coders[c].NumStreams, f.Coders[c].PropsSize});
            folder.numPackStreams = f.NumPackStreams;
            for (UInt32 k = 0; k < f.NumPackStreams; ++k) folder.packStreams.push_back(f.PackStreams[k]);
            for (UInt32 k = 0; k < f.NumBonds; ++k) folder.bonds.emplace_back(f.Bonds[k].InIndex, f.Bonds[k].OutIndex);
        }
        folder.unpackSize = SzAr_GetFolderUnpackSize(&ar, i);
        folder.packSize = ar.PackPositions[ar.FoStartPackStreamIndex[i + 1]] -
                          ar.PackPositions[ar.FoStartPackStreamIndex[i]];
        const SRes check = stub::FolderDecoderCheck(arc.db, i);
        folder.shapeAccepted = check == SZ_OK;
        if (!folder.shapeAccepted) folder.why = SevenZipResultText(check);
        folder.memory = stub::FolderDecoderMemory(arc.db, i);
        out.folders.push_back(std::move(folder));
    }
    for (UInt32 i = 0; i < arc.db.NumFiles; ++i) {
        SevenZipEntry e;
        const size_t len = SzArEx_GetFileNameUtf16(&arc.db, i, nullptr);
        std::vector<UInt16> name(len ? len : 1, 0);
        SzArEx_GetFileNameUtf16(&arc.db, i, name.data());
        e.nameUnits = static_cast<uint32_t>(len);
        for (size_t k = 0; k + 1 < len; ++k) e.name.push_back(static_cast<char16_t>(name[k]));
        e.isDir = SzArEx_IsDir(&arc.db, i);
        e.size = SzArEx_GetFileSize(&arc.db, i);
        const UInt32 folder = arc.db.FileToFolder[i];
        if (folder != static_cast<UInt32>(-1)) {
            e.folder = folder;
            e.firstInFolder = arc.db.FolderToFile[folder] == i;
        }
        out.entries.push_back(std::move(e));
    }
    return out;
}

}  // namespace sfxtool

namespace sfxtool {

SevenZipLayout ReadSevenZipLayout(const std::string& path) {
    OpenArchive arc(path, 0);
    if (arc.result != SZ_OK) throw std::runtime_error(path + ": " + SevenZipResultText(arc.result));
    const CSzArEx& db = arc.db;
    const CSzAr& ar = db.db;
    if (db.Attribs.Defs || db.MTime.Defs || db.CTime.Defs)
        throw std::runtime_error(path + " stores times or attributes");
    if (db.NumFiles != 0 && db.FileNameOffsets == nullptr) throw std::runtime_error(path + " stores no names");
    SevenZipLayout out;
    out.path = path;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        unsigned char head[8];
        if (std::fread(head, 1, 8, f) == 8) out.versionMinor = head[7];
        std::fclose(f);
    }
    for (UInt32 i = 0; i < ar.NumFolders; ++i) {
        SevenZipLayout::Folder folder;
        folder.record.assign(reinterpret_cast<const char*>(ar.CodersData + ar.FoCodersOffsets[i]),
                             ar.FoCodersOffsets[i + 1] - ar.FoCodersOffsets[i]);
        for (UInt32 k = ar.FoToCoderUnpackSizes[i]; k < ar.FoToCoderUnpackSizes[i + 1]; ++k)
            folder.unpackSizes.push_back(ar.CoderUnpackSizes[k]);
        folder.crcDefined = SzBitWithVals_Check(&ar.FolderCRCs, i);
        folder.crc = folder.crcDefined ? ar.FolderCRCs.Vals[i] : 0;
        for (UInt32 k = ar.FoStartPackStreamIndex[i]; k < ar.FoStartPackStreamIndex[i + 1]; ++k)
            folder.packSizes.push_back(ar.PackPositions[k + 1] - ar.PackPositions[k]);
        folder.packOffset = db.dataPos + ar.PackPositions[ar.FoStartPackStreamIndex[i]];
        out.folders.push_back(std::move(folder));
    }
    for (UInt32 i = 0; i < db.NumFiles; ++i) {
        SevenZipLayout::File file;
        const size_t len = SzArEx_GetFileNameUtf16(&db, i, nullptr);
        std::vector<UInt16> name(len ? len : 1, 0);
        SzArEx_GetFileNameUtf16(&db, i, name.data());
        for (size_t k = 0; k + 1 < len; ++k) file.name.push_back(static_cast<char16_t>(name[k]));
        file.isDir = SzArEx_IsDir(&db, i);
        const UInt32 folder = db.FileToFolder[i];
        file.hasStream = folder != static_cast<UInt32>(-1);
        if (file.hasStream) {
            SevenZipLayout::Folder& f = out.folders.at(folder);
            f.streamSizes.push_back(SzArEx_GetFileSize(&db, i));
            f.streamCrcDefined.push_back(SzBitWithVals_Check(&db.CRCs, i));
            f.streamCrcs.push_back(f.streamCrcDefined.back() ? db.CRCs.Vals[i] : 0);
        }
        out.files.push_back(std::move(file));
    }
    for (const auto& f : out.folders)
        if (f.streamSizes.empty()) throw std::runtime_error(path + " has a folder without files");
    return out;
}

}  // namespace sfxtool
