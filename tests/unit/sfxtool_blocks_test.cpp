// pack's 7z folders: the block rule and the sizes it takes, the writer that joins 7zz's one-folder
// archives (checked against 7zz's own bytes), packs that are the same for any number of threads and
// unpack whole with 7zz and with the stub's own run, and the progress meter.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <sstream>

#include "RunSequence.h"
#include "platform/host/host.h"
#include "sfxtool/Pack.h"
#include "sfxtool/PackProgress.h"
#include "sfxtool/SevenZipBlocks.h"
#include "sfxtool/SevenZipWriter.h"
#include "sfxtool_test_support.h"

using namespace sfxtest;
using sfxtool::Analyse;

namespace {

namespace host = platform::host;

const std::string kInstallerName = "Orvak ZEB Installer.exe";

// Text that compresses, unlike Noise.
std::string Words(size_t n, uint32_t seed) {
    static const char* words[] = {"setup ", "file ", "copy ", "the ", "data\n", "install ", "orvak "};
    std::string s;
    while (s.size() < n) {
        seed = seed * 1103515245u + 12345u;
        s += words[(seed >> 16) % 7];
    }
    s.resize(n);
    return s;
}

sfxtool::PackOptions Options(const TempDir& dir, const std::string& payload, const std::string& out) {
    sfxtool::PackOptions o;
    o.stub = dir / "stub.exe";
    WriteFile(o.stub, FakeStub());
    o.payload = payload;
    o.out = out;
    return o;
}

// The archive behind the fake stub.
std::string ArchiveOf(const std::string& installer) { return ReadFile(installer).substr(kFakeImageEnd); }

// Every file of a folder, by relative path.
std::map<std::string, std::string> FilesUnder(const std::string& folder) {
    std::map<std::string, std::string> files;
    for (auto it = fs::recursive_directory_iterator(folder); it != fs::recursive_directory_iterator(); ++it)
        if (it->is_regular_file()) files[fs::relative(it->path(), folder).generic_string()] = ReadFile(it->path());
    return files;
}

// The stub's whole run over the host backend: the staging folder's files when it starts the
// installer (the default one, at the staging folder's root).
std::map<std::string, std::string> StubUnpacks(const std::string& installer, bool* started) {
    host::Sandbox sandbox;
    host::Environment env;
    env.commandLine = u"\"C:\\stub\\SelfExtractor.exe\" /S";
    sandbox.WriteFile(env.modulePath, ReadFile(installer));
    std::map<std::string, std::string> files;
    *started = false;
    env.defaultProgram = [&](const host::ProcessStart& start) {
        *started = true;
        files = FilesUnder(fs::path(sandbox.LinuxPath(start.file)).parent_path().string());
        return host::ProcessOutcome{0, false};
    };
    host::Run(sandbox, env, [] {
        auto state = std::make_unique<stub::RunState>();
        stub::RunSequence(*state);
    });
    return files;
}

// A payload of every shape the block rule meets: the default installer (an x86 image: BCJ), many
// small text files, files larger than the 64 KiB block, files without data, names with spaces.
void MakeBlockPayload(const std::string& folder) {
    WriteFile(folder + "/" + kInstallerName, FakeStub() + Noise(30000, 1));
    for (int i = 0; i < 24; ++i)
        WriteFile(folder + "/docs/page" + std::to_string(i / 10) + std::to_string(i % 10) + ".txt", Words(9000 + 700 * i, i));
    WriteFile(folder + "/data/big.bin", Noise(200000, 2));
    WriteFile(folder + "/data/bigger text.txt", Words(150000, 3));
    WriteFile(folder + "/data/z.bin", Noise(70000, 4));
    WriteFile(folder + "/empty.txt", "");
    WriteFile(folder + "/docs/zz empty", "");
}

}  // namespace

TEST(SfxtoolBlocks, AFolderEndsAtTheFirstFileBoundaryAfterTheBlockSize) {
    struct Case {
        std::vector<uint64_t> sizes;
        uint64_t blockSize;
        std::vector<size_t> starts;
    };
    const Case cases[] = {
        {{}, 10, {}},
        {{5, 5, 5, 5}, 0, {0}},                // 0: one folder
        {{5, 5, 5, 5}, 10, {0, 2}},            // exactly full after two files
        {{3, 3, 3, 3, 3}, 10, {0, 4}},         // the file that crosses the size stays in
        {{1, 25, 1, 1}, 10, {0, 1, 2}},        // a larger file is a folder of its own
        {{25, 25, 4}, 10, {0, 1, 2}},
        {{4, 10, 1}, 10, {0, 2}},              // a file of exactly the size is not larger
        {{4, 11, 1}, 10, {0, 1, 2}},
        {{9, 1, 0, 0, 2}, 10, {0, 2}},         // files without data join the open folder
        {{7}, 1, {0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.sizes) + " / " + std::to_string(c.blockSize));
        EXPECT_EQ(sfxtool::BlockStarts(c.sizes, c.blockSize), c.starts);
    }
}

