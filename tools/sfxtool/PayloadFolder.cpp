// The payload folder walked into the list of files pack stores: links resolved (a copy of a file
// inside the folder, a folder inside it followed), every name checked for what Windows would make
// of it, and .launch added when asked.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/host/host.h"
#include "sfxtool/Analysis.h"
#include "sfxtool/EntryNames.h"
#include "sfxtool/Pack.h"

namespace sfxtool {

namespace {

constexpr char kLaunchName[] = ".launch";

std::string Quote(const std::string& s) { return "\"" + s + "\""; }

// The name as a message can show it: invalid UTF-8 bytes become U+FFFD.
std::string Shown(const std::string& name) { return EncodeUtf8(DecodeUtf8(name)); }

// Refuses a name that the stub would not create as it stands on disk.
void CheckName(const std::string& rel) {
    if (const auto at = InvalidUtf8At(rel))
        throw PackError("the payload folder holds " + Quote(Shown(rel)) + ", whose name is not valid UTF-8 (" +
                        ByteAt(rel, *at) + " of the name); the stub reads names as UTF-8: rename it");
    for (size_t i = 0; i < rel.size(); ++i) {
        if (static_cast<unsigned char>(rel[i]) >= 0x20) continue;
        std::string shown = rel;
        for (char& c : shown) c = static_cast<unsigned char>(c) < 0x20 ? '?' : c;
        throw PackError("the payload folder holds " + Quote(shown) + ", whose name holds a control character (" +
                        ByteAt(rel, i) + " of the name); Windows does not allow them in file names: rename it");
    }
    const size_t slash = rel.find('\\');
    if (slash != std::string::npos)
        throw PackError("the payload folder holds " + Quote(rel) + ", whose name holds a backslash (offset " +
                        std::to_string(slash) + "); Windows takes \"\\\" for a folder separator: rename it");
    if (EndsInDotOrSpace(rel))
        throw PackError("the payload folder holds " + Quote(rel) + ", whose name ends in a dot or a space; Windows "
                        "drops trailing dots and spaces, so the stub would create " + Quote(WindowsName(rel)) +
                        " instead: rename it");
}

std::string RealPath(const std::string& path, int* error) {
    char buffer[PATH_MAX];
    if (!realpath(path.c_str(), buffer)) {
        *error = errno;
        return {};
    }
    *error = 0;
    return buffer;
}

bool Within(const std::string& root, const std::string& path) {
    return path == root || (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
                            (root == "/" || path[root.size()] == '/'));
}

struct Walk {
    std::string root;                  // the folder's real path
    bool followLinks = true;
    std::vector<std::string> open;     // real paths of the folders being walked, outermost first
    std::vector<PayloadFile> files;

