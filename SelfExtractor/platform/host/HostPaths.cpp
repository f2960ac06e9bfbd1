// Windows paths on the sandbox: parsing, case-insensitive lookup, text conversion, and the Sandbox
// helpers tests use to look at what a run wrote.
#include <fcntl.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <stdexcept>

#include "UpcaseTable.h"  // generated at build time by cmake/upcase_table.py
#include "platform/host/HostInternal.h"

namespace platform::host {

namespace fs = std::filesystem;
using namespace detail;

// ---- text -------------------------------------------------------------------------------------

namespace {

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

}  // namespace

char16_t FoldUnit(char16_t unit) {
    if (unit < 0x80) return (unit >= u'a' && unit <= u'z') ? static_cast<char16_t>(unit - 32) : unit;
    const auto* begin = kUpcasePairs;
    const auto* end = kUpcasePairs + SFX_UPCASE_PAIRS;
    const auto* at = std::lower_bound(begin, end, unit,
                                      [](const unsigned short (&pair)[2], char16_t u) { return pair[0] < u; });
    return (at != end && (*at)[0] == unit) ? static_cast<char16_t>((*at)[1]) : unit;
}

std::u16string FoldCase(const std::u16string& text) {
    std::u16string out(text);
    for (auto& c : out) c = FoldUnit(c);
    return out;
}

}  // namespace platform::host

namespace platform {

NtStatus RtlUpcaseUnicodeString(UnicodeString* out, const UnicodeString* in, u8 allocate) {
    if (out == nullptr || in == nullptr || allocate != 0 || out->MaximumLength < in->Length)
        return static_cast<NtStatus>(0xC000000Du);  // STATUS_INVALID_PARAMETER
    for (u32 i = 0; i < in->Length / 2u; ++i) out->Buffer[i] = host::FoldUnit(in->Buffer[i]);
    out->Length = in->Length;
    return 0;
}

}  // namespace platform

namespace platform::host {

std::u16string TrimWin32Component(const std::u16string& component, bool last) {
    size_t end = component.size();
    if (last) {
        while (end > 0 && (component[end - 1] == u'.' || component[end - 1] == u' ')) --end;
    } else if (end > 0 && component[end - 1] == u'.') {
        --end;
    }
    return component.substr(0, end);
}

// UTF-16 to UTF-8; an unpaired surrogate is kept as its own three-byte form so that every Windows
// name maps to one Linux name and back.
std::string Utf8(const std::u16string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// UTF-8 to UTF-16, lenient: a byte that starts no well-formed sequence becomes U+FFFD (the
// three-byte forms of surrogates are accepted, mirroring Utf8).
std::u16string Utf16(const std::string& text) {
    std::u16string out;
    out.reserve(text.size());
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        const unsigned char b = s[i];
        uint32_t c;
        size_t len;
        if (b < 0x80) { c = b; len = 1; }
        else if (b >= 0xC2 && b <= 0xDF) { c = b & 0x1F; len = 2; }
        else if (b >= 0xE0 && b <= 0xEF) { c = b & 0x0F; len = 3; }
        else if (b >= 0xF0 && b <= 0xF4) { c = b & 0x07; len = 4; }
        else { out += u'\uFFFD'; ++i; continue; }
        bool ok = i + len <= n;
        for (size_t k = 1; ok && k < len; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) ok = false;
            else c = (c << 6) | (s[i + k] & 0x3F);
        }
        if (ok && ((len == 3 && c < 0x800) || (len == 4 && (c < 0x10000 || c > 0x10FFFF)))) ok = false;
        if (!ok) { out += u'\uFFFD'; ++i; continue; }
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
        i += len;
    }
    return out;
}

