#include "sfxtool/PackInterrupt.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>

namespace sfxtool {

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr size_t kMaxChildren = 256;
constexpr size_t kMaxThreads = 512;

// Everything the handler reads: fixed buffers and atomics only.
std::atomic<pid_t> g_owner{0};           // the packing process; 0 while no guard is installed
std::atomic<bool> g_claimed{false};      // a handler has begun the clean-up
std::atomic<int> g_frozen{0};            // threads parked by the freeze handler
std::atomic<pid_t> g_children[kMaxChildren];
std::atomic<bool> g_folderSet{false};
char g_folder[PATH_MAX];
char g_out[PATH_MAX];
int g_freezeSignal = 0;
struct sigaction g_previous[3];
struct sigaction g_previousFreeze;
bool g_installed[3];

void Say(const char* text) {
    const ssize_t ignored = write(STDERR_FILENO, text, strlen(text));
    (void)ignored;
}

void Pause(long nanoseconds) {
    timespec t{0, nanoseconds};
    nanosleep(&t, nullptr);
}

// Removes everything below the open folder `fd` (closed here), then nothing else; no allocation.
void EmptyFolder(int fd, int depth) {
    alignas(8) char buffer[2048];
    for (bool again = true; again;) {
        again = false;
        if (lseek(fd, 0, SEEK_SET) != 0) break;
        for (;;) {
            const ssize_t n = getdents64(fd, buffer, sizeof buffer);
            if (n <= 0) break;
            for (ssize_t at = 0; at < n;) {
                const auto* entry = reinterpret_cast<const struct dirent64*>(buffer + at);
                at += entry->d_reclen;
                const char* name = entry->d_name;
                if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
                if (unlinkat(fd, name, 0) == 0) {
                    again = true;
                    continue;
                }
                if (depth >= 200) continue;
                const int child = openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (child < 0) continue;
                EmptyFolder(child, depth + 1);
                if (unlinkat(fd, name, AT_REMOVEDIR) == 0) again = true;
            }
        }
    }
    close(fd);
}

void RemoveFolder(const char* path) {
    const int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) EmptyFolder(fd, 0);
    rmdir(path);
}

void OnFreeze(int) {
    g_frozen.fetch_add(1);
    for (;;) pause();
}

// Parks every other thread of the process in OnFreeze, and waits (at most about two seconds) until
// each has arrived there.
void FreezeOtherThreads() {
    pid_t signalled[kMaxThreads];
    size_t count = 0;
    const pid_t self = gettid();
    for (int pass = 0; pass < 3; ++pass) {
        const int fd = open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return;
        alignas(8) char buffer[2048];
        bool fresh = false;
        for (ssize_t n; (n = getdents64(fd, buffer, sizeof buffer)) > 0;) {
            for (ssize_t at = 0; at < n;) {
                const auto* entry = reinterpret_cast<const struct dirent64*>(buffer + at);
                at += entry->d_reclen;
                pid_t tid = 0;
                const char* c = entry->d_name;
                for (; *c >= '0' && *c <= '9'; ++c) tid = tid * 10 + (*c - '0');
                if (*c != 0 || tid <= 0 || tid == self) continue;
                bool known = false;
                for (size_t i = 0; i < count; ++i) known = known || signalled[i] == tid;
                if (known || count == kMaxThreads) continue;
                if (tgkill(getpid(), tid, g_freezeSignal) == 0) {
                    signalled[count++] = tid;
                    fresh = true;
                }
            }
        }
        close(fd);
        for (int wait = 0; wait < 2000 && g_frozen.load() < static_cast<int>(count); ++wait) Pause(1000000);
        if (!fresh) return;  // a pass that found no new thread: none was being created
    }
}

void OnSignal(int signal) {
    if (getpid() != g_owner.load()) _exit(128 + signal);  // a child between fork and exec
    if (g_claimed.exchange(true)) {
        for (;;) pause();  // another thread cleans up and ends the process
    }
    FreezeOtherThreads();
    for (auto& slot : g_children) {
        const pid_t child = slot.load();
        if (child <= 0) continue;
        kill(child, SIGKILL);
        while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    if (g_folderSet.load()) RemoveFolder(g_folder);
    Say("sfxtool: pack: stopped by ");
    Say(signal == SIGINT ? "SIGINT" : signal == SIGTERM ? "SIGTERM" : "SIGHUP");
    Say(": its work folder removed, ");
    Say(g_out);
    Say(" not written\n");
    _exit(128 + signal);
}

}  // namespace

PackInterruptGuard::PackInterruptGuard(const std::string& out) {
    const size_t n = std::min(out.size(), sizeof g_out - 1);
    std::memcpy(g_out, out.data(), n);
    g_out[n] = 0;
    g_claimed = false;
    g_frozen = 0;
    g_folderSet = false;
    for (auto& slot : g_children) slot = 0;
    g_freezeSignal = SIGRTMIN + 2;
    struct sigaction freeze{};
    freeze.sa_handler = OnFreeze;
    sigfillset(&freeze.sa_mask);
    sigaction(g_freezeSignal, &freeze, &g_previousFreeze);
    g_owner = getpid();
    struct sigaction action{};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    for (const int s : kSignals) sigaddset(&action.sa_mask, s);
    for (size_t i = 0; i < 3; ++i) {
        g_installed[i] = false;
        struct sigaction current{};
        if (sigaction(kSignals[i], nullptr, &current) != 0 || current.sa_handler == SIG_IGN) continue;
        g_installed[i] = sigaction(kSignals[i], &action, &g_previous[i]) == 0;
    }
}

PackInterruptGuard::~PackInterruptGuard() {
    for (size_t i = 0; i < 3; ++i)
        if (g_installed[i]) sigaction(kSignals[i], &g_previous[i], nullptr);
    sigaction(g_freezeSignal, &g_previousFreeze, nullptr);
    g_owner = 0;
    g_folderSet = false;
}

bool InterruptRemoves(const std::string& folder) {
    g_folderSet = false;
    if (folder.empty()) return true;
    if (folder.size() >= sizeof g_folder) return false;
    std::memcpy(g_folder, folder.c_str(), folder.size() + 1);
    g_folderSet = true;
    return true;
}

pid_t ForkRegisteredChild() {
    sigset_t held, previous;
    sigemptyset(&held);
    for (const int s : kSignals) sigaddset(&held, s);
    pthread_sigmask(SIG_BLOCK, &held, &previous);
    const pid_t pid = fork();
    if (pid > 0) {
        for (auto& slot : g_children) {
            pid_t empty = 0;
            if (slot.compare_exchange_strong(empty, pid)) break;
        }
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return pid;
}

void ChildEnded(pid_t pid) {
    for (auto& slot : g_children) {
        pid_t mine = pid;
        if (slot.compare_exchange_strong(mine, 0)) return;
    }
}

}  // namespace sfxtool
