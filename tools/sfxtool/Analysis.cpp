#include "sfxtool/Analysis.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "platform/host/host.h"
#include "sfxtool/SevenZipReader.h"
#include "sfxtool/ZipWalk.h"

namespace sfxtool {
namespace {

constexpr unsigned char kSevenZipSignature[6] = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C};
constexpr unsigned char kZipSignature[4] = {'P', 'K', 3, 4};
constexpr uint32_t kLaunchReadBytes = 260;  // the stub reads at most this much of .launch

std::string Quote(const std::string& s) { return "\"" + s + "\""; }
std::string Hex(uint64_t v) {
    char b[32];
    std::snprintf(b, sizeof b, "0x%llX", static_cast<unsigned long long>(v));
    return b;
}

// The first 7z signature (whatever follows it) or ZIP local header signature at or after `from`.
struct Candidate {
    bool found = false;
    ArchiveKind kind = ArchiveKind::None;
    uint64_t offset = 0;
    int byte32 = -1;  // 7z: the byte 32 bytes after the signature's start (-1: past the end)
};

Candidate ScanFrom(const std::string& path, uint64_t from) {
    Candidate out;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return out;
    constexpr size_t kBlock = 1 << 20;
    constexpr size_t kKeep = 33;
    std::vector<unsigned char> buf(kBlock + kKeep);
    uint64_t base = from;  // file offset of buf[0]
    size_t have = 0;
    if (fseeko(f, static_cast<off_t>(from), SEEK_SET) != 0) { std::fclose(f); return out; }
    for (;;) {
        const size_t n = std::fread(buf.data() + have, 1, kBlock, f);
        have += n;
        const bool atEnd = n == 0;
        const size_t limit = atEnd ? have : (have > kKeep ? have - kKeep : 0);
        for (size_t i = 0; i < limit; ++i) {
            if (i + 6 <= have && std::equal(kSevenZipSignature, kSevenZipSignature + 6, buf.begin() + i)) {
                out = {true, ArchiveKind::SevenZip, base + i, i + 32 < have ? buf[i + 32] : -1};
                std::fclose(f);
                return out;
            }
            if (i + 4 <= have && std::equal(kZipSignature, kZipSignature + 4, buf.begin() + i)) {
                out = {true, ArchiveKind::Zip, base + i, -1};
                std::fclose(f);
                return out;
            }
        }
        if (atEnd) break;
        std::copy(buf.begin() + limit, buf.begin() + have, buf.begin());
        base += limit;
        have -= limit;
    }
    std::fclose(f);
    return out;
}

// A name as Windows resolves it: either separator, trailing dots and spaces of each component
// dropped, case folded. Components are joined with "/".
std::u16string WindowsKey(const std::u16string& name) {
    std::u16string out, part;
    auto flush = [&] {
        while (!part.empty() && (part.back() == u'.' || part.back() == u' ')) part.pop_back();
        if (!part.empty()) {
            if (!out.empty()) out += u'/';
            out += part;
        }
        part.clear();
    };
    for (char16_t c : name) {
        if (c == u'/' || c == u'\\') flush();
        else part += c;
    }
    flush();
    return platform::host::FoldCase(out);
}

bool AllZero(const std::string& path, uint64_t from, uint64_t to) {
    if (to <= from) return true;
    if (to - from > 4096) return false;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    std::string b(to - from, '\1');
    const bool ok = fseeko(f, static_cast<off_t>(from), SEEK_SET) == 0 && std::fread(b.data(), 1, b.size(), f) == b.size();
    std::fclose(f);
    return ok && b.find_first_not_of('\0') == std::string::npos;
}

std::string Plural(uint64_t n, const char* word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

void CheckNames(Report& r) {
    std::map<std::u16string, std::string> files;    // Windows key -> first name
    std::map<std::u16string, std::string> folders;  // keys of folders implied by files
    const bool zip = r.kind == ArchiveKind::Zip;
    for (const EntryView& e : r.entries) {
        if (e.isDir && !zip) continue;  // the 7z extractor skips directory entries unlooked-at
        const std::string name = Quote(e.name);
        if (!NameFitsForStub(r.stagingLength, e.count)) {
            const uint64_t over = uint64_t(r.stagingLength) + e.count + 1 - 259;
            r.problems.push_back({"name-too-long", "entry " + name + " is too long for the stub's path limit at a staging path of " +
                std::to_string(r.stagingLength) + " units (" + std::to_string(e.count) + " units counted): shorten the name by " +
                Plural(over, "character") + " or more"});
        }
        if (!NameIsSafeForStub(e.wide)) {
            r.problems.push_back({"unsafe-name", "entry " + name +
                " has an unsafe name (absolute, with \"..\", \":\" or a device name such as CON); the stub refuses it: rename it"});
            continue;
        }
        bool badCharacter = false;
        for (char16_t c : e.wide)
            badCharacter = badCharacter || c < 0x20 || c == u'<' || c == u'>' || c == u'"' || c == u'|' || c == u'?' || c == u'*';
        if (badCharacter)
            r.problems.push_back({"unsafe-name", "entry " + name +
                " contains a character Windows does not allow in file names (< > \" | ? * or a control character); the stub cannot create it: rename it"});
        if (e.wide.find(u'\\') != std::u16string::npos)
            r.problems.push_back({"unsafe-name", "entry " + name +
                " contains a backslash, which Windows takes for a folder separator that the stub does not create: use \"/\""});
        if (e.isDir) continue;
        const std::u16string key = WindowsKey(e.wide);
        auto [it, fresh] = files.emplace(key, e.name);
        if (!fresh)
            r.problems.push_back({"duplicate-name", "entries " + Quote(it->second) + " and " + name +
                " name the same file on Windows (names compare case-insensitively, trailing dots and spaces dropped); "
                "the stub fails at the second: rename one"});
        for (size_t k = key.find(u'/'); k != std::u16string::npos; k = key.find(u'/', k + 1))
            folders.emplace(key.substr(0, k), e.name);
    }
    for (const auto& [key, name] : files) {
        auto f = folders.find(key);
        if (f != folders.end())
            r.problems.push_back({"duplicate-name", "entry " + Quote(name) + " is a file, but entry " + Quote(f->second) +
                " needs a folder of the same name: rename one"});
    }
}

// The program the stub will run, and whether the archive holds it.
void ResolveLaunch(Report& r, const std::string* launchContent, bool launchPresent) {
    std::set<std::u16string> files, folders;
    for (const EntryView& e : r.entries) {
        if (e.isDir) continue;
        const std::u16string key = WindowsKey(e.wide);
        files.insert(key);
        for (size_t k = key.find(u'/'); k != std::u16string::npos; k = key.find(u'/', k + 1))
            folders.insert(key.substr(0, k));
    }
    if (!launchPresent) {
        r.launchSource = "default";
        r.program = kDefaultInstaller;
        r.programExists = files.count(WindowsKey(u"Orvak ZEB Installer.exe")) != 0;
        if (!r.programExists)
            r.problems.push_back({"no-installer", std::string("the archive holds neither .launch nor \"") + kDefaultInstaller +
                "\" at its root, so the stub has nothing to run: pack with --launch PATH, or add the installer under that name"});
        return;
    }
    r.launchSource = ".launch";
    if (!launchContent) {
        r.problems.push_back({"launch-unreadable", ".launch could not be read from the archive, so the stub cannot tell what to run: repack with sfxtool pack --launch"});
        return;
    }
    std::string bytes = launchContent->substr(0, kLaunchReadBytes);
    if (bytes.empty()) {
        r.problems.push_back({"launch-empty", ".launch is empty; the stub ends with exit code 5: write the installer's path into it (sfxtool pack --launch PATH)"});
        return;
    }
    bytes = bytes.substr(0, bytes.find('\0'));  // the stub converts it as a NUL-terminated string
    std::u16string line = DecodeUtf8(bytes);
    if (line.size() >= 260) {
        r.problems.push_back({"launch-too-long", "the first line of .launch is too long for the stub: shorten the path"});
        return;
    }
    line = line.substr(0, line.find_first_of(u"\r\n"));
    r.program = EncodeUtf8(line);
    if (!line.empty() && line[0] == 0xFEFF) {
        r.problems.push_back({"launch-bom", ".launch starts with a UTF-8 byte-order mark, which the stub takes as part of the name: save it without a BOM (sfxtool pack --launch writes it so)"});
        return;
    }
    // What PathAppendW makes of the line under the staging folder: "." dropped, ".." climbing.
    std::vector<std::u16string> parts;
    std::u16string part;
    bool escapes = false;
    auto take = [&] {
        if (part == u"..") {
            if (parts.empty()) escapes = true;
            else parts.pop_back();
        } else if (!part.empty() && part != u".") {
            parts.push_back(part);
        }
        part.clear();
    };
    for (char16_t c : line) {
        if (c == u'/' || c == u'\\') take();
        else part += c;
    }
    take();
    if (escapes || line.find(u':') != std::u16string::npos) {
        r.problems.push_back({"launch-outside", ".launch names " + Quote(r.program) + ", which lies outside the unpacked archive: name a file inside it"});
        return;
    }
    if (parts.empty()) {
        r.problems.push_back({"launch-empty", "the first line of .launch names no file, so the stub would ask Windows to open the staging folder itself: write the installer's path into it"});
        return;
    }
    std::u16string joined;
    for (const auto& p : parts) joined += (joined.empty() ? u"" : u"/") + p;
    const std::u16string key = WindowsKey(joined);
    r.programExists = files.count(key) != 0;
    if (!r.programExists) {
        if (folders.count(key))
            r.problems.push_back({"launch-folder", ".launch names " + Quote(r.program) + ", a folder, not a program: name the installer file"});
        else
            r.problems.push_back({"launch-missing", ".launch names " + Quote(r.program) + ", which is not in the archive; the stub ends with exit code 5: fix the path given to --launch"});
    }
}

void AnalyseSevenZip(Report& r, const std::string& path) {
    const SevenZipListing listing = ListSevenZip(path, r.offset);
    if (listing.startHeaderRead) {
        r.archiveSize = listing.archiveSize;
        r.archiveEnd = r.offset + listing.archiveSize;
    }
    if (listing.startHeaderRead && listing.versionMajor != 0)
        r.problems.push_back({"7z-version", "the 7z archive has format version " + std::to_string(listing.versionMajor) +
            ".x; the stub reads only version 0.x: repack with sfxtool pack"});
    if (listing.openResult != 0) {
        std::string why = SevenZipResultText(listing.openResult);
        if (listing.openResult == 4)
            why += " (an encrypted header, or a header packed with a method the stub does not decode)";
        r.problems.push_back({"7z-open", "the 7z archive at offset " + std::to_string(r.offset) +
            " does not open in the stub's decoder: " + why + "; nothing would be unpacked: repack with sfxtool pack"});
        return;  // nothing is known of the entries, nor of what the stub would run
    }
    for (size_t i = 0; i < listing.folders.size(); ++i) {
        const SevenZipFolder& f = listing.folders[i];
        FolderView v;
        v.index = static_cast<uint32_t>(i);
        v.chain = CoderChain(f);
        for (const auto& c : f.coders) v.coders.push_back(MethodName(c.methodId));
        v.unpackSize = f.unpackSize;
        v.packSize = f.packSize;
        v.accepted = f.shapeAccepted;
        r.peakMemory = std::max(r.peakMemory, f.unpackSize);
        if (!f.shapeAccepted) {
            std::string why = f.why;
            for (const auto& c : f.coders)
                if (c.methodId == 0x06F10701) why = "it is encrypted (AES)";
            r.problems.push_back({"unsupported-folder", "folder " + std::to_string(i) + " (" + v.chain +
                ") cannot be unpacked by the stub: " + why + "; the stub stops unpacking at its first file: repack with sfxtool pack (LZMA)"});
        }
        r.folders.push_back(std::move(v));
    }
    std::vector<uint32_t> launchIndex;
    for (size_t i = 0; i < listing.entries.size(); ++i) {
        const SevenZipEntry& e = listing.entries[i];
        EntryView v;
        v.wide = e.name;
        v.name = EncodeUtf8(e.name);
        v.count = e.nameUnits;
        v.isDir = e.isDir;
        v.size = e.size;
        v.folder = e.folder;
        if (e.folder >= 0) {
            v.packedSize = e.firstInFolder ? listing.folders[e.folder].packSize : 0;
            v.method = r.folders[e.folder].chain;
        }
        if (!e.isDir && WindowsKey(e.name) == u".launch") launchIndex.push_back(static_cast<uint32_t>(i));
        r.entries.push_back(std::move(v));
    }
    // The first packed stream must begin with the zero byte of an LZMA stream, or the stub's
    // locator passes over the whole archive.
    FILE* f = std::fopen(path.c_str(), "rb");
    int byte32 = -1;
    if (f) {
        if (fseeko(f, static_cast<off_t>(r.offset + 32), SEEK_SET) == 0) byte32 = std::fgetc(f);
        std::fclose(f);
    }
    if (byte32 != 0) {
        std::string first = listing.numPackStreams == 0 ? std::string("the archive has no packed data at all, so its header starts there")
                          : r.folders.empty()          ? std::string("its first packed stream is not an LZMA stream")
                                                       : "its first folder is coded " + r.folders[0].chain;
        r.problems.push_back({"first-stream-not-lzma", "the 7z archive's first packed stream does not start with a zero byte (" +
            first + "), so the stub's locator passes over the archive: repack with sfxtool pack, which codes the first folder with LZMA "
            "(or with 7zz -m0=LZMA instead of the default LZMA2)"});
    }
    bool decodable = r.peakMemory <= kLargestFolderLimit;
    for (const auto& folder : r.folders) decodable = decodable && folder.accepted;
    const std::string* launchContent = nullptr;
    SevenZipDecodeResult decoded;
    if (decodable) {
        decoded = DecodeSevenZip(path, r.offset, launchIndex);
        if (!decoded.complete) {
            const std::string which = decoded.failedEntry >= 0 ? "entry " + Quote(r.entries[decoded.failedEntry].name) : "the archive";
            r.problems.push_back({"7z-data", "the stub's decoder fails on " + which + ": " + decoded.failure +
                "; the stub stops unpacking there: repack with sfxtool pack"});
        }
        for (const auto& [index, data] : decoded.contents)
            if (!launchIndex.empty() && index == launchIndex.front()) launchContent = &data;
    }
    ResolveLaunch(r, launchContent, !launchIndex.empty());
}

void AnalyseZip(Report& r, const std::string& path) {
    const ZipWalkResult walk = WalkZip(path, r.offset, r.fileSize, ".launch");
    r.archiveEnd = walk.archiveEnd;
    r.archiveSize = walk.archiveEnd - r.offset;
    r.peakMemory = walk.peakMemory;
    r.problems.insert(r.problems.end(), walk.problems.begin(), walk.problems.end());
    const std::string* launchContent = nullptr;
    bool launchPresent = false;
    for (size_t i = 0; i < walk.entries.size(); ++i) {
        const ZipEntry& e = walk.entries[i];
        EntryView v;
        bool valid = true;
        v.wide = DecodeUtf8(e.rawName, &valid);
        v.name = EncodeUtf8(v.wide);
        v.count = static_cast<uint32_t>(e.rawName.size());
        v.isDir = e.isDir;
        v.size = e.size;
        v.packedSize = e.packedSize;
        v.method = e.methodName();
        if (!valid)
            r.problems.push_back({"name-not-utf8", "ZIP entry " + Quote(v.name) +
                " has a name that is not valid UTF-8; the stub reads names as UTF-8 only: repack with sfxtool pack"});
        if (!e.isDir && WindowsKey(v.wide) == u".launch" && !launchPresent) {
            launchPresent = true;
            for (const auto& [index, data] : walk.contents)
                if (index == i) launchContent = &data;
        }
        r.entries.push_back(std::move(v));
    }
    if (walk.complete || launchPresent) ResolveLaunch(r, launchContent, launchPresent);
}

}  // namespace

std::u16string DecodeUtf8(const std::string& bytes, bool* valid) {
    std::u16string out;
    bool ok = true;
    for (size_t i = 0; i < bytes.size();) {
        const unsigned char c = bytes[i];
        uint32_t cp = 0;
        size_t n = 0;
        if (c < 0x80) { cp = c; n = 1; }
        else if (c >= 0xC2 && c <= 0xDF) { cp = c & 0x1F; n = 2; }
        else if (c >= 0xE0 && c <= 0xEF) { cp = c & 0x0F; n = 3; }
        else if (c >= 0xF0 && c <= 0xF4) { cp = c & 0x07; n = 4; }
        bool good = n != 0 && i + n <= bytes.size();
        for (size_t k = 1; good && k < n; ++k) {
            const unsigned char t = bytes[i + k];
            if ((t & 0xC0) != 0x80) good = false;
            cp = cp << 6 | (t & 0x3F);
        }
        if (good && ((n == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF))))
            good = false;
        if (!good) {
            ok = false;
            out += char16_t(0xFFFD);
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += char16_t(0xD800 + (cp >> 10));
            out += char16_t(0xDC00 + (cp & 0x3FF));
        } else {
            out += char16_t(cp);
        }
        i += n;
    }
    if (valid) *valid = ok;
    return out;
}

