// The streaming folder decoder against the SDK's whole-folder decoder, on every folder shape the
// stub takes: the same bytes for every way of cutting the output into slices (cuts that split a
// filter's instruction, a BCJ2 call, a window wrap), and the same verdict on damaged archives.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "payload/SevenZipAllocators.h"
#include "payload/SevenZipFolderDecoder.h"
#include "payload/SevenZipStreams.h"
#include "platform/host/host.h"
#include "sfxtool_test_support.h"
#include "support/SevenZipBuilder.h"
#include "worker_run.h"

extern "C" {
#include "7zCrc.h"
}

namespace {

using platform::host::Sandbox;
using testsupport::SevenZipToolFile;

const std::u16string kArchive = u"C:\\in\\archive.7z";

// Bytes that every branch filter finds work in: x86 calls and jumps, ARM and Thumb branch words,
// PowerPC and SPARC calls, with repeated stretches so that the packed streams are small.
std::string CodeLike(size_t size, uint32_t seed) {
    std::string out = sfxtest::Noise(size, seed);
    const std::string ops[] = {std::string("\xE8\x10\x20\x00\x00", 5), std::string("\xE9\x00\x01\x00\x00", 5),
                               std::string("\x0F\x85\x10\x00\x00\x00", 6), std::string("\x00\x00\x00\xEB", 4),
                               std::string("\x00\xF0\x00\xF8", 4), std::string("\x48\x00\x00\x01", 4),
                               std::string("\x40\x00\x00\x10", 4), std::string("\x94\x00\x00\x00", 4)};
    for (size_t i = 0; i + 8 < size; i += 5 + (i % 7)) {
        const std::string& op = ops[(i / 5) % (sizeof ops / sizeof ops[0])];
        out.replace(i, op.size(), op);
    }
    for (size_t i = 0; i + 4096 < size; i += 9000) out.replace(i, 4096, std::string(4096, 'A' + (i % 13)));
    return out;
}

struct Shape {
    const char* label;
    std::vector<std::string> switches;
};

// Dictionaries of 64 KiB: the folders are several times larger, so the windows wrap.
std::vector<Shape> Shapes() {
    const std::string lzma = "-m0=LZMA:d=64k";
    return {
        {"Copy", {"-m0=Copy"}},
        {"LZMA", {lzma}},
        {"LZMA2", {"-m0=LZMA2:d=64k"}},
        {"x86", {"-m0=BCJ", "-m1=LZMA:d=64k"}},
        {"PPC", {"-m0=PPC", "-m1=LZMA:d=64k"}},
        {"IA64", {"-m0=IA64", "-m1=LZMA:d=64k"}},
        {"ARM", {"-m0=ARM", "-m1=LZMA:d=64k"}},
        {"ARMT", {"-m0=ARMT", "-m1=LZMA:d=64k"}},
        {"ARM64", {"-m0=ARM64", "-m1=LZMA:d=64k"}},
        {"RISCV", {"-m0=RISCV", "-m1=LZMA:d=64k"}},
        {"SPARC", {"-m0=SPARC", "-m1=LZMA2:d=64k"}},
        {"Delta", {"-m0=Delta:4", "-m1=LZMA:d=64k"}},
        {"BCJ2", {"-m0=BCJ2", "-m1=LZMA:d=64k", "-m2=LZMA:d=4k", "-m3=LZMA:d=4k", "-mb0s0:1", "-mb0s1:2", "-mb0s2:3"}},
        {"BCJ2 Copy", {"-m0=BCJ2", "-m1=LZMA2:d=64k", "-m2=Copy", "-m3=Copy", "-mb0s0:1", "-mb0s1:2", "-mb0s2:3"}},
    };
}

struct FolderResult {
    SRes res = SZ_OK;
    std::string bytes;
};

// Opens `archive` (written into the sandbox) and hands the database to `body`, inside one run.
template <typename Body>
void WithDatabase(Sandbox& sandbox, const std::string& archive, Body body) {
    sandbox.WriteFile(kArchive, archive);
    platform::host::Run(sandbox, platform::host::Environment{}, [&] {
        using namespace platform;
        const Handle file = CreateFileW(kArchive.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        auto input = std::make_unique<stub::SevenZipInput>();
        stub::SevenZipInputSetUp(*input, file);
        CrcGenerateTable();
        CSzArEx db;
        SzArEx_Init(&db);
        const SRes opened = SzArEx_Open(&db, stub::SevenZipLookStream(*input), &stub::kSevenZipMainAllocator,
                                        &stub::kSevenZipTempAllocator);
        ASSERT_EQ(opened, SZ_OK);
        body(db, file, *input);
        SzArEx_Free(&db, &stub::kSevenZipMainAllocator);
        CloseHandle(file);
    });
}

FolderResult Reference(const CSzArEx& db, UInt32 folder, stub::SevenZipInput& input) {
    FolderResult out;
    const UInt64 size = SzAr_GetFolderUnpackSize(&db.db, folder);
    out.bytes.assign(size, '\0');
    out.res = SzAr_DecodeFolder(&db.db, folder, stub::SevenZipLookStream(input), db.dataPos,
                                reinterpret_cast<Byte*>(out.bytes.data()), size, &stub::kSevenZipMainAllocator);
    if (out.res != SZ_OK) out.bytes.clear();
    return out;
}

// Streams the folder, asking for a slice of `cut(i)` bytes at the i-th read.
template <typename Cut>
FolderResult Streamed(const CSzArEx& db, UInt32 folder, platform::Handle file, Cut cut) {
    FolderResult out;
    auto decoder = std::make_unique<stub::FolderDecoder>();
    out.res = stub::FolderDecoderOpen(*decoder, db, folder, file, &stub::kSevenZipMainAllocator);
    if (out.res != SZ_OK) return out;
    for (size_t i = 0;; ++i) {
        const Byte* data;
        SizeT size;
        out.res = stub::FolderDecoderRead(*decoder, &data, &size, cut(i));
        if (out.res != SZ_OK || size == 0) break;
        out.bytes.append(reinterpret_cast<const char*>(data), size);
    }
    if (out.res == SZ_OK) out.res = stub::FolderDecoderFinish(*decoder);
    stub::FolderDecoderFree(*decoder, &stub::kSevenZipMainAllocator);
    if (out.res != SZ_OK) out.bytes.clear();
    return out;
}

class SevenZipFolderDecoderTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::SevenZipToolAvailable()) GTEST_SKIP() << "7zz is not installed";
    }
};

