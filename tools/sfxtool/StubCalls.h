// The stub's own payload routines, called on Linux through the host backend, so that the tool sees
// a file exactly as the stub will. A routine that ends the stub's run on a failure ends only the
// call here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sfxtool {

enum class ArchiveKind { None, Zip, SevenZip };
const char* KindName(ArchiveKind kind);  // "none", "zip", "7z"

struct StubLocation {
    bool ended = false;      // the locator ended the run itself (a failed read: a file under 33 bytes)
    uint32_t exitCode = 0;   // the code it ended with
    ArchiveKind kind = ArchiveKind::None;
    uint64_t offset = 0;     // where it left the file position (on the signature's first byte)
};

// Runs the stub's PayloadLocator over the file at `path` (a Linux path).
StubLocation LocateAsStub(const std::string& path);

// The stub's name check on an entry name (without its NUL).
bool NameIsSafeForStub(const std::u16string& name);
// The stub's path-length rule for a name counted as `count` units at a staging path of
// `stagingLength` units.
bool NameFitsForStub(uint32_t stagingLength, uint32_t count);

}  // namespace sfxtool

namespace sfxtool {

// A trial run of the stub's own extraction (locator, then the ZIP or 7z extractor) over the file,
// into a scratch staging folder of exactly `stagingLength` units.
struct StubTrial {
    bool ran = false;            // false: the staging length cannot be laid out on this machine
    bool ended = false;          // the stub's code ended the run (exit code 5 on a failure)
    uint32_t exitCode = 0;
    std::vector<std::string> files;  // files the extraction left, relative, "/" separators
};
StubTrial ExtractAsStub(const std::string& path, uint32_t stagingLength);

}  // namespace sfxtool
