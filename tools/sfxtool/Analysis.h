// Everything the tool learns about an installer file (a stub with an archive appended): where the
// stub finds the archive, what the archive holds, what follows it, what the stub will run, and
// every problem that would make the stub fail or misbehave. The verdict is a whole run of the stub's
// own code over the file (StubCalls): what it starts, or why it ends with exit code 5. inspect
// shows it; verify reports the problems; pack runs it on what it built.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "sfxtool/Identity.h"
#include "sfxtool/PeImage.h"
#include "sfxtool/Problem.h"
#include "sfxtool/StubCalls.h"

namespace sfxtool {

// The file cannot be read at all (missing, a folder, unreadable).
struct InputError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

constexpr uint32_t kDefaultStagingLength = 64;  // a typical user's temp folder plus "ZEBxxxx.tmp"
// The heap a 32-bit process is likely to get for the decoder at once: the trial run's limit.
constexpr uint64_t kLikelyHeapLimit = 256ull << 20;
constexpr char kDefaultInstaller[] = "Orvak ZEB Installer.exe";

struct EntryView {
    std::string name;       // UTF-8
    std::u16string wide;    // the name as the stub sees it
    uint32_t count = 0;     // the stub's count for the path-length rule
    bool isDir = false;
    uint64_t size = 0;
    uint64_t packedSize = 0;
    int64_t folder = -1;    // 7z: folder index, -1 without data
    std::string method;     // ZIP: stored/deflate/...; 7z: the folder's coder chain
};

struct FolderView {
    uint32_t index = 0;
    std::string chain;      // coders in the order data flows out: "BCJ LZMA"
    std::vector<std::string> coders;  // as stored, coder 0 first
    uint64_t unpackSize = 0;
    uint64_t packSize = 0;
    uint64_t memory = 0;    // the stub's decoder windows and buffers for it
    bool accepted = false;
    uint32_t files = 0;     // the entries whose data it holds
};

struct Report {
    std::string path;
    uint64_t fileSize = 0;
    PeLayout pe;
    StubLocation located;          // what the stub's own locator finds
    bool found = false;            // an archive was found to describe (by the stub or after the image)
    ArchiveKind kind = ArchiveKind::None;
    uint64_t offset = 0;
    uint64_t archiveSize = 0;
    uint64_t archiveEnd = 0;
    std::string trailingKind = "none";  // none, certificate-table, other
    uint64_t trailingSize = 0;
    bool signatureTable = false;
    bool archiveCovered = false;
    std::vector<FolderView> folders;
    std::vector<EntryView> entries;
    std::vector<std::string> emptyFolders;  // folder entries with no file below them: never created
    std::string launchSource;      // ".launch" or "default"
    std::string program;           // what the stub starts, relative to the staging folder
    bool programExists = false;    // the stub's run starts it
    uint32_t workers = 1;          // the stub's unpacking workers on a machine of 4 or more processors
    uint64_t workerMemory = 0;     // each worker's decoder windows and buffers
    uint64_t peakMemory = 0;       // the stub's windows and buffers at once (all workers)
    uint32_t stagingLength = kDefaultStagingLength;
    // A whole run of the stub on the file (the verdict): it starts the installer or ends with 5.
    StubTrial trial;
    bool extractionComplete = false;  // the trial unpacked every entry
    Identity identity;             // the stub image's manifest, version and icon
    Problems problems;
};

// Throws InputError when the file cannot be read. The stub's trial run unpacks into a folder made
// in `scratch` (TMPDIR when empty).
Report Analyse(const std::string& path, uint32_t stagingLength = kDefaultStagingLength, const std::string& scratch = {});

// The problems that decide verify's verdict (warnings left out).
size_t ErrorCount(const Report& report);

nlohmann::json ReportJson(const Report& report);
std::string ReportText(const Report& report);

// UTF-8 to UTF-16 as the stub's converter does it (invalid sequences become U+FFFD); `valid` tells
// whether the input was well-formed.
std::u16string DecodeUtf8(const std::string& bytes, bool* valid = nullptr);
std::string EncodeUtf8(const std::u16string& text);

}  // namespace sfxtool