TEST_F(SevenZipFolderDecoderTest, EveryShapeMatchesTheWholeFolderDecoderWhereverTheSlicesEnd) {
    // One solid folder: code past several windows and filter buffers, an empty file, a file that
    // ends exactly at 64 KiB, small text, a file cut at an odd size.
    const std::vector<SevenZipToolFile> files = {
        {"a/code.bin", CodeLike(700000, 1)},
        {"a/empty.txt", ""},
        {"b/boundary.bin", CodeLike(65536, 2)},
        {"b/text.txt", std::string(3000, 't') + "end"},
        {"c/odd.bin", CodeLike(300001, 3)},
    };
    std::mt19937 random(7);
    for (const Shape& shape : Shapes()) {
        SCOPED_TRACE(shape.label);
        std::vector<std::string> switches = shape.switches;
        switches.push_back("-ms=on");
        const std::string archive = testsupport::BuildSevenZipWithTool(files, switches);
        Sandbox sandbox;
        WithDatabase(sandbox, archive, [&](const CSzArEx& db, platform::Handle file, stub::SevenZipInput& input) {
            // Solid, but Copy makes a folder of each file.
            size_t total = 0;
            for (UInt32 f = 0; f < db.db.NumFolders; ++f) {
                SCOPED_TRACE("folder " + std::to_string(f));
                const FolderResult reference = Reference(db, f, input);
                ASSERT_EQ(reference.res, SZ_OK);
                total += reference.bytes.size();
                // Whole slices, single bytes, odd sizes, sizes around filter instructions, random.
                const std::vector<std::function<SizeT(size_t)>> cuts = {
                    [](size_t) { return SizeT(1) << 30; },
                    [](size_t i) { return SizeT(i % 3 == 0 ? 1 : 4093); },
                    [](size_t i) { return SizeT(3 + i % 5); },
                    [&](size_t) { return SizeT(1 + random() % 70000); },
                };
                for (size_t c = 0; c < cuts.size(); ++c) {
                    SCOPED_TRACE("cut " + std::to_string(c));
                    const FolderResult streamed = Streamed(db, f, file, cuts[c]);
                    ASSERT_EQ(streamed.res, SZ_OK);
                    ASSERT_EQ(streamed.bytes.size(), reference.bytes.size());
                    EXPECT_TRUE(streamed.bytes == reference.bytes);
                }
            }
            EXPECT_GT(total, 1000000u);
        });
    }
}

