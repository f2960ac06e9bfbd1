// Writes the seed corpora of the harnesses into <folder>/<harness>/, made with the tests' archive
// builders (ZIP by hand, 7z with 7zz and with the tests' own 7z writer).
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "sfxtool_test_support.h"
#include "support/SevenZipBuilder.h"
#include "support/ZipBuilder.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

fs::path g_root;
int g_count = 0;

void Put(const std::string& harness, const std::string& name, const std::string& bytes) {
    const fs::path folder = g_root / harness;
    fs::create_directories(folder);
    std::ofstream(folder / name, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ++g_count;
}

std::vector<std::pair<std::string, std::string>> ZipSeeds() {
    ZipEntry installer{"Orvak ZEB Installer.exe", "MZ installer"};
    ZipEntry data{"sub/data.txt", std::string(300, 'd')};
    data.deflate = true;
    ZipEntry folder{"empty/", ""};
    ZipEntry launch{".launch", "tools\\setup.exe\r\n"};
    ZipEntry setup{"tools/setup.exe", "MZ setup"};
    setup.deflate = true;
    ZipEntry empty{"zero.bin", ""};
    ZipEntry unicode{"d\xC3\xA9j\xC3\xA0/\xE6\x96\x87.txt", "unicode"};
    return {
        {"default", BuildZip({installer, data, folder})},
        {"launch", BuildZip({launch, setup, empty, unicode})},
        {"no-central", BuildZip({installer}, ZipOptions{false})},
        {"traversal", BuildZip({ZipEntry{"../x.exe", "x"}, installer})},
        {"duplicate", BuildZip({installer, ZipEntry{"orvak zeb installer.exe", "y"}})},
        // Names as Windows sees them: a case pair beyond Latin, a one-way pair, trailing dots and
        // spaces, a backslash, invalid UTF-8, an empty folder.
        {"names", BuildZip({installer, ZipEntry{"\xD2\x90.txt", "1"}, ZipEntry{"\xD2\x91.txt", "2"}})},
        {"names-apart", BuildZip({installer, ZipEntry{"\xCE\xA3", "1"}, ZipEntry{"\xCF\x82", "2"}, ZipEntry{"\xC4\xB1", "3"}})},
        {"names-dots", BuildZip({installer, ZipEntry{"dot.", "1"}, ZipEntry{"dir. /sp ", "2"}, ZipEntry{"dot", "3"}})},
        {"names-shapes", BuildZip({installer, ZipEntry{"x\\y", "1"}, ZipEntry{"bad\xFF.txt", "2"}, ZipEntry{"empty/", ""}})},
    };
}

std::vector<std::pair<std::string, std::string>> SevenZipSeeds() {
    std::vector<std::pair<std::string, std::string>> seeds;
    const std::vector<SevenZipToolFile> files = {
        {"Orvak ZEB Installer.exe", "MZ" + std::string(200, '\x90') + "\xE8\x10\x00\x00\x00"},
        {"sub/data.txt", "payload data payload data"},
        {"sub/empty.txt", ""},
        {"folder/", ""},
    };
    const std::vector<SevenZipToolFile> launched = {
        {".launch", "bin/setup.exe\n"}, {"bin/setup.exe", "MZ setup"}, {"readme.txt", "read me"}};
    if (SevenZipToolAvailable()) {
        const std::vector<std::pair<std::string, std::vector<std::string>>> shapes = {
            {"lzma", {"-m0=LZMA"}},
            {"lzma-plain-header", {"-m0=LZMA", "-mhc=off"}},
            {"bcj-lzma", {"-m0=BCJ", "-m1=LZMA"}},
            {"bcj2", {"-m0=BCJ2", "-m1=LZMA", "-m2=LZMA", "-m3=LZMA", "-mb0s0:1", "-mb0s1:2", "-mb0s2:3"}},
            {"delta-lzma", {"-m0=Delta:4", "-m1=LZMA"}},
            {"arm-lzma", {"-m0=ARM", "-m1=LZMA"}},
            {"lzma-non-solid", {"-m0=LZMA", "-ms=off"}},
        };
        for (const auto& [name, switches] : shapes) {
            try {
                seeds.emplace_back(name, BuildSevenZipWithTool(files, switches));
            } catch (const std::exception& e) {
                std::fprintf(stderr, "fuzz_seeds: 7zz %s: %s\n", name.c_str(), e.what());
            }
        }
        try {
            seeds.emplace_back("launch-lzma", BuildSevenZipWithTool(launched, {"-m0=LZMA"}));
        } catch (const std::exception& e) {
            std::fprintf(stderr, "fuzz_seeds: 7zz launch: %s\n", e.what());
        }
    } else {
        std::fprintf(stderr, "fuzz_seeds: 7zz not available; only the own writer's 7z seeds\n");
    }
    // The tests' own writer: a Copy folder (byte 32 is data: starts it with a zero byte so the
    // locator takes it), plain header, any order of empty entries and folders.
    seeds.emplace_back("raw-copy", BuildSevenZipRaw({
        {u"a.bin", std::string("\0raw", 4)}, {u"Orvak ZEB Installer.exe", "MZ raw"},
        {u"dir", "", true}, {u"empty.txt", ""}, {u"dir/b.txt", "bee"}}));
    seeds.emplace_back("raw-names", BuildSevenZipRaw({
        {u"a.bin", std::string("\0raw", 4)}, {u"Orvak ZEB Installer.exe", "MZ raw"}, {u"\u0490.txt", "1"},
        {u"\u0491.txt", "2"}, {u"dot.", "3"}, {u"x\\y", "4"}, {u"empty", "", true}, {u"\u03A3", "5"}, {u"\u03C2", "6"}}));
    seeds.emplace_back("raw-unsafe", BuildSevenZipRaw({{u"..\\up.txt", std::string("\0", 1)},
                                                       {u"Orvak ZEB Installer.exe", "MZ"}}));
    return seeds;
}

// Bytes as FuzzedDataProvider takes them: integral values from the end, the rest from the front.
std::string LaunchSeed(const std::u16string& commandLine, bool withLaunch, const std::string& launch) {
    std::string back;  // in the order consumed
    const size_t units = commandLine.size() + 1;  // the terminating 0 ends the line
    back.push_back(static_cast<char>(units >> 8));
    back.push_back(static_cast<char>(units & 0xFF));
    for (size_t i = 0; i < units; ++i) {
        const char16_t unit = i < commandLine.size() ? commandLine[i] : 0;
        back.push_back(static_cast<char>(unit >> 8));
        back.push_back(static_cast<char>(unit & 0xFF));
    }
    back.push_back(withLaunch ? 1 : 0);
    return launch + std::string(back.rbegin(), back.rend());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_seeds FOLDER\n");
        return 2;
    }
    g_root = argv[1];
    const std::string& image = fuzzsupport::StubImage();
    for (const auto& [name, zip] : ZipSeeds()) {
        Put("fuzz_zip_run", name + ".zip", zip);
        Put("fuzz_locator", name + ".zip", image + zip);
        Put("fuzz_inspect", name + ".zip", std::string(1, '\x01') + zip);
        Put("fuzz_inspect", name + "-bare.zip", std::string(1, '\x00') + image + zip);
    }
    for (const auto& [name, archive] : SevenZipSeeds()) {
        Put("fuzz_7z_run", name + ".7z", archive);
        Put("fuzz_locator", name + ".7z", image + archive);
        Put("fuzz_inspect", name + ".7z", std::string(1, '\x01') + archive);
    }
    Put("fuzz_locator", "short", "PK\x03\x04 too short");
    Put("fuzz_locator", "sig-at-end", image + "PK\x03\x04" + std::string(20, 'x'));
    Put("fuzz_locator", "7z-nonzero", image + "7z\xBC\xAF\x27\x1C" + std::string(26, '\0') + "\x01tail" + std::string(40, 'y'));

    const std::u16string quoted = u"\"C:\\stub\\SelfExtractor.exe\" /S -x";
    Put("fuzz_launch", "default", LaunchSeed(quoted, false, ""));
    Put("fuzz_launch", "setup", LaunchSeed(u"SelfExtractor.exe a b", true, "setup.exe\r\n"));
    Put("fuzz_launch", "sub", LaunchSeed(u"-whole line", true, "sub\\setup.exe\nmore text"));
    Put("fuzz_launch", "bom", LaunchSeed(quoted, true, "\xEF\xBB\xBFsetup.exe"));
    Put("fuzz_launch", "parent", LaunchSeed(quoted, true, "..\\outside.exe"));
    Put("fuzz_launch", "absolute", LaunchSeed(quoted, true, "C:\\evil.exe"));
    Put("fuzz_launch", "long", LaunchSeed(quoted, true, "setup.exe\n" + std::string(10000, 'a')));
    Put("fuzz_launch", "dir", LaunchSeed(u"\"x", true, "dir"));
    std::printf("fuzz_seeds: %d seeds in %s\n", g_count, argv[1]);
    return 0;
}
