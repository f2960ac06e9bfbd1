#include "sfxtool/Pack.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "platform/host/host.h"
#include "sfxtool/PackInterrupt.h"
#include "sfxtool/PackProgress.h"
#include "sfxtool/SevenZipReader.h"
#include "sfxtool/ZipWriter.h"

namespace sfxtool {

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw PackError("cannot read " + path);
    std::ostringstream s;
    s << in.rdbuf();
    if (in.bad()) throw PackError("cannot read " + path);
    return s.str();
}

// A folder that is removed with everything in it when the pack ends, however it ends.
struct WorkFolder {
    std::string path;
    explicit WorkFolder(const std::string& parent) {
        std::string pattern = (parent.empty() ? std::string(".") : parent) + "/.sfxtool-XXXXXX";
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back(0);
        if (!mkdtemp(buf.data())) throw PackError("cannot create a work folder in " + parent + ": " + std::strerror(errno));
        path = fs::absolute(buf.data()).string();
        InterruptRemoves(path);
    }
    ~WorkFolder() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
        InterruptRemoves("");
    }
};

// True for an x86 or x64 Windows executable image (the files the BCJ filter is for).
bool IsX86Executable(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string head(4096, '\0');
    in.read(head.data(), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<size_t>(in.gcount()));
    if (head.size() < 0x40 || head[0] != 'M' || head[1] != 'Z') return false;
    const uint32_t pe = static_cast<uint8_t>(head[0x3C]) | static_cast<uint8_t>(head[0x3D]) << 8 |
                        static_cast<uint8_t>(head[0x3E]) << 16 | static_cast<uint32_t>(static_cast<uint8_t>(head[0x3F])) << 24;
    if (pe + 6 > head.size() || head.compare(pe, 4, std::string("PE\0\0", 4)) != 0) return false;
    const uint32_t machine = static_cast<uint8_t>(head[pe + 4]) | static_cast<uint8_t>(head[pe + 5]) << 8;
    return machine == 0x014C || machine == 0x8664;
}

void SetTime(const std::string& path, std::time_t epoch) {
    struct timespec times[2];
    times[0].tv_sec = times[1].tv_sec = epoch;
    times[0].tv_nsec = times[1].tv_nsec = 0;
    utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

void CopyStream(std::ifstream& in, std::ofstream& out) {
    std::vector<char> buf(1 << 20);
    while (in) {
        in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
        out.write(buf.data(), in.gcount());
    }
}

std::string ArchiveKindAtStart(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    char head[6] = {};
    in.read(head, 6);
    if (in.gcount() >= 6 && std::memcmp(head, "7z\xBC\xAF\x27\x1C", 6) == 0) return "7z";
    if (in.gcount() >= 4 && std::memcmp(head, "PK\x03\x04", 4) == 0) return "zip";
    return "";
}

// A stub is an image and nothing after it. Bytes after it are an archive (the file is an
// installer: the stub's locator would find that archive before the one pack appends) or a
// certificate table (the stub is signed: signing comes after packing).
void CheckStubImage(const std::string& path, const std::string& bytes) {
    const PeLayout layout = ParsePeLayout(bytes);
    if (!layout.isPe) throw PackError("the stub " + path + " is not a Windows executable");
    if (bytes.size() <= layout.imageEnd) return;
    const std::string extra = std::to_string(bytes.size() - layout.imageEnd) + " bytes after its image (which ends at "
                              "offset " + std::to_string(layout.imageEnd) + ")";
    if (layout.certificateTableOffset >= layout.imageEnd && layout.certificateTableSize != 0 &&
        layout.certificateTableOffset + layout.certificateTableSize == bytes.size())
        throw PackError("the stub " + path + " is signed: it carries " + extra + ", its certificate table; pack with "
                        "the unsigned stub, then sign the installer");
    throw PackError("the stub " + path + " carries " + extra + ": it looks like an installer (a stub with an archive "
                    "appended), whose archive the stub would find instead of the one pack appends; give the stub "
                    "itself (sfxtool --version names the stubs the tool carries)");
}

}  // namespace

std::time_t EntryTime() {
    const char* text = std::getenv("SOURCE_DATE_EPOCH");
    if (!text || !*text) return 315532800;
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < 0)
        throw PackError(std::string("SOURCE_DATE_EPOCH is not a non-negative number of seconds: ") + text);
    return static_cast<std::time_t>(value);
}

