#include "sfxtool/Stubs.h"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

#include "sfxtool/Analysis.h"
#include "sfxtool/Pack.h"

namespace sfxtool {

namespace fs = std::filesystem;

namespace {

constexpr char kStubFile[] = "SelfExtractor.exe";

std::string Join(const std::vector<std::string>& items) {
    std::string out;
    for (const auto& s : items) out += (out.empty() ? "" : ", ") + s;
    return out;
}

}  // namespace

bool IsStubName(const std::string& value) {
    const auto& names = StubNames();
    return std::find(names.begin(), names.end(), value) != names.end();
}

std::vector<std::string> StubCandidates(const std::string& toolDir, const std::string& name) {
    const fs::path up = fs::path(toolDir).parent_path();
    return {(up / "share" / "sfxtool" / "stubs" / name / kStubFile).string(),
            (up / name / kStubFile).string()};
}

std::optional<std::string> FindStub(const std::string& toolDir, const std::string& name) {
    for (const auto& candidate : StubCandidates(toolDir, name)) {
        std::error_code ec;
        if (fs::is_regular_file(candidate, ec)) return candidate;
    }
    return std::nullopt;
}

std::string ResolveStub(const std::string& toolDir, const std::string& value) {
    if (!IsStubName(value)) return value;
    if (auto found = FindStub(toolDir, value)) return *found;
    throw PackError("no " + value + " stub found (looked in " + Join(StubCandidates(toolDir, value)) +
                    "): install the sfxtool package, build the " + value + " preset, or give --stub PATH");
}

std::string ToolDir() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return ".";
    return self.parent_path().string();
}

std::string Sha256OfFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw InputError("cannot read " + path + ": " + std::strerror(errno));
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1)
        throw InputError("SHA-256 unavailable (libcrypto)");
    std::vector<char> buf(1 << 16);
    while (in) {
        in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
        if (in.gcount() > 0 && EVP_DigestUpdate(ctx.get(), buf.data(), static_cast<size_t>(in.gcount())) != 1)
            throw InputError("SHA-256 of " + path + " failed");
    }
    if (in.bad()) throw InputError("cannot read " + path);
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(ctx.get(), digest.data(), &length) != 1 || length != 32)
        throw InputError("SHA-256 of " + path + " failed");
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < length; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 15];
    }
    return out;
}

std::string VersionText(const std::string& version, const std::string& toolDir) {
    std::string text = "sfxtool " + version + "\n";
    for (const auto& name : StubNames()) {
        text += "stub " + name + ": ";
        const auto found = FindStub(toolDir, name);
        if (!found) {
            text += "not found (looked in " + Join(StubCandidates(toolDir, name)) + ")\n";
            continue;
        }
        try {
            text += "sha256 " + Sha256OfFile(*found) + " " + *found + "\n";
        } catch (const InputError& e) {
            text += std::string("unreadable: ") + e.what() + "\n";
        }
    }
    return text;
}

}  // namespace sfxtool
