#include "sfxtool/Analysis.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "run/Failure.h"
#include "payload/ExtractionWorkers.h"
#include "payload/SevenZipExtractor.h"
#include "payload/ZipEntryExtractor.h"
#include "platform/host/host.h"
#include "sfxtool/EntryNames.h"
#include "sfxtool/OptionsRecord.h"
#include "sfxtool/SevenZipReader.h"
#include "sfxtool/Verdict.h"

namespace sfxtool {
namespace {

constexpr unsigned char kSevenZipSignature[6] = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C};
constexpr unsigned char kZipSignature[4] = {'P', 'K', 3, 4};

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

// The central directory and its end record: the stub never reads them, but they tell where the
// archive ends and so what follows it. `from` is where the stub's walk stopped.
uint64_t ZipArchiveEnd(const std::string& path, uint64_t from, uint64_t fileSize) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return from;
    auto le16 = [](const unsigned char* p) { return static_cast<uint32_t>(p[0] | p[1] << 8); };
    auto le32 = [&](const unsigned char* p) { return le16(p) | le16(p + 2) << 16; };
    auto readAt = [&](uint64_t at, unsigned char* buf, size_t n) {
        return fseeko(f, static_cast<off_t>(at), SEEK_SET) == 0 && std::fread(buf, 1, n, f) == n;
    };
    uint64_t at = from, end = from;
    for (;;) {
        unsigned char h[46];
        if (!readAt(at, h, 4)) break;
        const uint32_t sig = le32(h);
        if (sig == 0x02014B50 && readAt(at, h, 46)) {
            at += 46 + le16(h + 28) + le16(h + 30) + le16(h + 32);
        } else if (sig == 0x06064B50 && readAt(at, h, 12)) {
            at += 12 + le32(h + 4);
        } else if (sig == 0x07064B50) {
            at += 20;
        } else if (sig == 0x05054B50 && readAt(at, h, 6)) {
            at += 6 + le16(h + 4);
        } else if (sig == 0x06054B50 && readAt(at, h, 22)) {
            end = std::min<uint64_t>(at + 22 + le16(h + 20), fileSize);
            break;
        } else {
            break;
        }
    }
    std::fclose(f);
    return end;
}

void AnalyseSevenZip(Report& r, const std::string& path, VerdictContext& context) {
    const SevenZipListing listing = ListSevenZip(path, r.offset);
    if (listing.startHeaderRead) {
        r.archiveSize = listing.archiveSize;
        r.archiveEnd = r.offset + listing.archiveSize;
    }
    if (listing.openResult != 0) return;  // the trial says what the stub makes of it
    for (size_t i = 0; i < listing.folders.size(); ++i) {
        const SevenZipFolder& f = listing.folders[i];
        FolderView v;
        v.index = static_cast<uint32_t>(i);
        v.chain = CoderChain(f);
        for (const auto& c : f.coders) v.coders.push_back(MethodName(c.methodId));
        v.unpackSize = f.unpackSize;
        v.packSize = f.packSize;
        v.memory = f.memory;
        v.accepted = f.shapeAccepted;
        r.workerMemory = std::max(r.workerMemory, f.memory);
        context.folderMemory.push_back(f.memory);
        r.folders.push_back(std::move(v));
    }
    // One job a folder; each worker holds an arena for the largest folder.
    const uint32_t jobs = listing.folders.empty() ? (listing.entries.empty() ? 0 : 1)
                                                  : static_cast<uint32_t>(listing.folders.size());
    r.workerMemory += stub::kSevenZipArenaSlack;
    r.workers = stub::PlanWorkers(stub::kMaxWorkers, jobs, r.workerMemory,
                                  r.pe.is64 ? stub::kWorkerBudget64 : stub::kWorkerBudget32);
    r.peakMemory = r.workers * r.workerMemory;
    for (const SevenZipEntry& e : listing.entries) {
        EntryView v;
        v.wide = e.name;
        v.name = EncodeUtf8(e.name);
        v.count = e.nameUnits;
        v.isDir = e.isDir;
        v.size = e.size;
        v.folder = e.folder;
        if (e.folder >= 0) {
            ++r.folders[e.folder].files;
            v.packedSize = e.firstInFolder ? listing.folders[e.folder].packSize : 0;
            v.method = r.folders[e.folder].chain;
        }
        context.entryNames.push_back(v.name);
        context.entryWide.push_back(v.wide);
        context.entryIsDir.push_back(v.isDir);
        context.entryFolder.push_back(e.folder);
        r.entries.push_back(std::move(v));
    }
}