namespace detail {

std::u16string FromZ(const WChar* text) { return text ? std::u16string(text) : std::u16string(); }

// ---- parsing ----------------------------------------------------------------------------------

namespace {

struct Parsed {
    u32 error = ERROR_SUCCESS;
    char16_t drive = u'C';
    std::vector<std::u16string> components;
};

bool IsReservedName(const std::u16string& component) {
    std::u16string base = component.substr(0, component.find(u'.'));
    while (!base.empty() && base.back() == u' ') base.pop_back();
    base = FoldCase(base);
    static const char16_t* const kNames[] = {u"CON", u"PRN", u"AUX", u"NUL"};
    for (const char16_t* name : kNames)
        if (base == name) return true;
    if (base.size() == 4 && (base.compare(0, 3, u"COM") == 0 || base.compare(0, 3, u"LPT") == 0) &&
        base[3] >= u'1' && base[3] <= u'9')
        return true;
    return false;
}

u32 CheckComponent(const std::u16string& component, bool wildcards) {
    for (char16_t c : component) {
        if (c < 0x20 || c == u':' || c == u'<' || c == u'>' || c == u'"' || c == u'|')
            return ERROR_INVALID_NAME;
        if ((c == u'*' || c == u'?') && !wildcards) return ERROR_INVALID_NAME;
    }
    if (IsReservedName(component)) return ERROR_INVALID_NAME;
    return ERROR_SUCCESS;
}

Parsed ParseAbsoluteCwd(const std::u16string& cwd);

// A path after the "\\?\" prefix: handed to the file system as it is. Only "\" separates, "."
// and ".." are not resolved (no name may be either), trailing dots and spaces stay, and device
// names are plain names; it must start with a drive.
Parsed ParseLiteral(const std::u16string& path) {
    Parsed parsed;
    if (path.size() < 3 || path[1] != u':' || path[2] != u'\\' ||
        !((path[0] >= u'a' && path[0] <= u'z') || (path[0] >= u'A' && path[0] <= u'Z'))) {
        parsed.error = ERROR_INVALID_NAME;
        return parsed;
    }
    parsed.drive = static_cast<char16_t>(path[0] & ~0x20);
    std::u16string current;
    for (size_t i = 3; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != u'\\') {
            current += path[i];
            continue;
        }
        if (current.empty() && i == path.size()) break;  // a trailing backslash
        if (current.empty() || current == u"." || current == u"..") {
            parsed.error = ERROR_INVALID_NAME;
            return parsed;
        }
        for (char16_t c : current) {
            if (c < 0x20 || c == u':' || c == u'<' || c == u'>' || c == u'"' || c == u'|' ||
                c == u'*' || c == u'?' || c == u'/') {
                parsed.error = ERROR_INVALID_NAME;
                return parsed;
            }
        }
        parsed.components.push_back(current);
        current.clear();
    }
    return parsed;
}

Parsed Parse(const std::u16string& cwdText, const std::u16string& pathText, bool wildcardLast) {
    Parsed parsed;
    std::u16string path = pathText;
    if (path.empty()) {
        parsed.error = ERROR_PATH_NOT_FOUND;
        return parsed;
    }
    if (path.size() >= 4 && path[0] == u'\\' && path[1] == u'\\' && path[2] == u'?' &&
        path[3] == u'\\')
        return ParseLiteral(path.substr(4));

    Parsed base;
    const bool relativeAllowed = !cwdText.empty();
    if (relativeAllowed) base = ParseAbsoluteCwd(cwdText);
    std::u16string rest;
    if (path.size() >= 2 && path[1] == u':' &&
        ((path[0] >= u'a' && path[0] <= u'z') || (path[0] >= u'A' && path[0] <= u'Z'))) {
        parsed.drive = static_cast<char16_t>(path[0] & ~0x20);
        rest = path.substr(2);
        if (!rest.empty() && IsSeparator(rest[0])) {
            // absolute on that drive
        } else if (base.drive == parsed.drive) {
            parsed.components = base.components;  // drive-relative: against the current folder
        }
    } else if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
        parsed.error = ERROR_BAD_NETPATH;  // UNC paths and devices have no place in the sandbox
        return parsed;
    } else if (IsSeparator(path[0])) {
        parsed.drive = base.drive;
        rest = path;
    } else {
        parsed.drive = base.drive;
        parsed.components = base.components;
        rest = path;
    }