TEST_F(SevenZipFolderDecoderTest, EveryShapeUnpackedByOneTwoAndFourWorkersMatchesTheWholeFolderDecoder) {
    // One folder a file (four folders and the empty file): the workers decode them at once, each
    // from its own read handle, in interleavings picked by the seeds; every file must be the
    // whole-folder decoder's bytes for it.
    const std::vector<SevenZipToolFile> files = {
        {"a/code.bin", CodeLike(260000, 11)}, {"a/empty.txt", ""}, {"b/boundary.bin", CodeLike(65536, 12)},
        {"b/text.txt", std::string(30000, 't') + "end"}, {"c/odd.bin", CodeLike(150001, 13)},
    };
    for (const Shape& shape : Shapes()) {
        SCOPED_TRACE(shape.label);
        std::vector<std::string> switches = shape.switches;
        switches.push_back("-ms=1f");
        const std::string archive = testsupport::BuildSevenZipWithTool(files, switches);
        // The reference: each file's bytes cut from its folder as the SDK decodes the folder whole.
        std::map<std::string, std::string> reference;
        Sandbox sandbox;
        WithDatabase(sandbox, archive, [&](const CSzArEx& db, platform::Handle, stub::SevenZipInput& input) {
            ASSERT_GE(db.db.NumFolders, 4u);
            for (UInt32 i = 0; i < db.NumFiles; ++i) {
                if (SzArEx_IsDir(&db, i)) continue;
                std::u16string name(SzArEx_GetFileNameUtf16(&db, i, nullptr), u'\0');
                SzArEx_GetFileNameUtf16(&db, i, reinterpret_cast<UInt16*>(name.data()));
                name.pop_back();
                std::string bytes;
                const UInt32 folder = db.FileToFolder[i];
                if (folder != 0xFFFFFFFFu) {
                    const FolderResult whole = Reference(db, folder, input);
                    ASSERT_EQ(whole.res, SZ_OK);
                    const UInt64 start = db.UnpackPositions[i] - db.UnpackPositions[db.FolderToFile[folder]];
                    bytes = whole.bytes.substr(start, SzArEx_GetFileSize(&db, i));
                }
                reference[platform::host::Utf8(name)] = bytes;
            }
        });
        ASSERT_EQ(reference.size(), files.size());
        for (const uint32_t processors : {1u, 2u, 4u}) {
            for (const uint32_t seed : {0u, 5u, 6u}) {
                if (processors == 1 && seed != 0) continue;
                SCOPED_TRACE(std::to_string(processors) + " processors, seed " + std::to_string(seed));
                const workerrun::Unpacked run = workerrun::Unpack(archive, processors, seed);
                ASSERT_TRUE(run.returned);
                EXPECT_TRUE(run.result.notes.empty());
                EXPECT_EQ(run.workers, processors);
                EXPECT_TRUE(run.files == reference);
            }
        }
    }
}

