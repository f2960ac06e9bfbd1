#include "ui/InstallerTitle.h"

#include "run/Text.h"

namespace stub {

using namespace platform;

namespace {

constexpr u16 kVersionResourceType = 16;  // RT_VERSION

// One block of the version information: a length-prefixed record with a key, a value and
// children, each part 32-bit aligned from the start of the data.
struct Block {
    u32 begin, end;            // offsets of the block
    u32 keyAt, keyUnits;       // its key (UTF-16, without the NUL)
    u32 valueAt, valueUnits;   // its value, as text (type 1)
    u32 childrenAt;
};

u32 Read16(const u8* data, u32 at) { return data[at] | (data[at + 1] << 8); }
u32 Align4(u32 at) { return (at + 3) & ~3u; }

// The block at `at`, which must lie whole before `limit`.
bool ReadBlock(const u8* data, u32 at, u32 limit, Block& block) {
    if (at > limit || limit - at < 6) return false;
    const u32 length = Read16(data, at);
    if (length < 6 || length > limit - at) return false;
    block.begin = at;
    block.end = at + length;
    block.keyAt = at + 6;
    u32 units = 0;
    for (;; ++units) {
        const u32 unit = block.keyAt + 2 * units;
        if (unit + 2 > block.end) return false;
        if (Read16(data, unit) == 0) break;
    }
    block.keyUnits = units;
    block.valueAt = Align4(block.keyAt + 2 * (units + 1));
    const u32 valueLength = Read16(data, at + 2);
    const u32 valueBytes = Read16(data, at + 4) == 1 ? 2 * valueLength : valueLength;
    if (block.valueAt > block.end || valueBytes > block.end - block.valueAt) return false;
    block.valueUnits = valueBytes / 2;
    block.childrenAt = Align4(block.valueAt + valueBytes);
    return true;
}

bool KeyIs(const u8* data, const Block& block, const char* key) {
    u32 i = 0;
    for (; i < block.keyUnits && key[i] != 0; ++i)
        if (Read16(data, block.keyAt + 2 * i) != static_cast<u8>(key[i])) return false;
    return i == block.keyUnits && key[i] == 0;
}

// The child of `parent` whose key is `key` (any child when `key` is null).
bool FindChild(const u8* data, const Block& parent, const char* key, Block& child) {
    for (u32 at = parent.childrenAt; at < parent.end; at = Align4(child.end)) {
        if (!ReadBlock(data, at, parent.end, child)) return false;
        if (key == nullptr || KeyIs(data, child, key)) return true;
    }
    return false;
}

}  // namespace

bool VersionString(const u8* data, u32 size, const char* key, WChar* out, u32 capacity) {
    Block root, strings, table, value;
    if (!ReadBlock(data, 0, size, root) || !FindChild(data, root, "StringFileInfo", strings) ||
        !FindChild(data, strings, nullptr, table) || !FindChild(data, table, key, value)) {
        return false;
    }
    u32 units = 0;
    while (units < value.valueUnits && units + 1 < capacity) {
        const u32 unit = Read16(data, value.valueAt + 2 * units);
        if (unit == 0) break;
        out[units++] = static_cast<WChar>(unit);
    }
    out[units] = 0;
    return units != 0;
}

void InstallerTitle(const WChar* modulePath, WChar* title) {
    const ResourceInfo found = FindResourceW(nullptr, MakeIntResource(1),
                                             MakeIntResource(kVersionResourceType));
    const Handle loaded = found != nullptr ? LoadResource(nullptr, found) : nullptr;
    const auto* data = loaded != nullptr ? static_cast<const u8*>(LockResource(loaded)) : nullptr;
    const u32 size = found != nullptr ? SizeofResource(nullptr, found) : 0;
    if (data != nullptr && (VersionString(data, size, "FileDescription", title, kMaxPathChars) ||
                            VersionString(data, size, "ProductName", title, kMaxPathChars))) {
        return;
    }
    const WChar* name = modulePath;
    for (const WChar* at = modulePath; *at != 0; ++at)
        if (*at == u'\\' || *at == u'/') name = at + 1;
    TruncatingCopy(title, kMaxPathChars, name);
}

}  // namespace stub
