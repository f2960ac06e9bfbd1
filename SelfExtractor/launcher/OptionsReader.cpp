#include "launcher/OptionsReader.h"

namespace stub {

using namespace platform;

namespace {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the record's fields are little-endian");

// A u16 at any address: a two-byte copy, which the compiler makes one unaligned load on x86.
u32 Le16(const u8* at) {
    u16 value;
    __builtin_memcpy(&value, at, 2);
    return value;
}

void SetDefaults(InstallerOptions& out) {
    out.wait = WaitMode::Staging;
    out.progress = false;
    out.log = false;
    out.switchListGiven = false;
    out.failureMessageLength = 0;
    out.switchCount = 0;
    out.failureMessage[0] = 0;
}

// Copies `units` UTF-16 units from data[at] into `to` with a NUL after them and moves `at` past
// them. False when they run past `size` or hold a unit the field refuses: NUL always; in a switch
// word also space, tab, '/', '"', and '-' first.
bool TakeText(const u8* data, u32 size, u32& at, u32 units, WChar* to, bool word) {
    if (units > (size - at) / 2) return false;
    for (u32 i = 0; i < units; ++i) {
        const WChar unit = static_cast<WChar>(Le16(data + at + 2 * i));
        if (unit == 0) return false;
        if (word && (unit == u' ' || unit == u'\t' || unit == u'/' || unit == u'"' ||
                     (i == 0 && unit == u'-')))
            return false;
        to[i] = unit;
    }
    to[units] = 0;
    at += 2 * units;
    return true;
}

bool Parse(const u8* data, u32 size, InstallerOptions& out) {
    if (size < kOptionsHeaderBytes) return false;
    const u32 wait = Le16(data + 2);
    const u32 flags = Le16(data + 4);
    const u32 messageLength = Le16(data + 6);
    const u32 count = Le16(data + 8);
    if (Le16(data) != kOptionsVersion || wait > static_cast<u32>(WaitMode::Tree) ||
        (flags & ~(kOptionsProgress | kOptionsSwitchList | kOptionsLog)) != 0 || Le16(data + 10) != 0 ||
        messageLength > kFailureMessageChars || count > kSilentSwitchMax ||
        ((flags & kOptionsSwitchList) != 0) != (count != 0))
        return false;
    u32 at = kOptionsHeaderBytes;
    if (!TakeText(data, size, at, messageLength, out.failureMessage, false)) return false;
    for (u32 i = 0; i < count; ++i) {
        if (size - at < 2) return false;
        const u32 length = Le16(data + at);
        at += 2;
        if (length == 0 || length > kSilentSwitchChars) return false;
        if (!TakeText(data, size, at, length, out.switches[i], true)) return false;
        out.switchLengths[i] = length;
    }
    if (at != size) return false;
    out.wait = static_cast<WaitMode>(wait);
    out.progress = (flags & kOptionsProgress) != 0;
    out.log = (flags & kOptionsLog) != 0;
    out.switchListGiven = count != 0;
    out.failureMessageLength = messageLength;
    out.switchCount = count;
    return true;
}

}  // namespace

bool ParseInstallerOptions(const u8* data, u32 size, InstallerOptions& out) {
    if (Parse(data, size, out)) return true;
    SetDefaults(out);  // nothing of a malformed record is kept
    return false;
}

OptionsRecord ReadInstallerOptions(InstallerOptions& out) {
    SetDefaults(out);
    const ResourceInfo found =
        FindResourceW(nullptr, MakeIntResource(kOptionsResourceId), MakeIntResource(RT_RCDATA));
    if (found == nullptr) {
        const u32 error = GetLastError();
        return error >= ERROR_RESOURCE_DATA_NOT_FOUND && error <= ERROR_RESOURCE_LANG_NOT_FOUND
                   ? OptionsRecord::Absent
                   : OptionsRecord::Malformed;
    }
    const Handle loaded = LoadResource(nullptr, found);
    if (loaded == nullptr) return OptionsRecord::Malformed;
    const void* bytes = LockResource(loaded);
    if (bytes == nullptr) return OptionsRecord::Malformed;
    const u32 size = SizeofResource(nullptr, found);  // 0 on failure: too short for a record
    return ParseInstallerOptions(static_cast<const u8*>(bytes), size, out) ? OptionsRecord::Valid
                                                                           : OptionsRecord::Malformed;
}

}  // namespace stub
