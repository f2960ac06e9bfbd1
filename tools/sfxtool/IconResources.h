// Icons: an .ico file read into its images, those images as the RT_ICON resources and the
// RT_GROUP_ICON that lists them (the group carries each image's RT_ICON id where the file has
// its offset), and a group read back.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "sfxtool/PeResources.h"

namespace sfxtool {

// An .ico file that does not parse (an input error).
struct IconError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct IconImage {
    uint32_t width = 0;       // pixels (the file's 0 means 256)
    uint32_t height = 0;
    uint8_t colorCount = 0;
    uint16_t planes = 0;
    uint16_t bitCount = 0;
    bool png = false;         // a PNG image, else a DIB (BITMAPINFOHEADER, pixels, mask)
    std::string data;
};

// The images of an .ico file, in file order. Throws IconError naming what is wrong.
std::vector<IconImage> ParseIco(const std::string& bytes);

// RT_ICON resources numbered from 1, and RT_GROUP_ICON #1 listing them, all in `language`.
ResourceList IconResources(const std::vector<IconImage>& images, uint16_t language);

struct IconGroupEntry {
    uint32_t width = 0;
    uint32_t height = 0;
    uint16_t bitCount = 0;
    uint32_t bytes = 0;
    uint16_t id = 0;          // the RT_ICON resource holding the image
};
// The entries of RT_GROUP_ICON data. Throws PeError when damaged.
std::vector<IconGroupEntry> ParseIconGroup(const std::string& data);

}  // namespace sfxtool
