#include "sfxtool/ZipWalk.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>

namespace sfxtool {
namespace {

uint32_t Le16(const unsigned char* p) { return p[0] | p[1] << 8; }
uint32_t Le32(const unsigned char* p) { return Le16(p) | Le16(p + 2) << 16; }

struct File {
    FILE* f;
    explicit File(const std::string& path) : f(std::fopen(path.c_str(), "rb")) {}
    ~File() { if (f) std::fclose(f); }
    bool ReadAt(uint64_t at, void* buf, size_t n) {
        return fseeko(f, static_cast<off_t>(at), SEEK_SET) == 0 && std::fread(buf, 1, n, f) == n;
    }
};

std::string Quote(const std::string& name) { return "\"" + name + "\""; }

// Decodes (or copies) an entry's data in chunks: produced size, CRC, and whether the stream was
// well-formed and fitted the declared size.
struct DataCheck {
    bool ok = true;
    std::string what;
    uint32_t crc = 0;
    std::string kept;  // the data itself when asked for
};

DataCheck Failed(const char* what) {
    DataCheck out;
    out.ok = false;
    out.what = what;
    return out;
}

DataCheck CheckData(File& file, uint64_t at, const ZipEntry& e, bool keep) {
    DataCheck out;
    constexpr size_t kChunk = 1 << 16;
    std::unique_ptr<unsigned char[]> in(new unsigned char[kChunk]);
    std::unique_ptr<unsigned char[]> buf(new unsigned char[kChunk]);
    uLong crc = crc32(0L, Z_NULL, 0);
    uint64_t produced = 0;
    if (fseeko(file.f, static_cast<off_t>(at), SEEK_SET) != 0) return Failed("read error");
    if (e.method == 0) {
        uint64_t left = e.size;
        while (left > 0) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(left, kChunk));
            if (std::fread(in.get(), 1, n, file.f) != n) return Failed("data runs past the end of the file");
            crc = crc32(crc, in.get(), static_cast<uInt>(n));
            if (keep) out.kept.append(reinterpret_cast<char*>(in.get()), n);
            left -= n;
        }
        out.crc = static_cast<uint32_t>(crc);
        return out;
    }
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) return Failed("zlib cannot start");
    uint64_t left = e.packedSize;
    int rc = Z_OK;
    while (rc != Z_STREAM_END) {
        if (z.avail_in == 0) {
            if (left == 0) break;
            const size_t n = static_cast<size_t>(std::min<uint64_t>(left, kChunk));
            if (std::fread(in.get(), 1, n, file.f) != n) { inflateEnd(&z); return Failed("data runs past the end of the file"); }
            left -= n;
            z.next_in = in.get();
            z.avail_in = static_cast<uInt>(n);
        }
        z.next_out = buf.get();
        z.avail_out = kChunk;
        rc = inflate(&z, Z_NO_FLUSH);
        if (rc != Z_OK && rc != Z_STREAM_END) break;
        const size_t n = kChunk - z.avail_out;
        produced += n;
        crc = crc32(crc, buf.get(), static_cast<uInt>(n));
        if (keep && out.kept.size() < (1u << 20)) out.kept.append(reinterpret_cast<char*>(buf.get()), n);
    }
    inflateEnd(&z);
    if (rc != Z_STREAM_END) {
        out.ok = false;
        out.what = "its deflate data is corrupt or cut short";
    } else if (produced > e.size) {
        out.ok = false;
        out.what = "its deflate data gives " + std::to_string(produced) + " bytes, more than the declared " +
                   std::to_string(e.size);
    }
    out.crc = static_cast<uint32_t>(crc);
    return out;
}

}  // namespace

std::string ZipEntry::methodName() const {
    switch (method) {
        case 0: return "stored";
        case 8: return "deflate";
        case 9: return "deflate64";
        case 12: return "bzip2";
        case 14: return "lzma";
        case 93: return "zstd";
        case 95: return "xz";
        case 99: return "aes";
        default: return "method " + std::to_string(method);
    }
}

