// The process's token and security descriptors: the token an Environment describes, SIDs and
// SDDL text as advapi32 reads and writes them, and the descriptors folders are made with.
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "platform/host/HostInternal.h"

namespace platform {

using namespace host;
using namespace host::detail;

namespace {

Handle const kCurrentProcess = reinterpret_cast<Handle>(static_cast<intptr_t>(-1));
// Descriptors are blocks of this marker and the SDDL text: CreateDirectoryW reads the text back.
constexpr char kDescriptorMarker[8] = {'S', 'D', 'D', 'L', 'T', 'E', 'X', 'T'};

// "S-1-5-21-1-2-3" as SID bytes: revision, count, 48-bit authority (big-endian), sub-authorities
// (little-endian). Empty when the text is no SID.
std::string SidBytes(const std::u16string& text) {
    if (text.size() < 4 || text.compare(0, 4, u"S-1-") != 0) return {};
    std::vector<uint64_t> numbers;
    uint64_t value = 0;
    bool digits = false;
    for (size_t i = 4; i <= text.size(); ++i) {
        if (i < text.size() && text[i] >= u'0' && text[i] <= u'9') {
            value = value * 10 + (text[i] - u'0');
            if (value > 0xFFFFFFFFFFFFull) return {};
            digits = true;
            continue;
        }
        if (!digits || (i < text.size() && text[i] != u'-')) return {};
        numbers.push_back(value);
        value = 0;
        digits = false;
    }
    if (numbers.size() < 2 || numbers.size() > 16) return {};
    std::string sid;
    sid += static_cast<char>(1);
    sid += static_cast<char>(numbers.size() - 1);
    for (int shift = 40; shift >= 0; shift -= 8) sid += static_cast<char>(numbers[0] >> shift);
    for (size_t i = 1; i < numbers.size(); ++i) {
        if (numbers[i] > 0xFFFFFFFFull) return {};
        for (int shift = 0; shift < 32; shift += 8) sid += static_cast<char>(numbers[i] >> shift);
    }
    return sid;
}

std::u16string SidText(const u8* sid) {
    const u32 count = sid[1];
    uint64_t authority = 0;
    for (int i = 2; i < 8; ++i) authority = (authority << 8) | sid[i];
    std::string text = "S-" + std::to_string(sid[0]) + "-" + std::to_string(authority);
    for (u32 i = 0; i < count; ++i) {
        u32 part;
        std::memcpy(&part, sid + 8 + 4 * i, sizeof part);
        text += "-" + std::to_string(part);
    }
    return Utf16(text);
}

void* NewLocalBlock(const std::string& bytes, const std::u16string& text) {
    void* block = std::malloc(bytes.size() + 1);
    std::memcpy(block, bytes.data(), bytes.size());
    Current().localBlocks[block] = text;
    return block;
}

// SDDL as advapi32 takes it, for the forms the stub writes and a few more: "O:", "G:", "D:" and
// "S:" parts; "P", "AI", "AR" flags; ACEs "(type;flags;rights;;;sid)" with types A, D and ML,
// flags OI CI NP IO ID, rights as two-letter codes or 0x hex, and SIDs as aliases or S-1-... A
// mandatory label ACE stands only in "S:", with NW/NR/NX rights and a level alias. The label's
// level comes back in `label` (0: none).
bool ValidSddl(const std::u16string& sddl, u32& label) {
    label = 0;
    auto two = [](const std::u16string& s, size_t i) { return s.substr(i, 2); };
    static const char16_t* const kAliases[] = {u"SY", u"BA", u"BU", u"WD", u"AU", u"OW", u"CO",
                                               u"LW", u"ME", u"HI", u"SI", u"AN", u"IU"};
    static const char16_t* const kRights[] = {u"FA", u"FR", u"FW", u"FX", u"GA", u"GR", u"GW",
                                              u"GX", u"RC", u"SD", u"WD", u"WO", u"NW", u"NR",
                                              u"NX"};
    auto isAlias = [&](const std::u16string& s) {
        for (const char16_t* a : kAliases) if (s == a) return true;
        return !SidBytes(s).empty();
    };
    size_t i = 0;
    while (i < sddl.size()) {
        if (i + 2 > sddl.size() || sddl[i + 1] != u':') return false;
        const char16_t part = sddl[i];
        i += 2;
        if (part == u'O' || part == u'G') {
            size_t end = sddl.find(u':', i);
            end = end == std::u16string::npos ? sddl.size() : end - 1;
            if (!isAlias(sddl.substr(i, end - i))) return false;
            i = end;
            continue;
        }
        if (part != u'D' && part != u'S') return false;
        while (i < sddl.size() && sddl[i] != u'(' && sddl[i + 1] != u':') {
            if (sddl[i] == u'P') { ++i; continue; }
            const std::u16string flag = two(sddl, i);
            if (flag != u"AI" && flag != u"AR") return false;
            i += 2;
        }
        while (i < sddl.size() && sddl[i] == u'(') {
            const size_t close = sddl.find(u')', i);
            if (close == std::u16string::npos) return false;
            std::vector<std::u16string> fields;
            size_t start = i + 1;
            for (size_t k = start; k <= close; ++k) {
                if (k == close || sddl[k] == u';') {
                    fields.push_back(sddl.substr(start, k - start));
                    start = k + 1;
                }
            }
            if (fields.size() != 6 || !fields[3].empty() || !fields[4].empty()) return false;
            const std::u16string& type = fields[0];
            const bool mandatory = type == u"ML";
            if (!(type == u"A" || type == u"D" || mandatory) || mandatory != (part == u'S'))
                return false;
            for (size_t k = 0; k < fields[1].size(); k += 2) {
                const std::u16string f = two(fields[1], k);
                if (f != u"OI" && f != u"CI" && f != u"NP" && f != u"IO" && f != u"ID") return false;
            }
            const std::u16string& rights = fields[2];
            if (rights.compare(0, 2, u"0x") == 0) {
                if (rights.size() < 3) return false;
                for (size_t k = 2; k < rights.size(); ++k)
                    if (!std::isxdigit(static_cast<int>(rights[k]))) return false;
            } else {
                if (rights.empty() || rights.size() % 2 != 0) return false;
                for (size_t k = 0; k < rights.size(); k += 2) {
                    bool known = false;
                    for (const char16_t* r : kRights) known = known || two(rights, k) == r;
                    const bool labelRight = two(rights, k)[0] == u'N';
                    if (!known || labelRight != mandatory) return false;
                }
            }
            if (!isAlias(fields[5])) return false;
            if (mandatory) {
                static const std::pair<const char16_t*, u32> kLevels[] = {
                    {u"LW", 0x1000}, {u"ME", 0x2000}, {u"HI", 0x3000}, {u"SI", 0x4000}};
                u32 level = 0;
                for (const auto& [alias, rid] : kLevels) if (fields[5] == alias) level = rid;
                if (level == 0) return false;
                label = std::max(label, level);
            }
            i = close + 1;
        }
    }
    return true;
}

}  // namespace

Handle GetCurrentProcess() { return kCurrentProcess; }

Bool OpenProcessToken(Handle process, u32 access, Handle* token) {
    if (Enter(host::Call::OpenProcessToken)) return 0;
    if (process != kCurrentProcess || token == nullptr || (access & TOKEN_QUERY) == 0) {
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    *token = NewObject(Object(ObjectKind::Token));
    return 1;
}

Bool GetTokenInformation(Handle token, u32 infoClass, void* info, u32 bytes, u32* returned) {
    if (Enter(host::Call::GetTokenInformation)) return 0;
    if (FindObject(token, ObjectKind::Token) == nullptr) {
        ++Current().result.invalidHandleUses;
        SetError(ERROR_INVALID_HANDLE);
        return 0;
    }
    const Token& model = Current().env.token;
    std::string data;
    if (infoClass == TokenElevation) {
        const u32 elevated = model.elevated ? 1 : 0;
        data.assign(reinterpret_cast<const char*>(&elevated), sizeof elevated);
    } else if (infoClass == TokenUser || infoClass == TokenIntegrityLevel) {
        const std::string sid = SidBytes(
            infoClass == TokenUser ? model.user
                                   : u"S-1-16-" + Utf16(std::to_string(model.integrityLevel)));
        if (sid.empty()) {
            SetError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        // SID_AND_ATTRIBUTES (its pointer aimed at the SID that follows it), then the SID.
        constexpr size_t kHeader = 2 * sizeof(void*);
        data.assign(kHeader, '\0');
        data += sid;
    } else {
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (returned != nullptr) *returned = static_cast<u32>(data.size());
    if (info == nullptr || bytes < data.size()) {
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(info, data.data(), data.size());
    if (infoClass != TokenElevation) {
        const void* sid = static_cast<u8*>(info) + 2 * sizeof(void*);
        std::memcpy(info, &sid, sizeof sid);
    }
    return 1;
}

Bool ConvertSidToStringSidW(const void* sid, WChar** text) {
    if (Enter(host::Call::ConvertSidToStringSidW)) return 0;
    if (sid == nullptr || text == nullptr || static_cast<const u8*>(sid)[0] != 1) {
        SetError(ERROR_INVALID_SID);
        return 0;
    }
    const std::u16string value = SidText(static_cast<const u8*>(sid));
    std::string bytes(reinterpret_cast<const char*>(value.c_str()), (value.size() + 1) * 2);
    *text = static_cast<WChar*>(NewLocalBlock(bytes, value));
    return 1;
}

Bool ConvertStringSecurityDescriptorToSecurityDescriptorW(const WChar* sddl, u32 revision,
                                                          void** descriptor, u32* bytes) {
    const std::u16string text = FromZ(sddl);
    if (Enter(host::Call::ConvertStringSecurityDescriptorToSecurityDescriptorW, text)) return 0;
    u32 label = 0;
    if (sddl == nullptr || descriptor == nullptr || revision != SDDL_REVISION_1 ||
        !ValidSddl(text, label)) {
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string block(kDescriptorMarker, sizeof kDescriptorMarker);
    block.append(reinterpret_cast<const char*>(text.c_str()), (text.size() + 1) * 2);
    *descriptor = NewLocalBlock(block, text);
    if (bytes != nullptr) *bytes = static_cast<u32>(block.size());
    return 1;
}

void* LocalFree(void* block) {
    if (Enter(host::Call::LocalFree)) return block;
    if (block == nullptr) return nullptr;
    Context& context = Current();
    auto it = context.localBlocks.find(block);
    if (it == context.localBlocks.end()) {
        ++context.result.invalidFrees;
        SetError(ERROR_INVALID_HANDLE);
        return block;
    }
    std::free(block);
    context.localBlocks.erase(it);
    return nullptr;
}

namespace host::detail {

// The SDDL text of a descriptor made by the converter above, for CreateDirectoryW; false when
// `security` is no valid SECURITY_ATTRIBUTES or its descriptor none of this run's. Also false,
// with ERROR_INVALID_LABEL, for a label above the token's own level (that needs a privilege).
bool DescriptorText(const SECURITY_ATTRIBUTES* security, std::u16string& sddl) {
    Context& context = Current();
    if (security->nLength != sizeof(SECURITY_ATTRIBUTES) || security->bInheritHandle != 0) {
        SetError(ERROR_INVALID_PARAMETER);
        return false;
    }
    auto it = context.localBlocks.find(security->lpSecurityDescriptor);
    if (it == context.localBlocks.end() ||
        std::memcmp(it->first, kDescriptorMarker, sizeof kDescriptorMarker) != 0) {
        SetError(ERROR_INVALID_SECURITY_DESCR);
        return false;
    }
    u32 label = 0;
    ValidSddl(it->second, label);
    if (label > context.env.token.integrityLevel) {
        SetError(ERROR_INVALID_LABEL);
        return false;
    }
    sddl = it->second;
    return true;
}

}  // namespace host::detail

}  // namespace platform
