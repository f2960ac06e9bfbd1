// What the tool needs from a Windows executable's headers: where the image's last section ends in
// the file, and where the Authenticode certificate table lies.
#pragma once

#include <cstdint>
#include <string>

namespace sfxtool {

struct PeLayout {
    bool isPe = false;
    bool is64 = false;
    uint64_t imageEnd = 0;  // first byte after the last section's raw data (0 when not a PE file)
    uint64_t certificateTableOffset = 0;  // from the security data directory; 0 when unsigned
    uint64_t certificateTableSize = 0;
};

// Reads the headers of `path`. A file that is not a PE image gives isPe false and no error.
PeLayout ReadPeLayout(const std::string& path);
// The same over bytes already in memory (the stub image).
PeLayout ParsePeLayout(const std::string& bytes);

}  // namespace sfxtool
