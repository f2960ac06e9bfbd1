#include "ZipBuilder.h"

#include <zlib.h>

#include <stdexcept>

namespace testsupport {
namespace {

void Put16(std::string& out, uint32_t value) {
    out.push_back(static_cast<char>(value & 0xFF));
    out.push_back(static_cast<char>((value >> 8) & 0xFF));
}

void Put32(std::string& out, uint32_t value) {
    Put16(out, value & 0xFFFF);
    Put16(out, value >> 16);
}

uint32_t Crc(const std::string& data) {
    return static_cast<uint32_t>(
        crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(data.data()),
              static_cast<uInt>(data.size())));
}

struct Resolved {
    uint16_t method;
    uint32_t crc;
    uint32_t compressedSize;
    uint32_t uncompressedSize;
    std::string payload;
};

Resolved Resolve(const ZipEntry& entry) {
    Resolved r;
    r.method = entry.method ? *entry.method : static_cast<uint16_t>(entry.deflate ? 8 : 0);
    if (entry.rawPayload) {
        r.payload = *entry.rawPayload;
    } else if (entry.deflate) {
        r.payload = RawDeflate(entry.data);
    } else {
        r.payload = entry.data;
    }
    r.crc = entry.crc ? *entry.crc : Crc(entry.data);
    r.compressedSize =
        entry.compressedSize ? *entry.compressedSize : static_cast<uint32_t>(r.payload.size());
    r.uncompressedSize =
        entry.uncompressedSize ? *entry.uncompressedSize : static_cast<uint32_t>(entry.data.size());
    return r;
}

}  // namespace

std::string BuildZip(const std::vector<ZipEntry>& entries, const ZipOptions& options) {
    std::string out;
    std::string central;
    const uint32_t kDosTime = 0x0000;
    const uint32_t kDosDate = 0x5021;  // 2020-01-01
    for (const ZipEntry& entry : entries) {
        const Resolved r = Resolve(entry);
        const uint32_t localOffset = static_cast<uint32_t>(out.size());

        Put32(out, 0x04034B50);
        Put16(out, 20);  // version needed
        Put16(out, entry.flags);
        Put16(out, r.method);
        Put16(out, kDosTime);
        Put16(out, kDosDate);
        Put32(out, r.crc);
        Put32(out, r.compressedSize);
        Put32(out, r.uncompressedSize);
        Put16(out, static_cast<uint32_t>(entry.name.size()));
        Put16(out, static_cast<uint32_t>(entry.extra.size()));
        out += entry.name;
        out += entry.extra;
        out += r.payload;

        Put32(central, 0x02014B50);
        Put16(central, 20);  // version made by
        Put16(central, 20);  // version needed
        Put16(central, entry.flags);
        Put16(central, r.method);
        Put16(central, kDosTime);
        Put16(central, kDosDate);
        Put32(central, r.crc);
        Put32(central, r.compressedSize);
        Put32(central, r.uncompressedSize);
        Put16(central, static_cast<uint32_t>(entry.name.size()));
        Put16(central, 0);  // extra length
        Put16(central, 0);  // comment length
        Put16(central, 0);  // disk number
        Put16(central, 0);  // internal attributes
        const bool folder = !entry.name.empty() && entry.name.back() == '/';
        Put32(central, folder ? 0x10 : 0);  // external attributes
        Put32(central, localOffset);
        central += entry.name;
    }
    if (!options.centralDirectory) return out;

    const uint32_t centralOffset = static_cast<uint32_t>(out.size());
    out += central;
    Put32(out, 0x06054B50);
    Put16(out, 0);  // this disk
    Put16(out, 0);  // disk with the central directory
    Put16(out, static_cast<uint32_t>(entries.size()));
    Put16(out, static_cast<uint32_t>(entries.size()));
    Put32(out, static_cast<uint32_t>(central.size()));
    Put32(out, centralOffset);
    Put16(out, 0);  // comment length
    return out;
}

std::string RawDeflate(const std::string& data) {
    z_stream stream{};
    if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2 failed");
    std::string out(deflateBound(&stream, static_cast<uLong>(data.size())) + 16, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    const int rc = deflate(&stream, Z_FINISH);
    deflateEnd(&stream);
    if (rc != Z_STREAM_END) throw std::runtime_error("deflate did not finish");
    out.resize(stream.total_out);
    return out;
}

std::string FakeStubImage(size_t size) {
    // Bytes 0x00..0x3F only (plus "MZ" up front): neither 'P' (0x50) nor 'z' (0x7A) occurs, so
    // neither signature can appear anywhere in the image.
    std::string image(size, '\0');
    uint32_t state = 0x12345678u;
    for (size_t i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        image[i] = static_cast<char>((state >> 16) & 0x3F);
    }
    if (size >= 2) {
        image[0] = 'M';  // 0x4D
        image[1] = 'Z';  // 0x5A
    }
    return image;
}

}  // namespace testsupport