ZipWalkResult WalkZip(const std::string& path, uint64_t offset, uint64_t fileSize,
                      const std::string& wantedName) {
    ZipWalkResult out;
    File file(path);
    if (!file.f) {
        out.problems.push_back({"unreadable", "cannot read " + path});
        return out;
    }
    uint64_t pos = offset;
    for (;;) {
        unsigned char h[30];
        if (pos + 30 > fileSize || !file.ReadAt(pos, h, 30)) {
            out.walkEnd = pos;
            out.problems.push_back({"zip-no-end-record",
                "the ZIP archive ends right after its last entry, so the stub's walk runs into the end of "
                "the file and fails; the stub needs a record after the last entry (a central directory): "
                "repack with sfxtool pack"});
            break;
        }
        if (Le32(h) != 0x04034B50) {
            out.walkEnd = pos;
            break;
        }
        ZipEntry e;
        e.headerOffset = pos;
        e.flags = static_cast<uint16_t>(Le16(h + 6));
        e.method = static_cast<uint16_t>(Le16(h + 8));
        e.crc = Le32(h + 14);
        e.packedSize = Le32(h + 18);
        e.size = Le32(h + 22);
        const uint32_t nameLength = Le16(h + 26);
        const uint32_t extraLength = Le16(h + 28);
        if (nameLength == 0) {
            out.walkEnd = pos;
            out.complete = false;
            out.problems.push_back({"unsafe-name", "the ZIP entry at offset " + std::to_string(pos) +
                " has an empty name, which ends the stub's run: repack with sfxtool pack"});
            break;
        }
        e.rawName.resize(nameLength);
        std::string extra(extraLength, '\0');
        if (!file.ReadAt(pos + 30, e.rawName.data(), nameLength) ||
            (extraLength && !file.ReadAt(pos + 30 + nameLength, extra.data(), extraLength))) {
            out.walkEnd = pos;
            out.complete = false;
            out.problems.push_back({"zip-truncated", "the ZIP entry at offset " + std::to_string(pos) +
                " is cut off by the end of the file: repack with sfxtool pack"});
            break;
        }
        for (size_t k = 0; k + 4 <= extra.size();) {
            const uint32_t id = Le16(reinterpret_cast<const unsigned char*>(extra.data()) + k);
            const uint32_t len = Le16(reinterpret_cast<const unsigned char*>(extra.data()) + k + 2);
            if (id == 0x0001) e.zip64Extra = true;
            k += 4 + len;
        }
        e.isDir = e.rawName.back() == '/';
        const std::string name = Quote(e.rawName);
        const uint64_t dataStart = pos + 30 + nameLength + extraLength;

        if (e.flags & 0x0001)
            out.problems.push_back({"zip-encrypted", "ZIP entry " + name +
                " is encrypted; the stub cannot decrypt: repack without a password with sfxtool pack"});
        if (e.flags & 0x0008) {
            out.entries.push_back(e);
            out.walkEnd = pos;
            out.complete = false;
            out.problems.push_back({"zip-data-descriptor", "ZIP entry " + name +
                " keeps its sizes in a data descriptor after its data; the stub takes the sizes from the "
                "local header and fails: repack with sfxtool pack"});
            break;
        }
        if (e.method != 0 && e.method != 8)
            out.problems.push_back({"zip-method", "ZIP entry " + name + " uses " + e.methodName() +
                "; the stub unpacks only stored and deflate: repack with sfxtool pack"});
        if (e.zip64Extra || e.size == 0xFFFFFFFFu || e.packedSize == 0xFFFFFFFFu) {
            out.problems.push_back({"zip64", "ZIP entry " + name +
                " uses ZIP64, which the stub does not read: keep entries below 4 GiB and repack with sfxtool pack"});
            if (e.size == 0xFFFFFFFFu || e.packedSize == 0xFFFFFFFFu) {  // its true sizes are elsewhere
                out.entries.push_back(e);
                out.walkEnd = pos;
                out.complete = false;
                break;
            }
        }

        if (e.isDir) {
            if (e.packedSize != 0)
                out.problems.push_back({"zip-dir-with-data", "ZIP directory entry " + name + " carries " +
                    std::to_string(e.packedSize) + " bytes of data, which the stub does not skip: repack with sfxtool pack"});
            out.entries.push_back(e);
            pos = dataStart;  // the stub skips only the extra field of a directory entry
            continue;
        }
        const uint64_t dataLength = e.method == 0 ? e.size : e.packedSize;
        if (e.method == 0 && e.packedSize != e.size)
            out.problems.push_back({"zip-stored-sizes", "stored ZIP entry " + name +
                " declares different packed and unpacked sizes; the stub reads the unpacked size: repack with sfxtool pack"});
        if (dataStart + dataLength > fileSize) {
            out.entries.push_back(e);
            out.walkEnd = pos;
            out.complete = false;
            out.problems.push_back({"zip-truncated", "ZIP entry " + name +
                " runs past the end of the file: repack with sfxtool pack"});
            break;
        }
        out.peakMemory = std::max<uint64_t>(out.peakMemory, uint64_t(e.size) + (e.method ? e.packedSize : 0));
        const bool checkable = !(e.flags & 0x0001) && (e.method == 0 || e.method == 8);
        if (checkable) {
            const bool keep = !wantedName.empty() && e.rawName.size() == wantedName.size() &&
                std::equal(e.rawName.begin(), e.rawName.end(), wantedName.begin(),
                           [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b)); });
            DataCheck check = CheckData(file, dataStart, e, keep);
            if (!check.ok)
                out.problems.push_back({"zip-bad-data", "ZIP entry " + name + ": " + check.what +
                    "; the stub would fail on it: repack with sfxtool pack"});
            else if (check.crc != e.crc)
                out.problems.push_back({"crc-mismatch", "ZIP entry " + name +
                    " does not match its CRC; the stub does not check it and would hand the installer a damaged file: repack with sfxtool pack"});
            if (keep) out.contents.emplace_back(out.entries.size(), std::move(check.kept));
        }
        out.entries.push_back(e);
        pos = dataStart + dataLength;
    }

    // The central directory and its end record: the stub never reads them, but they tell where the
    // archive ends and what follows it.
    uint64_t at = out.walkEnd;
    out.archiveEnd = out.walkEnd;
    for (;;) {
        unsigned char h[46];
        if (!file.ReadAt(at, h, 4)) break;
        const uint32_t sig = Le32(h);
        if (sig == 0x02014B50) {
            if (!file.ReadAt(at, h, 46)) break;
            at += 46 + Le16(h + 28) + Le16(h + 30) + Le16(h + 32);
        } else if (sig == 0x06064B50) {
            if (!file.ReadAt(at, h, 12)) break;
            at += 12 + Le32(h + 4);  // size field is 64-bit; the high part is 0 for what we accept
        } else if (sig == 0x07064B50) {
            at += 20;
        } else if (sig == 0x05054B50) {
            if (!file.ReadAt(at, h, 6)) break;
            at += 6 + Le16(h + 4);
        } else if (sig == 0x06054B50) {
            if (!file.ReadAt(at, h, 22)) break;
            at += 22 + Le16(h + 20);
            out.centralDirectory = true;
            out.archiveEnd = std::min<uint64_t>(at, fileSize);
            break;
        } else {
            break;
        }
    }
    return out;
}

}  // namespace sfxtool