void AnalyseZip(Report& r, const std::string& path, VerdictContext& context) {
    const ZipListing listing = ListZipAsStub(path, r.stagingLength);
    // The walk's buffer and job slots, and each worker's buffers and inflate state (its 32 KiB
    // window), whatever the entries' sizes; one worker an entry, up to 4.
    uint32_t files = 0;
    for (const ZipRecordView& e : listing.records) files += !e.isDir;
    r.workerMemory = stub::kZipWorkerMemory;
    r.workers = stub::PlanWorkers(stub::kMaxWorkers, files, r.workerMemory,
                                  r.pe.is64 ? stub::kWorkerBudget64 : stub::kWorkerBudget32);
    r.peakMemory = stub::kZipReadBufferBytes + stub::kZipJobMemory + r.workers * r.workerMemory;
    for (const ZipRecordView& e : listing.records) {
        EntryView v;
        v.wide = e.name;
        v.name = EncodeUtf8(e.name);
        v.count = static_cast<uint32_t>(e.rawName.size());
        v.isDir = e.isDir;
        v.size = e.size;
        v.packedSize = e.packedSize;
        v.method = e.method == 0 ? "stored" : "deflate";
        if (const auto at = InvalidUtf8At(e.rawName))
            r.problems.push_back({"name-not-utf8", "ZIP entry " + Quote(v.name) + " has a name that is not valid UTF-8 (" +
                ByteAt(e.rawName, *at) + " of the name); the stub reads names as UTF-8 only and writes it as shown: "
                "rename it and repack with sfxtool pack", true});
        context.entryNames.push_back(v.name);
        context.entryWide.push_back(v.wide);
        context.entryIsDir.push_back(v.isDir);
        r.entries.push_back(std::move(v));
    }
    context.refusedRecordOffset = listing.walkEnd;
    context.refusedRecordAtEnd = listing.walkEnd >= r.fileSize;
    context.refusedFlags = static_cast<uint16_t>(listing.refusedHeader[6] | listing.refusedHeader[7] << 8);
    context.refusedMethod = static_cast<uint16_t>(listing.refusedHeader[8] | listing.refusedHeader[9] << 8);
    context.refusedNameBytes = static_cast<uint16_t>(listing.refusedHeader[26] | listing.refusedHeader[27] << 8);
    context.refusedName = EncodeUtf8(DecodeUtf8(listing.refusedName));
    r.archiveEnd = listing.complete ? ZipArchiveEnd(path, listing.walkEnd, r.fileSize) : listing.walkEnd;
    r.archiveSize = r.archiveEnd - r.offset;
}

// Names the stub creates otherwise than they stand (trailing dots and spaces dropped), and folder
// entries that stay empty: the stub creates a folder only as the parent of a file.
void NameShapes(Report& r) {
    std::set<std::u16string> filled;  // every folder that holds a file, as its key
    for (const EntryView& e : r.entries) {
        if (e.isDir) continue;
        const std::u16string key = WindowsKey(e.wide);
        for (size_t slash = key.find(u'/'); slash != std::u16string::npos; slash = key.find(u'/', slash + 1))
            filled.insert(key.substr(0, slash));
        if (EndsInDotOrSpace(e.name) && !UnreachableFolder(e.name))  // those the stub cannot create at all
            r.problems.push_back({"name-trailing-dot", "entry " + Quote(e.name) + " has a name ending in a dot or a "
                "space; Windows drops trailing dots and spaces, so the stub creates " + Quote(WindowsName(e.name)) +
                " instead, and an installer looking for " + Quote(e.name) + " does not find it: rename it "
                "(sfxtool pack refuses such names)", true});
    }
    std::set<std::u16string> seen;
    for (const EntryView& e : r.entries) {
        if (!e.isDir) continue;
        std::u16string key = WindowsKey(e.wide);
        while (!key.empty() && key.back() == u'/') key.pop_back();
        if (key.empty() || filled.count(key) != 0 || !seen.insert(key).second) continue;
        std::string shown = e.name;
        if (shown.empty() || shown.back() != '/') shown += '/';
        r.emptyFolders.push_back(shown);
        r.problems.push_back({"empty-folder", "the archive holds the empty folder " + Quote(shown) + "; the stub "
            "creates folders only as the parents of files, so it will not exist when the installer runs (7zz x "
            "creates it): put a file in it if the installer needs it", true});
    }
}

