// The stub's own code, run on Linux through the host backend, so that the tool sees a file exactly
// as the stub will: the payload locator, the ZIP walk, and a whole run of the stub (hardening,
// staging folder, locator, extractor, launch) whose start of the installer is recorded, not made.
// A routine that ends the stub's run ends only the call here, with the reason the stub noted.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace sfxtool {

enum class ArchiveKind { None, Zip, SevenZip };
const char* KindName(ArchiveKind kind);  // "none", "zip", "7z"

// A reason the stub noted (run/Failure.h): the run failed, or its 7z extraction stopped.
struct StubNote {
    uint32_t reason = 0;
    uint32_t detail = 0;
};

struct StubLocation {
    bool ended = false;      // the locator ended the run itself (a file under 33 bytes)
    uint32_t exitCode = 0;   // the code it ended with
    ArchiveKind kind = ArchiveKind::None;
    uint64_t offset = 0;     // where it left the file position (on the signature's first byte)
};

// Runs the stub's PayloadLocator over the file at `path` (a Linux path).
StubLocation LocateAsStub(const std::string& path);

// One local record as the stub's ZIP walk read and accepted it.
struct ZipRecordView {
    uint64_t offset = 0;      // file offset of the local header
    std::string rawName;      // the name's bytes as stored
    std::u16string name;      // as the stub converted it
    uint32_t flags = 0, method = 0, crc = 0, packedSize = 0, size = 0;
    bool isDir = false;
};

struct ZipListing {
    std::vector<ZipRecordView> records;  // every record the walk accepted, in order
    bool complete = false;    // the walk reached a record that is not a local header
    uint64_t walkEnd = 0;     // offset of that record, or of the record the walk refused
    std::vector<StubNote> notes;  // why the walk ended the run, when it did
    uint8_t refusedHeader[30] = {};  // the header of the record the walk refused
    std::string refusedName;  // its name, when the walk read it before refusing the record
};

// The stub's own ZIP walk over the archive the locator finds, reading each record and skipping its
// data as the stub does, with the path-length rule at a staging path of `stagingLength` units.
ZipListing ListZipAsStub(const std::string& path, uint32_t stagingLength);

// A whole run of the stub on the file, as a user would start it from a folder of its own, with a
// temp folder that makes the staging path exactly `stagingLength` units long, and a heap that
// refuses to grow beyond `heapLimit` bytes (0: no limit but the 32-bit one).
struct StubTrial {
    bool ran = false;          // false: the staging length cannot be laid out
    uint32_t exitCode = 0;
    bool started = false;      // the stub asked the shell to start its installer
    std::string program;       // that program, relative to the staging folder, "/" separators
    std::string parameters;    // its parameters
    std::vector<StubNote> notes;
    std::map<std::string, uint64_t> staged;  // the staging folder's files when the installer
                                             // started, or when the run ended without a start
    bool launchPresent = false;  // the staging folder held a .launch
    std::string launchBytes;     // its first bytes (what the stub reads of it)
};

constexpr const char kTrialParameters[] = "/trial \"a b\"";

// The resources the stub finds in its own image (FindResourceW), by numeric type and name.
using StubResources = std::map<std::pair<uint16_t, uint16_t>, std::string>;

// The run's sandbox (its C: drive, where the stub unpacks) is a fresh folder in `scratch`, or in
// TMPDIR when that is empty.
StubTrial RunStubTrial(const std::string& path, uint32_t stagingLength, uint64_t heapLimit,
                       const StubResources& resources = {}, const std::string& scratch = {});

}  // namespace sfxtool
