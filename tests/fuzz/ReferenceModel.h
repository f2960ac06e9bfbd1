// An independent account of what a whole normal-mode run must do with a given stub file: where the
// archive is found, which files the extraction leaves, whether it ends the run, and which program
// the launch then starts. The harnesses hold the stub's real run against it.
//
// The model reads the file with ordinary code (its own header walk, zlib, and the 7z decoder
// library over an in-memory stream); it borrows only the entry-name check and the UTF-8 converter
// from the stub's side, and says "uncertain" wherever the outcome hangs on path details the model
// does not spell out (so that the harnesses compare only what it knows).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>
#include <set>
#include <string>

namespace fuzzmodel {

enum class Kind { None, Zip, SevenZip };

struct Location {
    bool tooShort = false;  // under 33 bytes: the locator's first read fails
    Kind kind = Kind::None;
    uint64_t offset = 0;
};

// The stub's scan: the first offset whose 33-byte window holds the 7z signature header followed by
// a zero byte at window byte 32, or "PK" 03 04 at window bytes 0..3.
Location Locate(const std::string& file);

// Folded lookup key of a relative path as the sandbox (and Windows) compare names: components
// split at "/" and "\", trailing dots and spaces dropped, case folded. `uncertain` is set when a
// component comes out empty ("a//b", "a/./b", " "), since those resolve in platform-specific ways.
std::u16string PathKey(const std::u16string& relative, bool* uncertain);

struct Extraction {
    bool endsRun = false;     // the extractor ends the run with the failure code
    bool uncertain = false;   // the model cannot say what the run leaves (compare nothing)
    bool tooLarge = false;    // the run would allocate more than the harness allows: skip it
    std::map<std::u16string, std::string> files;  // PathKey -> content, what the staging folder holds
    std::set<std::u16string> folders;             // PathKey of every parent folder created
    // 7z: the extraction stops inside a folder whose data is bad. The stub streams it, so it keeps
    // the folder's files before the point where the data goes wrong: some first files of
    // `partial` (in order), each matching its stored CRC when it has one. `files` holds what comes
    // before that folder.
    bool stopped = false;
    std::vector<std::pair<std::u16string, std::optional<uint32_t>>> partial;  // PathKey, stored CRC
};

// Limit on any single block the model lets a run allocate (larger inputs are skipped by the
// harnesses, so that a run stays fast and within the fuzzer's memory limit).
constexpr uint64_t kLargestBlock = 64ull << 20;

Extraction ExtractZip(const std::string& file, uint64_t offset, uint32_t stagingLength);
Extraction ExtractSevenZip(const std::string& file, uint64_t offset, uint32_t stagingLength);

struct Launch {
    bool uncertain = false;
    bool starts = false;         // the shell is asked to start a program that exists
    std::u16string programKey;   // PathKey of that program, relative to the staging folder
};

// What the launcher does after an extraction that did not end the run.
Launch LaunchAfter(const Extraction& extraction, uint32_t stagingLength);

// The launcher's parameter tail, as an index into `commandLine` (which is NUL-terminated at its
// size()).
size_t ParameterTailIndex(const std::u16string& commandLine);

// The first line of a `.launch` file as the launcher reads it (first 260 bytes, UTF-8, cut at CR or
// LF); `fits` is false when the converted text does not fit the 260-unit buffer.
std::u16string LaunchLine(const std::string& launchBytes, bool* fits);

}  // namespace fuzzmodel
