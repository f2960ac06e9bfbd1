// Writes a 7z archive from layouts read out of other 7z archives (SevenZipReader.h): their folders'
// packed streams copied as they are, one header listing them all. pack uses it to join the
// one-folder archives it has 7zz compress side by side into one archive of several folders.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sfxtool/SevenZipReader.h"

namespace sfxtool {

// The header coded with LZMA (lc=3, lp=0, pb=2, a dictionary of at most 1 MiB): the coder's folder
// record (one coder and its properties) and the raw stream.
struct CodedHeader {
    std::string coder;
    std::string stream;
};
using HeaderCoder = std::function<CodedHeader(const std::string& plain)>;

// The layouts one after the other: folders in order, then files in order (each part's files keep
// their order, so a part's files with data stay in the order of its folders).
SevenZipLayout JoinLayouts(const std::vector<SevenZipLayout>& parts);

// The plain header (kHeader ... kEnd) of a layout, laid out as 7zz lays out its own, name data
// aligned to 16 bytes.
std::string SevenZipHeader(const SevenZipLayout& layout);

// Writes the archive to `out`: the start header, each folder's packed streams (read from the file
// each folder came from), and the header: as it is for an archive of one file, else coded by
// `coder` and followed by the record that describes it (as 7zz does).
// Throws std::runtime_error when a source cannot be read or `out` cannot be written.
void WriteSevenZip(const SevenZipLayout& layout, const HeaderCoder& coder, const std::string& out);

}  // namespace sfxtool
