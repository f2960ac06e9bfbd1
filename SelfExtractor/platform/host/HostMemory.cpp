// The memory store: a sandbox's files as a tree in memory, for runs by the thousand (fault sweeps,
// fuzzers). It answers the store's calls as Linux does for the disk store, errno for errno, so
// that the backend above it behaves the same on both; the names' rules stay in the backend
// (FindName folds with the backend's own FoldCase).
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <string_view>
#include <unordered_map>

#include "platform/host/HostInternal.h"

namespace platform::host::detail {

namespace {

constexpr int kMaxLinkDepth = 40;  // as Linux: ELOOP beyond

u64 Now() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return FileTimeOf(now.tv_sec, now.tv_nsec);
}

struct Node {
    Node(Entry::Kind nodeKind, u64 nodeId, u64* usedBytes)
        : kind(nodeKind), id(nodeId), used(usedBytes), created(Now()), accessed(created), written(created) {}
    ~Node() { *used -= data.size(); }
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;

    void Resize(u64 size) {
        *used = *used - data.size() + size;
        data.resize(size);
    }

    Entry::Kind kind;
    u64 id;
    u64* used;                // the store's bytes of file data
    bool readOnly = false;
    u32 names = 1;            // a file's hard links
    std::string data;         // File
    std::string target;       // Link: a store path, or one relative to the link's folder
    std::map<std::string, std::shared_ptr<Node>, std::less<>> children;  // Folder
    std::map<std::u16string, std::string> folded;           // Folder: FoldCase(name) -> a name
    u64 created, accessed, written;
};
using NodePtr = std::shared_ptr<Node>;

struct Descriptor {
    NodePtr node;
    std::string path;  // the canonical path it was opened by
    bool reads = false, writes = false;
    bool appends = false;  // O_APPEND: every write lands at the end, whatever position it names
};

class MemoryStore final : public Store {
public:
    explicit MemoryStore(const std::string& root) : Store(root) {
        tree_ = std::make_shared<Node>(Entry::Kind::Folder, nextId_++, &used_);
    }

    void SetCapacity(u64 capacity) { capacity_ = capacity; }

    int Lstat(const std::string& path, Entry& entry) override {
        Found found;
        if (const int error = Look(path, false, found)) return error;
        Fill(*found.node, entry);
        return 0;
    }
    int Stat(const std::string& path, Entry& entry) override {
        Found found;
        if (const int error = Look(path, true, found)) return error;
        Fill(*found.node, entry);
        return 0;
    }
    int Names(const std::string& folder, std::vector<std::string>& names) override {
        names.clear();
        Found found;
        if (const int error = Look(folder, true, found)) return error;
        if (found.node->kind != Entry::Kind::Folder) return ENOTDIR;
        for (const auto& [name, node] : found.node->children) names.push_back(name);
        return 0;
    }
    bool FindName(const std::string& folder, const std::u16string& name, std::string& out) override {
        Found found;
        if (Look(folder, true, found) != 0 || found.node->kind != Entry::Kind::Folder) return false;
        const Node& parent = *found.node;
        const std::string exact = Utf8(name);
        if (parent.children.find(exact) != parent.children.end()) {
            out = exact;
            return true;
        }
        const auto it = parent.folded.find(FoldCase(name));
        if (it == parent.folded.end()) return false;
        out = it->second;
        return true;
    }
    int MakeFolder(const std::string& path) override {
        Place place;
        if (const int error = Locate(path, place)) return error;
        if (place.existing) return EEXIST;
        Insert(*place.folder, place.name, std::make_shared<Node>(Entry::Kind::Folder, nextId_++, &used_));
        return 0;
    }
    int RemoveFolder(const std::string& path) override {
        Place place;
        if (const int error = Locate(path, place)) return error;
        if (!place.existing) return ENOENT;
        if (place.existing->kind != Entry::Kind::Folder) return ENOTDIR;
        if (!place.existing->children.empty()) return ENOTEMPTY;
        Erase(*place.folder, place.name);
        return 0;
    }
    int Unlink(const std::string& path) override {
        Place place;
        if (const int error = Locate(path, place)) return error;
        if (!place.existing) return ENOENT;
        if (place.existing->kind == Entry::Kind::Folder) return EISDIR;
        --place.existing->names;
        Erase(*place.folder, place.name);
        return 0;
    }
    int SetReadOnly(const std::string& path, bool readOnly) override {
        Found found;
        if (const int error = Walk(path, true, found)) return error;
        found.node->readOnly = readOnly;
        found.node->created = Now();  // the status change, as on Linux
        return 0;
    }
    int Symlink(const std::string& target, const std::string& path) override {
        Place place;
        if (const int error = Locate(path, place)) return error;
        if (place.existing) return EEXIST;
        auto link = std::make_shared<Node>(Entry::Kind::Link, nextId_++, &used_);
        link->target = target;
        Insert(*place.folder, place.name, std::move(link));
        return 0;
    }
    int HardLink(const std::string& existing, const std::string& path) override {
        Found found;
        if (const int error = Walk(existing, false, found)) return error;
        if (found.node->kind == Entry::Kind::Folder) return EPERM;
        Place place;
        if (const int error = Locate(path, place)) return error;
        if (place.existing) return EEXIST;
        ++found.node->names;
        Insert(*place.folder, place.name, found.node);
        return 0;
    }

