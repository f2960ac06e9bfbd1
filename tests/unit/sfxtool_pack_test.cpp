// sfxtool's 7z checks and its pack command: every 7z shape the stub cannot take is found, packs
// from a folder are sound and byte-identical for the same inputs, and a failed pack leaves nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "payload/SevenZipExtractor.h"
#include "payload/SevenZipFolderDecoder.h"
#include "sfxtool/Analysis.h"
#include "sfxtool/Pack.h"
#include "sfxtool/StubCalls.h"
#include "sfxtool/Verdict.h"
#include "sfxtool_test_support.h"

using namespace sfxtest;
using sfxtool::Analyse;

namespace {

const std::string kInstallerName = "Orvak ZEB Installer.exe";

// A payload folder: the default installer, text, noise, a nested file and an empty file.
void MakePayload(const std::string& folder) {
    WriteFile(folder + "/" + kInstallerName, FakeStub() + Noise(5000, 1));
    WriteFile(folder + "/docs/readme.txt", std::string(20000, 'r'));
    WriteFile(folder + "/data/deep/noise.bin", Noise(7000, 2));
    WriteFile(folder + "/empty.txt", "");
    WriteFile(folder + "/ lead space.txt", "names 7zz list files would trim");
}

// Builds a 7z archive with 7zz from a payload folder and appends it to the fake stub.
std::string SevenZipInstaller(const TempDir& dir, const std::string& switches, const std::string& name) {
    const std::string payload = dir / ("src-" + name);
    MakePayload(payload);
    const std::string archive = dir / (name + ".7z");
    EXPECT_TRUE(SevenZip(payload, "a -t7z -bd -y " + switches + " '" + archive + "' ."));
    const std::string path = dir / (name + ".exe");
    WriteFile(path, FakeStub() + ReadFile(archive));
    return path;
}

sfxtool::PackOptions Options(const TempDir& dir, const std::string& payload, const std::string& format,
                             const std::string& out) {
    sfxtool::PackOptions o;
    o.stub = dir / "stub.exe";
    WriteFile(o.stub, FakeStub());
    o.payload = payload;
    o.format = format;
    o.out = out;
    return o;
}

size_t FilesIn(const std::string& folder) {
    size_t n = 0;
    for (auto it = fs::recursive_directory_iterator(folder); it != fs::recursive_directory_iterator(); ++it) ++n;
    return n;
}

}  // namespace

TEST(SfxtoolSevenZipChecks, AnLzmaArchiveWithBcjPassesAndIsDescribed) {
    TempDir dir;
    const auto r = Analyse(SevenZipInstaller(dir, "-m0=LZMA -mf=BCJ", "good"));
    EXPECT_TRUE(r.problems.empty()) << Codes(r);
    EXPECT_EQ(r.kind, sfxtool::ArchiveKind::SevenZip);
    EXPECT_EQ(r.offset, kFakeImageEnd);
    ASSERT_EQ(r.folders.size(), 1u);
    EXPECT_EQ(r.folders[0].chain, "BCJ LZMA");
    // The decoder's window (the folder, smaller than the dictionary) and its fixed buffers, for
    // the one worker of one folder.
    EXPECT_EQ(r.workers, 1u);
    EXPECT_EQ(r.peakMemory, r.folders[0].memory + stub::kSevenZipArenaSlack);
    EXPECT_GT(r.peakMemory, r.folders[0].unpackSize);
    EXPECT_LT(r.peakMemory, r.folders[0].unpackSize + stub::kFolderOutputBytes + (1u << 20));
    EXPECT_EQ(r.archiveEnd, r.fileSize);
    EXPECT_TRUE(r.programExists);
    EXPECT_EQ(r.program, kInstallerName);
    EXPECT_TRUE(r.extractionComplete);
    size_t files = 0;
    for (const auto& e : r.entries) files += !e.isDir;
    EXPECT_EQ(files, 5u);
}

TEST(SfxtoolSevenZipChecks, AcceptsEveryFolderShapeTheStubDecodes) {
    TempDir dir;
    const char* shapes[] = {
        "-m0=Copy",
        "-m0=Delta:4 -m1=LZMA -mf=off",
        "-m0=BCJ2 -m1=LZMA -m2=LZMA -m3=LZMA -mb0s0:1 -mb0s1:2 -mb0s2:3",
        "-m0=LZMA -mf=ARM64",
        "-m0=LZMA -mf=RISCV",
    };
    int n = 0;
    for (const char* switches : shapes) {
        SCOPED_TRACE(switches);
        const auto r = Analyse(SevenZipInstaller(dir, switches, "shape" + std::to_string(n++)));
        // Copy stores the installer's own bytes first: not an LZMA stream, passed over by the locator.
        if (std::string(switches) == "-m0=Copy") {
            EXPECT_TRUE(HasProblem(r, "first-stream-not-lzma")) << Codes(r);
            EXPECT_FALSE(HasProblem(r, "unsupported-folder")) << Codes(r);
            continue;
        }
        EXPECT_TRUE(r.problems.empty()) << Codes(r);
        EXPECT_TRUE(r.extractionComplete);
        EXPECT_EQ(r.trial.staged.size(), 5u);
    }
}