    // `folder` is a Linux path to list; `prefix` the entry name of the folder ("" or "a/b/").
    void Folder(const std::string& folder, const std::string& prefix) {
        DIR* dir = opendir(folder.c_str());
        if (!dir) throw PackError("cannot read folder " + folder + ": " + std::strerror(errno));
        std::vector<std::string> names;
        errno = 0;
        while (const dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        const int readError = errno;
        closedir(dir);
        if (readError != 0) throw PackError("cannot read folder " + folder + ": " + std::strerror(readError));
        for (const std::string& name : names) Entry(folder + "/" + name, prefix + name);
    }

    void Entry(const std::string& path, const std::string& rel) {
        CheckName(rel);
        struct stat st{};
        if (lstat(path.c_str(), &st) != 0) throw PackError("cannot read " + path + ": " + std::strerror(errno));
        if (S_ISLNK(st.st_mode)) return Link(path, rel);
        if (S_ISDIR(st.st_mode)) return Into(path, rel);
        if (!S_ISREG(st.st_mode))
            throw PackError("the payload folder holds " + Quote(rel) + ", which is neither a file, a folder nor a "
                            "link (a pipe, socket or device): remove it");
        files.push_back({rel, path, {}});
    }

    void Into(const std::string& path, const std::string& rel) {
        int error = 0;
        const std::string real = RealPath(path, &error);
        if (error != 0) throw PackError("cannot read folder " + path + ": " + std::strerror(error));
        open.push_back(real);
        Folder(path, rel + "/");
        open.pop_back();
    }

    void Link(const std::string& path, const std::string& rel) {
        char buffer[PATH_MAX];
        const ssize_t n = readlink(path.c_str(), buffer, sizeof buffer - 1);
        const std::string target = n >= 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string("?");
        const std::string link = "the link " + Quote(rel) + " -> " + Quote(target);
        if (!followLinks)
            throw PackError("the payload folder holds " + link + ", and --no-follow-links refuses every link: put "
                            "the file or folder itself there, or pack without --no-follow-links");
        int error = 0;
        const std::string real = RealPath(path, &error);
        if (error != 0)
            throw PackError("the payload folder holds " + link + ", which leads nowhere (" + std::strerror(error) +
                            "): fix the link or remove it");
        if (!Within(root, real))
            throw PackError("the payload folder holds " + link + ", which leads outside the folder (to " + real +
                            "): copy what it points to into the folder, or remove the link");
        struct stat st{};
        if (stat(real.c_str(), &st) != 0) throw PackError("cannot read " + real + ": " + std::strerror(errno));
        if (S_ISREG(st.st_mode)) {
            files.push_back({rel, real, {}});  // a copy of the target, under the link's name
        } else if (S_ISDIR(st.st_mode)) {
            if (std::find(open.begin(), open.end(), real) != open.end())
                throw PackError("the payload folder holds " + link + ", which leads back to a folder that holds the "
                                "link (a cycle): remove the link");
            open.push_back(real);
            Folder(real, rel + "/");
            open.pop_back();
        } else {
            throw PackError("the payload folder holds " + link + ", whose target is neither a file nor a folder: "
                            "remove the link");
        }
    }
};

// The --launch path as the stub takes it from .launch: either separator; leading separators and
// "." dropped; ".." taken back lexically. What would climb out of the folder, or names a drive or
// stream, cannot be written.
std::string NormalLaunchPath(const std::string& launch) {
    std::vector<std::string> parts;
    std::string part;
    auto take = [&] {
        if (part == "..") {
            if (parts.empty()) throw PackError("--launch " + launch + " leads out of the payload folder: name a file inside it");
            parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        part.clear();
    };
    for (const char c : launch) {
        if (c == ':') throw PackError("--launch " + launch + " names a drive or stream: name a file inside the payload folder");
        if (c == '/' || c == '\\') take();
        else part += c;
    }
    take();
    std::string out;
    for (const std::string& p : parts) out += (out.empty() ? "" : "/") + p;
    return out;
}

}  // namespace

std::vector<PayloadFile> CollectPayload(const std::string& folder, const std::optional<std::string>& launch,
                                        bool followLinks) {
    Walk walk;
    walk.followLinks = followLinks;
    int error = 0;
    walk.root = RealPath(folder, &error);
    if (error != 0) throw PackError("cannot read folder " + folder + ": " + std::strerror(error));
    walk.open.push_back(walk.root);
    walk.Folder(walk.root, "");
    std::vector<PayloadFile>& files = walk.files;
    if (files.empty()) throw PackError("the payload folder " + folder + " holds no files");
    if (launch) {
        const std::string target = NormalLaunchPath(*launch);
        const auto found = std::find_if(files.begin(), files.end(), [&](const PayloadFile& f) { return f.name == target; });
        if (target.empty() || found == files.end())
            throw PackError("--launch " + *launch + ": no such file in " + folder);
        for (const auto& f : files)
            if (platform::host::FoldCase(platform::host::Utf16(f.name)) == u".LAUNCH")
                throw PackError("the payload folder holds its own " + f.name + "; drop --launch or remove that file");
        // The line the stub takes: relative to the archive's root, Windows separators.
        std::string line = target;
        std::replace(line.begin(), line.end(), '/', '\\');
        files.push_back({kLaunchName, {}, line});
    }
    std::sort(files.begin(), files.end(), [](const PayloadFile& a, const PayloadFile& b) { return a.name < b.name; });
    return files;
}

}  // namespace sfxtool
