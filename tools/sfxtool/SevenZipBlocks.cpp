#include "sfxtool/SevenZipBlocks.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "sfxtool/Pack.h"
#include "sfxtool/PackInterrupt.h"
#include "sfxtool/SevenZipWriter.h"

namespace sfxtool {

namespace fs = std::filesystem;

namespace {

// What one 7zz takes to compress with a dictionary of `dictionary` bytes: bt4 about 11.5 times
// the dictionary, hc4 about 7.5 times, plus its buffers; with room.
uint64_t CompressorMemory(uint64_t dictionary, bool fast) { return (fast ? 8 : 12) * dictionary + (32ull << 20); }

// The settings of every folder: LZMA (its stream starts with the zero byte the stub's locator
// looks for; BCJ2's first packed stream is its LZMA-coded main stream) with the folder's
// dictionary, behind x86 BCJ2 when the folder holds x86/x64 executables (smaller than BCJ on code:
// calls and jumps go to streams of their own), solid, files grouped by type (-mqs), an LZMA-packed
// plain header, no times or attributes stored. --fast: hc4 and fb=32. The names come from a list
// file (WriteNameList). Progress goes to stdout (-bsp1), errors to stderr, nothing else.
std::vector<std::string> CompressArguments(const std::string& sevenZip, bool executables, unsigned threads,
                                           uint64_t dictionary, bool fast) {
    const std::string lzma = "-m0=LZMA:d=" + std::to_string(dictionary >> 10) + "k" +
                             (fast ? ":fb=32:mf=hc4" : ":fb=64:mf=bt4") + ":lc=3:lp=0:pb=2";
    return {sevenZip, "a", "-t7z", lzma,
            executables ? "-mf=BCJ2" : "-mf=off",
            "-ms=on", "-mqs=on", "-mmt=" + std::to_string(threads),
            "-mhc=on", "-mhe=off",
            "-mtm=off", "-mtc=off", "-mta=off", "-mtr=off",
            "-spd", "-scsUTF-8", "-sccUTF-8", "-bso0", "-bsp1", "-y"};
}

// Starts a program in `folder` with stdin from /dev/null, stdout into a pipe whose reading end it
// returns in `output`, and stderr into `log`. Returns its pid, or -1. The child is killed by the
// interrupt clean-up (PackInterrupt.h) until Wait has seen it end.
pid_t Start(const std::vector<std::string>& argv, const std::string& folder, const std::string& log, int* output) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    const pid_t pid = ForkRegisteredChild();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return -1;
    }
    if (pid == 0) {
        if (chdir(folder.c_str()) != 0) _exit(126);
        const int in = open("/dev/null", O_RDONLY);
        const int err = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || err < 0) _exit(126);
        dup2(in, 0);
        dup2(fds[1], 1);
        dup2(err, 2);
        setenv("LC_ALL", "C.UTF-8", 1);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(fds[1]);
    *output = fds[0];
    return pid;
}

// Waits for the child to end, takes it off the clean-up's list while it is still a zombie (its pid
// cannot be reused before it is reaped), then reaps it.
int Wait(pid_t pid) {
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0) {
        if (errno != EINTR) break;
    }
    ChildEnded(pid);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string LastLines(const std::string& path, size_t count) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(line);
    std::string out;
    for (size_t i = lines.size() > count ? lines.size() - count : 0; i < lines.size(); ++i)
        out += (out.empty() ? "" : " | ") + lines[i];
    return out;
}

void CheckExit(int rc, const std::string& sevenZip, const std::string& log) {
    if (rc == 127 || rc < 0) throw PackError("cannot run " + sevenZip + " (Debian package 7zip)");
    if (rc != 0) throw PackError(sevenZip + " failed (exit " + std::to_string(rc) + "): " + LastLines(log, 3));
}

uint64_t AvailableMemory() {
    std::ifstream in("/proc/meminfo");
    for (std::string key; in >> key;) {
        uint64_t kib = 0;
        in >> kib;
        if (key == "MemAvailable:") return kib << 10;
        in.ignore(1 << 10, '\n');
    }
    return 0;
}

// The names 7zz takes from a list file (-i@FILE), whatever their number and length: one a line,
// in quotes, which keep the leading spaces and tabs 7zz trims from a line (a name holds no line
// break: pack refuses control characters). -spd takes them literally. Returns the file's path.
std::string WriteNameList(const std::vector<std::string>& names, const std::string& path) {
    std::ofstream list(path, std::ios::binary | std::ios::trunc);
    for (const auto& n : names) list << '"' << n << "\"\n";
    list.close();
    if (!list) throw PackError("cannot write " + path);
    return path;
}

