// Builds ZIP payloads byte by byte for tests: well-formed ones and every malformed shape a test
// needs (wrong sizes, flags, CRCs, names, missing central directory, ...).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

struct ZipEntry {
    std::string name;               // raw name bytes (UTF-8), "/" separators; a trailing "/" for a folder
    std::string data;               // uncompressed content
    bool deflate = false;           // method 8 (raw deflate) instead of 0 (stored)
    uint16_t flags = 0;             // general-purpose flags as written
    std::optional<uint16_t> method; // override the method field
    std::optional<uint32_t> crc;    // override the CRC-32 field (default: the real CRC of data)
    std::optional<uint32_t> compressedSize;    // override (default: the real size)
    std::optional<uint32_t> uncompressedSize;  // override (default: data.size())
    std::string extra;              // extra field bytes
    std::optional<std::string> rawPayload;     // bytes written as the entry's data, verbatim
};

struct ZipOptions {
    bool centralDirectory = true;   // false: the file ends right after the last local record
};

// Local records in order, then (by default) a central directory and its end record.
std::string BuildZip(const std::vector<ZipEntry>& entries, const ZipOptions& options = {});

// Raw deflate (no zlib header) of `data`, as zlib's deflate produces it.
std::string RawDeflate(const std::string& data);

// Bytes that stand in for a stub image: `size` bytes of varied content holding neither signature.
std::string FakeStubImage(size_t size = 4096);

}  // namespace testsupport