TEST(SfxtoolSevenZipChecks, FindsWhatTheStubCannotTake) {
    TempDir dir;
    struct Case {
        const char* switches;
        const char* code;
    };
    const Case cases[] = {
        {"-m0=LZMA2", "first-stream-not-lzma"},        // 7zz's default method: passed over by the locator
        {"-m0=PPMd", "unsupported-folder"},
        {"-m0=LZMA -mf=off -pSecret", "first-stream-not-lzma"},  // AES: its data starts anywhere
        {"-m0=LZMA -mhe=on -pSecret", "first-stream-not-lzma"},  // encrypted header too
        {"-m0=BCJ -m1=Delta -m2=LZMA", "unsupported-folder"},  // three coders
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.switches);
        const auto r = Analyse(SevenZipInstaller(dir, c.switches, "case" + std::to_string(n++)));
        EXPECT_TRUE(HasProblem(r, c.code)) << Codes(r);
    }
}

TEST(SfxtoolSevenZipChecks, FindsACorruptFolder) {
    TempDir dir;
    const std::string path = SevenZipInstaller(dir, "-m0=LZMA -mf=off", "corrupt");
    std::string bytes = ReadFile(path);
    bytes[kFakeImageEnd + 32 + 2000] ^= 0x55;  // inside the packed stream
    WriteFile(path, bytes);
    const auto r = Analyse(path);
    EXPECT_TRUE(HasProblem(r, "7z-data")) << Codes(r);
}

TEST(SfxtoolPack, PacksAFolderInBothFormatsIntoAnInstallerThatVerifies) {
    TempDir dir;
    MakePayload(dir / "payload");
    for (const std::string format : {"7z", "zip"}) {
        SCOPED_TRACE(format);
        auto o = Options(dir, dir / "payload", format, dir / ("setup-" + format + ".exe"));
        o.launch = "docs/readme.txt";
        const auto report = sfxtool::Pack(o);
        ASSERT_TRUE(report.problems.empty()) << Codes(report);
        const auto r = Analyse(o.out);
        EXPECT_TRUE(r.problems.empty()) << Codes(r);
        EXPECT_EQ(r.kind, format == "7z" ? sfxtool::ArchiveKind::SevenZip : sfxtool::ArchiveKind::Zip);
        EXPECT_EQ(r.launchSource, ".launch");
        EXPECT_EQ(r.program, "docs/readme.txt");
        std::vector<std::string> names;
        for (const auto& e : r.entries)
            if (!e.isDir) names.push_back(e.name);
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, (std::vector<std::string>{" lead space.txt", ".launch", kInstallerName, "data/deep/noise.bin", "docs/readme.txt",
                                                   "empty.txt"}));
        if (format == "7z") {
            for (const auto& f : r.folders) EXPECT_EQ(f.chain, "BCJ2 LZMA LZMA LZMA") << "the payload holds an x86 executable";
        }
        // The stub carries a manifest and no identity is asked for: its image goes in unchanged but
        // for the checksum, which covers the whole installer.
        std::string image = ReadFile(o.out).substr(0, kFakeImageEnd), stub = FakeStub();
        EXPECT_EQ(image.substr(0, kChecksumAt) + image.substr(kChecksumAt + 4), stub.substr(0, kChecksumAt) + stub.substr(kChecksumAt + 4));
    }
}

TEST(SfxtoolPack, TheSameInputsGiveByteIdenticalOutputs) {
    TempDir dir;
    MakePayload(dir / "one");
    MakePayload(dir / "two");  // the same content, written later: other times, other inode order
    std::system(("touch -d '2001-02-03' '" + (dir / "one/docs/readme.txt") + "'").c_str());
    for (const std::string format : {"7z", "zip"}) {
        SCOPED_TRACE(format);
        auto a = Options(dir, dir / "one", format, dir / ("a." + format + ".exe"));
        auto b = Options(dir, dir / "two", format, dir / ("b." + format + ".exe"));
        ASSERT_TRUE(sfxtool::Pack(a).problems.empty());
        ASSERT_TRUE(sfxtool::Pack(b).problems.empty());
        EXPECT_EQ(ReadFile(a.out), ReadFile(b.out));
        // Another entry time changes the ZIP (its headers carry it) but never the 7z archive.
        auto c = Options(dir, dir / "one", format, dir / ("c." + format + ".exe"));
        c.epoch = 1700000000;
        ASSERT_TRUE(sfxtool::Pack(c).problems.empty());
        EXPECT_EQ(ReadFile(a.out) == ReadFile(c.out), format == "7z");
    }
}

