#include "SevenZipBuilder.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <stdexcept>

namespace testsupport {

namespace fs = std::filesystem;

namespace {

// Runs a program with arguments in `directory`, output to `logPath`; returns its exit status.
int RunProgram(const std::vector<std::string>& argv, const std::string& directory,
               const std::string& logPath) {
    const pid_t child = fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) {
        if (chdir(directory.c_str()) != 0) _exit(126);
        const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (log >= 0) {
            dup2(log, 1);
            dup2(log, 2);
            close(log);
        }
        std::vector<char*> args;
        for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    if (waitpid(child, &status, 0) < 0) throw std::runtime_error("waitpid failed");
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct TempFolder {
    fs::path path;
    TempFolder() {
        std::string pattern = (fs::temp_directory_path() / "sevenzip-builder-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path = pattern;
    }
    ~TempFolder() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};

void WriteNumber(std::string& out, uint64_t value) {
    // 7z numbers: the count of leading one bits of the first byte is the count of extra bytes.
    int extra = 0;
    while (extra < 8 && value >= (uint64_t{1} << (7 * (extra + 1)))) ++extra;
    uint8_t first = static_cast<uint8_t>(0xFF00u >> extra);
    if (extra < 8) first |= static_cast<uint8_t>(value >> (8 * extra));
    out.push_back(static_cast<char>(first));
    for (int i = 0; i < extra; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}

std::string BitVector(const std::vector<bool>& bits) {
    std::string out((bits.size() + 7) / 8, '\0');
    for (size_t i = 0; i < bits.size(); ++i) {
        if (bits[i]) out[i / 8] = static_cast<char>(out[i / 8] | (0x80 >> (i % 8)));
    }
    return out;
}

std::string Le64(uint64_t value) {
    std::string out;
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
    return out;
}

uint64_t ReadLe64(const std::string& bytes, size_t offset) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | static_cast<uint8_t>(bytes.at(offset + i));
    return value;
}

}  // namespace

bool SevenZipToolAvailable() {
    TempFolder folder;
    return RunProgram({"7zz", "i"}, folder.path.string(), (folder.path / "log").string()) == 0;
}

std::string BuildSevenZipWithTool(const std::vector<SevenZipToolStep>& steps) {
    TempFolder folder;
    const fs::path archive = folder.path / "archive.7z";
    for (size_t s = 0; s < steps.size(); ++s) {
        const fs::path input = folder.path / ("step" + std::to_string(s));
        fs::create_directories(input);
        std::set<std::string> topLevel;
        std::vector<std::string> order;
        for (const SevenZipToolFile& file : steps[s].files) {
            const fs::path target = input / file.name;
            if (!file.name.empty() && file.name.back() == '/') {
                fs::create_directories(target);
            } else {
                fs::create_directories(target.parent_path());
                std::ofstream(target, std::ios::binary) << file.data;
            }
            const std::string first = file.name.substr(0, file.name.find('/'));
            if (topLevel.insert(first).second) order.push_back(first);
        }
        std::vector<std::string> argv = {"7zz", "a", "-t7z", "-bd", "-y", archive.string()};
        argv.insert(argv.end(), steps[s].switches.begin(), steps[s].switches.end());
        argv.push_back("--");
        argv.insert(argv.end(), order.begin(), order.end());
        const fs::path log = folder.path / "log.txt";
        if (RunProgram(argv, input.string(), log.string()) != 0) {
            throw std::runtime_error("7zz failed: " + ReadAll(log));
        }
    }
    return ReadAll(archive);
}

std::string BuildSevenZipWithTool(const std::vector<SevenZipToolFile>& files,
                                  const std::vector<std::string>& switches) {
    return BuildSevenZipWithTool(std::vector<SevenZipToolStep>{{files, switches}});
}

std::string BuildSevenZipRaw(const std::vector<SevenZipRawEntry>& entries,
                             const SevenZipRawOptions& options) {
    std::string packed;
    std::vector<const SevenZipRawEntry*> streams;
    std::vector<bool> emptyStream, emptyFile;
    bool anyEmpty = false;
    for (const SevenZipRawEntry& entry : entries) {
        const bool empty = entry.directory || entry.data.empty();
        emptyStream.push_back(empty);
        if (empty) {
            anyEmpty = true;
            emptyFile.push_back(!entry.directory);
        } else {
            streams.push_back(&entry);
            packed += entry.data;
        }
    }

    std::string header;
    header.push_back(0x01);  // Header
    if (!streams.empty()) {
        header.push_back(0x04);  // MainStreamsInfo
        header.push_back(0x06);  // PackInfo
        WriteNumber(header, 0);  // pack position
        WriteNumber(header, 1);  // one packed stream
        header.push_back(0x09);  // Size
        WriteNumber(header, packed.size());
        header.push_back(0x00);
        header.push_back(0x07);  // UnpackInfo
        header.push_back(0x0B);  // Folder
        WriteNumber(header, 1);
        header.push_back(0x00);  // not external
        WriteNumber(header, 1);  // one coder
        header.push_back(0x01);  // simple coder, one-byte method id
        header.push_back(0x00);  // Copy
        header.push_back(0x0C);  // CodersUnpackSize
        WriteNumber(header, packed.size());
        header.push_back(0x00);
        header.push_back(0x08);  // SubStreamsInfo
        header.push_back(0x0D);  // NumUnpackStream
        WriteNumber(header, streams.size());
        if (streams.size() > 1) {
            header.push_back(0x09);  // Size: all but the last
            for (size_t i = 0; i + 1 < streams.size(); ++i) WriteNumber(header, streams[i]->data.size());
        }
        if (options.storeCrcs) {
            header.push_back(0x0A);  // CRC
            header.push_back(0x01);  // all defined
            for (const SevenZipRawEntry* entry : streams) {
                header += Le32(entry->crc ? *entry->crc : Crc32(entry->data));
            }
        }
        header.push_back(0x00);
        header.push_back(0x00);
    }
    header.push_back(0x05);  // FilesInfo
    WriteNumber(header, entries.size());
    if (anyEmpty) {
        const std::string streamsBits = BitVector(emptyStream);
        header.push_back(0x0E);  // EmptyStream
        WriteNumber(header, streamsBits.size());
        header += streamsBits;
        const std::string fileBits = BitVector(emptyFile);
        header.push_back(0x0F);  // EmptyFile
        WriteNumber(header, fileBits.size());
        header += fileBits;
    }
    if (options.storeNames && !entries.empty()) {
        std::string names;
        for (const SevenZipRawEntry& entry : entries) {
            for (char16_t unit : entry.name) {
                names.push_back(static_cast<char>(unit & 0xFF));
                names.push_back(static_cast<char>(unit >> 8));
            }
            names.append(2, '\0');
        }
        header.push_back(0x11);  // Name
        WriteNumber(header, names.size() + 1);
        header.push_back(0x00);  // not external
        header += names;
    }
    header.push_back(0x00);
    header.push_back(0x00);

    std::string archive = {'7', 'z', '\xBC', '\xAF', '\x27', '\x1C', '\x00', '\x04'};
    archive += std::string(4, '\0');  // start header CRC
    archive += Le64(packed.size());
    archive += Le64(header.size());
    archive += std::string(4, '\0');  // header CRC
    archive += packed;
    archive += header;
    RefreshSevenZipCrcs(archive);
    return archive;
}

uint32_t Crc32(const std::string& bytes) {
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char byte : bytes) {
        crc ^= byte;
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

std::string Le32(uint32_t value) {
    std::string out;
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
    return out;
}

size_t FindOnce(const std::string& haystack, const std::string& needle, size_t from) {
    const size_t at = haystack.find(needle, from);
    if (at == std::string::npos) throw std::runtime_error("FindOnce: not found");
    if (haystack.find(needle, at + 1) != std::string::npos) {
        throw std::runtime_error("FindOnce: found more than once");
    }
    return at;
}

size_t SevenZipHeaderOffset(const std::string& archive) {
    return 32 + static_cast<size_t>(ReadLe64(archive, 12));
}

void RefreshSevenZipCrcs(std::string& archive, size_t start) {
    const uint64_t headerOffset = ReadLe64(archive, start + 12);
    const uint64_t headerSize = ReadLe64(archive, start + 20);
    const std::string header = archive.substr(start + 32 + headerOffset, headerSize);
    archive.replace(start + 28, 4, Le32(Crc32(header)));
    archive.replace(start + 8, 4, Le32(Crc32(archive.substr(start + 12, 20))));
}

void FlipByte(std::string& bytes, size_t offset, uint8_t mask) {
    bytes.at(offset) = static_cast<char>(static_cast<uint8_t>(bytes.at(offset)) ^ mask);
}

}  // namespace testsupport