void BuildZip(const std::vector<PayloadFile>& files, std::time_t epoch, const std::string& archivePath,
              uint64_t baseOffset, bool terminalProgress) {
    std::ofstream out(archivePath, std::ios::binary | std::ios::trunc);
    if (!out) throw PackError("cannot write " + archivePath);
    uint64_t total = 0, done = 0;
    std::error_code ec;
    for (const auto& f : files) total += f.source.empty() ? f.content.size() : fs::file_size(f.source, ec);
    ProgressMeter meter(terminalProgress ? &std::cerr : nullptr, total);
    try {
        ZipWriter writer(out, DosDateTime(epoch), baseOffset);
        for (const auto& f : files) {
            const std::string data = f.source.empty() ? f.content : ReadAll(f.source);
            writer.Add(f.name, data);
            meter.Update(done += data.size());
        }
        writer.Finish();
        meter.Finish();
    } catch (const ZipLimitError& e) {
        throw PackError(std::string("cannot pack as ZIP: ") + e.what());
    } catch (const std::runtime_error& e) {
        throw PackError(std::string("cannot write the ZIP archive: ") + e.what());
    }
    out.close();
    if (!out) throw PackError("cannot write " + archivePath);
}

void BuildSevenZip(const std::vector<PayloadFile>& files, const PackOptions& options, const std::string& workFolder,
                   const std::string& archivePath) {
    const std::time_t epoch = options.epoch;
    const std::string& sevenZip = options.sevenZip;
    // Stage the files with fixed modes and times, so that nothing of the source folder's history
    // can reach the archive, and hand 7zz an explicit, sorted list.
    const std::string stage = workFolder + "/stage";
    fs::create_directories(stage);
    // Files with data go into folders by the block rule, each with BCJ when it holds an x86 or
    // x64 executable; files without data (which no folder holds) go with the first.
    std::vector<uint64_t> sizes;
    std::vector<const PayloadFile*> data;
    std::vector<std::string> empty;
    std::vector<bool> executable;
    for (const auto& f : files) {
        const fs::path target = fs::path(stage) / f.name;
        std::error_code ec;
        fs::create_directories(target.parent_path(), ec);
        if (f.source.empty()) {
            std::ofstream o(target, std::ios::binary | std::ios::trunc);
            o << f.content;
            if (!o) throw PackError("cannot stage " + f.name);
        } else {
            if (!fs::copy_file(f.source, target, fs::copy_options::overwrite_existing, ec))
                throw PackError("cannot stage " + f.name + ": " + ec.message());
        }
        chmod(target.c_str(), 0644);
        SetTime(target.string(), epoch);
        const uint64_t size = fs::file_size(target, ec);
        if (ec) throw PackError("cannot stage " + f.name + ": " + ec.message());
        if (size == 0) {
            empty.push_back(f.name);
            continue;
        }
        sizes.push_back(size);
        data.push_back(&f);
        executable.push_back(!f.source.empty() && IsX86Executable(f.source));
    }
    for (auto it = fs::recursive_directory_iterator(stage); it != fs::recursive_directory_iterator(); ++it)
        if (it->is_directory()) {
            chmod(it->path().c_str(), 0755);
            SetTime(it->path().string(), epoch);
        }
    SetTime(stage, epoch);

    // The block rule takes the files grouped by type: similar files share a folder.
    std::vector<size_t> order(data.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return TypeOrderLess(data[a]->name, data[b]->name); });
    {
        std::vector<uint64_t> s;
        std::vector<const PayloadFile*> d;
        std::vector<bool> x;
        for (const size_t i : order) {
            s.push_back(sizes[i]);
            d.push_back(data[i]);
            x.push_back(executable[i]);
        }
        sizes.swap(s);
        data.swap(d);
        executable.swap(x);
    }
    std::vector<SevenZipBlock> blocks;
    const std::vector<size_t> starts = BlockStarts(sizes, options.blockSize);
    for (size_t b = 0; b < std::max<size_t>(starts.size(), 1); ++b) {
        SevenZipBlock block;
        if (b == 0) block.names = empty;
        const size_t end = b + 1 < starts.size() ? starts[b + 1] : data.size();
        for (size_t i = starts.empty() ? 0 : starts[b]; i < end; ++i) {
            block.names.push_back(data[i]->name);
            block.bytes += sizes[i];
            block.executables = block.executables || executable[i];
        }
        blocks.push_back(std::move(block));
    }
    uint64_t total = 0;
    for (const uint64_t s : sizes) total += s;
    ProgressMeter meter(options.terminalProgress ? &std::cerr : nullptr, total);
    CompressBlocks(blocks, sevenZip, options.jobs ? options.jobs : Processors(), options.fast, stage, workFolder,
                   archivePath, meter);
    meter.Finish();

    // Every file, and nothing else, must have reached the archive under its own name.
    const SevenZipListing listing = ListSevenZip(archivePath, 0);
    std::vector<std::string> got;
    for (const auto& e : listing.entries)
        if (!e.isDir) got.push_back(EncodeUtf8(e.name));
    std::vector<std::string> want;
    for (const auto& f : files) want.push_back(f.name);
    std::sort(got.begin(), got.end());
    if (listing.openResult != 0 || got != want)
        throw PackError(sevenZip + " did not store the folder's files as named: use --format zip");
}

