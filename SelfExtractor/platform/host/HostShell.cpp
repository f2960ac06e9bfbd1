// shell32, shlwapi, ole32 and user32 on the host: starting registered programs, splitting command
// lines, appending paths, GUIDs and the message loop.
#include <random>

#include "platform/host/HostInternal.h"

namespace platform {

using namespace host;
using namespace host::detail;

namespace {

// shlwapi's PathCanonicalizeW: "." and ".." components resolved, never above the root.
std::u16string Canonicalize(const std::u16string& path) {
    if (path.empty()) return u"\\";
    std::u16string root;
    size_t start = 0;
    if (path.size() >= 2 && path[1] == u':') {
        root = path.substr(0, 2);
        start = 2;
        if (path.size() > 2 && path[2] == u'\\') {
            root += u'\\';
            start = 3;
        }
    } else if (path.size() >= 2 && path[0] == u'\\' && path[1] == u'\\') {
        root = u"\\\\";
        start = 2;
    } else if (path[0] == u'\\') {
        root = u"\\";
        start = 1;
    }
    std::u16string rest = path.substr(start);
    const bool trailing = !rest.empty() && rest.back() == u'\\';
    if (trailing) rest.pop_back();
    std::vector<std::u16string> raw, kept;
    if (!rest.empty()) {
        size_t from = 0;
        for (;;) {
            const size_t cut = rest.find(u'\\', from);
            raw.push_back(rest.substr(from, cut == std::u16string::npos ? cut : cut - from));
            if (cut == std::u16string::npos) break;
            from = cut + 1;
        }
    }
    for (const auto& component : raw) {
        if (component == u".") continue;
        if (component == u"..") {
            if (!kept.empty()) kept.pop_back();
            continue;
        }
        kept.push_back(component);
    }
    std::u16string out = root;
    for (size_t i = 0; i < kept.size(); ++i) {
        if (i > 0) out += u'\\';
        out += kept[i];
    }
    if (!kept.empty() && trailing) out += u'\\';
    if (out.size() == 2 && out[1] == u':') out += u'\\';
    if (out.empty()) out = u"\\";
    return out;
}

}  // namespace

Bool ShellExecuteExW(ShellExecuteInfo* info) {
    const std::u16string file = info ? FromZ(info->lpFile) : std::u16string();
    if (Enter(host::Call::ShellExecuteExW, file)) return 0;
    if (info == nullptr || info->lpFile == nullptr) {
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    info->hProcess = nullptr;
    Context& context = Current();
    const std::u16string directory = FromZ(info->lpDirectory);
    if (!directory.empty()) {
        const Resolved folder = ResolveHere(directory);
        if (folder.error != ERROR_SUCCESS || !folder.exists || !folder.isDirectory) {
            SetError(ERROR_DIRECTORY);
            return 0;
        }
    }
    const std::u16string base = directory.empty() ? context.env.currentDirectory : directory;
    std::u16string unquoted = file;  // the shell accepts a quoted file name
    if (unquoted.size() >= 2 && unquoted.front() == u'"' && unquoted.back() == u'"')
        unquoted = unquoted.substr(1, unquoted.size() - 2);
    Resolved target;
    if (unquoted.size() < kMaxPathChars)
        target = Resolve(context.sandbox->store(), LongForm(context.env, base), LongForm(context.env, unquoted));
    else target.error = ERROR_PATH_NOT_FOUND;
    if (target.error != ERROR_SUCCESS || !target.exists) {
        SetError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    if (target.isDirectory) {
        SetError(ERROR_ACCESS_DENIED);
        return 0;
    }
    Program program;
    auto it = context.programsByKey.find(target.key);
    if (it != context.programsByKey.end()) program = it->second;
    else program = context.env.defaultProgram;
    if (!program) {
        SetError(ERROR_ACCESS_DENIED);  // not something this machine can run
        return 0;
    }
    ProcessStart start;
    start.file = file;
    start.parametersNull = info->lpParameters == nullptr;
    start.parameters = FromZ(info->lpParameters);
    start.directory = directory;
    start.verb = FromZ(info->lpVerb);
    start.show = info->nShow;
    start.owner = info->hwnd;
    start.mask = info->fMask;
    context.result.starts.push_back(start);
    const ProcessOutcome outcome = program(start);
    // What it left running: from its start on the run's clock.
    for (const Spawned& spawned : outcome.spawns) {
        Context& now = Current();
        now.machine.push_back(SimProcess{now.nextProcessId, spawned.image,
                                         now.clockMs + spawned.runsForMs,
                                         spawned.descendant && now.inJob});
        now.nextProcessId += 4;
    }
    if ((info->fMask & SEE_MASK_NOCLOSEPROCESS) && !Current().env.shellStartGivesNoProcess) {
        Object process(ObjectKind::Process);
        process.outcome = outcome;
        info->hProcess = NewObject(std::move(process));
    }
    return 1;
}

WChar** CommandLineToArgvW(const WChar* commandLine, i32* count) {
    const std::u16string line = FromZ(commandLine);
    if (Enter(host::Call::CommandLineToArgvW, line)) return nullptr;
    if (count == nullptr) {
        SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    Context& context = Current();
    std::vector<std::u16string> args;
    if (line.empty()) {
        args.push_back(context.env.modulePath);
    } else {
        size_t i = 0;
        const size_t n = line.size();
        // The program name: up to the closing quote or the first blank, without escapes.
        std::u16string first;
        if (line[0] == u'"') {
            for (i = 1; i < n && line[i] != u'"'; ++i) first += line[i];
            if (i < n) ++i;  // the closing quote; the next argument may follow at once
        } else {
            for (; i < n && line[i] != u' ' && line[i] != u'\t'; ++i) first += line[i];
        }
        args.push_back(first);
        while (i < n && (line[i] == u' ' || line[i] == u'\t')) ++i;
        // Later arguments: backslashes count only before a quote.
        while (i < n) {
            std::u16string arg;
            bool quoted = false;
            while (i < n && (quoted || (line[i] != u' ' && line[i] != u'\t'))) {
                if (line[i] == u'\\') {
                    size_t slashes = 0;
                    while (i < n && line[i] == u'\\') {
                        ++slashes;
                        ++i;
                    }
                    if (i < n && line[i] == u'"') {
                        arg.append(slashes / 2, u'\\');
                        if (slashes % 2 == 1) {
                            arg += u'"';
                            ++i;
                        }
                    } else {
                        arg.append(slashes, u'\\');
                    }
                } else if (line[i] == u'"') {
                    if (quoted && i + 1 < n && line[i + 1] == u'"') {
                        arg += u'"';  // "" inside quotes: a literal quote, still quoted
                        i += 2;
                    } else {
                        quoted = !quoted;
                        ++i;
                    }
                } else {
                    arg += line[i++];
                }
            }
            args.push_back(arg);
            while (i < n && (line[i] == u' ' || line[i] == u'\t')) ++i;
        }
    }
    // One block, as Windows gives: the pointer array, then the strings.
    size_t bytes = (args.size() + 1) * sizeof(WChar*);
    for (const auto& arg : args) bytes += (arg.size() + 1) * sizeof(WChar);
    std::unique_ptr<char[]> block(new char[bytes]);
    auto** pointers = reinterpret_cast<WChar**>(block.get());
    auto* text = reinterpret_cast<WChar*>(block.get() + (args.size() + 1) * sizeof(WChar*));
    for (size_t k = 0; k < args.size(); ++k) {
        pointers[k] = text;
        std::copy(args[k].begin(), args[k].end(), text);
        text += args[k].size();
        *text++ = 0;
    }
    pointers[args.size()] = nullptr;
    *count = static_cast<i32>(args.size());
    context.argvBlocks.push_back(std::move(block));
    return pointers;
}

Bool PathAppendW(WChar* path, const WChar* more) {
    const std::u16string append = FromZ(more);
    if (Enter(host::Call::PathAppendW, append)) return 0;
    if (path == nullptr || more == nullptr) {
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::u16string base(path);
    std::u16string tail = append;
    const bool unc = tail.size() >= 2 && tail[0] == u'\\' && tail[1] == u'\\';
    if (!unc) tail.erase(0, tail.find_first_not_of(u'\\') == std::u16string::npos
                                ? tail.size()
                                : tail.find_first_not_of(u'\\'));
    std::u16string combined;
    if (tail.empty()) {
        combined = base;
    } else if (unc || (tail.size() >= 2 && tail[1] == u':')) {
        combined = tail;  // an absolute path replaces the base
    } else {
        combined = base;
        if (!combined.empty() && combined.back() != u'\\') combined += u'\\';
        if (combined.size() + tail.size() >= kMaxPathChars) return 0;
        combined += tail;
    }
    const std::u16string result = Canonicalize(combined);
    if (combined.size() >= kMaxPathChars || result.size() >= kMaxPathChars) return 0;
    std::copy(result.begin(), result.end(), path);
    path[result.size()] = 0;
    return 1;
}

HResult CoCreateGuid(Guid* guid) {
    if (Enter(host::Call::CoCreateGuid)) return E_FAIL;
    if (Current().env.guidCreationFails) return E_FAIL;
    if (guid == nullptr) return static_cast<HResult>(0x80070057u);  // E_INVALIDARG
    std::uniform_int_distribution<u32> any;
    auto& random = Current().random;
    guid->Data1 = any(random);
    const u32 middle = any(random);
    guid->Data2 = static_cast<u16>(middle);
    guid->Data3 = static_cast<u16>(((middle >> 16) & 0x0FFF) | 0x4000);  // version 4
    const u32 low = any(random), high = any(random);
    for (int k = 0; k < 4; ++k) {
        guid->Data4[k] = static_cast<u8>(low >> (8 * k));
        guid->Data4[4 + k] = static_cast<u8>(high >> (8 * k));
    }
    guid->Data4[0] = static_cast<u8>((guid->Data4[0] & 0x3F) | 0x80);  // RFC 4122 variant
    return S_OK;
}

i32 StringFromGUID2(const Guid& guid, WChar* out, i32 capacity) {
    if (Enter(host::Call::StringFromGUID2)) return 0;
    if (Current().env.stringFromGuidFails || out == nullptr || capacity < 39) return 0;
    static const char16_t kHex[] = u"0123456789ABCDEF";
    std::u16string text = u"{";
    auto hex = [&](u32 value, int digits) {
        for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) text += kHex[(value >> shift) & 0xF];
    };
    hex(guid.Data1, 8);
    text += u'-';
    hex(guid.Data2, 4);
    text += u'-';
    hex(guid.Data3, 4);
    text += u'-';
    hex(guid.Data4[0], 2);
    hex(guid.Data4[1], 2);
    text += u'-';
    for (int k = 2; k < 8; ++k) hex(guid.Data4[k], 2);
    text += u'}';
    std::copy(text.begin(), text.end(), out);
    out[text.size()] = 0;
    return static_cast<i32>(text.size() + 1);
}

Bool GetMessageW(Message*, Window, u32, u32) {
    if (Enter(host::Call::GetMessageW)) return -1;
    return 0;  // WM_QUIT at once: the host has no messages
}

Bool TranslateMessage(const Message*) { return 0; }

intptr_t DispatchMessageW(const Message*) { return 0; }

Window GetForegroundWindow() {
    if (Enter(host::Call::GetForegroundWindow)) return nullptr;
    return Current().env.foregroundWindow;
}

}  // namespace platform
