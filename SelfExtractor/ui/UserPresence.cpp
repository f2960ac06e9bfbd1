#include "ui/UserPresence.h"

namespace stub {

using namespace platform;

namespace {

const WChar* const kDefaultSwitches[] = {u"S", u"Q", u"quiet", u"qn", u"passive", u"VERYSILENT",
                                         u"SILENT", u"SUPPRESSMSGBOXES"};

WChar Fold(WChar c) { return (c >= u'a' && c <= u'z') ? static_cast<WChar>(c - 32) : c; }

// Whether the `length` units at `word` are `name`, without regard to ASCII case.
bool SameWord(const WChar* word, u32 length, const WChar* name) {
    u32 i = 0;
    for (; i < length && name[i] != 0; ++i)
        if (Fold(word[i]) != Fold(name[i])) return false;
    return i == length && name[i] == 0;
}

bool IsSilent(const WChar* word, u32 length, const InstallerOptions& options) {
    if (length < 2 || (word[0] != u'/' && word[0] != u'-')) return false;
    ++word;
    --length;
    if (options.switchListGiven) {
        for (u32 i = 0; i < options.switchCount; ++i)
            if (SameWord(word, length, options.switches[i])) return true;
        return false;
    }
    for (const WChar* name : kDefaultSwitches)
        if (SameWord(word, length, name)) return true;
    return false;
}

}  // namespace

bool SilentSwitchGiven(const WChar* tail, const InstallerOptions& options) {
    const WChar* at = tail;
    for (;;) {
        while (*at == u' ' || *at == u'\t') ++at;
        if (*at == 0) return false;
        const WChar* start = at;
        while (*at != 0 && *at != u' ' && *at != u'\t') ++at;
        u32 length = static_cast<u32>(at - start);
        if (length >= 2 && start[0] == u'"' && start[length - 1] == u'"') {
            ++start;
            length -= 2;
        }
        if (IsSilent(start, length, options)) return true;
    }
}

bool InteractiveWindowStation() {
    const Handle station = GetProcessWindowStation();
    if (station == nullptr) return false;
    u32 flags[3] = {};  // USEROBJECTFLAGS: fInherit, fReserved, dwFlags
    u32 needed = 0;
    if (!GetUserObjectInformationW(station, UOI_FLAGS, flags, sizeof flags, &needed)) return false;
    return (flags[2] & WSF_VISIBLE) != 0;
}

}  // namespace stub
