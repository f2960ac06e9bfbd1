// The resources of a Windows image: the headers that place them, the three-level resource
// directory read into a flat list and built back from one, and an image rewritten to carry another
// list. The rewrite replaces the image's last section when that is its resource section (the stub
// is linked so), or adds a resource section after the last one; no other section moves. Every
// header field that describes the section is updated: section table, SizeOfImage,
// SizeOfInitializedData, the resource data directory and CheckSum.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace sfxtool {

// An image the reader or writer cannot take: damaged headers or directory, no room for a section.
struct PeError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

constexpr uint16_t kRtIcon = 3;
constexpr uint16_t kRtGroupIcon = 14;
constexpr uint16_t kRtVersion = 16;
constexpr uint16_t kRtManifest = 24;
constexpr uint16_t kLanguageEnglishUs = 0x0409;

struct PeSection {
    std::string name;
    uint32_t virtualAddress = 0;
    uint32_t virtualSize = 0;
    uint32_t rawPointer = 0;
    uint32_t rawSize = 0;
    uint32_t characteristics = 0;
};

struct PeHeaders {
    bool is64 = false;
    size_t optionalHeader = 0;    // file offset of the optional header
    size_t sectionTable = 0;      // file offset of the first section header
    size_t checksumAt = 0;        // file offset of CheckSum
    uint32_t fileAlignment = 0;
    uint32_t sectionAlignment = 0;
    uint32_t sizeOfHeaders = 0;
    uint32_t directoryCount = 0;
    uint32_t resourceRva = 0;     // the resource data directory (0, 0: none)
    uint32_t resourceSize = 0;
    std::vector<PeSection> sections;
    uint64_t imageEnd = 0;        // end of the last section's raw data
    size_t DirectoryAt(uint32_t index) const;  // file offset of data directory `index`
    // The section holding `rva`, or nullptr; `fileOffset` gets its place in the file when the RVA
    // lies in the section's raw data.
    const PeSection* SectionOf(uint32_t rva, uint64_t* fileOffset = nullptr) const;
};

// Parses the headers of `image` (the whole file is fine). Throws PeError.
PeHeaders ParsePeHeaders(const std::string& image);

// A resource type or name: a number, or a string when `text` is not empty.
struct ResourceId {
    uint16_t number = 0;
    std::u16string text;
    bool IsText() const { return !text.empty(); }
    std::string Describe() const;  // "3", or the name in quotes
};
bool operator<(const ResourceId& a, const ResourceId& b);  // directory order: names first
bool operator==(const ResourceId& a, const ResourceId& b);

struct Resource {
    ResourceId type;
    ResourceId name;
    uint16_t language = 0;
    uint32_t codePage = 0;
    std::string data;
    uint64_t fileOffset = 0;  // where the data lay in the file read (reading only)
};
using ResourceList = std::vector<Resource>;

// "RT_ICON #2 (language 0x409)" and the like.
std::string DescribeResource(const Resource& resource);

// Reads every resource of `image`, in directory order. An image without a resource directory
// gives an empty list; a damaged one throws PeError.
ResourceList ReadResources(const std::string& image);

// The bytes of a resource section holding `resources`, for a section placed at `sectionRva`:
// directory tables, data entries, names, then the data, each 8-byte aligned. Resources are put in
// directory order; two with the same type, name and language throw PeError.
std::string BuildResourceSection(ResourceList resources, uint32_t sectionRva);

// A copy of the image `image` (nothing may follow its last section) whose resource directory holds
// exactly `resources`. Throws PeError when the image cannot take it: resources outside its last
// section, no room in the headers for another section header.
std::string WithResources(const std::string& image, const ResourceList& resources);

// The PE checksum of `bytes` as Windows computes it over a whole file (the CheckSum field at
// `checksumAt` counts as zero).
uint32_t PeChecksum(const std::string& bytes, size_t checksumAt);
// Writes the checksum of the whole file at `path` into its CheckSum field. Throws PeError.
void UpdateFileChecksum(const std::string& path);

}  // namespace sfxtool
