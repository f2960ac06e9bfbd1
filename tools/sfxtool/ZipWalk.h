// Walks a ZIP payload the way the stub's extractor does (local file records front to back until the
// first record that is not one), and records everything about each entry that the stub depends on.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sfxtool/Problem.h"

namespace sfxtool {

struct ZipEntry {
    uint64_t headerOffset = 0;  // file offset of the local header
    std::string rawName;        // as stored (UTF-8 expected)
    uint16_t flags = 0;
    uint16_t method = 0;
    uint32_t crc = 0;
    uint32_t packedSize = 0;
    uint32_t size = 0;
    bool zip64Extra = false;
    bool isDir = false;
    std::string methodName() const;
};

struct ZipWalkResult {
    std::vector<ZipEntry> entries;
    uint64_t walkEnd = 0;       // offset of the record that ended the walk (or where it broke off)
    uint64_t archiveEnd = 0;    // after the end-of-central-directory record (or walkEnd without it)
    bool centralDirectory = false;
    bool complete = true;       // false: the walk broke off, later entries are unknown
    uint64_t peakMemory = 0;    // largest packed + unpacked size of one entry
    Problems problems;          // walk-level and data problems (names are checked by the caller)
    std::vector<std::pair<size_t, std::string>> contents;  // contents of wanted entries
};

// `wantedName`: the raw name of an entry whose content the caller wants (".launch").
ZipWalkResult WalkZip(const std::string& path, uint64_t offset, uint64_t fileSize,
                      const std::string& wantedName);

}  // namespace sfxtool
