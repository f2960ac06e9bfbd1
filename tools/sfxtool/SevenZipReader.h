// Reads a 7z archive at an offset inside a file through the LZMA SDK's own archive reader (the
// same library the stub decodes with), for listing and checking.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sfxtool {

struct SevenZipCoder {
    uint32_t methodId = 0;
    uint32_t numStreams = 0;  // input streams of the coder
    uint32_t propsSize = 0;
};

struct SevenZipFolder {
    std::vector<SevenZipCoder> coders;
    uint32_t numPackStreams = 0;
    std::vector<uint32_t> packStreams;                   // coder input index of each packed stream
    std::vector<std::pair<uint32_t, uint32_t>> bonds;    // (input index, output index)
    uint64_t unpackSize = 0;
    uint64_t packSize = 0;
    bool shapeAccepted = false;  // a folder shape and method set the stub's decoder accepts
    std::string why;             // what is wrong when not accepted
};

struct SevenZipEntry {
    std::u16string name;  // without the NUL
    uint32_t nameUnits = 0;  // the decoder's length, NUL included
    bool isDir = false;
    uint64_t size = 0;
    int64_t folder = -1;  // -1: no data
    bool firstInFolder = false;
};

struct SevenZipListing {
    int openResult = 0;  // SRes of SzArEx_Open; the rest is empty unless 0
    uint8_t versionMajor = 0;
    uint64_t archiveSize = 0;  // from the start header: 32 + next header offset + size
    bool startHeaderRead = false;
    uint32_t numPackStreams = 0;
    std::vector<SevenZipFolder> folders;
    std::vector<SevenZipEntry> entries;
};

// Coder chain for display, in the order of the folder's coders: "BCJ LZMA".
std::string MethodName(uint32_t methodId);
std::string CoderChain(const SevenZipFolder& folder);
// Whether one folder is of a shape the stub's decoder accepts; `why` says what is wrong.
bool FolderShapeAccepted(const SevenZipFolder& folder, std::string& why);
std::string SevenZipResultText(int sres);

SevenZipListing ListSevenZip(const std::string& path, uint64_t offset);

// Decodes every folder and checks every stored CRC, as the stub's extraction would. Returns one
// message per failing entry (stops at the first failure, as the stub does). Entries whose names
// are in `wanted` get their contents in `contents` (used for .launch).
struct SevenZipDecodeResult {
    bool complete = true;
    std::string failure;        // the first failure, as the stub would meet it
    int64_t failedEntry = -1;
    std::vector<std::pair<uint32_t, std::string>> contents;  // entry index, data
};
SevenZipDecodeResult DecodeSevenZip(const std::string& path, uint64_t offset,
                                    const std::vector<uint32_t>& wanted);

}  // namespace sfxtool