// A 7zz at work on one block; stopped and reaped when still running as the pack unwinds.
struct Compressor {
    size_t block = 0;
    pid_t pid = -1;
    int output = -1;
    int percent = 0;
    std::string tail;  // the end of its progress output, for a percentage cut between reads
};

struct Compressors {
    std::vector<Compressor> running;
    ~Compressors() {
        for (const Compressor& c : running) {
            kill(c.pid, SIGTERM);
            Wait(c.pid);
            close(c.output);
        }
    }
};

}  // namespace

CodedHeader LzmaHeader(const std::string& plain, const std::string& sevenZip, const std::string& work) {
    const std::string folder = work + "/header";
    fs::create_directories(folder);
    {
        std::ofstream o(folder + "/h", std::ios::binary | std::ios::trunc);
        o << plain;
        if (!o) throw PackError("cannot write " + folder + "/h");
    }
    const std::vector<std::string> argv = {
        sevenZip, "a", "-t7z", "-m0=LZMA:d=1m:fb=273:mf=bt2:lc=3:lp=0:pb=2", "-mf=off", "-mmt=1",
        "-mhc=off", "-mtm=off", "-mtc=off", "-mta=off", "-mtr=off", "-bso0", "-bsp0", "-y", "--", "h.7z", "h"};
    const std::string log = folder + "/7zz.log";
    int output = -1;
    const pid_t pid = Start(argv, folder, log, &output);
    if (pid < 0) throw PackError("cannot run " + sevenZip + ": " + std::strerror(errno));
    char buf[4096];
    for (ssize_t n = 1; n != 0;) {
        n = read(output, buf, sizeof buf);
        if (n < 0 && errno != EINTR) break;
    }
    close(output);
    CheckExit(Wait(pid), sevenZip, log);
    SevenZipLayout layout;
    try {
        layout = ReadSevenZipLayout(folder + "/h.7z");
    } catch (const std::runtime_error& e) {
        throw PackError(std::string("cannot read the header's archive: ") + e.what());
    }
    const auto& f = layout.folders;
    if (f.size() != 1 || f[0].packSizes.size() != 1 || f[0].record.size() != 11 ||
        f[0].record.compare(0, 7, "\x01\x23\x03\x01\x01\x05\x5D") != 0)
        throw PackError(sevenZip + " did not code the header with LZMA as asked");
    std::ifstream in(folder + "/h.7z", std::ios::binary);
    in.seekg(static_cast<std::streamoff>(f[0].packOffset));
    CodedHeader coded{f[0].record, std::string(f[0].packSizes[0], '\0')};
    in.read(coded.stream.data(), static_cast<std::streamsize>(coded.stream.size()));
    if (static_cast<size_t>(in.gcount()) != coded.stream.size()) throw PackError("cannot read the header's archive");
    return coded;
}

uint64_t ParseByteSize(const std::string& text) {
    size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
    const std::string unit = text.substr(digits);
    unsigned shift = 0;
    if (unit.empty()) shift = 0;
    else if (unit == "K" || unit == "k" || unit == "KiB") shift = 10;
    else if (unit == "M" || unit == "m" || unit == "MiB") shift = 20;
    else if (unit == "G" || unit == "g" || unit == "GiB") shift = 30;
    else digits = 0;
    if (digits == 0 || digits > 19)
        throw PackError("not a size: \"" + text + "\" (bytes, or a number with K, M or G)");
    const uint64_t value = std::stoull(text.substr(0, digits));
    if (value > (UINT64_MAX >> shift)) throw PackError("size too large: " + text);
    return value << shift;
}

std::vector<size_t> BlockStarts(const std::vector<uint64_t>& sizes, uint64_t blockSize) {
    std::vector<size_t> starts;
    uint64_t held = 0;
    for (size_t i = 0; i < sizes.size(); ++i) {
        const bool full = held >= blockSize || (sizes[i] > blockSize && held > 0);
        if (i == 0 || (blockSize != 0 && full)) {
            starts.push_back(i);
            held = 0;
        }
        held += sizes[i];
    }
    return starts;
}

bool TypeOrderLess(const std::string& a, const std::string& b) {
    struct Key {
        std::string extension;
        std::string last;
    };
    const auto key = [](const std::string& name) {
        Key k;
        const size_t slash = name.find_last_of("/\\");
        k.last = name.substr(slash == std::string::npos ? 0 : slash + 1);
        const size_t dot = k.last.rfind('.');
        if (dot != std::string::npos) k.extension = k.last.substr(dot + 1);
        for (char& c : k.extension) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        return k;
    };
    const Key ka = key(a), kb = key(b);
    if (ka.extension != kb.extension) return ka.extension < kb.extension;
    if (ka.last != kb.last) return ka.last < kb.last;
    return a < b;
}