    int Open(const std::string& path, int flags, int& fd) override {
        fd = -1;
        Descriptor descriptor;
        if ((flags & O_PATH) != 0 || (flags & O_DIRECTORY) != 0) {
            Found found;
            if (const int error = Walk(path, (flags & O_NOFOLLOW) == 0, found)) return error;
            if ((flags & O_DIRECTORY) != 0 && found.node->kind != Entry::Kind::Folder) return ENOTDIR;
            descriptor.node = found.node;
            descriptor.path = found.path;
            return Add(std::move(descriptor), fd);
        }
        const int access = flags & O_ACCMODE;
        descriptor.reads = access == O_RDONLY || access == O_RDWR;
        descriptor.writes = access == O_WRONLY || access == O_RDWR;
        descriptor.appends = (flags & O_APPEND) != 0;
        Place place;
        if (const int error = Locate(path, place, true)) return error;
        if (place.existing && (flags & O_CREAT) != 0 && (flags & O_EXCL) != 0) return EEXIST;
        if (place.existing) {
            Found found;  // through a link to its target
            if (const int error = Walk(path, true, found)) return error;
            if (found.node->kind == Entry::Kind::Folder && (descriptor.writes || (flags & O_TRUNC) != 0))
                return EISDIR;
            descriptor.node = found.node;
            descriptor.path = found.path;
        } else {
            if ((flags & O_CREAT) == 0) return ENOENT;
            descriptor.node = std::make_shared<Node>(Entry::Kind::File, nextId_++, &used_);
            descriptor.path = place.folderPath + "/" + place.name;
            Insert(*place.folder, place.name, descriptor.node);
        }
        if ((flags & O_TRUNC) != 0 && descriptor.node->kind == Entry::Kind::File) {
            descriptor.node->Resize(0);
            descriptor.node->written = Now();
        }
        return Add(std::move(descriptor), fd);
    }
    int Read(int fd, u64 at, void* buffer, u32 bytes, u32& done) override {
        done = 0;
        Descriptor* descriptor = Find(fd);
        if (descriptor == nullptr || !descriptor->reads) return EBADF;
        Node& node = *descriptor->node;
        if (node.kind == Entry::Kind::Folder) return EISDIR;
        if (at < node.data.size()) {
            done = static_cast<u32>(std::min<u64>(bytes, node.data.size() - at));
            std::memcpy(buffer, node.data.data() + at, done);
        }
        node.accessed = Now();
        return 0;
    }
    int Write(int fd, u64 at, const void* buffer, u32 bytes, u32& done) override {
        done = 0;
        Descriptor* descriptor = Find(fd);
        if (descriptor == nullptr || !descriptor->writes) return EBADF;
        Node& node = *descriptor->node;
        if (bytes == 0) return 0;
        if (descriptor->appends) at = node.data.size();
        // What fits: the file may grow by the room left on the volume.
        const u64 size = node.data.size();
        const u64 room = capacity_ - std::min(capacity_, used_);
        const u64 end = std::min<u64>(at + bytes, std::max<u64>(size, size + room));
        if (end > at) {
            if (end > size) node.Resize(end);
            done = static_cast<u32>(end - at);
            std::memcpy(node.data.data() + at, buffer, done);
            node.written = Now();
        }
        return done == bytes ? 0 : ENOSPC;
    }
    int Fstat(int fd, Entry& entry) override {
        Descriptor* descriptor = Find(fd);
        if (descriptor == nullptr) return EBADF;
        Fill(*descriptor->node, entry);
        return 0;
    }
    std::string PathOf(int fd) override {
        Descriptor* descriptor = Find(fd);
        if (descriptor == nullptr) return {};
        Found found;
        if (Look(descriptor->path, false, found) == 0 && found.node == descriptor->node) return descriptor->path;
        return descriptor->path + " (deleted)";
    }
    void Close(int fd) override { descriptors_.erase(fd); }
    size_t OpenCount() override { return descriptors_.size(); }

private:
    struct Found {
        NodePtr node;
        std::string path;  // canonical: every link on the way replaced by its target
    };
    // Where a last component goes: its folder (links followed) and what it names now, if anything.
    struct Place {
        Node* folder = nullptr;
        std::string folderPath;
        std::string name;
        Node* existing = nullptr;
    };

    void Fill(const Node& node, Entry& entry) const {
        entry.kind = node.kind;
        entry.readOnly = node.kind != Entry::Kind::Link && node.readOnly;
        entry.size = node.kind == Entry::Kind::File ? node.data.size() : 0;
        entry.id = node.id;
        entry.volume = kVolume;
        entry.links = node.names;
        if (node.kind == Entry::Kind::Folder) {  // as Linux counts a folder's: ".", its name, each ".."
            entry.links = 2;
            for (const auto& [name, child] : node.children) entry.links += child->kind == Entry::Kind::Folder;
        }
        entry.created = node.created;
        entry.accessed = node.accessed;
        entry.written = node.written;
    }

