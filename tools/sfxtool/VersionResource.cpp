#include "sfxtool/VersionResource.h"

#include <algorithm>
#include <cstdio>

#include "sfxtool/PeResources.h"

namespace sfxtool {
namespace {

constexpr uint32_t kFixedSignature = 0xFEEF04BD;
constexpr uint32_t kFixedStructVersion = 0x00010000;
constexpr size_t kFixedSize = 52;
constexpr uint16_t kBinary = 0;
constexpr uint16_t kText = 1;

void Append16(std::string& b, uint32_t v) {
    b += static_cast<char>(v & 0xFF);
    b += static_cast<char>(v >> 8 & 0xFF);
}
void Append32(std::string& b, uint32_t v) {
    Append16(b, v & 0xFFFF);
    Append16(b, v >> 16);
}
void AppendText(std::string& b, const std::u16string& s) {
    for (char16_t c : s) Append16(b, c);
    Append16(b, 0);
}
void Pad4(std::string& b) {
    while (b.size() % 4) b += '\0';
}

// One block: wLength, wValueLength, wType, the key, then (32-bit aligned) the value and children.
// Its length leaves out the padding after its last part.
std::string Block(const std::u16string& key, uint16_t type, const std::string& value, uint32_t valueLength,
                  const std::vector<std::string>& children) {
    std::string b(6, '\0');
    AppendText(b, key);
    if (!value.empty()) {
        Pad4(b);
        b += value;
    }
    for (const auto& child : children) {
        Pad4(b);
        b += child;
    }
    if (b.size() > 0xFFFF) throw PeError("the version information is too large (over 64 KiB)");
    std::string head;
    Append16(head, static_cast<uint32_t>(b.size()));
    Append16(head, valueLength);
    Append16(head, type);
    return b.replace(0, 6, head);
}

uint32_t Packed(const std::array<uint16_t, 4>& v, int half) {
    return static_cast<uint32_t>(v[half * 2]) << 16 | v[half * 2 + 1];
}

// Reading: a block's parts within [at, end) of the bytes.
struct Parsed {
    std::u16string key;
    uint16_t type = 0;
    uint32_t valueLength = 0;
    size_t value = 0;        // offset of the value
    size_t valueEnd = 0;     // end of the value as far as the block holds it
    size_t children = 0;     // offset of the first child (aligned)
    size_t end = 0;          // end of the block
};

class Reader {
public:
    explicit Reader(const std::string& b) : b_(b) {}

    uint32_t U16(size_t at) const {
        if (at + 2 > b_.size()) Damaged();
        return static_cast<uint8_t>(b_[at]) | static_cast<uint8_t>(b_[at + 1]) << 8;
    }
    uint32_t U32(size_t at) const { return U16(at) | U16(at + 2) << 16; }

    Parsed Block(size_t at, size_t limit) const {
        Parsed p;
        const uint32_t length = U16(at);
        if (length < 6 || at + length > limit) Damaged();
        p.end = at + length;
        p.valueLength = U16(at + 2);
        p.type = static_cast<uint16_t>(U16(at + 4));
        size_t k = at + 6;
        for (;; k += 2) {
            if (k + 2 > p.end) Damaged();
            const char16_t c = static_cast<char16_t>(U16(k));
            if (c == 0) break;
            p.key += c;
        }
        p.value = std::min(Align(k + 2), p.end);
        const size_t valueBytes = p.type == kText ? 2 * p.valueLength : p.valueLength;
        p.valueEnd = std::min(p.value + valueBytes, p.end);
        p.children = std::min(Align(p.value + valueBytes), p.end);
        return p;
    }

    // A text value: UTF-16 units up to a NUL or the end of the value. Writers disagree on whether
    // wValueLength counts units or bytes, so the NUL decides.
    std::u16string Text(const Parsed& p) const {
        std::u16string s;
        const size_t end = p.type == kText ? p.end : p.valueEnd;
        for (size_t k = p.value; k + 2 <= end; k += 2) {
            const char16_t c = static_cast<char16_t>(U16(k));
            if (c == 0) break;
            s += c;
        }
        return s;
    }