std::string EncodeUtf8(const std::u16string& text) { return platform::host::Utf8(text); }

Report Analyse(const std::string& path, uint32_t stagingLength) {
    Report r;
    r.path = path;
    r.stagingLength = stagingLength;
    struct stat st{};
    if (stat(path.c_str(), &st) != 0) throw InputError("cannot read " + path + ": no such file");
    if (!S_ISREG(st.st_mode)) throw InputError(path + " is not a regular file");
    if (FILE* f = std::fopen(path.c_str(), "rb")) std::fclose(f);
    else throw InputError("cannot read " + path);
    r.fileSize = static_cast<uint64_t>(st.st_size);
    if (r.fileSize >= (1ull << 32))
        r.problems.push_back({"file-too-large", "the file is 4 GiB or larger; the stub's positions are 32-bit: make the payload smaller"});
    r.pe = ReadPeLayout(path);
    const uint64_t imageEnd = r.pe.isPe ? r.pe.imageEnd : 0;
    r.identity = ReadIdentity(path);
    IdentityProblems(r.identity, r.problems);
    const auto inResources = [&](uint64_t at) {  // reported by IdentityProblems, with the resource named
        return at >= r.identity.sectionOffset && at < r.identity.sectionOffset + r.identity.sectionSize;
    };

    r.located = LocateAsStub(path);
    const Candidate candidate = ScanFrom(path, imageEnd);
    const bool stubFound = !r.located.ended && r.located.kind != ArchiveKind::None;

    if (r.located.ended)
        r.problems.push_back({"no-archive", "the file is too short for the stub's locator (under 33 bytes); the stub ends with exit code 5: pack an archive onto the stub"});
    if (stubFound && r.located.offset < imageEnd && !inResources(r.located.offset))
        r.problems.push_back({"false-match", std::string("the stub's locator finds a false ") + KindName(r.located.kind) + " signature at offset " +
            std::to_string(r.located.offset) + ", inside the stub's own image (which ends at " + std::to_string(imageEnd) +
            "), before the real archive: rebuild the stub so that its image holds no archive signature"});

    if (stubFound && r.located.offset >= imageEnd && !(candidate.found && candidate.offset < r.located.offset)) {
        r.found = true;
        r.kind = r.located.kind;
        r.offset = r.located.offset;
    } else if (candidate.found) {
        r.found = true;
        r.kind = candidate.kind;
        r.offset = candidate.offset;
        if (stubFound && r.located.offset > candidate.offset)
            r.problems.push_back({"false-match", std::string("the stub passes over the archive at offset ") + std::to_string(candidate.offset) +
                " and takes a false " + KindName(r.located.kind) + " signature at offset " + std::to_string(r.located.offset) + " instead"});
        if (!stubFound && !r.located.ended && candidate.kind == ArchiveKind::Zip)
            r.problems.push_back({"no-archive", "the ZIP archive starts within the last 32 bytes of the file, where the stub's locator never looks: repack with sfxtool pack"});
    } else if (!r.located.ended) {
        r.problems.push_back({"no-archive", "no archive found: the file holds no 7z or ZIP archive" +
            std::string(r.pe.isPe ? " after the stub's image" : "") + ": pack one with sfxtool pack"});
    }

    if (r.found) {
        if (r.kind == ArchiveKind::SevenZip) AnalyseSevenZip(r, path);
        else AnalyseZip(r, path);
        CheckNames(r);
        if (r.peakMemory > kLargestFolderLimit)
            r.problems.push_back({"folder-too-large", "the largest " + std::string(r.kind == ArchiveKind::Zip ? "entry" : "folder") +
                " needs " + std::to_string(r.peakMemory) + " bytes at once, more than a 32-bit process can be sure to hold (1 GiB): "
                "split the payload or pack it as several folders"});
    }

    // The stub's own extraction, tried on the file: whatever it does that the checks above did not
    // explain is a problem too.
    if (r.found && r.peakMemory <= kLargestFolderLimit) {
        const StubTrial trial = ExtractAsStub(path, r.stagingLength);
        r.trialRan = trial.ran;
        r.trialEnded = trial.ended;
        r.trialFiles = trial.files.size();
        if (trial.ran && r.problems.empty()) {
            std::set<std::u16string> written;
            for (const auto& f : trial.files) written.insert(WindowsKey(platform::host::Utf16(f)));
            std::string missing;
            for (const auto& e : r.entries)
                if (!e.isDir && !written.count(WindowsKey(e.wide)) && missing.empty()) missing = e.name;
            if (trial.ended)
                r.problems.push_back({"stub-extraction", "the stub's own extraction, tried on this file, ends with exit code " +
                    std::to_string(trial.exitCode) + " after " + Plural(trial.files.size(), "file") + ": repack with sfxtool pack"});
            else if (!missing.empty())
                r.problems.push_back({"stub-extraction", "the stub's own extraction, tried on this file, leaves out " + Quote(missing) +
                    ": repack with sfxtool pack"});
        }
    }

    // What follows the archive, and how it stands to a signature.
    r.signatureTable = r.pe.isPe && r.pe.certificateTableOffset != 0 && r.pe.certificateTableSize != 0;
    const uint64_t end = r.found && r.archiveEnd ? std::min(r.archiveEnd, r.fileSize) : r.fileSize;
    r.trailingSize = r.fileSize - end;
    const uint64_t certEnd = r.pe.certificateTableOffset + r.pe.certificateTableSize;
    if (r.trailingSize == 0) r.trailingKind = "none";
    else if (r.signatureTable && end <= r.pe.certificateTableOffset && certEnd == r.fileSize &&
             AllZero(path, end, r.pe.certificateTableOffset))
        r.trailingKind = "certificate-table";
    else r.trailingKind = "other";
    if (r.signatureTable && r.found) {
        r.archiveCovered = end <= r.pe.certificateTableOffset;
        if (!r.archiveCovered)
            r.problems.push_back({"archive-outside-signature", "the archive lies at or after the certificate table, outside what the signature covers: pack first, then sign"});
    }
    return r;
}

