// The version resource (RT_VERSION): VS_VERSIONINFO, a tree of length-prefixed blocks of UTF-16
// keys and values, each block 32-bit aligned. Holds the fixed numeric versions (VS_FIXEDFILEINFO),
// one string table and the translation that names it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace sfxtool {

struct VersionInfo {
    bool hasFixed = true;
    std::array<uint16_t, 4> fileVersion{};     // a.b.c.d
    std::array<uint16_t, 4> productVersion{};
    uint32_t fileFlagsMask = 0x3F;
    uint32_t fileFlags = 0;
    uint32_t fileOs = 0x40004;                 // VOS_NT_WINDOWS32
    uint32_t fileType = 1;                     // VFT_APP
    uint32_t fileSubtype = 0;
    std::u16string table = u"040904B0";        // the string table's name: language and code page in hex
    std::vector<std::pair<std::u16string, std::u16string>> strings;  // key, value, in order
    std::vector<uint32_t> translations;        // language | code page << 16
};

// The VS_VERSIONINFO bytes for `info`: its fixed versions; a StringFileInfo with its strings (when
// there are any) and a VarFileInfo whose Translation names that table.
std::string BuildVersionResource(const VersionInfo& info);

// Reads VS_VERSIONINFO bytes (the first string table only). Throws PeError when they are damaged.
VersionInfo ParseVersionResource(const std::string& bytes);

// "1.2.3.4"
std::string VersionText(const std::array<uint16_t, 4>& version);

}  // namespace sfxtool