    // The blocks from `at` to `end`, each 32-bit aligned.
    std::vector<Parsed> Children(size_t at, size_t end) const {
        std::vector<Parsed> out;
        for (size_t k = Align(at); k + 6 <= end && U16(k) != 0; k = Align(out.back().end)) {
            out.push_back(Block(k, end));
            if (out.size() > 4096) Damaged();
        }
        return out;
    }

    [[noreturn]] static void Damaged() { throw PeError("the version information is damaged"); }
    static size_t Align(size_t v) { return (v + 3) & ~size_t(3); }

private:
    const std::string& b_;
};

}  // namespace

std::string VersionText(const std::array<uint16_t, 4>& v) {
    return std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." + std::to_string(v[3]);
}

std::string BuildVersionResource(const VersionInfo& info) {
    std::string fixed;
    if (info.hasFixed) {
        Append32(fixed, kFixedSignature);
        Append32(fixed, kFixedStructVersion);
        Append32(fixed, Packed(info.fileVersion, 0));
        Append32(fixed, Packed(info.fileVersion, 1));
        Append32(fixed, Packed(info.productVersion, 0));
        Append32(fixed, Packed(info.productVersion, 1));
        Append32(fixed, info.fileFlagsMask);
        Append32(fixed, info.fileFlags);
        Append32(fixed, info.fileOs);
        Append32(fixed, info.fileType);
        Append32(fixed, info.fileSubtype);
        Append32(fixed, 0);  // no file date
        Append32(fixed, 0);
    }
    std::vector<std::string> children;
    if (!info.strings.empty()) {
        std::vector<std::string> strings;
        for (const auto& [key, value] : info.strings) {
            std::string text;
            AppendText(text, value);
            strings.push_back(Block(key, kText, text, static_cast<uint32_t>(value.size() + 1), {}));
        }
        children.push_back(Block(u"StringFileInfo", kText, {}, 0, {Block(info.table, kText, {}, 0, strings)}));
        std::string translations;
        for (uint32_t t : info.translations) Append32(translations, t);
        children.push_back(Block(u"VarFileInfo", kText, {}, 0,
                                 {Block(u"Translation", kBinary, translations, static_cast<uint32_t>(translations.size()), {})}));
    }
    return Block(u"VS_VERSION_INFO", kBinary, fixed, static_cast<uint32_t>(fixed.size()), children);
}

VersionInfo ParseVersionResource(const std::string& bytes) {
    const Reader r(bytes);
    const Parsed root = r.Block(0, bytes.size());
    if (root.key != u"VS_VERSION_INFO") Reader::Damaged();
    VersionInfo info;
    info.hasFixed = root.valueLength >= kFixedSize && root.valueEnd - root.value >= kFixedSize &&
                    r.U32(root.value) == kFixedSignature;
    if (info.hasFixed) {
        const size_t f = root.value;
        const uint32_t words[4] = {r.U32(f + 8), r.U32(f + 12), r.U32(f + 16), r.U32(f + 20)};
        info.fileVersion = {static_cast<uint16_t>(words[0] >> 16), static_cast<uint16_t>(words[0]),
                            static_cast<uint16_t>(words[1] >> 16), static_cast<uint16_t>(words[1])};
        info.productVersion = {static_cast<uint16_t>(words[2] >> 16), static_cast<uint16_t>(words[2]),
                               static_cast<uint16_t>(words[3] >> 16), static_cast<uint16_t>(words[3])};
        info.fileFlagsMask = r.U32(f + 24);
        info.fileFlags = r.U32(f + 28);
        info.fileOs = r.U32(f + 32);
        info.fileType = r.U32(f + 36);
        info.fileSubtype = r.U32(f + 40);
    }
    info.table.clear();
    bool tableRead = false;
    for (const Parsed& child : r.Children(root.children, root.end)) {
        if (child.key == u"StringFileInfo") {
            for (const Parsed& table : r.Children(child.children, child.end)) {
                if (tableRead) break;
                tableRead = true;
                info.table = table.key;
                for (const Parsed& s : r.Children(table.children, table.end)) info.strings.emplace_back(s.key, r.Text(s));
            }
        } else if (child.key == u"VarFileInfo") {
            for (const Parsed& var : r.Children(child.children, child.end)) {
                if (var.key != u"Translation") continue;
                for (size_t k = var.value; k + 4 <= var.valueEnd; k += 4) info.translations.push_back(r.U32(k));
            }
        }
    }
    return info;
}

}  // namespace sfxtool