// Why the locator passed over a 7z archive that lies after the image (the trial found none).
void ExplainPassedOver(Report& r, const std::string& path, const Candidate& candidate) {
    if (!candidate.found || candidate.kind != ArchiveKind::SevenZip || candidate.byte32 == 0) return;
    const SevenZipListing listing = ListSevenZip(path, candidate.offset);
    std::string first = "its first packed stream is not an LZMA stream";
    if (listing.openResult == 0 && listing.numPackStreams == 0)
        first = "the archive has no packed data at all, so its header starts there";
    else if (listing.openResult == 0 && !listing.folders.empty())
        first = "its first folder is coded " + CoderChain(listing.folders[0]);
    r.problems.push_back({"first-stream-not-lzma", "the 7z archive at offset " + std::to_string(candidate.offset) +
        " has a first packed stream that does not start with a zero byte (" + first + "), so the stub's locator passes "
        "over it: repack with sfxtool pack, which codes the first folder with LZMA (or with 7zz -m0=LZMA instead of "
        "the default LZMA2)"});
}

std::vector<std::string> Keys(const std::map<std::string, uint64_t>& map) {
    std::vector<std::string> keys;
    for (const auto& [key, value] : map) keys.push_back(key);
    return keys;
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

Report Analyse(const std::string& path, uint32_t stagingLength, const std::string& scratch) {
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
        r.problems.push_back({"file-too-large", "the file is 4 GiB or larger; an installer must stay under 4 GiB (the "
            "largest file an Authenticode signature covers): make the payload smaller"});
    r.pe = ReadPeLayout(path);
    const uint64_t imageEnd = r.pe.isPe ? r.pe.imageEnd : 0;
    r.identity = ReadIdentity(path);
    // The identity's findings: a missing manifest is reported whatever the stub does with the file
    // (it runs it all the same); resource bytes the locator stops at explain a failed run below.
    Problems identityProblems;
    IdentityProblems(r.identity, identityProblems);
    for (Problem& p : identityProblems) {
        if (p.code == "no-manifest") {
            p.warning = true;
            r.problems.push_back(p);
        }
    }
    const auto inResources = [&](uint64_t at) {  // reported by IdentityProblems, with the resource named
        return at >= r.identity.sectionOffset && at < r.identity.sectionOffset + r.identity.sectionSize;
    };

    // Where the stub's locator finds the archive, and what a plain scan from the image's end finds
    // (to explain a locator that stops early or passes over the archive).
    r.located = LocateAsStub(path);
    const Candidate candidate = ScanFrom(path, imageEnd);
    const bool stubFound = !r.located.ended && r.located.kind != ArchiveKind::None;
    Problems diagnoses;
    if (stubFound && r.located.offset < imageEnd && !inResources(r.located.offset))
        diagnoses.push_back({"false-match", std::string("the stub's locator finds a false ") + KindName(r.located.kind) +
            " signature at offset " + std::to_string(r.located.offset) + ", inside the stub's own image (which ends at " +
            std::to_string(imageEnd) + "), before the real archive: rebuild the stub so that its image holds no archive "
            "signature"});
    // The archive described: the one the stub finds, unless that lies inside the image or a scan
    // from the image's end finds one before it.
    if (stubFound && r.located.offset >= imageEnd && !(candidate.found && candidate.offset < r.located.offset)) {
        r.found = true;
        r.kind = r.located.kind;
        r.offset = r.located.offset;
    } else if (candidate.found) {
        if (stubFound && r.located.offset > candidate.offset)
            diagnoses.push_back({"false-match", std::string("the stub passes over the archive at offset ") +
                std::to_string(candidate.offset) + " and takes a " + KindName(r.located.kind) + " signature at offset " +
                std::to_string(r.located.offset) + " instead"});
        r.found = true;
        r.kind = candidate.kind;
        r.offset = candidate.offset;
        if (!stubFound && !r.located.ended && candidate.kind == ArchiveKind::Zip)
            diagnoses.push_back({"no-archive", "the ZIP archive starts within the last 32 bytes of the file, where the "
                "stub's locator never looks: repack with sfxtool pack"});
    }

    VerdictContext context;
    context.kind = r.kind;
    context.stagingLength = stagingLength;
    context.heapLimit = kLikelyHeapLimit;
    if (r.found && r.kind == ArchiveKind::SevenZip) AnalyseSevenZip(r, path, context);
    if (r.found && r.kind == ArchiveKind::Zip) AnalyseZip(r, path, context);

    // The verdict: the stub's whole run on the file, with a heap a 32-bit process is likely to get.
    r.trial = RunStubTrial(path, stagingLength, kLikelyHeapLimit, r.identity.numbered, scratch);
    if (!r.trial.ran)
        throw InputError("a staging path of " + std::to_string(stagingLength) + " units cannot be laid out for the "
                         "trial run (16 to 257)");
    context.launchBytes = r.trial.launchBytes;
    if (const std::string* record = r.identity.OptionsRecord()) context.optionsFault = OptionsRecordFault(*record);
    const bool failed = !r.trial.started || !r.trial.notes.empty();
    for (const Problem& p : identityProblems)
        if (p.code != "no-manifest") diagnoses.push_back(p);
    // A locator that stops inside the stub's own image reads garbage from there: what the run
    // then trips on says nothing; the signature in the image is the problem.
    const bool stoppedInImage = stubFound && r.located.offset < imageEnd;
    if (failed && stoppedInImage && !diagnoses.empty()) {
        r.problems.insert(r.problems.end(), diagnoses.begin(), diagnoses.end());
    } else {
        for (const StubNote& note : r.trial.notes) {
            r.problems.push_back(Explain(note, context));
            if (note.reason == static_cast<uint32_t>(stub::Reason::NoArchive)) ExplainPassedOver(r, path, candidate);
        }
        if (!r.trial.started && r.trial.notes.empty())
            r.problems.push_back({"stub-failure", "the stub ends with exit code " + std::to_string(r.trial.exitCode)});
        if (failed) r.problems.insert(r.problems.end(), diagnoses.begin(), diagnoses.end());
    }
    r.extractionComplete = r.trial.started && r.trial.notes.empty();
    r.launchSource = r.trial.launchPresent ? ".launch" : "default";
    r.program = r.trial.started ? r.trial.program
              : r.trial.launchPresent ? r.trial.launchBytes.substr(0, r.trial.launchBytes.find_first_of(std::string("\r\n\0", 3)))
                                      : std::string(kDefaultInstaller);
    r.programExists = r.trial.started;

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
    // Only beside an otherwise sound run: where the archive is broken, its end is not known.
    if (r.trailingKind == "other" && !r.signatureTable && r.found && ErrorCount(r) == 0)
        r.problems.push_back({"trailing-data", std::to_string(r.trailingSize) + " bytes follow the archive (from offset " +
            std::to_string(end) + "); the stub never reads them, so whatever they hold (another archive, when an "
            "installer was given to pack as its stub) never reaches the installer: repack the payload behind the stub "
            "itself, or cut the file at offset " + std::to_string(end)});
    if (r.signatureTable && r.found) {
        r.archiveCovered = end <= r.pe.certificateTableOffset;
        if (!r.archiveCovered)
            r.problems.push_back({"archive-outside-signature", "the archive lies at or after the certificate table, outside "
                "what the signature covers: pack first, then sign"});
    }
    NameShapes(r);
    return r;
}

size_t ErrorCount(const Report& report) {
    size_t n = 0;
    for (const Problem& p : report.problems) n += !p.warning;
    return n;
}

namespace {

// The bytes and files the stub unpacks: what it checks, with a cluster a file, against the free
// space before it creates anything.
struct ToUnpack {
    uint64_t bytes = 0;
    uint32_t files = 0;
};

ToUnpack Unpacked(const Report& r) {
    ToUnpack u;
    for (const auto& e : r.entries) {
        if (e.isDir) continue;
        u.bytes += e.size;
        ++u.files;
    }
    return u;
}

}  // namespace

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
                           {"packSize", f.packSize}, {"memory", f.memory}, {"accepted", f.accepted}, {"files", f.files}});
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
    j["emptyFolders"] = r.emptyFolders;
    const ToUnpack unpack = Unpacked(r);
    j["unpackBytes"] = r.found ? json(unpack.bytes) : json(nullptr);
    j["unpackFiles"] = r.found ? json(unpack.files) : json(nullptr);
    j["program"] = {{"source", r.launchSource}, {"path", r.program}, {"exists", r.programExists}};
    j["peakMemory"] = r.peakMemory;
    j["workers"] = r.workers;
    j["workerMemory"] = r.workerMemory;
    j["stagingLength"] = r.stagingLength;
    json notes = json::array();
    for (const StubNote& n : r.trial.notes) notes.push_back(ReasonCode(n.reason));
    j["stub"] = {{"exitCode", r.trial.started ? json(nullptr) : json(r.trial.exitCode)},
                 {"starts", r.trial.started ? json(r.trial.program) : json(nullptr)},
                 {"extractionComplete", r.extractionComplete},
                 {"filesUnpacked", r.trial.staged.size()},
                 {"files", Keys(r.trial.staged)},
                 {"reasons", notes}};
    j["identity"] = IdentityJson(r.identity);
    j["options"] = r.identity.read ? OptionsJson(r.identity.OptionsRecord()) : nlohmann::json(nullptr);
    json problems = json::array();
    for (const auto& p : r.problems)
        problems.push_back({{"code", p.code}, {"message", p.message}, {"severity", p.warning ? "warning" : "error"}});
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
        o << "folders (" << r.folders.size() << "):\n";
        for (const auto& f : r.folders)
            o << "  " << f.index << ": " << f.chain << ", " << f.files << (f.files == 1 ? " file, " : " files, ") << f.unpackSize << " bytes unpacked, " << f.packSize
              << " packed, " << f.memory << " bytes of decoder memory" << (f.accepted ? "" : "  [not accepted by the stub]") << "\n";
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
        if (!r.emptyFolders.empty()) {
            o << "empty folders (" << r.emptyFolders.size() << ", not created by the stub):\n";
            for (const auto& f : r.emptyFolders) o << "  " << f << "\n";
        }
        const ToUnpack unpack = Unpacked(r);
        o << "to unpack:   " << unpack.bytes << " bytes in " << unpack.files << (unpack.files == 1 ? " file" : " files")
          << " (the stub first checks them, with a cluster a file, against the free space)\n";
    }
    o << "stub:        ";
    if (r.trial.started)
            o << "runs " << r.program << " (from " << r.launchSource << ") with the stub's parameters, after unpacking "
              << (r.extractionComplete ? "every file" : "only part of the archive") << " (" << r.trial.staged.size()
              << " files)\n";
    else
        o << "ends with exit code " << r.trial.exitCode << " before starting anything ("
          << (r.problems.empty() ? "see problems" : r.problems.front().code) << ")\n";
    if (r.found) {
        o << "workers:     " << r.workers << " (with 4 or more logical processors; at most one "
          << (r.kind == ArchiveKind::Zip ? "an entry" : "a folder") << ", within "
          << ((r.pe.is64 ? stub::kWorkerBudget64 : stub::kWorkerBudget32) >> 20) << " MiB), each "
          << r.workerMemory << " bytes ("
          << (r.kind == ArchiveKind::Zip ? "read and inflate buffers" : "largest folder's decoder window and buffers")
          << ")\n";
        o << "peak memory: " << r.peakMemory << " bytes (every worker"
          << (r.kind == ArchiveKind::Zip ? ", and the walk's buffer" : "") << ")\n";
    }
    o << IdentityText(r.identity);
    if (r.identity.read) o << OptionsText(r.identity.OptionsRecord());
    if (r.problems.empty()) o << "problems:    none\n";
    else {
        o << "problems (" << r.problems.size() << "):\n";
        for (const auto& p : r.problems) o << "  " << (p.warning ? "warning: " : "") << p.message << "\n";
    }
    return o.str();
}

}  // namespace sfxtool