TEST(SfxtoolBlocks, FilesGroupByTypeAndTheDictionaryFitsTheFolder) {
    std::vector<std::string> names = {"b/Z.DLL", "a/y.txt", "a/x.dll", "c/noext", "a/x.dll.txt", "b/x.dll"};
    std::sort(names.begin(), names.end(), sfxtool::TypeOrderLess);
    EXPECT_EQ(names, (std::vector<std::string>{"c/noext", "b/Z.DLL", "a/x.dll", "b/x.dll", "a/x.dll.txt", "a/y.txt"}));
    EXPECT_EQ(sfxtool::DictionaryFor(1, false), 64u << 10);
    EXPECT_EQ(sfxtool::DictionaryFor((64u << 10) + 1, false), 96u << 10);
    EXPECT_EQ(sfxtool::DictionaryFor(5u << 20, false), 6u << 20);
    EXPECT_EQ(sfxtool::DictionaryFor(1ull << 30, false), sfxtool::kMaxDictionary);
    EXPECT_EQ(sfxtool::DictionaryFor(1ull << 30, true), sfxtool::kFastDictionary);
}

TEST(SfxtoolBlocks, BlockSizesInBytesOrBinaryUnits) {
    const std::pair<const char*, uint64_t> good[] = {
        {"0", 0}, {"4096", 4096}, {"64K", 64u << 10}, {"64k", 64u << 10}, {"64M", 64u << 20},
        {"64MiB", 64u << 20}, {"1G", 1ull << 30}, {"3GiB", 3ull << 30}, {"16777216", 16u << 20}};
    for (const auto& [text, value] : good) EXPECT_EQ(sfxtool::ParseByteSize(text), value) << text;
    for (const char* bad : {"", "M", "64X", "-1", "1.5M", "64 M", "64MB", "99999999999999999999", "17179869184G"})
        EXPECT_THROW(sfxtool::ParseByteSize(bad), sfxtool::PackError) << bad;
}

TEST(SfxtoolSevenZipWriter, WritesBackWhat7zzWroteByteForByte) {
    // 7zz's own one-folder archives (pack with one folder) read and written again: the header's
    // records, numbers of every width, the name padding, the empty-file vectors and the LZMA-coded
    // header all come out as 7zz wrote them.
    TempDir dir;
    const std::string shapes[] = {"mixed", "one-file", "many-names"};
    for (const std::string& shape : shapes) {
        SCOPED_TRACE(shape);
        const std::string payload = dir / ("src-" + shape);
        if (shape == "mixed") {
            MakeBlockPayload(payload);
        } else if (shape == "one-file") {
            WriteFile(payload + "/only.txt", Words(5000, 9));
        } else {
            // 300 names of 60 characters (name data over 16 KiB), sizes from 1 byte to 3 MB.
            for (int i = 0; i < 300; ++i)
                WriteFile(payload + "/" + std::string(50, static_cast<char>('a' + i % 26)) + std::to_string(1000000 + i),
                          Words(static_cast<size_t>(1) << (i % 17), i));
            WriteFile(payload + "/large.bin", Noise(3000000, 7));
            for (int i = 0; i < 9; ++i) WriteFile(payload + "/empty" + std::to_string(i), "");
        }
        sfxtool::PackOptions o;
        o.blockSize = 0;
        const std::string work = dir / ("work-" + shape);
        fs::create_directories(work);
        const std::string archive = work + "/7zz.7z";
        sfxtool::BuildSevenZip(sfxtool::CollectPayload(payload, std::nullopt), o, work, archive);
        const sfxtool::SevenZipLayout layout = sfxtool::ReadSevenZipLayout(archive);
        ASSERT_EQ(layout.folders.size(), 1u);
        const std::string again = work + "/again.7z";
        sfxtool::WriteSevenZip(layout, [&](const std::string& plain) { return sfxtool::LzmaHeader(plain, "7zz", work); },
                               again);
        EXPECT_TRUE(ReadFile(again) == ReadFile(archive)) << "the archive written again differs from 7zz's";
    }
}

