// Helpers shared by the sfxtool tests: a minimal Windows image to stand for the stub, temporary
// folders, file helpers and 7zz.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sfxtool/Analysis.h"

namespace sfxtest {

namespace fs = std::filesystem;

inline void Put16(std::string& b, size_t at, uint32_t v) {
    b[at] = static_cast<char>(v & 0xFF);
    b[at + 1] = static_cast<char>(v >> 8 & 0xFF);
}
inline void Put32(std::string& b, size_t at, uint32_t v) {
    Put16(b, at, v & 0xFFFF);
    Put16(b, at + 2, v >> 16);
}

// A PE32 image of one section: headers in the first 0x200 bytes, the section's raw data (filled
// with `sectionByte`) from 0x200 to 0x400. The image ends at 0x400.
constexpr uint32_t kFakeImageEnd = 0x400;
constexpr size_t kSecurityDirectory = 0x58 + 96 + 4 * 8;  // optional header + directory 4
inline std::string FakeStub(char sectionByte = 'x') {
    std::string b(kFakeImageEnd, '\0');
    b[0] = 'M';
    b[1] = 'Z';
    Put32(b, 0x3C, 0x40);
    b.replace(0x40, 4, std::string("PE\0\0", 4));
    Put16(b, 0x44, 0x14C);  // i386
    Put16(b, 0x46, 1);      // one section
    Put16(b, 0x54, 0xE0);   // optional header size
    Put16(b, 0x58, 0x10B);  // PE32
    Put32(b, 0x58 + 92, 16);
    const size_t section = 0x58 + 0xE0;
    b.replace(section, 5, ".text");
    Put32(b, section + 8, 0x200);
    Put32(b, section + 12, 0x1000);
    Put32(b, section + 16, 0x200);
    Put32(b, section + 20, 0x200);
    for (size_t i = 0x200; i < kFakeImageEnd; ++i) b[i] = sectionByte;
    return b;
}

// Appends a certificate table (8-byte aligned, as signing does) and points the security
// directory at it.
inline std::string Sign(std::string file, uint32_t tableSize = 0x300) {
    while (file.size() % 8) file.push_back('\0');
    const uint32_t at = static_cast<uint32_t>(file.size());
    std::string table(tableSize, '\x5A');
    Put32(table, 0, tableSize);
    Put16(table, 4, 0x200);
    Put16(table, 6, 2);
    file += table;
    Put32(file, kSecurityDirectory, at);
    Put32(file, kSecurityDirectory + 4, tableSize);
    return file;
}

struct TempDir {
    std::string path;
    TempDir() {
        char pattern[] = "/tmp/sfxtool-test-XXXXXX";
        path = mkdtemp(pattern);
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

inline void WriteFile(const std::string& path, const std::string& bytes) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}
inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Runs 7zz in `folder` (output discarded); true on exit code 0.
inline bool SevenZip(const std::string& folder, const std::string& args) {
    const std::string cmd = "cd '" + folder + "' && LC_ALL=C.UTF-8 7zz " + args + " >/dev/null 2>&1 </dev/null";
    return std::system(cmd.c_str()) == 0;
}

inline bool HasProblem(const sfxtool::Report& r, const std::string& code) {
    for (const auto& p : r.problems)
        if (p.code == code) return true;
    return false;
}
inline std::string Codes(const sfxtool::Report& r) {
    std::string s;
    for (const auto& p : r.problems) s += p.code + ": " + p.message + "\n";
    return s;
}

// Pseudo-random bytes that neither compress nor hold a signature by chance often.
inline std::string Noise(size_t n, uint32_t seed) {
    std::string s(n, '\0');
    for (auto& c : s) {
        seed = seed * 1103515245u + 12345u;
        c = static_cast<char>(seed >> 16);
    }
    return s;
}

}  // namespace sfxtest
