// Makes 7z payloads for tests: with the real `7zz` tool at test time (into a fresh temporary
// folder), or byte by byte with a small writer of our own for shapes the tool will not produce
// (any entry order, unsafe names, no name table, wrong CRCs). Plus helpers to edit archives.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

// A file or folder handed to 7zz: a relative name with "/" separators; a trailing "/" makes a
// folder (parents of files are made as needed).
struct SevenZipToolFile {
    std::string name;
    std::string data;
};

// One `7zz a -t7z` call: the files are laid out in a fresh folder and added with the switches
// given (for example "-m0=LZMA"). Several steps update one archive in turn, each adding its files
// as new folders behind the earlier ones.
struct SevenZipToolStep {
    std::vector<SevenZipToolFile> files;
    std::vector<std::string> switches;
};

// True when 7zz can be run.
bool SevenZipToolAvailable();

// Runs the steps and returns the archive's bytes. Throws std::runtime_error when 7zz fails.
std::string BuildSevenZipWithTool(const std::vector<SevenZipToolStep>& steps);
std::string BuildSevenZipWithTool(const std::vector<SevenZipToolFile>& files,
                                  const std::vector<std::string>& switches);

// Our own writer: one Copy folder holding the data of every entry that has data, in entry order,
// and a plain (unpacked) header. Empty files and directories may stand anywhere in the order.
struct SevenZipRawEntry {
    SevenZipRawEntry(std::u16string name_, std::string data_ = {}, bool directory_ = false)
        : name(std::move(name_)), data(std::move(data_)), directory(directory_) {}
    std::u16string name;
    std::string data;
    bool directory = false;
    std::optional<uint32_t> crc;  // the CRC stored for the entry (default: the real one)
};
struct SevenZipRawOptions {
    bool storeNames = true;  // false: no name table at all
    bool storeCrcs = true;
};
std::string BuildSevenZipRaw(const std::vector<SevenZipRawEntry>& entries,
                             const SevenZipRawOptions& options = {});

// Edits.
uint32_t Crc32(const std::string& bytes);
std::string Le32(uint32_t value);
// Offset of the only occurrence of `needle` at or after `from`; throws unless there is exactly one.
size_t FindOnce(const std::string& haystack, const std::string& needle, size_t from = 0);
// Recomputes the next-header CRC and the start-header CRC of the archive starting at `start`,
// after its header bytes were edited.
void RefreshSevenZipCrcs(std::string& archive, size_t start = 0);
// Offset of the archive's header (the "next header") from the archive's first byte.
size_t SevenZipHeaderOffset(const std::string& archive);
// XORs the byte at `offset` with `mask`.
void FlipByte(std::string& bytes, size_t offset, uint8_t mask = 0xFF);

}  // namespace testsupport