TEST(SfxtoolPack, SevenZipFoldersFollowTheBlockRuleAndUnpackWhole) {
    TempDir dir;
    MakeBlockPayload(dir / "payload");
    auto o = Options(dir, dir / "payload", dir / "setup.exe");
    o.blockSize = 64 << 10;
    o.jobs = 2;
    const auto report = sfxtool::Pack(o);
    ASSERT_TRUE(report.problems.empty()) << Codes(report);

    // The folders are the rule's over the files with data grouped by type (TypeOrderLess).
    const auto files = sfxtool::CollectPayload(dir / "payload", std::nullopt);
    std::vector<std::string> names;
    for (const auto& f : files)
        if (fs::file_size(f.source) > 0) names.push_back(f.name);
    std::sort(names.begin(), names.end(), sfxtool::TypeOrderLess);
    std::vector<uint64_t> sizes;
    for (const auto& n : names) sizes.push_back(fs::file_size(fs::path(dir / "payload") / n));
    const std::vector<size_t> starts = sfxtool::BlockStarts(sizes, o.blockSize);
    const auto r = Analyse(o.out);
    EXPECT_TRUE(r.problems.empty()) << Codes(r);
    ASSERT_EQ(r.folders.size(), starts.size());
    ASSERT_GE(starts.size(), 5u);
    for (size_t b = 0; b < starts.size(); ++b) {
        const size_t end = b + 1 < starts.size() ? starts[b + 1] : names.size();
        EXPECT_EQ(r.folders[b].files, end - starts[b]) << "folder " << b;
        std::vector<std::string> in;
        for (const auto& e : r.entries)
            if (e.folder == static_cast<int64_t>(b)) in.push_back(e.name);
        std::vector<std::string> want(names.begin() + starts[b], names.begin() + end);
        std::sort(in.begin(), in.end());
        std::sort(want.begin(), want.end());
        EXPECT_EQ(in, want) << "folder " << b;
        const bool installer = std::find(in.begin(), in.end(), kInstallerName) != in.end();
        EXPECT_EQ(r.folders[b].chain.rfind(installer ? "BCJ2" : "LZMA", 0), 0u) << "folder " << b << ": " << r.folders[b].chain;
    }
    EXPECT_EQ(r.entries.size(), files.size());
    EXPECT_EQ(r.entries[0].name, "docs/zz empty") << "files without data lead, in 7zz's order";

    // 7zz tests and unpacks it; the stub's own run unpacks every byte.
    WriteFile(dir / "setup.7z", ArchiveOf(o.out));
    ASSERT_TRUE(SevenZip(dir.path, "t setup.7z"));
    ASSERT_TRUE(SevenZip(dir.path, "x -oout setup.7z"));
    const auto source = FilesUnder(dir / "payload");
    EXPECT_TRUE(FilesUnder(dir / "out") == source);
    bool started = false;
    const auto unpacked = StubUnpacks(o.out, &started);
    EXPECT_TRUE(started);
    EXPECT_EQ(unpacked.size(), source.size());
    EXPECT_TRUE(unpacked == source) << "the stub's files differ from the payload";
}

TEST(SfxtoolPack, SevenZipBytesAreTheSameForAnyNumberOfThreads) {
    TempDir dir;
    MakeBlockPayload(dir / "payload");
    std::string first;
    for (const unsigned jobs : {1u, 2u, 5u}) {
        SCOPED_TRACE(jobs);
        auto o = Options(dir, dir / "payload", dir / ("setup" + std::to_string(jobs) + ".exe"));
        o.blockSize = 64 << 10;
        o.jobs = jobs;
        ASSERT_TRUE(sfxtool::Pack(o).problems.empty());
        if (first.empty()) first = ReadFile(o.out);
        else EXPECT_TRUE(ReadFile(o.out) == first);
    }

    // One solid folder, whatever the threads: the archive 7zz makes with the same settings on one
    // thread (a dictionary sized to the whole payload, BCJ2, files grouped by type).
    auto o = Options(dir, dir / "payload", dir / "solid.exe");
    o.blockSize = 0;
    o.jobs = 2;
    ASSERT_TRUE(sfxtool::Pack(o).problems.empty());
    std::string names;
    uint64_t total = 0;
    for (const auto& f : sfxtool::CollectPayload(dir / "payload", std::nullopt)) {
        names += " '" + f.name + "'";
        total += fs::file_size(f.source);
    }
    const std::string dictionary = std::to_string(sfxtool::DictionaryFor(total, false) >> 10) + "k";
    ASSERT_TRUE(SevenZip(dir / "payload",
                         "a -t7z -m0=LZMA:d=" + dictionary + ":fb=64:mf=bt4:lc=3:lp=0:pb=2 -mf=BCJ2 -ms=on -mqs=on -mmt=1 -mhc=on "
                         "-mhe=off -mtm=off -mtc=off -mta=off -mtr=off -spd -scsUTF-8 -sccUTF-8 -bd -y -- '" +
                             (dir / "solid.7z") + "'" + names));
    EXPECT_TRUE(ArchiveOf(o.out) == ReadFile(dir / "solid.7z"));
    EXPECT_EQ(Analyse(o.out).folders.size(), 1u);
}

