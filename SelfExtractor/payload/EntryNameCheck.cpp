#include "payload/EntryNameCheck.h"

namespace stub {

using namespace platform;

namespace {

bool IsSeparator(WChar unit) { return unit == u'/' || unit == u'\\'; }

WChar UpperAscii(WChar unit) {
    return (unit >= u'a' && unit <= u'z') ? static_cast<WChar>(unit - (u'a' - u'A')) : unit;
}

// True when `text` (count units) equals the upper-case ASCII `word`, ignoring case.
bool EqualsWord(const WChar* text, u32 count, const char16_t* word) {
    u32 i = 0;
    for (; i < count; ++i) {
        if (word[i] == 0 || UpperAscii(text[i]) != word[i]) return false;
    }
    return word[i] == 0;
}

// The digit of COMn and LPTn: 1-9, and the superscripts 1, 2 and 3, which Windows also takes.
bool IsDeviceDigit(WChar unit) {
    return (unit >= u'1' && unit <= u'9') || unit == 0x00B9 || unit == 0x00B2 || unit == 0x00B3;
}

// A component made of dots and spaces only, with two dots or more: "..", "...", ".. ", ". .".
// Windows drops trailing dots and spaces, so each of these can climb out like "..".
bool IsParentComponent(const WChar* part, u32 count) {
    u32 dots = 0;
    for (u32 i = 0; i < count; ++i) {
        if (part[i] == u'.') {
            ++dots;
        } else if (part[i] != u' ') {
            return false;
        }
    }
    return dots >= 2;
}

// Windows opens a device for a component whose base (up to the first dot, trailing spaces and
// dots dropped) is a device name, whatever extension follows.
bool IsDeviceComponent(const WChar* part, u32 count) {
    u32 base = 0;
    while (base < count && part[base] != u'.') ++base;
    while (base > 0 && (part[base - 1] == u' ' || part[base - 1] == u'.')) --base;
    if (EqualsWord(part, base, u"CON") || EqualsWord(part, base, u"PRN") ||
        EqualsWord(part, base, u"AUX") || EqualsWord(part, base, u"NUL") ||
        EqualsWord(part, base, u"CONIN$") || EqualsWord(part, base, u"CONOUT$")) {
        return true;
    }
    if (base == 4 && IsDeviceDigit(part[3])) {
        return EqualsWord(part, 3, u"COM") || EqualsWord(part, 3, u"LPT");
    }
    return false;
}

}  // namespace

bool EntryNameIsSafe(const WChar* name, u32 count) {
    if (count > 0 && name[count - 1] == 0) --count;
    if (count == 0) return false;
    if (IsSeparator(name[0])) return false;  // absolute, or \\server\share
    for (u32 i = 0; i < count; ++i) {
        if (name[i] == 0 || name[i] == u':') return false;  // embedded NUL, drive or stream
    }
    u32 partStart = 0;
    for (u32 i = 0; i <= count; ++i) {
        if (i < count && !IsSeparator(name[i])) continue;
        const WChar* part = name + partStart;
        const u32 partCount = i - partStart;
        if (IsParentComponent(part, partCount)) return false;
        if (IsDeviceComponent(part, partCount)) return false;
        partStart = i + 1;
    }
    return true;
}

}  // namespace stub
