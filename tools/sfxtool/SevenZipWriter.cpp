#include "sfxtool/SevenZipWriter.h"

#include <zlib.h>

#include <algorithm>
#include <fstream>
#include <stdexcept>

namespace sfxtool {
namespace {

// Property ids of the 7z header.
enum : uint8_t {
    kEnd = 0x00, kHeader = 0x01, kMainStreamsInfo = 0x04, kFilesInfo = 0x05, kPackInfo = 0x06,
    kUnpackInfo = 0x07, kSubStreamsInfo = 0x08, kSize = 0x09, kCrc = 0x0A, kFolder = 0x0B,
    kCodersUnpackSize = 0x0C, kNumUnpackStream = 0x0D, kEmptyStream = 0x0E, kEmptyFile = 0x0F,
    kName = 0x11, kEncodedHeader = 0x17, kDummy = 0x19,
};

uint32_t Crc(const std::string& bytes) {
    return static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

struct Out {
    std::string b;
    void Byte(uint8_t v) { b.push_back(static_cast<char>(v)); }
    void Le(uint64_t v, int bytes) {
        for (int i = 0; i < bytes; ++i, v >>= 8) Byte(static_cast<uint8_t>(v));
    }
    // 7z's variable-length number: the first byte's leading one bits count the bytes that follow
    // (least significant first); its remaining bits are the value's highest.
    void Number(uint64_t v) {
        uint8_t first = 0, mask = 0x80;
        int extra = 0;
        for (; extra < 8; ++extra) {
            if (v < (uint64_t{1} << (7 * (extra + 1)))) {
                first |= static_cast<uint8_t>(v >> (8 * extra));
                break;
            }
            first |= mask;
            mask >>= 1;
        }
        Byte(first);
        Le(v, extra);
    }
    void Bits(const std::vector<bool>& bits) {  // first bit in the high bit of the first byte
        for (size_t i = 0; i < bits.size(); i += 8) {
            uint8_t v = 0;
            for (size_t k = 0; k < 8 && i + k < bits.size(); ++k)
                if (bits[i + k]) v |= static_cast<uint8_t>(0x80 >> k);
            Byte(v);
        }
    }
    void Digests(const std::vector<bool>& defined, const std::vector<uint32_t>& values) {
        size_t count = 0;
        for (const bool d : defined) count += d;
        if (count == 0) return;
        Byte(kCrc);
        if (count == defined.size()) {
            Byte(1);
        } else {
            Byte(0);
            Bits(defined);
        }
        for (size_t i = 0; i < defined.size(); ++i)
            if (defined[i]) Le(values[i], 4);
    }
};

size_t NumberSize(uint64_t v) {
    Out o;
    o.Number(v);
    return o.b.size();
}

bool Any(const std::vector<bool>& bits) {
    for (const bool b : bits)
        if (b) return true;
    return false;
}

void StreamsInfo(Out& o, const SevenZipLayout& layout) {
    const auto& folders = layout.folders;
    o.Byte(kPackInfo);
    o.Number(0);
    size_t packStreams = 0;
    for (const auto& f : folders) packStreams += f.packSizes.size();
    o.Number(packStreams);
    o.Byte(kSize);
    for (const auto& f : folders)
        for (const uint64_t s : f.packSizes) o.Number(s);
    o.Byte(kEnd);

    o.Byte(kUnpackInfo);
    o.Byte(kFolder);
    o.Number(folders.size());
    o.Byte(0);  // not external
    for (const auto& f : folders) o.b += f.record;
    o.Byte(kCodersUnpackSize);
    for (const auto& f : folders)
        for (const uint64_t s : f.unpackSizes) o.Number(s);
    std::vector<bool> defined;
    std::vector<uint32_t> crcs;
    for (const auto& f : folders) {
        defined.push_back(f.crcDefined);
        crcs.push_back(f.crc);
    }
    o.Digests(defined, crcs);
    o.Byte(kEnd);

    // The files' streams in each folder: their count where any folder has other than one, the
    // sizes of all but the last of each folder (the last is what remains), and the CRCs the folder's
    // own does not already give.
    o.Byte(kSubStreamsInfo);
    for (const auto& f : folders) {
        if (f.streamSizes.size() == 1) continue;
        o.Byte(kNumUnpackStream);
        for (const auto& g : folders) o.Number(g.streamSizes.size());
        break;
    }
    bool sizeId = true;
    for (const auto& f : folders)
        for (size_t i = 0; i + 1 < f.streamSizes.size(); ++i) {
            if (sizeId) o.Byte(kSize);
            sizeId = false;
            o.Number(f.streamSizes[i]);
        }
    defined.clear();
    crcs.clear();
    for (const auto& f : folders) {
        if (f.streamSizes.size() == 1 && f.crcDefined) continue;
        defined.insert(defined.end(), f.streamCrcDefined.begin(), f.streamCrcDefined.end());
        crcs.insert(crcs.end(), f.streamCrcs.begin(), f.streamCrcs.end());
    }
    o.Digests(defined, crcs);
    o.Byte(kEnd);
    o.Byte(kEnd);
}

void FilesInfo(Out& o, const SevenZipLayout& layout) {
    const auto& files = layout.files;
    o.Byte(kFilesInfo);
    o.Number(files.size());
    std::vector<bool> emptyStream, emptyFile;
    for (const auto& f : files) {
        emptyStream.push_back(!f.hasStream);
        if (!f.hasStream) emptyFile.push_back(!f.isDir);
    }
    if (Any(emptyStream)) {
        o.Byte(kEmptyStream);
        o.Number((emptyStream.size() + 7) / 8);
        o.Bits(emptyStream);
        if (Any(emptyFile)) {
            o.Byte(kEmptyFile);
            o.Number((emptyFile.size() + 7) / 8);
            o.Bits(emptyFile);
        }
    }
    uint64_t namesSize = 1;  // the "external" byte
    for (const auto& f : files) namesSize += 2 * (f.name.size() + 1);
    // The name data starts on a 16-byte boundary of the header: a padding record before it, of
    // at least its own two bytes.
    const size_t at = o.b.size() + 2 + NumberSize(namesSize);
    if (at % 16 != 0) {
        size_t skip = 16 - at % 16;
        if (skip < 2) skip += 16;
        skip -= 2;
        o.Byte(kDummy);
        o.Number(skip);
        o.b.append(skip, '\0');
    }
    o.Byte(kName);
    o.Number(namesSize);
    o.Byte(0);
    for (const auto& f : files) {
        for (const char16_t c : f.name) o.Le(c, 2);
        o.Le(0, 2);
    }
    o.Byte(kEnd);
}

}  // namespace

SevenZipLayout JoinLayouts(const std::vector<SevenZipLayout>& parts) {
    SevenZipLayout out;
    if (!parts.empty()) out.versionMinor = parts.front().versionMinor;
    for (const auto& p : parts) {
        out.folders.insert(out.folders.end(), p.folders.begin(), p.folders.end());
        for (size_t i = out.folders.size() - p.folders.size(); i < out.folders.size(); ++i)
            if (out.folders[i].source.empty()) out.folders[i].source = p.path;
        out.files.insert(out.files.end(), p.files.begin(), p.files.end());
    }
    return out;
}

std::string SevenZipHeader(const SevenZipLayout& layout) {
    Out o;
    o.Byte(kHeader);
    if (!layout.folders.empty()) {
        o.Byte(kMainStreamsInfo);
        StreamsInfo(o, layout);
    }
    if (!layout.files.empty()) FilesInfo(o, layout);
    o.Byte(kEnd);
    return o.b;
}

void WriteSevenZip(const SevenZipLayout& layout, const HeaderCoder& coder, const std::string& out) {
    const std::string plain = SevenZipHeader(layout);
    uint64_t dataSize = 0;
    for (const auto& f : layout.folders)
        for (const uint64_t s : f.packSizes) dataSize += s;

    CodedHeader packed;
    Out record;
    if (layout.files.size() <= 1) {
        record.b = plain;
    } else {
        packed = coder(plain);
        record.Byte(kEncodedHeader);
        record.Byte(kPackInfo);
        record.Number(dataSize);
        record.Number(1);
        record.Byte(kSize);
        record.Number(packed.stream.size());
        record.Byte(kEnd);
        record.Byte(kUnpackInfo);
        record.Byte(kFolder);
        record.Number(1);
        record.Byte(0);
        record.b += packed.coder;
        record.Byte(kCodersUnpackSize);
        record.Number(plain.size());
        record.Digests({true}, {Crc(plain)});
        record.Byte(kEnd);
        record.Byte(kEnd);
    }

    Out next;  // what the start header's CRC covers
    next.Le(dataSize + packed.stream.size(), 8);
    next.Le(record.b.size(), 8);
    next.Le(Crc(record.b), 4);
    Out start;
    start.b = std::string("7z\xBC\xAF\x27\x1C", 6);
    start.Byte(0);
    start.Byte(layout.versionMinor);
    start.Le(Crc(next.b), 4);
    start.b += next.b;

    std::ofstream o(out, std::ios::binary | std::ios::trunc);
    if (!o) throw std::runtime_error("cannot write " + out);
    o.write(start.b.data(), static_cast<std::streamsize>(start.b.size()));
    std::vector<char> buf(1 << 20);
    for (const auto& f : layout.folders) {
        const std::string& source = f.source.empty() ? layout.path : f.source;
        std::ifstream in(source, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(f.packOffset));
        uint64_t left = 0;
        for (const uint64_t s : f.packSizes) left += s;
        while (left > 0 && in) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(left, buf.size()));
            in.read(buf.data(), static_cast<std::streamsize>(n));
            o.write(buf.data(), in.gcount());
            left -= static_cast<uint64_t>(in.gcount());
        }
        if (left != 0) throw std::runtime_error("cannot read the packed streams of " + source);
    }
    o.write(packed.stream.data(), static_cast<std::streamsize>(packed.stream.size()));
    o.write(record.b.data(), static_cast<std::streamsize>(record.b.size()));
    o.close();
    if (!o) throw std::runtime_error("cannot write " + out);
}

}  // namespace sfxtool