    // Split; find the last non-empty raw component for the wildcard rule.
    std::vector<std::u16string> raw;
    std::u16string current;
    for (char16_t c : rest) {
        if (IsSeparator(c)) {
            if (!current.empty()) raw.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty()) raw.push_back(current);

    for (size_t i = 0; i < raw.size(); ++i) {
        std::u16string component = raw[i];
        if (component == u".") continue;
        if (component == u"..") {
            if (!parsed.components.empty()) parsed.components.pop_back();
            continue;
        }
        component = TrimWin32Component(component, i + 1 == raw.size() && !IsSeparator(rest.back()));
        if (component.empty()) continue;
        // "..." in the middle is left as "..": a name no file system holds, never the parent.
        if (component == u"." || component == u"..") {
            parsed.error = ERROR_INVALID_NAME;
            return parsed;
        }
        const u32 error = CheckComponent(component, wildcardLast && i + 1 == raw.size());
        if (error != ERROR_SUCCESS) {
            parsed.error = error;
            return parsed;
        }
        parsed.components.push_back(component);
    }
    return parsed;
}

Parsed ParseAbsoluteCwd(const std::u16string& cwd) {
    Parsed parsed = Parse(std::u16string(), cwd, false);
    if (parsed.error != ERROR_SUCCESS) return Parsed{};
    return parsed;
}

bool IsDirectory(Store& store, const std::string& path) {
    Entry entry;
    return store.Stat(path, entry) == 0 && entry.kind == Entry::Kind::Folder;
}

std::u16string KeyOf(const Parsed& parsed) {
    std::u16string key(1, parsed.drive);
    key += u':';
    for (const auto& component : parsed.components) key += u"\\" + FoldCase(component);
    if (parsed.components.empty()) key += u'\\';
    return key;
}

}  // namespace

// The stored name in `folder` that matches `name` (exact bytes first, then case-insensitively).
bool Store::FindName(const std::string& folder, const std::u16string& name, std::string& found) {
    const std::string exact = Utf8(name);
    Entry entry;
    if (Lstat(folder + "/" + exact, entry) == 0) {  // the common case, without a listing
        found = exact;
        return true;
    }
    std::vector<std::string> names;
    if (Names(folder, names) != 0) return false;
    const std::u16string folded = FoldCase(name);
    for (const std::string& entryName : names) {
        if (FoldCase(Utf16(entryName)) == folded) {
            found = entryName;
            return true;
        }
    }
    return false;
}

Resolved Resolve(Store& store, const std::u16string& cwd, const std::u16string& path,
                 bool wildcardLast) {
    Resolved resolved;
    const Parsed parsed = Parse(cwd, path, wildcardLast);
    if (parsed.error != ERROR_SUCCESS) {
        resolved.error = parsed.error;
        return resolved;
    }
    resolved.key = KeyOf(parsed);
    std::string current = store.Root() + "/" + static_cast<char>(parsed.drive);
    bool folderOk = IsDirectory(store, current);
    if (parsed.components.empty()) {
        resolved.isRoot = true;
        resolved.linuxPath = current;
        resolved.parentLinux = current;
        resolved.parentExists = folderOk;
        resolved.exists = folderOk;
        resolved.isDirectory = folderOk;
        return resolved;
    }
    for (size_t i = 0; i < parsed.components.size(); ++i) {
        const bool last = i + 1 == parsed.components.size();
        const std::u16string& component = parsed.components[i];
        if (last) {
            resolved.parentLinux = current;
            resolved.parentExists = folderOk;
            resolved.name = component;
        }
        std::string actual;
        const bool lookUp = folderOk && !(last && wildcardLast);
        if (lookUp && store.FindName(current, component, actual)) {
            current += "/" + actual;
            if (!last) folderOk = IsDirectory(store, current);
        } else {
            current += "/" + Utf8(component);
            if (!last) folderOk = false;
        }
    }
    resolved.linuxPath = current;
    Entry entry;
    if (resolved.parentExists && !wildcardLast && store.Lstat(current, entry) == 0) {
        resolved.exists = true;
        resolved.isLink = entry.kind == Entry::Kind::Link;
        resolved.isDirectory = entry.kind == Entry::Kind::Folder ||
                               (resolved.isLink && IsDirectory(store, current));
    }
    return resolved;
}

