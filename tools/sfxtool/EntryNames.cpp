#include "sfxtool/EntryNames.h"

#include <cstdio>

#include "platform/host/host.h"

namespace sfxtool {

namespace {

bool IsSeparator(char16_t c) { return c == u'/' || c == u'\\'; }

// Each component as Win32 paths leave it (TrimWin32Component: the last without its trailing dots
// and spaces, the others without one trailing dot); "\\" becomes "/".
template <typename Text, typename Char>
Text TrimComponents(const Text& name, Char slash) {
    Text out;
    size_t start = 0;
    for (size_t i = 0; i <= name.size(); ++i) {
        if (i < name.size() && !IsSeparator(static_cast<char16_t>(name[i]))) continue;
        const std::u16string part(name.begin() + static_cast<std::ptrdiff_t>(start), name.begin() + static_cast<std::ptrdiff_t>(i));
        const size_t kept = platform::host::TrimWin32Component(part, i == name.size()).size();
        out.append(name, start, kept);
        if (i < name.size()) out += slash;
        start = i + 1;
    }
    return out;
}

}  // namespace

std::string WindowsName(const std::string& name) { return TrimComponents(name, '/'); }

std::u16string WindowsKey(const std::u16string& name) {
    return platform::host::FoldCase(TrimComponents(name, u'/'));
}

bool EndsInDotOrSpace(const std::string& name) {
    for (size_t i = 0; i < name.size(); ++i) {
        const bool last = i + 1 == name.size() || name[i + 1] == '/' || name[i + 1] == '\\';
        if (last && (name[i] == '.' || name[i] == ' ')) return true;
    }
    return false;
}

std::optional<std::string> UnreachableFolder(const std::string& name) {
    size_t start = 0;
    for (size_t i = 0; i < name.size(); ++i) {
        if (name[i] != '/' && name[i] != '\\') continue;
        const std::u16string part(name.begin() + static_cast<std::ptrdiff_t>(start), name.begin() + static_cast<std::ptrdiff_t>(i));
        if (platform::host::TrimWin32Component(part, false) != platform::host::TrimWin32Component(part, true))
            return name.substr(start, i - start);
        start = i + 1;
    }
    return std::nullopt;
}

std::optional<size_t> InvalidUtf8At(const std::string& name) {
    const auto* s = reinterpret_cast<const unsigned char*>(name.data());
    for (size_t i = 0; i < name.size();) {
        const unsigned char b = s[i];
        size_t n = 0;
        uint32_t cp = 0;
        if (b < 0x80) n = 1, cp = b;
        else if (b >= 0xC2 && b <= 0xDF) n = 2, cp = b & 0x1F;
        else if (b >= 0xE0 && b <= 0xEF) n = 3, cp = b & 0x0F;
        else if (b >= 0xF0 && b <= 0xF4) n = 4, cp = b & 0x07;
        else return i;
        if (i + n > name.size()) return i;
        for (size_t k = 1; k < n; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) return i;
            cp = cp << 6 | (s[i + k] & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF, as the stub's converter refuses them.
        if ((n == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
            return i;
        i += n;
    }
    return std::nullopt;
}

std::string ByteAt(const std::string& name, size_t offset) {
    char text[64];
    std::snprintf(text, sizeof text, "byte 0x%02X at offset %zu", static_cast<unsigned char>(name[offset]), offset);
    return text;
}

}  // namespace sfxtool
