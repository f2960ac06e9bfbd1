#include "ReferenceModel.h"

#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "payload/EntryNameCheck.h"
#include "payload/SevenZipFolderDecoder.h"
#include "platform/host/host.h"
#include "platform/platform.h"

extern "C" {
#include "7z.h"
#include "7zCrc.h"
}

namespace fuzzmodel {

namespace {

constexpr uint32_t kMaxPath = 260;
constexpr uint64_t kLargestHeapBlock = 0x7FFFFFFFull;  // the host heap refuses anything larger
constexpr char16_t kDefaultInstaller[] = u"Orvak ZEB Installer.exe";

uint32_t Le16(const std::string& b, uint64_t at) {
    return static_cast<uint8_t>(b[at]) | (static_cast<uint32_t>(static_cast<uint8_t>(b[at + 1])) << 8);
}
uint32_t Le32(const std::string& b, uint64_t at) { return Le16(b, at) | (Le16(b, at + 2) << 16); }

bool SevenZipWindow(const std::string& f, uint64_t p) {
    static const uint8_t kSig[6] = {0x37, 0x7A, 0xBC, 0xAF, 0x27, 0x1C};
    for (int i = 0; i < 6; ++i)
        if (static_cast<uint8_t>(f[p + i]) != kSig[i]) return false;
    return f[p + 32] == 0;
}
bool ZipWindow(const std::string& f, uint64_t p) {
    return f[p] == 'P' && f[p + 1] == 'K' && f[p + 2] == 3 && f[p + 3] == 4;
}

// UTF-8 to UTF-16 with the platform's converter (outside a run: not counted, never failed).
std::u16string Convert(const char* bytes, int count, bool* ok) {
    std::vector<char16_t> out(kMaxPath + 1, 0);
    const int n = platform::MultiByteToWideChar(platform::CP_UTF8, 0, bytes, count, out.data(),
                                                static_cast<int>(kMaxPath));
    *ok = n > 0;
    if (n <= 0) return {};
    return std::u16string(out.data(), static_cast<size_t>(n));
}

bool PathFits(uint32_t stagingLength, uint64_t count) {
    return count < kMaxPath && stagingLength + count + 1 < kMaxPath;
}

// Characters no Windows file name may hold (":" never passes the entry-name check).
bool HasInvalidCharacter(const std::u16string& name) {
    for (const char16_t c : name) {
        if (c < 0x20 || c == u'<' || c == u'>' || c == u'"' || c == u'|' || c == u'*' || c == u'?')
            return true;
    }
    return false;
}

// Records one file entry in the extraction: its parent folders (created at every "/"), then the
// file itself (CREATE_NEW). False when the run must end there.
bool AddFile(Extraction& x, const std::u16string& name, std::string data) {
    if (HasInvalidCharacter(name)) return false;  // the folder or the file cannot be created
    bool uncertain = false;
    // Parents are created only at "/" by the entry path builder; a "\" inside a component is a
    // separator to the platform but creates nothing: leave such names to the other checks.
    if (name.find(u'\\') != std::u16string::npos) x.uncertain = true;
    // A folder whose name still ends in a dot or a space once Win32 took one dot away is reached
    // by no path: the entry's file cannot be created.
    size_t start = 0;
    for (size_t cut = name.find(u'/'); cut != std::u16string::npos; cut = name.find(u'/', start)) {
        std::u16string part = name.substr(start, cut - start);
        if (!part.empty() && part.back() == u'.') part.pop_back();
        if (!part.empty() && (part.back() == u'.' || part.back() == u' ')) return false;
        start = cut + 1;
    }
    for (size_t cut = name.find(u'/'); cut != std::u16string::npos; cut = name.find(u'/', cut + 1)) {
        const std::u16string parent = PathKey(name.substr(0, cut), &uncertain);
        if (x.files.count(parent) != 0) return false;  // a file where a folder must go
        x.folders.insert(parent);
    }
    const std::u16string key = PathKey(name, &uncertain);
    if (uncertain) x.uncertain = true;
    if (x.files.count(key) != 0 || x.folders.count(key) != 0) return false;
    x.files[key] = std::move(data);
    return true;
}

// ---- the 7z decoder over memory -------------------------------------------------------------

struct MemoryStream {
    ISeekInStream vt;
    const std::string* bytes;
    uint64_t position;
};

SRes MemoryRead(ISeekInStreamPtr p, void* buf, size_t* size) {
    auto* s = Z7_CONTAINER_FROM_VTBL(p, MemoryStream, vt);
    const uint64_t total = s->bytes->size();
    size_t n = 0;
    if (s->position < total) n = static_cast<size_t>(std::min<uint64_t>(*size, total - s->position));
    if (n != 0) std::memcpy(buf, s->bytes->data() + s->position, n);
    s->position += n;
    *size = n;
    return SZ_OK;
}

SRes MemorySeek(ISeekInStreamPtr p, Int64* pos, ESzSeek origin) {
    auto* s = Z7_CONTAINER_FROM_VTBL(p, MemoryStream, vt);
    Int64 base = 0;
    if (origin == SZ_SEEK_CUR) base = static_cast<Int64>(s->position);
    if (origin == SZ_SEEK_END) base = static_cast<Int64>(s->bytes->size());
    const Int64 target = base + *pos;
    if (target < 0) return SZ_ERROR_READ;
    s->position = static_cast<uint64_t>(target);
    *pos = target;
    return SZ_OK;
}

// The model's allocator: refuses what the host heap refuses, and what is too large to run here
// (noted, so the input is skipped).
bool g_tooLarge = false;
void* ModelAlloc(ISzAllocPtr, size_t size) {
    if (size == 0) return nullptr;
    if (size > kLargestHeapBlock) return nullptr;
    if (size > kLargestBlock) {
        g_tooLarge = true;
        return nullptr;
    }
    return std::malloc(size);
}
void ModelFree(ISzAllocPtr, void* address) { std::free(address); }
const ISzAlloc kModelAlloc = {ModelAlloc, ModelFree};

}  // namespace

Location Locate(const std::string& file) {
    Location where;
    if (file.size() < 33) {
        where.tooShort = true;
        return where;
    }
    for (uint64_t p = 0; p + 33 <= file.size(); ++p) {
        if (SevenZipWindow(file, p)) {
            where.kind = Kind::SevenZip;
            where.offset = p;
            return where;
        }
        if (ZipWindow(file, p)) {
            where.kind = Kind::Zip;
            where.offset = p;
            return where;
        }
    }
    return where;
}

std::u16string PathKey(const std::u16string& relative, bool* uncertain) {
    std::u16string key;
    size_t start = 0;
    for (size_t i = 0; i <= relative.size(); ++i) {
        if (i < relative.size() && relative[i] != u'/' && relative[i] != u'\\') continue;
        std::u16string part = relative.substr(start, i - start);
        // As Win32 paths trim: the last component loses its trailing dots and spaces, another one
        // trailing dot (a folder name that still ends in one names no folder: see AddFile).
        if (i == relative.size()) {
            while (!part.empty() && (part.back() == u'.' || part.back() == u' ')) part.pop_back();
        } else if (!part.empty() && part.back() == u'.') {
            part.pop_back();
        }
        if (part.empty()) *uncertain = true;
        if (!key.empty()) key += u'/';
        key += platform::host::FoldCase(part);
        start = i + 1;
    }
    return key;
}

Extraction ExtractZip(const std::string& f, uint64_t pos, uint32_t stagingLength) {
    Extraction x;
    const uint64_t size = f.size();
    for (;;) {
        if (pos + 30 > size) {
            x.endsRun = true;  // the header read comes short: also right after the last entry
            return x;
        }
        if (!ZipWindow(f, pos)) return x;  // the end of the local records
        const uint32_t flags = Le16(f, pos + 6);
        const uint32_t method = Le16(f, pos + 8);
        const uint32_t crc = Le32(f, pos + 14);
        const uint32_t packed = Le32(f, pos + 18);
        const uint32_t unpacked = Le32(f, pos + 22);
        const uint32_t nameLength = Le16(f, pos + 26);
        const uint32_t extraLength = Le16(f, pos + 28);
        pos += 30;
        // Encryption (plain or strong), sizes in a data descriptor, patched data, a masked header, a
        // method other than stored and deflate, a ZIP64 size, or a stored entry whose two sizes
        // differ: not what the walk can take.
        if ((flags & 0x2069) != 0 || (method != 0 && method != 8) || packed == 0xFFFFFFFFu ||
            unpacked == 0xFFFFFFFFu || (method == 0 && packed != unpacked)) {
            x.endsRun = true;
            return x;
        }
        if (nameLength == 0 || !PathFits(stagingLength, nameLength) || pos + nameLength > size) {
            x.endsRun = true;
            return x;
        }
        const std::string nameBytes = f.substr(pos, nameLength);
        pos += nameLength;
        bool converted = false;
        const std::u16string name =
            nameBytes.find('\0') == std::string::npos
                ? Convert(nameBytes.data(), static_cast<int>(nameLength), &converted)
                : std::u16string();
        if (!converted || !stub::EntryNameIsSafe(name.data(), static_cast<uint32_t>(name.size()))) {
            x.endsRun = true;
            return x;
        }
        if (name.back() == u'/') {  // a folder entry: its extra field and any data are skipped
            if (pos + extraLength + packed > size) {  // data declared past the end of the file
                x.endsRun = true;
                return x;
            }
            pos += extraLength + packed;
            continue;
        }
        // The parent folders come first; a file in their way ends the run.
        bool uncertain = false;
        for (size_t cut = name.find(u'/'); cut != std::u16string::npos; cut = name.find(u'/', cut + 1)) {
            if (x.files.count(PathKey(name.substr(0, cut), &uncertain)) != 0) {
                x.endsRun = true;
                return x;
            }
        }
        pos += extraLength;
        if (unpacked > kLargestBlock || (method != 0 && packed > kLargestBlock)) {
            x.tooLarge = true;
            return x;
        }
        std::string data;
        if (method == 0) {
            if (pos + unpacked > size) {
                x.endsRun = true;
                return x;
            }
            data = f.substr(pos, unpacked);
            pos += unpacked;
        } else {
            if (pos + packed > size) {
                x.endsRun = true;
                return x;
            }
            std::string in = f.substr(pos, packed);
            pos += packed;
            // Whole: the stream ends exactly after the declared size (input after its end is not
            // read). Inflated a chunk at a time, so that a stream that fails early costs what it
            // gave, not its declared size.
            z_stream z{};
            z.next_in = reinterpret_cast<Bytef*>(in.data());
            z.avail_in = packed;
            if (inflateInit2(&z, -15) != Z_OK) std::abort();
            bool whole = false;
            static Bytef chunk[1 << 16];
            for (;;) {
                const uInt room = static_cast<uInt>(std::min<uint64_t>(sizeof chunk, unpacked - data.size()));
                z.next_out = chunk;
                z.avail_out = room == 0 ? 1 : room;  // all given: the end must come with no byte more
                const int r = inflate(&z, Z_NO_FLUSH);
                if (room == 0) {
                    whole = r == Z_STREAM_END && z.avail_out == 1;
                    break;
                }
                data.append(reinterpret_cast<const char*>(chunk), room - z.avail_out);
                if (r == Z_STREAM_END) {
                    whole = data.size() == unpacked;
                    break;
                }
                if (r != Z_OK) break;  // corrupt, or the input ended
            }
            inflateEnd(&z);
            if (!whole) {
                x.endsRun = true;
                return x;
            }
        }
        if (crc32(0L, reinterpret_cast<const Bytef*>(data.data()), unpacked) != crc) {
            x.endsRun = true;
            return x;
        }
        if (!AddFile(x, name, std::move(data))) {
            x.endsRun = true;
            return x;
        }
    }
}

Extraction ExtractSevenZip(const std::string& f, uint64_t offset, uint32_t stagingLength) {
    Extraction x;
    static bool crcReady = false;
    if (!crcReady) {
        CrcGenerateTable();
        crcReady = true;
    }
    MemoryStream stream;
    stream.vt.Read = MemoryRead;
    stream.vt.Seek = MemorySeek;
    stream.bytes = &f;
    stream.position = offset;
    std::vector<Byte> lookBuffer(16384);
    CLookToRead2 look;
    LookToRead2_CreateVTable(&look, False);
    look.buf = lookBuffer.data();
    look.bufSize = lookBuffer.size();
    look.realStream = &stream.vt;
    LookToRead2_INIT(&look);

    g_tooLarge = false;
    CSzArEx db;
    SzArEx_Init(&db);
    SRes opened = SzArEx_Open(&db, &look.vt, &kModelAlloc, &kModelAlloc);
    if (opened == SZ_OK && db.NumFiles != 0 && db.FileNameOffsets == nullptr) opened = SZ_ERROR_ARCHIVE;
    if (opened == SZ_OK) {
        for (UInt32 k = 0; k < db.db.NumFolders; ++k) {
            if (SzAr_GetFolderUnpackSize(&db.db, k) > kLargestBlock) g_tooLarge = true;
        }
    }
    UInt32 cachedFolder = 0xFFFFFFFFu;
    Byte* folderBuffer = nullptr;
    size_t folderSize = 0;
    if (opened == SZ_OK && !g_tooLarge) {
        for (UInt32 i = 0; i < db.NumFiles; ++i) {
            if (SzArEx_IsDir(&db, i)) continue;
            const size_t len = SzArEx_GetFileNameUtf16(&db, i, nullptr);
            if (len > 0x7FFFFFFFu / 2) break;
            std::vector<UInt16> name(len + 1, 0);
            SzArEx_GetFileNameUtf16(&db, i, name.data());
            size_t entryOffset = 0;
            size_t entrySize = 0;
            const SRes extracted = SzArEx_Extract(&db, &look.vt, i, &cachedFolder, &folderBuffer,
                                                  &folderSize, &entryOffset, &entrySize,
                                                  &kModelAlloc, &kModelAlloc);
            if (g_tooLarge) break;
            // A folder the stub's decoder refuses when it opens it (method, shape, properties,
            // sizes that cannot fit together) stops the extraction before anything is created for
            // the entry; the whole-folder decoder says only that the folder fails.
            const UInt32 folderOf = db.FileToFolder[i];
            if (folderOf != 0xFFFFFFFFu && stub::FolderDecoderCheck(db, folderOf) != SZ_OK) break;
            if (extracted == SZ_ERROR_MEM) break;
            const std::u16string wide(name.begin(), name.begin() + len);
            if (!PathFits(stagingLength, len) ||
                !stub::EntryNameIsSafe(wide.data(), static_cast<uint32_t>(len))) {
                x.endsRun = true;
                break;
            }
            std::u16string bare = wide;
            if (!bare.empty() && bare.back() == 0) bare.pop_back();
            if (extracted != SZ_OK) {
                // Bad data in this folder: the stub streams it and stops where the data goes wrong,
                // keeping the files before that point. Which those are, only the data tells.
                const UInt32 folder = db.FileToFolder[i];
                x.stopped = true;
                bool uncertain = false;
                for (UInt32 k = i; k < db.NumFiles && folder != 0xFFFFFFFFu; ++k) {
                    if (SzArEx_IsDir(&db, k)) continue;
                    if (db.FileToFolder[k] != folder && db.FileToFolder[k] != 0xFFFFFFFFu) break;
                    const size_t kl = SzArEx_GetFileNameUtf16(&db, k, nullptr);
                    std::vector<UInt16> kn(kl + 1, 0);
                    SzArEx_GetFileNameUtf16(&db, k, kn.data());
                    std::u16string kw(kn.begin(), kn.begin() + kl);
                    // A later name the stub would refuse, or a file in the way: the run may end.
                    if (!PathFits(stagingLength, kl) || !stub::EntryNameIsSafe(kw.data(), static_cast<uint32_t>(kl)))
                        x.uncertain = true;
                    if (!kw.empty() && kw.back() == 0) kw.pop_back();
                    if (HasInvalidCharacter(kw)) x.uncertain = true;
                    const std::u16string key = PathKey(kw, &uncertain);
                    // A name met before is refused as the later entry: the run ends if the data
                    // gets that far.
                    bool again = x.files.count(key) != 0 || x.folders.count(key) != 0;
                    for (const auto& earlier : x.partial) again = again || earlier.first == key;
                    if (again) x.uncertain = true;
                    std::optional<uint32_t> crc;
                    if (SzBitWithVals_Check(&db.CRCs, k)) crc = db.CRCs.Vals[k];
                    x.partial.emplace_back(key, crc);
                }
                if (uncertain) x.uncertain = true;
                break;
            }
            std::string data(reinterpret_cast<const char*>(folderBuffer) + entryOffset, entrySize);
            if (!AddFile(x, bare, std::move(data))) {
                x.endsRun = true;
                break;
            }
        }
    }
    ISzAlloc_Free(&kModelAlloc, folderBuffer);
    SzArEx_Free(&db, &kModelAlloc);
    x.tooLarge = g_tooLarge;
    return x;
}

Launch LaunchAfter(const Extraction& x, uint32_t stagingLength) {
    Launch launch;
    bool uncertain = false;
    const std::u16string launchKey = PathKey(u".launch", &uncertain);
    const auto marker = x.files.find(launchKey);
    if (marker == x.files.end()) {
        // No marker file; a folder named ".launch" cannot be opened as a file either.
        if (x.folders.count(launchKey) != 0) launch.uncertain = true;
        const std::u16string key = PathKey(kDefaultInstaller, &uncertain);
        launch.starts = x.files.count(key) != 0;
        launch.programKey = key;
        return launch;
    }
    bool fits = false;
    const std::u16string line = LaunchLine(marker->second, &fits);
    if (!fits || line.empty() || !stub::EntryNameIsSafe(line.data(), static_cast<uint32_t>(line.size())))
        return launch;
    // Close to the path limit the append's own rules decide: not modelled.
    if (stagingLength + 1 + line.size() + 1 >= kMaxPath - 4) {
        launch.uncertain = true;
        return launch;
    }
    const std::u16string key = PathKey(line, &uncertain);
    if (uncertain) {
        launch.uncertain = true;
        return launch;
    }
    launch.starts = x.files.count(key) != 0;  // a folder is never run
    launch.programKey = key;
    return launch;
}

size_t ParameterTailIndex(const std::u16string& line) {
    // Written from the rule, not from the launcher: "-" first: the whole line; else skip the first
    // unit, then up to and past the first delimiter (a quote after an opening quote, else a space
    // or a tab).
    if (line.empty()) return 0;
    if (line[0] == u'-') return 0;
    if (line[0] == 0) return 0;
    const bool quoted = line[0] == u'"';
    for (size_t i = 1; i < line.size(); ++i) {
        if (line[i] == 0) return i;
        if (quoted ? line[i] == u'"' : (line[i] == u' ' || line[i] == u'\t')) return i + 1;
    }
    return line.size();
}

std::u16string LaunchLine(const std::string& bytes, bool* fits) {
    // Only the first line is converted: it ends at CR, LF, a NUL or the end of what is read (261
    // bytes, one more than a line may hold), and must convert to at most 259 units.
    const std::string head = bytes.substr(0, kMaxPath + 1);
    const std::string line = head.substr(0, head.find_first_of(std::string("\r\n\0", 3)));
    *fits = line.size() <= kMaxPath;
    if (line.empty() || !*fits) return {};
    std::vector<char16_t> out(kMaxPath + 1, 0);
    const int n = platform::MultiByteToWideChar(platform::CP_UTF8, 0, line.data(), static_cast<int>(line.size()),
                                                out.data(), static_cast<int>(kMaxPath - 1));
    if (n <= 0) {
        *fits = false;
        return {};
    }
    return std::u16string(out.data(), static_cast<size_t>(n));
}

}  // namespace fuzzmodel