std::u16string FullPath(const std::u16string& cwd, const std::u16string& path) {
    if (path.size() >= 4 && path.compare(0, 4, u"\\\\?\\") == 0) return path;
    const Parsed parsed = Parse(cwd, path, false);
    if (parsed.error != ERROR_SUCCESS) return {};
    std::u16string full(1, parsed.drive);
    full += u':';
    for (const auto& component : parsed.components) full += u"\\" + component;
    if (parsed.components.empty()) full += u'\\';
    return full;
}

std::u16string PathKey(const std::u16string& cwd, const std::u16string& path) {
    const Parsed parsed = Parse(cwd, path, false);
    if (parsed.error != ERROR_SUCCESS) return {};
    return KeyOf(parsed);
}

bool MakeFolders(Store& store, const std::u16string& cwd, const std::u16string& path) {
    const Parsed parsed = Parse(cwd, path, false);
    if (parsed.error != ERROR_SUCCESS) return false;
    store.MakeFolder(store.Root() + "/" + static_cast<char>(parsed.drive));
    std::u16string prefix = std::u16string(1, parsed.drive) + u":";
    for (const auto& component : parsed.components) {
        prefix += u"\\" + component;
        const Resolved step = Resolve(store, cwd, prefix);
        if (step.error != ERROR_SUCCESS || !step.parentExists) return false;
        if (step.exists) {
            if (!step.isDirectory) return false;
            continue;
        }
        if (store.MakeFolder(step.linuxPath) != 0) return false;
    }
    return true;
}

bool WildcardMatch(const std::u16string& patternText, const std::u16string& nameText) {
    std::u16string pattern = FoldCase(patternText);
    const std::u16string name = FoldCase(nameText);
    if (pattern == u"*.*") pattern = u"*";  // DOS: every name, with or without an extension
    size_t p = 0, n = 0, starP = std::u16string::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == u'?' || pattern[p] == name[n])) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == u'*') {
            starP = p++;
            starN = n;
        } else if (starP != std::u16string::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == u'*') ++p;
    return p == pattern.size();
}

}  // namespace detail

// ---- Sandbox ----------------------------------------------------------------------------------

namespace {
const std::u16string kToolCwd = u"C:\\cwd";

std::u16string ParentOf(const std::u16string& windowsPath) {
    size_t end = windowsPath.size();
    while (end > 0 && IsSeparator(windowsPath[end - 1])) --end;
    while (end > 0 && !IsSeparator(windowsPath[end - 1])) --end;
    return windowsPath.substr(0, end);
}

std::u16string SandboxCwd() { return InRun() ? Current().env.currentDirectory : kToolCwd; }

std::atomic<uint64_t> g_memorySandboxes{0};

void ListUnder(Store& store, const std::string& folder, const std::string& prefix,
               std::vector<std::string>& out) {
    std::vector<std::string> names;
    if (store.Names(folder, names) != 0) return;
    for (const std::string& name : names) {
        Entry entry;
        if (store.Lstat(folder + "/" + name, entry) != 0) continue;
        if (entry.kind == Entry::Kind::Folder) {
            out.push_back(prefix + name + "/");
            ListUnder(store, folder + "/" + name, prefix + name + "/", out);
        } else {
            out.push_back(prefix + name);
        }
    }
}

void RemoveTree(Store& store, const std::string& path) {
    Entry entry;
    if (store.Lstat(path, entry) != 0) return;
    if (entry.kind != Entry::Kind::Folder) {
        if (store.Unlink(path) != 0) throw std::runtime_error("cannot remove " + path);
        return;
    }
    std::vector<std::string> names;
    store.Names(path, names);
    for (const std::string& name : names) RemoveTree(store, path + "/" + name);
    if (store.RemoveFolder(path) != 0) throw std::runtime_error("cannot remove " + path);
}
}  // namespace

