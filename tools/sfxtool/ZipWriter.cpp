#include "sfxtool/ZipWriter.h"

#include <zlib.h>

namespace sfxtool {
namespace {

constexpr uint16_t kVersionNeeded = 20;  // 2.0: deflate
constexpr uint16_t kFlagUtf8Names = 0x0800;
constexpr uint64_t kMax32 = 0xFFFFFFFFull;

void Le16(std::string& b, uint32_t v) {
    b.push_back(static_cast<char>(v & 0xFF));
    b.push_back(static_cast<char>((v >> 8) & 0xFF));
}
void Le32(std::string& b, uint32_t v) {
    Le16(b, v & 0xFFFF);
    Le16(b, v >> 16);
}

std::string RawDeflate(const std::string& data) {
    z_stream z{};
    if (deflateInit2(&z, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("zlib: deflateInit2 failed");
    std::string out(deflateBound(&z, data.size()), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    const int rc = deflate(&z, Z_FINISH);
    const size_t produced = out.size() - z.avail_out;
    deflateEnd(&z);
    if (rc != Z_STREAM_END) throw std::runtime_error("zlib: deflate did not finish");
    out.resize(produced);
    return out;
}

}  // namespace

uint32_t DosDateTime(std::time_t unixTime) {
    std::tm tm{};
    gmtime_r(&unixTime, &tm);
    if (tm.tm_year < 80) return (0u << 9 | 1u << 5 | 1u) << 16;  // 1980-01-01 00:00:00
    if (tm.tm_year > 207) return (127u << 9 | 12u << 5 | 31u) << 16 | (23u << 11 | 59u << 5 | 29u);
    const uint32_t date = static_cast<uint32_t>((tm.tm_year - 80) << 9 | (tm.tm_mon + 1) << 5 | tm.tm_mday);
    const uint32_t time = static_cast<uint32_t>(tm.tm_hour << 11 | tm.tm_min << 5 | tm.tm_sec / 2);
    return date << 16 | time;
}

void ZipWriter::Put(const std::string& bytes) {
    out_.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out_) throw std::runtime_error("write failed");
    offset_ += bytes.size();
}

void ZipWriter::Add(const std::string& name, const std::string& data) {
    if (finished_) throw std::logic_error("ZipWriter: Add after Finish");
    if (name.empty() || name.size() > 0xFFFF) throw ZipLimitError("entry name empty or too long");
    if (!name.empty() && name.back() == '/' && !data.empty())
        throw ZipLimitError("directory entry with data: " + name);
    if (entries_.size() >= 0xFFFF) throw ZipLimitError("more than 65535 entries need ZIP64");
    if (data.size() > kMax32) throw ZipLimitError("entry of 4 GiB or more needs ZIP64: " + name);
    if (base_ + offset_ > kMax32) throw ZipLimitError("archive of 4 GiB or more needs ZIP64");

    const uint32_t crc = static_cast<uint32_t>(
        crc32_z(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(data.data()), data.size()));
    std::string packed;
    uint16_t method = 0;
    if (!data.empty()) {
        packed = RawDeflate(data);
        if (packed.size() < data.size()) method = 8;
    }
    const std::string& body = method == 8 ? packed : data;

    Central c{name, method, crc, static_cast<uint32_t>(body.size()),
              static_cast<uint32_t>(data.size()), static_cast<uint32_t>(base_ + offset_)};
    std::string h;
    Le32(h, 0x04034B50);
    Le16(h, kVersionNeeded);
    Le16(h, kFlagUtf8Names);
    Le16(h, c.method);
    Le32(h, dosDateTime_);
    Le32(h, c.crc);
    Le32(h, c.packedSize);
    Le32(h, c.size);
    Le16(h, static_cast<uint32_t>(name.size()));
    Le16(h, 0);  // no extra field
    h += name;
    Put(h);
    Put(body);
    entries_.push_back(std::move(c));
}

void ZipWriter::Finish() {
    if (finished_) return;
    finished_ = true;
    const uint64_t start = offset_;
    for (const Central& c : entries_) {
        std::string h;
        Le32(h, 0x02014B50);
        Le16(h, kVersionNeeded);  // made by: MS-DOS, 2.0
        Le16(h, kVersionNeeded);
        Le16(h, kFlagUtf8Names);
        Le16(h, c.method);
        Le32(h, dosDateTime_);
        Le32(h, c.crc);
        Le32(h, c.packedSize);
        Le32(h, c.size);
        Le16(h, static_cast<uint32_t>(c.name.size()));
        Le16(h, 0);  // extra
        Le16(h, 0);  // comment
        Le16(h, 0);  // disk
        Le16(h, 0);  // internal attributes
        Le32(h, (!c.name.empty() && c.name.back() == '/') ? 0x10 : 0);  // MS-DOS directory bit
        Le32(h, c.localOffset);
        h += c.name;
        Put(h);
    }
    const uint64_t size = offset_ - start;
    if (base_ + start > kMax32 || size > kMax32) throw ZipLimitError("central directory beyond 4 GiB");
    std::string e;
    Le32(e, 0x06054B50);
    Le16(e, 0);
    Le16(e, 0);
    Le16(e, static_cast<uint32_t>(entries_.size()));
    Le16(e, static_cast<uint32_t>(entries_.size()));
    Le32(e, static_cast<uint32_t>(size));
    Le32(e, static_cast<uint32_t>(base_ + start));
    Le16(e, 0);  // comment length
    Put(e);
    out_.flush();
}

}  // namespace sfxtool