TEST(SfxtoolPack, AFailing7zzStopsThePackAndLeavesNothing) {
    // A 7zz that fails for one folder: the pack ends with its message, the other 7zz runs are
    // stopped, and neither the output nor the work folder remains.
    TempDir dir;
    MakeBlockPayload(dir / "payload");
    WriteFile(dir / "out/keep.txt", "x");
    const std::string fake = dir / "fake7zz";
    WriteFile(fake, "#!/bin/sh\ncase \"$*\" in *part-2.7z*) echo 'ERROR: disk full' >&2; exit 2;; esac\nexec 7zz \"$@\"\n");
    fs::permissions(fake, fs::perms::owner_all);
    auto o = Options(dir, dir / "payload", dir / "out/setup.exe");
    o.blockSize = 64 << 10;
    o.sevenZip = fake;
    try {
        sfxtool::Pack(o);
        ADD_FAILURE() << "the pack succeeded";
    } catch (const sfxtool::PackError& e) {
        EXPECT_NE(std::string(e.what()).find("disk full"), std::string::npos) << e.what();
    }
    EXPECT_EQ(FilesUnder(dir / "out").size(), 1u);

    o.sevenZip = dir / "no-such-7zz";
    EXPECT_THROW(sfxtool::Pack(o), sfxtool::PackError);
    EXPECT_EQ(FilesUnder(dir / "out").size(), 1u);
}

TEST(SfxtoolPackProgress, ReadsThePercentageFrom7zzProgressOutput) {
    // As 7zz -bsp1 writes it: a scan line, then percentages redrawn over backspaces.
    const std::string bs(14, '\b');
    const std::string out = "  0M Scan" + bs + "         " + bs + "  0%" + bs + "  7% + big.bin" + bs + " 42% 3 + 50%off.txt" + bs;
    EXPECT_EQ(sfxtool::LastPercent(out), 42);
    EXPECT_EQ(sfxtool::LastPercent(out.substr(0, out.find(" 42%"))), 7);
    EXPECT_EQ(sfxtool::LastPercent("  0M Scan"), -1);
    EXPECT_EQ(sfxtool::LastPercent("100%"), 100);
    EXPECT_EQ(sfxtool::LastPercent("1000%"), -1);

    // And from 7zz itself: the last percentage it writes for a file is 100 or close to it.
    TempDir dir;
    WriteFile(dir / "in/data.bin", Noise(3000000, 3));
    const std::string cmd = "cd '" + (dir / "in") + "' && 7zz a -t7z -m0=LZMA -mmt=1 -bso0 -bsp1 -y ../a.7z data.bin > ../progress";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    EXPECT_GE(sfxtool::LastPercent(ReadFile(dir / "progress")), 50);
}

TEST(SfxtoolPackProgress, ShowsBytesRateAndTimeLeftAtMostFourTimesASecond) {
    const uint64_t mib = 1 << 20;
    EXPECT_EQ(sfxtool::ProgressText(0, 100 * mib, 0), "packing: 0.0 of 100.0 MiB (0%)");
    EXPECT_EQ(sfxtool::ProgressText(25 * mib, 100 * mib, 10), "packing: 25.0 of 100.0 MiB (25%), 2.5 MiB/s, 0:30 left");
    EXPECT_EQ(sfxtool::ProgressText(mib, 4000 * mib, 1), "packing: 1.0 of 4000.0 MiB (0%), 1.0 MiB/s, 1:06:39 left");
    EXPECT_EQ(sfxtool::ProgressDoneText(100 * mib, 40), "packed 100.0 MiB in 0:40 (2.5 MiB/s)");

    double now = 100;
    std::ostringstream out;
    sfxtool::ProgressMeter meter(&out, 100 * mib, [&] { return now; });
    meter.Update(0);
    now += 0.1;
    meter.Update(50 * mib);  // too soon: not drawn
    EXPECT_EQ(out.str(), "\rpacking: 0.0 of 100.0 MiB (0%)");
    now += 1.9;
    meter.Update(50 * mib);
    EXPECT_EQ(out.str(), "\rpacking: 0.0 of 100.0 MiB (0%)\rpacking: 50.0 of 100.0 MiB (50%), 25.0 MiB/s, 0:02 left");
    out.str("");
    now += 2;
    meter.Finish();
    // The shorter last line covers the longer one before it.
    const std::string longer = "packing: 50.0 of 100.0 MiB (50%), 25.0 MiB/s, 0:02 left";
    const std::string last = "packed 100.0 MiB in 0:04 (25.0 MiB/s)";
    EXPECT_EQ(out.str(), "\r" + last + std::string(longer.size() - last.size(), ' ') + "\n");
    meter.Update(60 * mib);
    meter.Finish();
    EXPECT_EQ(out.str().back(), '\n') << "nothing after the last line";
}
