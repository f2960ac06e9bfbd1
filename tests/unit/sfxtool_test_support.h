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
inline uint32_t Get32(const std::string& b, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(b[at + i]);
    return v;
}

// A PE32 image standing for the stub: headers in the first 0x200 bytes, a code section (filled with
// `sectionByte`) from 0x200 to 0x400, and, like the real stub, a last section .rsrc from 0x400 to
// 0x600 holding an RT_MANIFEST that requests asInvoker (written by hand here, independently of the
// tool's resource writer). The image ends at 0x600. BareStub has the code section alone.
constexpr uint32_t kFakeImageEnd = 0x600;
constexpr uint32_t kBareImageEnd = 0x400;
constexpr size_t kSecurityDirectory = 0x58 + 96 + 4 * 8;  // optional header + directory 4
constexpr size_t kChecksumAt = 0x58 + 64;
constexpr char kFakeManifest[] =
    "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\"><trustInfo "
    "xmlns=\"urn:schemas-microsoft-com:asm.v3\"><security><requestedPrivileges><requestedExecutionLevel "
    "level=\"asInvoker\" uiAccess=\"false\"/></requestedPrivileges></security></trustInfo></assembly>";
inline std::string BareStub(char sectionByte = 'x') {
    std::string b(kBareImageEnd, '\0');
    b[0] = 'M';
    b[1] = 'Z';
    Put32(b, 0x3C, 0x40);
    b.replace(0x40, 4, std::string("PE\0\0", 4));
    Put16(b, 0x44, 0x14C);  // i386
    Put16(b, 0x46, 1);      // one section
    Put16(b, 0x54, 0xE0);   // optional header size
    Put16(b, 0x58, 0x10B);  // PE32
    Put32(b, 0x58 + 32, 0x1000);  // section alignment
    Put32(b, 0x58 + 36, 0x200);   // file alignment
    Put32(b, 0x58 + 56, 0x2000);  // size of image
    Put32(b, 0x58 + 60, 0x200);   // size of headers
    Put32(b, 0x58 + 92, 16);
    const size_t section = 0x58 + 0xE0;
    b.replace(section, 5, ".text");
    Put32(b, section + 8, 0x200);
    Put32(b, section + 12, 0x1000);
    Put32(b, section + 16, 0x200);
    Put32(b, section + 20, 0x200);
    for (size_t i = 0x200; i < kBareImageEnd; ++i) b[i] = sectionByte;
    return b;
}
inline std::string FakeStub(char sectionByte = 'x') {
    std::string b = BareStub(sectionByte);
    b.resize(kFakeImageEnd, '\0');
    Put16(b, 0x46, 2);
    Put32(b, 0x58 + 56, 0x3000);
    Put32(b, 0x58 + 8, 0x200);  // size of initialised data: .rsrc
    const size_t section = 0x58 + 0xE0 + 40;
    b.replace(section, 5, ".rsrc");
    const std::string manifest = kFakeManifest;
    Put32(b, section + 8, 0x58 + static_cast<uint32_t>(manifest.size()));
    Put32(b, section + 12, 0x2000);
    Put32(b, section + 16, 0x200);
    Put32(b, section + 20, 0x400);
    Put32(b, section + 36, 0x40000040);
    Put32(b, 0x58 + 96 + 2 * 8, 0x2000);  // the resource directory
    Put32(b, 0x58 + 96 + 2 * 8 + 4, 0x58 + static_cast<uint32_t>(manifest.size()));
    // Type 24 -> name 1 -> language 0x409 -> data entry -> the manifest.
    const size_t r = 0x400;
    Put16(b, r + 14, 1);
    Put32(b, r + 16, 24);
    Put32(b, r + 20, 0x80000018);
    Put16(b, r + 0x18 + 14, 1);
    Put32(b, r + 0x18 + 16, 1);
    Put32(b, r + 0x18 + 20, 0x80000030);
    Put16(b, r + 0x30 + 14, 1);
    Put32(b, r + 0x30 + 16, 0x409);
    Put32(b, r + 0x30 + 20, 0x48);
    Put32(b, r + 0x48, 0x2058);
    Put32(b, r + 0x48 + 4, static_cast<uint32_t>(manifest.size()));
    b.replace(r + 0x58, manifest.size(), manifest);
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
