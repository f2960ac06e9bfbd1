#include "sfxtool/PeImage.h"

#include <algorithm>
#include <fstream>

namespace sfxtool {
namespace {

uint32_t Le16(const std::string& b, size_t at) {
    return static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1]) << 8;
}
uint32_t Le32(const std::string& b, size_t at) {
    return Le16(b, at) | Le16(b, at + 2) << 16;
}

}  // namespace

PeLayout ParsePeLayout(const std::string& b) {
    PeLayout layout;
    if (b.size() < 0x40 || b[0] != 'M' || b[1] != 'Z') return layout;
    const size_t pe = Le32(b, 0x3C);
    if (pe + 24 > b.size() || b.compare(pe, 4, std::string("PE\0\0", 4)) != 0) return layout;
    const uint32_t sections = Le16(b, pe + 6);
    const uint32_t optionalSize = Le16(b, pe + 20);
    const size_t optional = pe + 24;
    if (optional + optionalSize > b.size() || optionalSize < 2) return layout;
    const uint32_t magic = Le16(b, optional);
    if (magic != 0x10B && magic != 0x20B) return layout;
    layout.is64 = magic == 0x20B;
    const size_t directories = optional + (layout.is64 ? 112 : 96);
    const size_t directoryCountAt = optional + (layout.is64 ? 108 : 92);
    if (directoryCountAt + 4 <= optional + optionalSize && Le32(b, directoryCountAt) > 4 &&
        directories + 5 * 8 <= optional + optionalSize) {
        layout.certificateTableOffset = Le32(b, directories + 4 * 8);
        layout.certificateTableSize = Le32(b, directories + 4 * 8 + 4);
    }
    const size_t table = optional + optionalSize;
    uint64_t end = 0;
    for (uint32_t i = 0; i < sections; ++i) {
        const size_t s = table + i * 40;
        if (s + 40 > b.size()) return layout;
        const uint64_t rawSize = Le32(b, s + 16);
        const uint64_t rawPointer = Le32(b, s + 20);
        if (rawSize != 0) end = std::max(end, rawPointer + rawSize);
    }
    layout.imageEnd = std::max<uint64_t>(end, table + sections * 40);
    layout.isPe = true;
    return layout;
}

PeLayout ReadPeLayout(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string head(64 * 1024, '\0');
    in.read(head.data(), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<size_t>(in.gcount()));
    return ParsePeLayout(head);
}

}  // namespace sfxtool
