#include "sfxtool/IconResources.h"

namespace sfxtool {
namespace {

constexpr size_t kIcoHeader = 6;       // ICONDIR: reserved, type, count
constexpr size_t kIcoEntry = 16;       // ICONDIRENTRY
constexpr size_t kGroupHeader = 6;     // GRPICONDIR
constexpr size_t kGroupEntry = 14;     // GRPICONDIRENTRY: the file's entry with a 16-bit id for the offset
constexpr char kPngSignature[] = "\x89PNG\r\n\x1a\n";
constexpr uint32_t kMaxImages = 64;          // what an icon group may list for Windows
constexpr uint32_t kMaxSide = 256;           // pixels, each way
constexpr size_t kMaxImageBytes = 1u << 20;  // a 256x256 image needs far less: 257 KiB as a bitmap

uint32_t Get16(const std::string& b, size_t at) {
    return static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1]) << 8;
}
uint32_t Get32(const std::string& b, size_t at) { return Get16(b, at) | Get16(b, at + 2) << 16; }
uint32_t Get32Big(const std::string& b, size_t at) {
    return static_cast<uint32_t>(static_cast<uint8_t>(b[at]) << 24 | static_cast<uint8_t>(b[at + 1]) << 16 |
                                 static_cast<uint8_t>(b[at + 2]) << 8 | static_cast<uint8_t>(b[at + 3]));
}
std::string Size(uint64_t width, uint64_t height) { return std::to_string(width) + "x" + std::to_string(height); }
void Append16(std::string& b, uint32_t v) {
    b += static_cast<char>(v & 0xFF);
    b += static_cast<char>(v >> 8 & 0xFF);
}
void Append32(std::string& b, uint32_t v) {
    Append16(b, v & 0xFFFF);
    Append16(b, v >> 16);
}

// A PNG image: its signature, then the IHDR chunk, whose size must be the directory entry's.
void CheckPng(const IconImage& image, const std::string& which) {
    const std::string& d = image.data;
    if (d.size() < 33 || Get32Big(d, 8) != 13 || d.compare(12, 4, "IHDR") != 0)
        throw IconError(which + " is a PNG without its IHDR header (" + std::to_string(d.size()) + " bytes)");
    const uint32_t width = Get32Big(d, 16), height = Get32Big(d, 20);
    if (width == 0 || height == 0 || width > kMaxSide || height > kMaxSide)
        throw IconError(which + " is a PNG of " + Size(width, height) + " pixels; icons are at most 256x256");
    if (width != image.width || height != image.height)
        throw IconError(which + " is a PNG of " + Size(width, height) + " pixels, but the icon directory says " +
                        Size(image.width, image.height));
}