TEST(SfxtoolPack, AFailedPackLeavesNoFileBehind) {
    TempDir dir;
    MakePayload(dir / "payload");
    // An archive the stub cannot read: verified, refused, nothing written.
    ASSERT_TRUE(SevenZip(dir / "payload", "a -t7z -bd -y -m0=LZMA2 '" + (dir / "lzma2.7z") + "' ."));
    auto o = Options(dir, dir / "lzma2.7z", "7z", dir / "out/setup.exe");
    fs::create_directories(dir / "out");
    const auto report = sfxtool::Pack(o);
    EXPECT_TRUE(HasProblem(report, "first-stream-not-lzma")) << Codes(report);
    EXPECT_EQ(FilesIn(dir / "out"), 0u) << "neither the output nor a temporary file may remain";

    // A folder whose names the stub refuses.
    WriteFile(dir / "bad/" + kInstallerName, "MZ");
    WriteFile(dir / "bad/CON.txt", "x");
    o = Options(dir, dir / "bad", "zip", dir / "out/setup.exe");
    EXPECT_TRUE(HasProblem(sfxtool::Pack(o), "unsafe-name"));
    EXPECT_EQ(FilesIn(dir / "out"), 0u);

    // An input error (the --launch target is missing) throws, again leaving nothing.
    o = Options(dir, dir / "payload", "7z", dir / "out/setup.exe");
    o.launch = "nothing.exe";
    EXPECT_THROW(sfxtool::Pack(o), sfxtool::PackError);
    EXPECT_EQ(FilesIn(dir / "out"), 0u);

    // A failed pack over an existing output leaves the old one untouched.
    WriteFile(dir / "out/setup.exe", "previous");
    o = Options(dir, dir / "lzma2.7z", "7z", dir / "out/setup.exe");
    EXPECT_FALSE(sfxtool::Pack(o).problems.empty());
    EXPECT_EQ(ReadFile(dir / "out/setup.exe"), "previous");
    EXPECT_EQ(FilesIn(dir / "out"), 1u);
}

TEST(SfxtoolSevenZipChecks, AWindowLargerThanTheHeapLimitIsReportedWithTheFix) {
    // A folder of 3 MiB behind a 4 MiB dictionary needs a 3 MiB window: with the trial's heap
    // held to 2 MiB the stub's own run stops at the folder, and the problem names the fix.
    TempDir dir;
    const std::string payload = dir / "src";
    WriteFile(payload + "/" + kInstallerName, FakeStub());
    WriteFile(payload + "/data.bin", Noise(3u << 20, 5));
    const std::string archive = dir / "w.7z";
    ASSERT_TRUE(SevenZip(payload, "a -t7z -bd -y -m0=LZMA:d=4m '" + archive + "' ."));
    const std::string path = dir / "w.exe";
    WriteFile(path, FakeStub() + ReadFile(archive));
    const sfxtool::StubTrial trial = sfxtool::RunStubTrial(path, 64, 2u << 20);
    ASSERT_TRUE(trial.ran);
    ASSERT_FALSE(trial.notes.empty());
    EXPECT_EQ(sfxtool::ReasonCode(trial.notes.front().reason), "window-too-large");
    sfxtool::VerdictContext context;
    context.entryNames = {"Orvak ZEB Installer.exe", "data.bin"};
    context.entryFolder = {0, 0};
    context.folderMemory = {(3u << 20) + (5u << 20)};
    context.heapLimit = 2u << 20;
    const sfxtool::Problem p = sfxtool::Explain(trial.notes.front(), context);
    EXPECT_NE(p.message.find("-md"), std::string::npos) << p.message;
    // The tool's own verdict at the likely heap limit: this folder is fine.
    EXPECT_EQ(sfxtool::ErrorCount(Analyse(path)), 0u) << Codes(Analyse(path));
}

TEST(SfxtoolPack, LaunchIsWrittenAsTheStubTakesItOrRefused) {
    // Leading separators, "." and ".." taken back are normalised into the line the stub accepts;
    // a path that leaves the folder or names a drive is refused and nothing is written.
    TempDir dir;
    WriteFile(dir / "payload/bin/setup.exe", FakeStub());
    WriteFile(dir / "payload/setup.exe", FakeStub());
    const std::vector<std::pair<std::string, std::string>> accepted = {
        {"/bin/setup.exe", "bin\\setup.exe"}, {"\\bin\\setup.exe", "bin\\setup.exe"},
        {"bin\\..\\setup.exe", "setup.exe"}, {"./bin//setup.exe", "bin\\setup.exe"}};
    int n = 0;
    for (const auto& [given, line] : accepted) {
        SCOPED_TRACE(given);
        auto o = Options(dir, dir / "payload", "zip", dir / ("ok" + std::to_string(n++) + ".exe"));
        o.launch = given;
        const auto report = sfxtool::Pack(o);
        EXPECT_EQ(sfxtool::ErrorCount(report), 0u) << Codes(report);
        EXPECT_TRUE(report.trial.started);
        EXPECT_EQ(report.trial.launchBytes, line);
        std::string program = line;
        std::replace(program.begin(), program.end(), '\\', '/');
        EXPECT_EQ(report.program, program);
    }
    for (const char* refused : {"../setup.exe", "bin/../../setup.exe", "C:setup.exe", "setup.exe:stream"}) {
        SCOPED_TRACE(refused);
        auto o = Options(dir, dir / "payload", "zip", dir / "refused.exe");
        o.launch = refused;
        EXPECT_THROW(sfxtool::Pack(o), sfxtool::PackError);
        EXPECT_FALSE(fs::exists(dir / "refused.exe"));
    }
}