nlohmann::json ReportJson(const Report& r) {
    using nlohmann::json;
    json j;
    j["file"] = r.path;
    j["fileSize"] = r.fileSize;
    j["kind"] = r.found ? KindName(r.kind) : "none";
    j["offset"] = r.found ? json(r.offset) : json(nullptr);
    j["archiveSize"] = r.found ? json(r.archiveSize) : json(nullptr);
    j["stubImageEnd"] = r.pe.isPe ? json(r.pe.imageEnd) : json(nullptr);
    json loc;
    loc["kind"] = r.located.ended ? "fails" : KindName(r.located.kind);
    loc["offset"] = (!r.located.ended && r.located.kind != ArchiveKind::None) ? json(r.located.offset) : json(nullptr);
    j["locator"] = loc;
    j["trailing"] = {{"kind", r.trailingKind}, {"size", r.trailingSize}};
    j["signature"] = {{"certificateTable", r.signatureTable},
                      {"certificateTableOffset", r.signatureTable ? json(r.pe.certificateTableOffset) : json(nullptr)},
                      {"certificateTableSize", r.signatureTable ? json(r.pe.certificateTableSize) : json(nullptr)},
                      {"archiveCovered", r.archiveCovered}};
    json folders = json::array();
    for (const auto& f : r.folders)
        folders.push_back({{"index", f.index}, {"coders", f.chain}, {"unpackSize", f.unpackSize},
                           {"packSize", f.packSize}, {"accepted", f.accepted}});
    j["folders"] = folders;
    json entries = json::array();
    for (const auto& e : r.entries) {
        json x = {{"name", e.name}, {"size", e.size}, {"packedSize", e.packedSize}, {"directory", e.isDir}};
        if (r.kind == ArchiveKind::SevenZip) {
            x["folder"] = e.folder >= 0 ? json(e.folder) : json(nullptr);
            x["coders"] = e.method;
        } else {
            x["method"] = e.method;
        }
        entries.push_back(x);
    }
    j["entries"] = entries;
    j["program"] = {{"source", r.launchSource}, {"path", r.program}, {"exists", r.programExists}};
    j["peakMemory"] = r.peakMemory;
    j["stagingLength"] = r.stagingLength;
    j["stubTrial"] = {{"ran", r.trialRan}, {"endedRun", r.trialEnded}, {"files", r.trialFiles}};
    j["identity"] = IdentityJson(r.identity);
    json problems = json::array();
    for (const auto& p : r.problems) problems.push_back({{"code", p.code}, {"message", p.message}});
    j["problems"] = problems;
    return j;
}