// A bitmap: BITMAPINFOHEADER (or a later, longer version of it) with one plane and the doubled
// height of an icon (colour pixels, then the AND mask), its size the directory entry's, and every
// byte of its palette, pixels and mask present.
void CheckBitmap(const IconImage& image, const std::string& which) {
    const std::string& d = image.data;
    const uint32_t header = d.size() >= 40 ? Get32(d, 0) : 0;
    if ((header != 40 && header != 108 && header != 124) || header > d.size() || Get16(d, 12) != 1)
        throw IconError(which + " is neither a PNG image nor a bitmap (BITMAPINFOHEADER)");
    const int32_t width = static_cast<int32_t>(Get32(d, 4)), doubled = static_cast<int32_t>(Get32(d, 8));
    const uint32_t bits = Get16(d, 14), compression = Get32(d, 16), used = Get32(d, 32);
    if (width <= 0 || doubled <= 0 || doubled % 2 != 0)
        throw IconError(which + " has a bitmap header of " + std::to_string(width) + "x" + std::to_string(doubled) +
                        " pixels, not an icon's (its height counts the colour pixels and the mask)");
    const uint32_t w = static_cast<uint32_t>(width), h = static_cast<uint32_t>(doubled) / 2;
    if (w > kMaxSide || h > kMaxSide)
        throw IconError(which + " is a bitmap of " + Size(w, h) + " pixels; icons are at most 256x256");
    if (w != image.width || h != image.height)
        throw IconError(which + " is a bitmap of " + Size(w, h) + " pixels, but the icon directory says " +
                        Size(image.width, image.height));
    if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32)
        throw IconError(which + " is a bitmap of " + std::to_string(bits) + " bits per pixel");
    if (compression != 0 && !(compression == 3 && (bits == 16 || bits == 32)))
        throw IconError(which + " is a compressed bitmap (compression " + std::to_string(compression) +
                        "); icon bitmaps are uncompressed, or PNG");
    if (bits <= 8 && used > (1u << bits))
        throw IconError(which + " lists " + std::to_string(used) + " palette colours for " + std::to_string(bits) + " bits");
    const uint64_t palette = bits <= 8 ? (used ? used : 1u << bits) : used;
    const uint64_t masks = compression == 3 && header == 40 ? 12 : 0;
    const uint64_t pixels = (uint64_t{w} * bits + 31) / 32 * 4 * h;
    const uint64_t mask = (uint64_t{w} + 31) / 32 * 4 * h;
    const uint64_t need = header + masks + 4 * palette + pixels + mask;
    if (d.size() < need)
        throw IconError(which + " is a bitmap of " + Size(w, h) + " at " + std::to_string(bits) + " bits that needs " +
                        std::to_string(need) + " bytes (header, palette, pixels and mask), but holds " +
                        std::to_string(d.size()));
}

}  // namespace

std::vector<IconImage> ParseIco(const std::string& b) {
    if (b.size() < kIcoHeader || Get16(b, 0) != 0 || (Get16(b, 2) != 1 && Get16(b, 2) != 2))
        throw IconError("not an .ico file (no icon directory at its start)");
    if (Get16(b, 2) == 2) throw IconError("a cursor (.cur), not an icon");
    const uint32_t count = Get16(b, 4);
    if (count == 0) throw IconError("the icon file holds no image");
    if (count > kMaxImages)
        throw IconError("the icon file holds " + std::to_string(count) + " images; an icon may have at most " +
                        std::to_string(kMaxImages) + ": keep the sizes the installer needs");
    if (kIcoHeader + kIcoEntry * count > b.size()) throw IconError("the icon file is cut short in its directory");
    std::vector<IconImage> images;
    for (uint32_t i = 0; i < count; ++i) {
        const size_t e = kIcoHeader + kIcoEntry * i;
        IconImage image;
        image.width = static_cast<uint8_t>(b[e]) ? static_cast<uint8_t>(b[e]) : 256;
        image.height = static_cast<uint8_t>(b[e + 1]) ? static_cast<uint8_t>(b[e + 1]) : 256;
        const std::string which = "image " + std::to_string(i + 1) + " (" + Size(image.width, image.height) + ")";
        image.colorCount = static_cast<uint8_t>(b[e + 2]);
        image.planes = static_cast<uint16_t>(Get16(b, e + 4));
        image.bitCount = static_cast<uint16_t>(Get16(b, e + 6));
        const uint64_t size = Get32(b, e + 8);
        const uint64_t offset = Get32(b, e + 12);
        if (size == 0 || offset < kIcoHeader + kIcoEntry * count || offset + size > b.size())
            throw IconError(which + " lies outside the file (offset " + std::to_string(offset) + ", " + std::to_string(size) + " bytes)");
        if (size > kMaxImageBytes)
            throw IconError(which + " holds " + std::to_string(size) + " bytes; an icon image of at most 256x256 "
                            "pixels needs far less (at most 1 MiB is taken)");
        image.data = b.substr(offset, size);
        image.png = image.data.compare(0, 8, kPngSignature, 8) == 0;
        if (image.png) CheckPng(image, which);
        else CheckBitmap(image, which);
        if (image.planes == 0) image.planes = 1;
        if (image.bitCount == 0) image.bitCount = image.png ? 32 : static_cast<uint16_t>(Get16(image.data, 14));
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
