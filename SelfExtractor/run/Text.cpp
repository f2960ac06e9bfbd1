#include "run/Text.h"

namespace stub {

u32 TextLength(const WChar* text) {
    u32 n = 0;
    while (text[n] != 0) ++n;
    return n;
}

bool TextEqual(const WChar* a, const WChar* b) {
    for (;; ++a, ++b) {
        if (*a != *b) return false;
        if (*a == 0) return true;
    }
}

void TruncatingAppend(WChar* out, u32 capacity, const WChar* text) {
    if (capacity == 0) return;
    u32 n = 0;
    while (n < capacity && out[n] != 0) ++n;
    if (n == capacity) {  // unterminated input: terminate it where the buffer ends
        out[capacity - 1] = 0;
        return;
    }
    while (n + 1 < capacity && *text != 0) out[n++] = *text++;
    out[n] = 0;
}

void TruncatingCopy(WChar* out, u32 capacity, const WChar* text) {
    if (capacity == 0) return;
    out[0] = 0;
    TruncatingAppend(out, capacity, text);
}

bool StrictAppend(WChar* out, const WChar* text) {
    u32 n = 0;
    while (n < kStrictCapacity && out[n] != 0) ++n;
    if (n == kStrictCapacity) {
        out[kStrictCapacity - 1] = 0;
        return false;
    }
    const u32 start = n;
    while (*text != 0) {
        if (n + 1 >= kStrictCapacity) {
            out[start] = 0;
            return false;
        }
        out[n++] = *text++;
    }
    out[n] = 0;
    return true;
}

bool StrictCopy(WChar* out, const WChar* text) {
    out[0] = 0;
    return StrictAppend(out, text);
}

bool FolderOfPath(const WChar* path, WChar* out) {
    if (!StrictCopy(out, path)) return false;
    u32 lastBackslash = 0;
    bool found = false;
    for (u32 i = 0; out[i] != 0; ++i) {
        if (out[i] == u'\\') {
            lastBackslash = i;
            found = true;
        }
    }
    if (found) out[lastBackslash] = 0;
    return true;
}

}  // namespace stub