uint64_t DictionaryFor(uint64_t bytes, bool fast) {
    const uint64_t cap = fast ? kFastDictionary : kMaxDictionary;
    uint64_t d = 64u << 10;
    while (d < bytes && d < cap) d = (d & (d - 1)) == 0 ? d / 2 * 3 : d / 3 * 4;
    return std::min(d, cap);
}

unsigned Processors() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return static_cast<unsigned>(CPU_COUNT(&set));
    const long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<unsigned>(n) : 1;
}

void CompressBlocks(const std::vector<SevenZipBlock>& blocks, const std::string& sevenZip, unsigned jobs, bool fast,
                    const std::string& stage, const std::string& work, const std::string& archivePath,
                    ProgressMeter& meter) {
    if (blocks.empty()) throw PackError("nothing to compress");
    jobs = std::max(jobs, 1u);
    const bool one = blocks.size() == 1;
    auto archiveOf = [&](size_t k) { return one ? archivePath : work + "/part-" + std::to_string(k) + ".7z"; };
    auto logOf = [&](size_t k) { return work + "/7zz-" + std::to_string(k) + ".log"; };

    // The largest blocks first, so that the last to finish is a small one. Up to `jobs` 7zz at
    // once, each with two threads unless `jobs` is 1: LZMA's match finder on a thread of its own
    // gives the same bytes, and 7zz's LZMA then takes about half the time on about one core's CPU.
    std::vector<size_t> order(blocks.size());
    for (size_t k = 0; k < order.size(); ++k) order[k] = k;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return blocks[a].bytes > blocks[b].bytes; });
    const unsigned threads = jobs >= 2 ? 2 : 1;
    uint64_t largest = 0;
    for (const SevenZipBlock& b : blocks) largest = std::max(largest, b.bytes);
    const uint64_t each = CompressorMemory(DictionaryFor(largest, fast), fast);
    const uint64_t memory = AvailableMemory();
    const size_t maxRunning = std::min<uint64_t>(jobs, memory ? std::max<uint64_t>(1, memory / each) : jobs);
    std::vector<uint64_t> done(blocks.size(), 0);
    Compressors compressors;
    size_t next = 0;
    while (next < order.size() || !compressors.running.empty()) {
        while (next < order.size() && compressors.running.size() < maxRunning) {
            const size_t k = order[next];
            std::vector<std::string> argv =
                CompressArguments(sevenZip, blocks[k].executables, threads, DictionaryFor(blocks[k].bytes, fast), fast);
            argv.push_back("-i@" + WriteNameList(blocks[k].names, work + "/files-" + std::to_string(k) + ".txt"));
            argv.push_back("--");
            argv.push_back(archiveOf(k));
            Compressor c;
            c.block = k;
            c.pid = Start(argv, stage, logOf(k), &c.output);
            if (c.pid < 0) throw PackError("cannot run " + sevenZip + ": " + std::strerror(errno));
            compressors.running.push_back(c);
            ++next;
        }
        std::vector<pollfd> fds;
        for (const Compressor& c : compressors.running) fds.push_back({c.output, POLLIN, 0});
        if (poll(fds.data(), fds.size(), 250) < 0 && errno != EINTR) throw PackError(std::string("poll: ") + std::strerror(errno));
        for (size_t i = fds.size(); i-- > 0;) {
            if (fds[i].revents == 0) continue;
            Compressor& c = compressors.running[i];
            char buf[4096];
            const ssize_t n = read(c.output, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n > 0) {
                c.tail.append(buf, static_cast<size_t>(n));
                const int percent = LastPercent(c.tail);
                if (percent >= 0) c.percent = std::min(percent, 100);
                if (c.tail.size() > 16) c.tail.erase(0, c.tail.size() - 16);
                continue;
            }
            const Compressor finished = c;
            compressors.running.erase(compressors.running.begin() + static_cast<std::ptrdiff_t>(i));
            close(finished.output);
            CheckExit(Wait(finished.pid), sevenZip, logOf(finished.block));
            done[finished.block] = blocks[finished.block].bytes;
        }
        uint64_t bytes = 0;
        for (const uint64_t d : done) bytes += d;
        for (const Compressor& c : compressors.running) bytes += blocks[c.block].bytes * static_cast<uint64_t>(c.percent) / 100;
        meter.Update(bytes);
    }
    if (one) return;

    std::vector<SevenZipLayout> parts;
    try {
        for (size_t k = 0; k < blocks.size(); ++k) parts.push_back(ReadSevenZipLayout(archiveOf(k)));
        WriteSevenZip(JoinLayouts(parts), [&](const std::string& plain) { return LzmaHeader(plain, sevenZip, work); },
                      archivePath);
    } catch (const std::runtime_error& e) {
        if (dynamic_cast<const PackError*>(&e)) throw;
        throw PackError(std::string("cannot join the folders: ") + e.what());
    }
}

}  // namespace sfxtool
