// The stubs sfxtool carries: where it finds them (relative to its own location, so that an
// installed or merely unpacked package works from any folder), and their SHA-256.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace sfxtool {

// The stub names `--stub` takes; the first is the default (the shipping 32-bit stub).
inline const std::vector<std::string>& StubNames() {
    static const std::vector<std::string> names = {"win32", "win64"};
    return names;
}
bool IsStubName(const std::string& value);

// Where the stub NAME may lie for a tool whose executable is in `toolDir`, in the order looked at:
//   toolDir/../share/sfxtool/stubs/NAME/SelfExtractor.exe   installed or unpacked package (bin/)
//   toolDir/../NAME/SelfExtractor.exe                       the build tree (build/host beside build/NAME)
std::vector<std::string> StubCandidates(const std::string& toolDir, const std::string& name);

// The first candidate that is a regular file.
std::optional<std::string> FindStub(const std::string& toolDir, const std::string& name);

// The value of `--stub`: a stub name is looked up (PackError naming the places looked at when
// there is none); anything else is a path and returned unchanged.
std::string ResolveStub(const std::string& toolDir, const std::string& value);

// The folder of the running executable (links resolved).
std::string ToolDir();

// SHA-256 of a file, lower-case hex. Throws InputError when the file cannot be read.
std::string Sha256OfFile(const std::string& path);

// What `sfxtool --version` prints: "sfxtool VERSION", then one line per stub name:
// "stub NAME: sha256 HEX PATH", or "stub NAME: not found (looked in A, B)".
std::string VersionText(const std::string& version, const std::string& toolDir);

}  // namespace sfxtool
