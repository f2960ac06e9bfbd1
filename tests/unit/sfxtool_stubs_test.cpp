// sfxtool's stubs: the places it looks for them and in which order, names against paths in --stub,
// and the SHA-256 it prints.
#include <gtest/gtest.h>

#include "sfxtool/Pack.h"
#include "sfxtool/Stubs.h"
#include "sfxtool_test_support.h"

using namespace sfxtest;

namespace {

// A tool folder `root/usr/bin`, as in an unpacked package.
struct Layout {
    TempDir dir;
    std::string bin = dir / "usr/bin";
    Layout() { fs::create_directories(bin); }
    std::string Installed(const std::string& name) const {
        return dir / ("usr/share/sfxtool/stubs/" + name + "/SelfExtractor.exe");
    }
    std::string BuildTree(const std::string& name) const { return dir / ("usr/" + name + "/SelfExtractor.exe"); }
};

TEST(SfxtoolStubs, PackageLayoutFirstThenBuildTree) {
    Layout l;
    EXPECT_EQ(sfxtool::FindStub(l.bin, "win32"), std::nullopt);
    WriteFile(l.BuildTree("win32"), "built");
    EXPECT_EQ(sfxtool::FindStub(l.bin, "win32"), l.BuildTree("win32"));
    WriteFile(l.Installed("win32"), "installed");
    EXPECT_EQ(sfxtool::FindStub(l.bin, "win32"), l.Installed("win32"));
    // Each name has its own place: win32's stub is never taken for win64.
    EXPECT_EQ(sfxtool::FindStub(l.bin, "win64"), std::nullopt);
    // A folder where the stub should be is not a stub.
    fs::create_directories(l.Installed("win64"));
    EXPECT_EQ(sfxtool::FindStub(l.bin, "win64"), std::nullopt);
}

TEST(SfxtoolStubs, StubOptionNamesOrPaths) {
    Layout l;
    WriteFile(l.Installed("win32"), "installed");
    EXPECT_EQ(sfxtool::ResolveStub(l.bin, "win32"), l.Installed("win32"));
    // Anything but a name is a path, taken as given (a file called win32 is ./win32).
    for (const std::string path : {"./win32", "win32.exe", "WIN64", "/opt/stubs/win64", "build/win64/SelfExtractor.exe"})
        EXPECT_EQ(sfxtool::ResolveStub(l.bin, path), path);
    // A name without its stub: the error names every place looked at and the way out.
    try {
        sfxtool::ResolveStub(l.bin, "win64");
        FAIL() << "no win64 stub, yet resolved";
    } catch (const sfxtool::PackError& e) {
        const std::string what = e.what();
        EXPECT_NE(what.find(l.Installed("win64")), std::string::npos) << what;
        EXPECT_NE(what.find(l.BuildTree("win64")), std::string::npos) << what;
        EXPECT_NE(what.find("--stub PATH"), std::string::npos) << what;
    }
}

TEST(SfxtoolStubs, Sha256KnownAnswers) {
    TempDir dir;
    const std::pair<std::string, std::string> vectors[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        // Longer than the read buffer: the digest runs over several chunks.
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    int n = 0;
    for (const auto& [content, digest] : vectors) {
        const std::string path = dir / ("v" + std::to_string(n++));
        WriteFile(path, content);
        EXPECT_EQ(sfxtool::Sha256OfFile(path), digest) << content.size() << " bytes";
    }
    EXPECT_THROW(sfxtool::Sha256OfFile(dir / "missing"), sfxtool::InputError);
}

}  // namespace