std::string ReportText(const Report& r) {
    std::ostringstream o;
    o << "file:        " << r.path << " (" << r.fileSize << " bytes)\n";
    if (r.pe.isPe) o << "stub image:  " << (r.pe.is64 ? "PE32+" : "PE32") << ", ends at offset " << r.pe.imageEnd << "\n";
    else o << "stub image:  not a Windows executable\n";
    o << "locator:     ";
    if (r.located.ended) o << "fails (file under 33 bytes)\n";
    else if (r.located.kind == ArchiveKind::None) o << "finds no archive\n";
    else o << "finds " << KindName(r.located.kind) << " at offset " << r.located.offset << " (" << Hex(r.located.offset) << ")\n";
    if (!r.found) {
        o << "archive:     none\n";
    } else {
        o << "archive:     " << KindName(r.kind) << " at offset " << r.offset << ", " << r.archiveSize << " bytes\n";
    }
    o << "after it:    ";
    if (r.trailingKind == "none") o << "nothing\n";
    else if (r.trailingKind == "certificate-table") o << "certificate table (" << r.trailingSize << " bytes, with alignment)\n";
    else o << "other data (" << r.trailingSize << " bytes)\n";
    o << "signature:   ";
    if (!r.signatureTable) o << "none\n";
    else o << "certificate table at offset " << r.pe.certificateTableOffset << ", " << r.pe.certificateTableSize
           << " bytes; archive " << (r.archiveCovered ? "covered by the signature" : "NOT covered") << "\n";
    if (!r.folders.empty()) {
        o << "folders:\n";
        for (const auto& f : r.folders)
            o << "  " << f.index << ": " << f.chain << ", " << f.unpackSize << " bytes unpacked, " << f.packSize
              << " packed" << (f.accepted ? "" : "  [not accepted by the stub]") << "\n";
    }
    if (r.found) {
        o << "entries (" << r.entries.size() << "):\n";
        for (const auto& e : r.entries) {
            char line[96];
            std::snprintf(line, sizeof line, "  %12llu %12llu  ", static_cast<unsigned long long>(e.size),
                          static_cast<unsigned long long>(e.packedSize));
            o << line;
            if (r.kind == ArchiveKind::SevenZip)
                o << (e.folder >= 0 ? "folder " + std::to_string(e.folder) : std::string("no data ")) << "  ";
            else
                o << e.method << "  ";
            o << e.name << (e.isDir && (e.name.empty() || e.name.back() != '/') ? "/" : "") << "\n";
        }
        o << "runs:        " << (r.program.empty() ? "(nothing)" : r.program) << " (from " << r.launchSource << "), "
          << (r.programExists ? "present in the archive" : "NOT in the archive") << "\n";
        if (r.trialRan)
            o << "stub trial:  " << (r.trialEnded ? "the stub's extraction ends the run" : "the stub's extraction completes")
              << ", " << r.trialFiles << " files written\n";
        o << "peak memory: " << r.peakMemory << " bytes (largest " << (r.kind == ArchiveKind::Zip ? "entry, packed and unpacked" : "folder") << ")\n";
    }
    o << IdentityText(r.identity);
    if (r.problems.empty()) o << "problems:    none\n";
    else {
        o << "problems (" << r.problems.size() << "):\n";
        for (const auto& p : r.problems) o << "  " << p.message << "\n";
    }
    return o.str();
}

}  // namespace sfxtool
