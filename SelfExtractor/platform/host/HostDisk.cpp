// The disk store: a sandbox's files as real Linux files under its folder (tests look at them with
// ordinary file APIs; the tools reach the user's files through links).
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/host/HostInternal.h"

namespace platform::host::detail {

u64 FileTimeOf(int64_t seconds, int64_t nanoseconds) {
    constexpr int64_t kUnixEpochIn1601 = 11644473600;  // seconds from 1601 to 1970
    return static_cast<u64>((seconds + kUnixEpochIn1601) * 10000000 + nanoseconds / 100);
}

namespace {

int Error() { return errno != 0 ? errno : EIO; }

void Fill(const struct stat& st, Entry& entry) {
    entry.kind = S_ISLNK(st.st_mode) ? Entry::Kind::Link
                 : S_ISDIR(st.st_mode) ? Entry::Kind::Folder
                                       : Entry::Kind::File;
    entry.readOnly = !S_ISLNK(st.st_mode) && (st.st_mode & 0222) == 0;
    entry.size = S_ISREG(st.st_mode) ? static_cast<u64>(st.st_size) : 0;
    entry.id = static_cast<u64>(st.st_ino);
    entry.volume = static_cast<u64>(st.st_dev);
    entry.links = static_cast<u32>(st.st_nlink);
    entry.created = FileTimeOf(st.st_ctim.tv_sec, st.st_ctim.tv_nsec);
    entry.accessed = FileTimeOf(st.st_atim.tv_sec, st.st_atim.tv_nsec);
    entry.written = FileTimeOf(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
}

class DiskStore final : public Store {
public:
    using Store::Store;

    int Lstat(const std::string& path, Entry& entry) override {
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0) return Error();
        Fill(st, entry);
        return 0;
    }
    int Stat(const std::string& path, Entry& entry) override {
        struct stat st;
        if (::stat(path.c_str(), &st) != 0) return Error();
        Fill(st, entry);
        return 0;
    }
    int Names(const std::string& folder, std::vector<std::string>& names) override {
        names.clear();
        DIR* dir = ::opendir(folder.c_str());
        if (dir == nullptr) return Error();
        while (dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        ::closedir(dir);
        return 0;
    }
    int MakeFolder(const std::string& path) override {
        return ::mkdir(path.c_str(), 0777) == 0 ? 0 : Error();
    }
    int RemoveFolder(const std::string& path) override {
        return ::rmdir(path.c_str()) == 0 ? 0 : Error();
    }
    int Unlink(const std::string& path) override {
        return ::unlink(path.c_str()) == 0 ? 0 : Error();
    }
    int SetReadOnly(const std::string& path, bool readOnly) override {
        struct stat st;
        if (::stat(path.c_str(), &st) != 0) return Error();
        const mode_t mode = readOnly ? (st.st_mode & 07777 & ~mode_t{0222})
                                     : ((st.st_mode & 0222) != 0 ? st.st_mode & 07777
                                                                 : (st.st_mode & 07777) | S_IWUSR);
        return ::chmod(path.c_str(), mode) == 0 ? 0 : Error();
    }
    int Symlink(const std::string& target, const std::string& path) override {
        return ::symlink(target.c_str(), path.c_str()) == 0 ? 0 : Error();
    }
    int HardLink(const std::string& existing, const std::string& path) override {
        return ::link(existing.c_str(), path.c_str()) == 0 ? 0 : Error();
    }
    int Open(const std::string& path, int flags, int& fd) override {
        fd = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
        return fd >= 0 ? 0 : Error();
    }
    int Read(int fd, u64 at, void* buffer, u32 bytes, u32& done) override {
        done = 0;
        while (done < bytes) {
            const ssize_t got = ::pread(fd, static_cast<char*>(buffer) + done, bytes - done,
                                        static_cast<off_t>(at + done));
            if (got < 0) return Error();
            if (got == 0) break;
            done += static_cast<u32>(got);
        }
        return 0;
    }
    int Write(int fd, u64 at, const void* buffer, u32 bytes, u32& done) override {
        done = 0;
        while (done < bytes) {
            errno = 0;
            const ssize_t put = ::pwrite(fd, static_cast<const char*>(buffer) + done, bytes - done,
                                         static_cast<off_t>(at + done));
            if (put <= 0) return Error();
            done += static_cast<u32>(put);
        }
        return 0;
    }
    int Fstat(int fd, Entry& entry) override {
        struct stat st;
        if (::fstat(fd, &st) != 0) return Error();
        Fill(st, entry);
        return 0;
    }
    std::string PathOf(int fd) override {
        char link[64];
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        char target[4096];
        const ssize_t length = ::readlink(link, target, sizeof target - 1);
        if (length <= 0) return {};
        return std::string(target, static_cast<size_t>(length));
    }
    void Close(int fd) override { ::close(fd); }
    size_t OpenCount() override {
        size_t count = 0;
        if (DIR* dir = ::opendir("/proc/self/fd")) {
            while (::readdir(dir) != nullptr) ++count;
            ::closedir(dir);
        }
        return count;
    }
};

}  // namespace

std::unique_ptr<Store> NewDiskStore(const std::string& root) { return std::make_unique<DiskStore>(root); }

}  // namespace platform::host::detail
