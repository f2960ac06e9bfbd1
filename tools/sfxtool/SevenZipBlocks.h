// pack's 7z archive in independent folders (solid blocks): where a folder ends, 7zz compressing
// the folders side by side, and the one archive that joins them. The bytes depend only on the
// input, never on how many run at once.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sfxtool/PackProgress.h"
#include "sfxtool/SevenZipWriter.h"

namespace sfxtool {

constexpr uint64_t kDefaultBlockSize = 64ull << 20;
// The largest LZMA dictionary pack gives a folder: the stub's decoder window is the dictionary (or
// the folder, when smaller) plus about 5 MiB of buffers, so that 4 workers of the 32-bit stub
// still fit in its 256 MiB (4 x 53 MiB). --fast: 16 MiB.
constexpr uint64_t kMaxDictionary = 48ull << 20;
constexpr uint64_t kFastDictionary = 16ull << 20;

// "67108864", "64K", "64M", "1G" (also "64KiB", "64MiB", "1GiB"; binary units). Throws PackError.
uint64_t ParseByteSize(const std::string& text);

// Where each folder begins, as indexes into `sizes` (the files in archive order): a folder takes
// files until it holds at least `blockSize` bytes, and a file larger than `blockSize` is a folder
// of its own. 0 keeps every file in one folder.
std::vector<size_t> BlockStarts(const std::vector<uint64_t>& sizes, uint64_t blockSize);

// The order the block rule takes the files in: grouped by type, as 7zz's -mqs groups a folder's
// files (the extension after the last dot of the last component, ASCII case ignored; then that
// component; then the whole name, byte by byte). A function of the names alone.
bool TypeOrderLess(const std::string& a, const std::string& b);

// The dictionary of a folder of `bytes`: the smallest of 64 KiB, 96 KiB, 128 KiB, 192 KiB, ... (2^n
// and 3 x 2^n) that holds the folder, at most kMaxDictionary (kFastDictionary with `fast`).
uint64_t DictionaryFor(uint64_t bytes, bool fast);

// The processors this process may run on.
unsigned Processors();

// One folder: its files (names relative to the stage folder), whether any is an x86 or x64
// executable (the BCJ2 filter), and their bytes.
struct SevenZipBlock {
    std::vector<std::string> names;
    bool executables = false;
    uint64_t bytes = 0;
};

// `plain` coded by 7zz with the settings 7zz codes its own headers with (a HeaderCoder: LZMA, a
// 1 MiB dictionary that 7zz reduces for a smaller header), working in the folder `work`. Throws
// PackError.
CodedHeader LzmaHeader(const std::string& plain, const std::string& sevenZip, const std::string& work);

// Has 7zz compress each block in `stage` into a folder of its own, at most `jobs` 7zz at once (each
// with two threads, one when `jobs` is 1), and writes `archivePath`: 7zz's archive itself for one block, else one
// archive holding the blocks' folders in order. `fast` trades size for speed (a 16 MiB dictionary,
// hash-chain match finder). Shows the bytes done on `meter`. Throws PackError.
void CompressBlocks(const std::vector<SevenZipBlock>& blocks, const std::string& sevenZip, unsigned jobs, bool fast,
                    const std::string& stage, const std::string& work, const std::string& archivePath,
                    ProgressMeter& meter);

}  // namespace sfxtool
