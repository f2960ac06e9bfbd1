// Lists a 7z archive at an offset inside a file through the LZMA SDK's own archive reader (the
// same library the stub reads it with), and asks the stub's folder decoder about each folder.
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
    bool shapeAccepted = false;  // the stub's folder decoder takes its shape, methods, properties
    std::string why;             // what is wrong when not accepted
    uint64_t memory = 0;         // what the stub's decoder needs for it: windows plus buffers
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
std::string SevenZipResultText(int sres);

SevenZipListing ListSevenZip(const std::string& path, uint64_t offset);

// A 7z archive as its header describes it, enough to write it again (SevenZipWriter.h): each
// folder with its coder record as stored and the streams of its files, and the files in order.
struct SevenZipLayout {
    struct Folder {
        std::string record;                  // coders, bonds and packed-stream indexes as stored
        std::vector<uint64_t> unpackSizes;   // of each coder's output
        bool crcDefined = false;
        uint32_t crc = 0;
        std::vector<uint64_t> packSizes;     // its packed streams, in order
        uint64_t packOffset = 0;             // file offset of its first packed stream
        std::string source;                  // the file they lie in; empty: the layout's path
        std::vector<uint64_t> streamSizes;   // the files' streams it unpacks to, in order
        std::vector<bool> streamCrcDefined;
        std::vector<uint32_t> streamCrcs;
    };
    struct File {
        std::u16string name;
        bool hasStream = false;
        bool isDir = false;
    };
    std::string path;
    uint8_t versionMinor = 4;
    std::vector<Folder> folders;
    std::vector<File> files;
};

// The layout of the 7z archive at the start of `path`. Throws std::runtime_error for an archive
// that does not open, or that stores what the writer does not carry (times, attributes).
SevenZipLayout ReadSevenZipLayout(const std::string& path);

}  // namespace sfxtool
