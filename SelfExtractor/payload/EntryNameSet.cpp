#include "payload/EntryNameSet.h"

#include "run/Failure.h"

namespace stub {

using namespace platform;

namespace {

constexpr u32 kFirstSlots = 1024;
constexpr u16 kKindMade = 0;   // a folder, made by the entry path builder
constexpr u16 kKindFile = 1;
constexpr u16 kKindNamed = 2;  // a folder only named, through a "\\"; not made
constexpr u32 kFirstKeys = 512;
constexpr u32 kFirstPool = 8192;  // units

u32 Hash(const WChar* units, u32 length) {
    u32 hash = 2166136261u;  // FNV-1a over the units
    for (u32 i = 0; i < length; ++i) hash = (hash ^ units[i]) * 16777619u;
    return hash;
}

// The slot that holds `units` (length units), or the empty slot where it would go.
u32* Find(const EntryNameSet& set, const WChar* units, u32 length) {
    const u32 mask = set.slotCount - 1;
    for (u32 at = Hash(units, length) & mask;; at = (at + 1) & mask) {
        u32* slot = &set.slots[at];
        if (*slot == 0) return slot;
        const EntryNameKey& key = set.keys[*slot - 1];
        if (key.length != length) continue;
        const WChar* other = set.pool + key.offset;
        u32 i = 0;
        while (i < length && other[i] == units[i]) ++i;
        if (i == length) return slot;
    }
}

// A block of `count` items of `size` bytes holding the `used` first ones of `old` (freed).
void* Grow(EntryNameSet& set, void* old, u32 used, u32 count, u32 size) {
    if (set.heap == nullptr) set.heap = GetProcessHeap();
    const Handle heap = set.heap;
    if (heap == nullptr || count > static_cast<size_t>(-1) / size) return nullptr;  // no size that wraps
    auto* block = static_cast<u8*>(HeapAlloc(heap, 0, static_cast<size_t>(count) * size));
    if (block == nullptr) return nullptr;
    const auto* from = static_cast<const u8*>(old);
    for (size_t i = 0; i < static_cast<size_t>(used) * size; ++i) block[i] = from[i];
    if (old != nullptr) HeapFree(heap, 0, old);
    return block;
}

// Room for `more` items after the `used` first ones of `items`, the capacity doubled from `first`
// as often as it takes, never past `limit` items.
template <typename T>
bool Enlarge(EntryNameSet& set, T*& items, u32& capacity, u32 used, u32 more, u32 first, u32 limit) {
    if (capacity - used >= more) return true;
    u32 grown = capacity == 0 ? first : capacity;
    while (grown - used < more) {
        if (grown > limit / 2) return false;
        grown *= 2;
    }
    auto* block = static_cast<T*>(Grow(set, items, used, grown, sizeof(T)));
    if (block == nullptr) return false;
    items = block;
    capacity = grown;
    return true;
}

// Room for `keys` more keys (the slots kept at most half full) and `units` more units in the pool.
bool Reserve(EntryNameSet& set, u32 units, u32 keys) {
    if (!Enlarge(set, set.pool, set.poolCapacity, set.poolUsed, units, kFirstPool, 0x7FFFFFFFu) ||
        !Enlarge(set, set.keys, set.keyCapacity, set.keyCount, keys, kFirstKeys, 0x1FFFFFFFu)) {
        return false;
    }
    if (2 * (set.keyCount + keys) > set.slotCount) {
        u32 count = set.slotCount == 0 ? kFirstSlots : set.slotCount;
        while (2 * (set.keyCount + keys) > count) count *= 2;
        auto* slots = static_cast<u32*>(Grow(set, nullptr, 0, count, sizeof(u32)));
        if (slots == nullptr) return false;
        for (u32 i = 0; i < count; ++i) slots[i] = 0;
        if (set.slots != nullptr) HeapFree(set.heap, 0, set.slots);
        set.slots = slots;
        set.slotCount = count;
        for (u32 k = 0; k < set.keyCount; ++k)
            *Find(set, set.pool + set.keys[k].offset, set.keys[k].length) = k + 1;
    }
    return true;
}

bool IsSeparator(WChar unit) { return unit == u'/' || unit == u'\\'; }

}  // namespace

u32 EntryNameSetAdd(EntryNameSet& set, const WChar* name, u32 count, u32& error, u32& made) {
    error = ERROR_NOT_ENOUGH_MEMORY;
    made = 0;
    // Each component as Win32 paths keep it: the last without its trailing dots and spaces, the
    // others without one trailing dot; one "\" between them.
    if (count >= kMaxPathChars) return static_cast<u32>(Reason::NameTooLong);
    WChar plain[kMaxPathChars];
    u32 at[kMaxPathChars];  // where each separator stands in `name`
    u32 length = 0;
    for (u32 i = 0; i < count; ++i) {
        const bool separator = IsSeparator(name[i]);
        if (separator && length > 0 && plain[length - 1] == u'.') --length;
        at[length] = i;
        plain[length++] = separator ? u'\\' : name[i];
    }
    while (length > 0 && (plain[length - 1] == u'.' || plain[length - 1] == u' ')) --length;
    // At most one key per component.
    u32 components = 1;
    for (u32 i = 0; i < length; ++i) components += plain[i] == u'\\' ? 1 : 0;
    if (!Reserve(set, length, components)) return static_cast<u32>(Reason::Memory);
    WChar* folded = set.pool + set.poolUsed;
    UnicodeString in = {static_cast<u16>(length * 2), static_cast<u16>(length * 2), plain};
    UnicodeString out = {0, static_cast<u16>(length * 2), folded};
    if (length != 0 && RtlUpcaseUnicodeString(&out, &in, 0) < 0) return static_cast<u32>(Reason::Memory);
    const u32 offset = set.poolUsed;
    set.poolUsed += length;

    // Folders the entry path builder made for earlier entries ("/" between them, from the
    // root) are counted in `made`; one named through a "\\" is only a name.
    bool slashes = true;
    bool chain = true;
    for (u32 end = 0; end <= length; ++end) {
        if (end < length && folded[end] != u'\\') continue;
        const bool file = end == length;
        u32* slot = Find(set, folded, end);
        if (!file && name[at[end]] != u'/') slashes = false;
        const u16 kind = file ? kKindFile : slashes ? kKindMade : kKindNamed;
        if (*slot != 0) {
            EntryNameKey& key = set.keys[*slot - 1];
            if (file) {
                error = ERROR_FILE_EXISTS;
                return static_cast<u32>(Reason::EntryCreate);
            }
            if (key.file == kKindFile) {
                error = ERROR_ALREADY_EXISTS;
                return static_cast<u32>(Reason::EntryFolder);
            }
            chain = chain && key.file == kKindMade && kind == kKindMade;
            if (chain) made = at[end] + 1;
            if (kind == kKindMade) key.file = kKindMade;
            continue;
        }
        chain = false;
        set.keys[set.keyCount] = {offset, static_cast<u16>(end), kind};
        *slot = ++set.keyCount;
    }
    error = 0;
    return 0;
}

void EntryNameSetFree(EntryNameSet& set) {
    const Handle heap = set.heap;
    if (heap != nullptr) {
        if (set.slots != nullptr) HeapFree(heap, 0, set.slots);
        if (set.keys != nullptr) HeapFree(heap, 0, set.keys);
        if (set.pool != nullptr) HeapFree(heap, 0, set.pool);
    }
    set = EntryNameSet();
}

}  // namespace stub
