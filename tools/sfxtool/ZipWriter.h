// A small deterministic ZIP writer: the subset the stub reads and nothing more. Every entry has its
// sizes and CRC in its local header (no data descriptors), no extra fields, one fixed time stamp,
// method deflate (raw, through zlib at level 9) or stored when deflate would not be smaller, UTF-8
// names; then a central directory and its end record. No ZIP64: an entry or offset that does not
// fit 32 bits, or more than 65,535 entries, is refused.
#pragma once

#include <cstdint>
#include <ctime>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace sfxtool {

struct ZipLimitError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// MS-DOS date (high 16 bits) and time (low 16 bits) of a Unix time in UTC, clamped to the range
// the format can hold (1980-01-01 00:00:00 to 2107-12-31 23:59:58).
uint32_t DosDateTime(std::time_t unixTime);

class ZipWriter {
public:
    // `baseOffset`: where the archive's first byte will lie in the final file (the stub's size when
    // the archive is appended to it), so that the central directory's offsets are file offsets
    // and ordinary ZIP tools read the installer without complaint.
    ZipWriter(std::ostream& out, uint32_t dosDateTime, uint64_t baseOffset = 0)
        : out_(out), dosDateTime_(dosDateTime), base_(baseOffset) {}
    // Adds one file entry. Names end in "/" only for directory entries, which must have no data.
    void Add(const std::string& name, const std::string& data);
    // Writes the central directory and its end record. Nothing may be added afterwards.
    void Finish();
    uint64_t BytesWritten() const { return offset_; }

private:
    struct Central {
        std::string name;
        uint16_t method;
        uint32_t crc, packedSize, size, localOffset;
    };
    void Put(const std::string& bytes);
    std::ostream& out_;
    uint32_t dosDateTime_;
    uint64_t base_;
    uint64_t offset_ = 0;
    std::vector<Central> entries_;
    bool finished_ = false;
};

}  // namespace sfxtool
