#include "sfxtool/IconResources.h"

namespace sfxtool {
namespace {

constexpr size_t kIcoHeader = 6;       // ICONDIR: reserved, type, count
constexpr size_t kIcoEntry = 16;       // ICONDIRENTRY
constexpr size_t kGroupHeader = 6;     // GRPICONDIR
constexpr size_t kGroupEntry = 14;     // GRPICONDIRENTRY: the file's entry with a 16-bit id for the offset
constexpr char kPngSignature[] = "\x89PNG\r\n\x1a\n";

uint32_t Get16(const std::string& b, size_t at) {
    return static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1]) << 8;
}
uint32_t Get32(const std::string& b, size_t at) { return Get16(b, at) | Get16(b, at + 2) << 16; }
void Append16(std::string& b, uint32_t v) {
    b += static_cast<char>(v & 0xFF);
    b += static_cast<char>(v >> 8 & 0xFF);
}
void Append32(std::string& b, uint32_t v) {
    Append16(b, v & 0xFFFF);
    Append16(b, v >> 16);
}

}  // namespace

std::vector<IconImage> ParseIco(const std::string& b) {
    if (b.size() < kIcoHeader || Get16(b, 0) != 0 || (Get16(b, 2) != 1 && Get16(b, 2) != 2))
        throw IconError("not an .ico file (no icon directory at its start)");
    if (Get16(b, 2) == 2) throw IconError("a cursor (.cur), not an icon");
    const uint32_t count = Get16(b, 4);
    if (count == 0) throw IconError("the icon file holds no image");
    if (kIcoHeader + kIcoEntry * count > b.size()) throw IconError("the icon file is cut short in its directory");
    std::vector<IconImage> images;
    for (uint32_t i = 0; i < count; ++i) {
        const size_t e = kIcoHeader + kIcoEntry * i;
        const std::string which = "image " + std::to_string(i + 1);
        IconImage image;
        image.width = static_cast<uint8_t>(b[e]) ? static_cast<uint8_t>(b[e]) : 256;
        image.height = static_cast<uint8_t>(b[e + 1]) ? static_cast<uint8_t>(b[e + 1]) : 256;
        image.colorCount = static_cast<uint8_t>(b[e + 2]);
        image.planes = static_cast<uint16_t>(Get16(b, e + 4));
        image.bitCount = static_cast<uint16_t>(Get16(b, e + 6));
        const uint64_t size = Get32(b, e + 8);
        const uint64_t offset = Get32(b, e + 12);
        if (size == 0 || offset < kIcoHeader + kIcoEntry * count || offset + size > b.size())
            throw IconError(which + " lies outside the file (offset " + std::to_string(offset) + ", " + std::to_string(size) + " bytes)");
        image.data = b.substr(offset, size);
        image.png = image.data.compare(0, 8, kPngSignature, 8) == 0;
        if (!image.png) {
            // A DIB: BITMAPINFOHEADER (or a later, longer version of it), one plane.
            const uint32_t header = image.data.size() >= 40 ? Get32(image.data, 0) : 0;
            if ((header != 40 && header != 108 && header != 124) || header > image.data.size() || Get16(image.data, 12) != 1)
                throw IconError(which + " is neither a PNG image nor a bitmap (BITMAPINFOHEADER)");
            if (image.planes == 0) image.planes = 1;
            if (image.bitCount == 0) image.bitCount = static_cast<uint16_t>(Get16(image.data, 14));
        } else {
            if (image.planes == 0) image.planes = 1;
            if (image.bitCount == 0) image.bitCount = 32;
        }
        images.push_back(std::move(image));
    }
    return images;
}

ResourceList IconResources(const std::vector<IconImage>& images, uint16_t language) {
    ResourceList list;
    std::string group;
    Append16(group, 0);
    Append16(group, 1);
    Append16(group, static_cast<uint32_t>(images.size()));
    uint16_t id = 1;
    for (const auto& image : images) {
        group += static_cast<char>(image.width & 0xFF);   // 256 is written as 0
        group += static_cast<char>(image.height & 0xFF);
        group += static_cast<char>(image.colorCount);
        group += '\0';
        Append16(group, image.planes);
        Append16(group, image.bitCount);
        Append32(group, static_cast<uint32_t>(image.data.size()));
        Append16(group, id);
        Resource icon;
        icon.type.number = kRtIcon;
        icon.name.number = id++;
        icon.language = language;
        icon.data = image.data;
        list.push_back(std::move(icon));
    }
    Resource g;
    g.type.number = kRtGroupIcon;
    g.name.number = 1;
    g.language = language;
    g.data = group;
    list.push_back(std::move(g));
    return list;
}

std::vector<IconGroupEntry> ParseIconGroup(const std::string& b) {
    if (b.size() < kGroupHeader || Get16(b, 2) != 1) throw PeError("an icon group is damaged");
    const uint32_t count = Get16(b, 4);
    if (kGroupHeader + kGroupEntry * count > b.size()) throw PeError("an icon group is cut short");
    std::vector<IconGroupEntry> entries;
    for (uint32_t i = 0; i < count; ++i) {
        const size_t e = kGroupHeader + kGroupEntry * i;
        IconGroupEntry entry;
        entry.width = static_cast<uint8_t>(b[e]) ? static_cast<uint8_t>(b[e]) : 256;
        entry.height = static_cast<uint8_t>(b[e + 1]) ? static_cast<uint8_t>(b[e + 1]) : 256;
        entry.bitCount = static_cast<uint16_t>(Get16(b, e + 6));
        entry.bytes = Get32(b, e + 8);
        entry.id = static_cast<uint16_t>(Get16(b, e + 12));
        entries.push_back(entry);
    }
    return entries;
}

}  // namespace sfxtool