    // Walks a store path from the root: "." and ".." as Linux takes them, each link on the way
    // followed (the last one only with `followLast`). `found.path` is the canonical path, made
    // only when `wantPath` (most callers only ask what is there; ".." and relative link targets
    // need it, and have it made).
    int Walk(std::string_view path, bool followLast, Found& found, int depth = 0, bool wantPath = true) const {
        const std::string& root = Root();
        if (path.compare(0, root.size(), root) != 0 || (path.size() > root.size() && path[root.size()] != '/'))
            return ENOENT;  // outside the store
        Found at{tree_, wantPath ? root : std::string()};
        size_t cut = root.size();
        while (cut < path.size()) {
            const size_t next = std::min(path.find('/', cut + 1), path.size());
            const std::string_view name = path.substr(cut + 1, next - cut - 1);
            cut = next;
            const bool last = path.find_first_not_of('/', next) == std::string_view::npos;
            if (name.empty() || name == ".") continue;
            if (name == "..") {  // the canonical path's folder: no link on the way back up
                if (!wantPath) return Walk(path, followLast, found, depth, true);
                if (at.path.size() > root.size()) {
                    Found up;
                    if (const int error = Walk(at.path.substr(0, at.path.rfind('/')), true, up, depth)) return error;
                    at = std::move(up);
                }
                continue;
            }
            const auto it = at.node->children.find(name);
            if (it == at.node->children.end()) return ENOENT;
            Found step{it->second, wantPath ? at.path + "/" + std::string(name) : std::string()};
            if (step.node->kind == Entry::Kind::Link && (!last || followLast)) {
                if (depth >= kMaxLinkDepth) return ELOOP;
                const std::string& target = step.node->target;
                const bool absolute = target.compare(0, 1, "/") == 0 || target.compare(0, root.size(), root) == 0;
                if (!absolute && !wantPath) return Walk(path, followLast, found, depth, true);
                if (const int error = Walk(absolute ? target : at.path + "/" + target, true, step, depth + 1, wantPath))
                    return error;
            }
            if (!last && step.node->kind != Entry::Kind::Folder) return ENOTDIR;
            at = std::move(step);
        }
        found = std::move(at);
        return 0;
    }
    // What is there, without its path.
    int Look(std::string_view path, bool followLast, Found& found) const {
        return Walk(path, followLast, found, 0, false);
    }

    int Locate(const std::string& path, Place& place, bool wantPath = false) const {
        const size_t cut = path.rfind('/');
        if (cut == std::string::npos || cut + 1 >= path.size() || cut < Root().size()) return EEXIST;
        Found folder;
        if (const int error = Walk(std::string_view(path).substr(0, cut), true, folder, 0, wantPath)) return error;
        if (folder.node->kind != Entry::Kind::Folder) return ENOTDIR;
        place.folder = folder.node.get();
        place.folderPath = folder.path;
        place.name = path.substr(cut + 1);
        const auto it = place.folder->children.find(place.name);
        place.existing = it == place.folder->children.end() ? nullptr : it->second.get();
        return 0;
    }

    static void Insert(Node& folder, const std::string& name, NodePtr node) {
        folder.folded.emplace(FoldCase(Utf16(name)), name);  // the first such name stays found
        folder.children[name] = std::move(node);
        folder.written = Now();
    }
    static void Erase(Node& folder, const std::string& name) {
        folder.children.erase(name);
        const std::u16string key = FoldCase(Utf16(name));
        const auto it = folder.folded.find(key);
        if (it != folder.folded.end() && it->second == name) {
            folder.folded.erase(it);
            for (const auto& [other, node] : folder.children)  // another name Windows takes for it
                if (FoldCase(Utf16(other)) == key) {
                    folder.folded.emplace(key, other);
                    break;
                }
        }
        folder.written = Now();
    }

    int Add(Descriptor descriptor, int& fd) {
        fd = nextFd_++;
        descriptors_.emplace(fd, std::move(descriptor));
        return 0;
    }
    Descriptor* Find(int fd) {
        const auto it = descriptors_.find(fd);
        return it == descriptors_.end() ? nullptr : &it->second;
    }

    static constexpr u64 kVolume = 0x4D454D;  // one volume: every entry's
    // Declared first, destroyed last: the nodes give their bytes back as they go.
    u64 used_ = 0;
    u64 capacity_ = UINT64_MAX;
    u64 nextId_ = 1;
    int nextFd_ = 3;
    NodePtr tree_;
    std::unordered_map<int, Descriptor> descriptors_;
};

}  // namespace

std::unique_ptr<Store> NewMemoryStore(const std::string& root, u64 capacity) {
    auto store = std::make_unique<MemoryStore>(root);
    store->SetCapacity(capacity);
    return store;
}

}  // namespace platform::host::detail