Sandbox::Sandbox() : Sandbox(Storage::Disk) {}

Sandbox::Sandbox(Storage storage, uint64_t capacity) : storage_(storage) {
    if (storage == Storage::Memory) {
        // A name no Linux path has: nothing of a memory sandbox can reach the disk by mistake.
        root_ = "<memory-" + std::to_string(++g_memorySandboxes) + ">";
        store_ = NewMemoryStore(root_, capacity);
    } else {
        if (capacity != UINT64_MAX) throw std::invalid_argument("a disk sandbox has its volume's free space");
        const char* tmp = getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/sfx-sandbox-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back(0);
        if (mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("cannot make a sandbox folder");
        root_ = buffer.data();
        store_ = NewDiskStore(root_);
    }
    store_->MakeFolder(root_ + "/C");
}

Sandbox::Sandbox(const std::string& existingRoot, bool owned) : root_(existingRoot), owned_(owned) {
    while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
    store_ = NewDiskStore(root_);
    if (!IsDirectory(*store_, root_)) throw std::runtime_error("sandbox root is not a folder: " + root_);
}

Sandbox::~Sandbox() {
    if (storage_ == Storage::Memory || !owned_) return;
    std::error_code ignored;
    fs::remove_all(root_, ignored);
}

const std::string& Sandbox::root() const {
    if (storage_ == Storage::Memory) throw std::logic_error("a memory sandbox has no Linux folder");
    return root_;
}

std::string Sandbox::LinuxPath(const std::u16string& windowsPath) const {
    if (storage_ == Storage::Memory) throw std::logic_error("a memory sandbox has no Linux paths");
    const Resolved resolved = Resolve(*store_, SandboxCwd(), windowsPath);
    if (resolved.error != ERROR_SUCCESS)
        throw std::invalid_argument("malformed Windows path: " + Utf8(windowsPath));
    return resolved.linuxPath;
}

std::u16string Sandbox::WindowsPath(const std::string& linuxPath) const {
    const std::string prefix = root_ + "/";
    if (linuxPath.size() < prefix.size() + 1 || linuxPath.compare(0, prefix.size(), prefix) != 0)
        return {};
    const char drive = linuxPath[prefix.size()];
    if (!((drive >= 'A' && drive <= 'Z')) ||
        (linuxPath.size() > prefix.size() + 1 && linuxPath[prefix.size() + 1] != '/'))
        return {};
    std::u16string out = std::u16string(1, static_cast<char16_t>(drive)) + u":\\";
    std::u16string rest = Utf16(linuxPath.substr(std::min(linuxPath.size(), prefix.size() + 2)));
    for (auto& c : rest)
        if (c == u'/') c = u'\\';
    while (!rest.empty() && rest.back() == u'\\') rest.pop_back();
    return out + rest;
}

namespace {
std::string StorePath(Store& store, const std::u16string& windowsPath) {
    const Resolved resolved = Resolve(store, SandboxCwd(), windowsPath);
    if (resolved.error != ERROR_SUCCESS)
        throw std::invalid_argument("malformed Windows path: " + Utf8(windowsPath));
    return resolved.linuxPath;
}
}  // namespace

void Sandbox::WriteFile(const std::u16string& windowsPath, const std::string& bytes) const {
    if (!MakeFolders(*store_, SandboxCwd(), ParentOf(windowsPath)))
        throw std::runtime_error("cannot make the folders of " + Utf8(windowsPath));
    const std::string path = StorePath(*store_, windowsPath);
    int fd = -1;
    if (store_->Open(path, O_WRONLY | O_CREAT | O_TRUNC, fd) != 0) throw std::runtime_error("cannot write " + path);
    size_t done = 0;
    int error = 0;
    while (error == 0 && done < bytes.size()) {
        const auto chunk = static_cast<u32>(std::min<size_t>(bytes.size() - done, 1u << 30));
        u32 put = 0;
        error = store_->Write(fd, done, bytes.data() + done, chunk, put);
        done += put;
    }
    store_->Close(fd);
    if (error != 0) throw std::runtime_error("cannot write " + path);
}

std::string Sandbox::ReadFile(const std::u16string& windowsPath) const {
    const std::string path = StorePath(*store_, windowsPath);
    int fd = -1;
    if (store_->Open(path, O_RDONLY, fd) != 0) throw std::runtime_error("cannot read " + path);
    std::string content;
    char buffer[65536];
    for (;;) {
        u32 got = 0;
        if (store_->Read(fd, content.size(), buffer, sizeof buffer, got) != 0) {
            store_->Close(fd);
            throw std::runtime_error("cannot read " + path);
        }
        content.append(buffer, got);
        if (got < sizeof buffer) break;
    }
    store_->Close(fd);
    return content;
}

bool Sandbox::Exists(const std::u16string& windowsPath) const {
    const Resolved resolved = Resolve(*store_, SandboxCwd(), windowsPath);
    return resolved.error == ERROR_SUCCESS && resolved.exists;
}

std::vector<std::string> Sandbox::List(const std::u16string& windowsFolder) const {
    std::vector<std::string> out;
    const std::string folder = StorePath(*store_, windowsFolder);
    if (IsDirectory(*store_, folder)) ListUnder(*store_, folder, "", out);
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::string> Sandbox::ListAll() const {
    std::vector<std::string> out;
    ListUnder(*store_, root_, "", out);
    std::sort(out.begin(), out.end());
    return out;
}

std::string Sandbox::RelativePath(const std::u16string& windowsPath) const {
    return StorePath(*store_, windowsPath).substr(root_.size() + 1);
}

EntryKind Sandbox::KindOf(const std::u16string& windowsPath) const {
    Entry entry;
    if (!Exists(windowsPath) || store_->Lstat(StorePath(*store_, windowsPath), entry) != 0) return EntryKind::None;
    return entry.kind == Entry::Kind::Link     ? EntryKind::Link
           : entry.kind == Entry::Kind::Folder ? EntryKind::Folder
                                               : EntryKind::File;
}

void Sandbox::MakeFolder(const std::u16string& windowsPath) const {
    if (!MakeFolders(*store_, SandboxCwd(), windowsPath))
        throw std::runtime_error("cannot make the folder " + Utf8(windowsPath));
}

void Sandbox::Remove(const std::u16string& windowsPath) const {
    if (Exists(windowsPath)) RemoveTree(*store_, StorePath(*store_, windowsPath));
}

void Sandbox::MakeLink(const std::u16string& windowsPath, const std::u16string& windowsTarget) const {
    if (store_->Symlink(StorePath(*store_, windowsTarget), StorePath(*store_, windowsPath)) != 0)
        throw std::runtime_error("cannot make the link " + Utf8(windowsPath));
}

void Sandbox::MakeHardLink(const std::u16string& windowsPath, const std::u16string& existing) const {
    if (store_->HardLink(StorePath(*store_, existing), StorePath(*store_, windowsPath)) != 0)
        throw std::runtime_error("cannot make the hard link " + Utf8(windowsPath));
}

void Sandbox::SetReadOnly(const std::u16string& windowsPath, bool readOnly) const {
    if (store_->SetReadOnly(StorePath(*store_, windowsPath), readOnly) != 0)
        throw std::runtime_error("cannot change the attributes of " + Utf8(windowsPath));
}

size_t Sandbox::OpenDescriptors() const { return store_->OpenCount(); }

}  // namespace platform::host