Report Pack(const PackOptions& o) {
    PackInterruptGuard interrupts(o.out);  // outlives the work folder
    IdentityOptions identity = o.identity;
    if (o.options.Any()) identity.optionsRecord = BuildOptionsRecord(o.options);  // none: the stub's defaults
    struct stat st{};
    if (stat(o.stub.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) throw PackError("cannot read the stub " + o.stub);
    struct stat outStat{};
    if (stat(o.out.c_str(), &outStat) == 0 && outStat.st_dev == st.st_dev && outStat.st_ino == st.st_ino)
        throw PackError("the output " + o.out + " is the stub " + o.stub + " itself (links resolved): pack never "
                        "writes over its stub; name another output");
    const std::string stubBytes = ReadAll(o.stub);
    CheckStubImage(o.stub, stubBytes);
    std::string image;
    try {
        image = InstallerImage(stubBytes, identity);
    } catch (const IdentityError& e) {
        throw PackError(e.what());
    }
    if (stat(o.payload.c_str(), &st) != 0) throw PackError("cannot read the payload " + o.payload);
    const bool folder = S_ISDIR(st.st_mode);

    // The folder's files are collected before the work folder exists, which may lie inside it.
    std::vector<PayloadFile> files;
    if (folder) files = CollectPayload(o.payload, o.launch, o.followLinks);
    const std::string outDir = fs::path(o.out).parent_path().string();
    WorkFolder work(outDir.empty() ? "." : outDir);
    std::string archive;
    if (folder) {
        archive = work.path + "/payload." + o.format;
        if (o.format == "zip") BuildZip(files, o.epoch, archive, image.size(), o.terminalProgress);
        else BuildSevenZip(files, o, work.path, archive);
    } else {
        archive = o.payload;
        const std::string kind = ArchiveKindAtStart(archive);
        if (kind.empty()) throw PackError(o.payload + " is neither a 7z nor a ZIP archive");
        if (o.formatGiven && kind != o.format)
            throw PackError(o.payload + " is a " + kind + " archive, not " + o.format);
    }

    // Image and archive into a temporary file beside OUT; verified before it takes OUT's name.
    const std::string temp = work.path + "/out.exe";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        std::ifstream in(archive, std::ios::binary);
        if (!out || !in) throw PackError("cannot write " + temp);
        out.write(image.data(), static_cast<std::streamsize>(image.size()));
        CopyStream(in, out);
        out.flush();
        if (!out || in.bad()) throw PackError("cannot write the output next to " + o.out);
    }
    // The checksum of the file as shipped (signing computes it again over the signed file).
    try {
        UpdateFileChecksum(temp);
    } catch (const PeError& e) {
        throw PackError(e.what());
    }
    if (o.terminalProgress) std::cerr << "verifying: a whole run of the stub over the installer\n" << std::flush;
    Report report = Analyse(temp, o.stagingLength, work.path);
    report.path = o.out;
    // What verify only warns about, pack refuses: a name the stub would create otherwise.
    for (Problem& p : report.problems)
        if (p.code == "name-trailing-dot") p.warning = false;
    if (ErrorCount(report) != 0) return report;  // the work folder and the temporary file go

    const int fd = open(temp.c_str(), O_RDONLY);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
    const mode_t mask = umask(0);
    umask(mask);
    chmod(temp.c_str(), 0777 & ~mask);
    if (std::rename(temp.c_str(), o.out.c_str()) != 0)
        throw PackError("cannot write " + o.out + ": " + std::strerror(errno));
    return report;
}

}  // namespace sfxtool