TEST_F(SevenZipFolderDecoderTest, SeveralFoldersDecodeEachFromItsOwnStreams) {
    // Three folders of different shapes behind one another; decoded in reverse order, so every
    // folder's cursors must find their own packed streams.
    const std::string archive = testsupport::BuildSevenZipWithTool({
        {{{"one.bin", CodeLike(200000, 4)}}, {"-m0=LZMA:d=64k"}},
        {{{"two.bin", CodeLike(150000, 5)}}, {"-m0=BCJ2", "-m1=LZMA", "-m2=LZMA", "-m3=LZMA", "-mb0s0:1", "-mb0s1:2", "-mb0s2:3"}},
        {{{"three.bin", CodeLike(90000, 6)}}, {"-m0=Delta:2", "-m1=LZMA2"}},
    });
    Sandbox sandbox;
    WithDatabase(sandbox, archive, [&](const CSzArEx& db, platform::Handle file, stub::SevenZipInput& input) {
        ASSERT_EQ(db.db.NumFolders, 3u);
        for (UInt32 f = db.db.NumFolders; f-- > 0;) {
            SCOPED_TRACE("folder " + std::to_string(f));
            const FolderResult reference = Reference(db, f, input);
            const FolderResult streamed = Streamed(db, f, file, [](size_t i) { return SizeT(777 + i); });
            ASSERT_EQ(reference.res, SZ_OK);
            ASSERT_EQ(streamed.res, SZ_OK);
            EXPECT_TRUE(streamed.bytes == reference.bytes);
        }
    });
}

TEST_F(SevenZipFolderDecoderTest, DamagedPackedDataGivesTheSameVerdict) {
    // Single bytes of the packed streams flipped, one at a time: both decoders fail, or both give
    // the same bytes. Truncated packed streams (an archive cut short) fail in both.
    const std::vector<SevenZipToolFile> files = {{"code.bin", CodeLike(120000, 8)}, {"t.txt", "text"}};
    std::mt19937 random(11);
    for (const Shape& shape : Shapes()) {
        SCOPED_TRACE(shape.label);
        std::vector<std::string> switches = shape.switches;
        switches.push_back("-mhc=off");
        const std::string clean = testsupport::BuildSevenZipWithTool(files, switches);
        const size_t header = testsupport::SevenZipHeaderOffset(clean);
        for (int round = 0; round < 12; ++round) {
            std::string damaged = clean;
            const size_t at = 32 + random() % (header - 32);
            testsupport::FlipByte(damaged, at, static_cast<uint8_t>(1u << (random() % 8)));
            SCOPED_TRACE("flipped byte " + std::to_string(at));
            Sandbox sandbox;
            WithDatabase(sandbox, damaged, [&](const CSzArEx& db, platform::Handle file, stub::SevenZipInput& input) {
                const FolderResult reference = Reference(db, 0, input);
                const FolderResult streamed = Streamed(db, 0, file, [](size_t i) { return SizeT(1000 + 37 * i); });
                EXPECT_EQ(reference.res == SZ_OK, streamed.res == SZ_OK)
                    << "reference " << reference.res << ", streamed " << streamed.res;
                EXPECT_TRUE(streamed.bytes == reference.bytes);
            });
        }
    }
}

TEST_F(SevenZipFolderDecoderTest, MemoryIsTheWindowsPlusFixedBuffersWhateverTheFolderSize) {
    // 4 MiB of data behind a 64 KiB dictionary: the decoder asks for the window and its buffers,
    // never for the folder's size.
    const std::string archive = testsupport::BuildSevenZipWithTool({{"big.bin", CodeLike(4u << 20, 9)}}, {"-m0=LZMA:d=64k"});
    Sandbox sandbox;
    size_t largest = 0;
    WithDatabase(sandbox, archive, [&](const CSzArEx& db, platform::Handle file, stub::SevenZipInput&) {
        const uint64_t memory = stub::FolderDecoderMemory(db, 0);
        EXPECT_GE(memory, (64u << 10) + stub::kPackBufferBytes);
        EXPECT_LT(memory, stub::kFolderOutputBytes + (1u << 20));
        auto decoder = std::make_unique<stub::FolderDecoder>();
        ASSERT_EQ(stub::FolderDecoderOpen(*decoder, db, 0, file, &stub::kSevenZipMainAllocator), SZ_OK);
        largest = decoder->units[0].windowSize;
        stub::FolderDecoderFree(*decoder, &stub::kSevenZipMainAllocator);
    });
    EXPECT_EQ(largest, 64u << 10);
}

}  // namespace
