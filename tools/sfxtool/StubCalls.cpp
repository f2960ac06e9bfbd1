#include "sfxtool/StubCalls.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <system_error>

#include "run/Failure.h"
#include "RunSequence.h"
#include "staging/StagingDirectory.h"
#include "payload/PayloadLocator.h"
#include "payload/ZipEntryExtractor.h"
#include "platform/host/host.h"

namespace sfxtool {

namespace fs = std::filesystem;
namespace host = platform::host;

namespace {

const std::u16string kInstallerPath = u"C:\\in\\Setup.exe";

// A fresh sandbox holding only a link to the file, as C:\in\Setup.exe: nothing of the user's
// folder is exposed to the run, and the stub's folder holds no DLL.
void LinkInto(host::Sandbox& sandbox, const std::string& path) {
    const fs::path folder = fs::path(sandbox.root()) / "C" / "in";
    fs::create_directories(folder);
    fs::create_symlink(fs::absolute(path), folder / "Setup.exe");
}

std::vector<StubNote> NotesOf(const host::RunResult& run) {
    std::vector<StubNote> notes;
    for (const host::FailureNote& n : run.notes) notes.push_back({n.reason, n.detail});
    return notes;
}

// A temp folder path (trailing backslash) of exactly `length` units, in components Linux takes.
std::u16string TempFolderOfLength(uint32_t length) {
    std::u16string path = u"C:\\";
    uint32_t left = length - 3;
    char16_t letter = u'a';
    while (left > 0) {
        uint32_t component = std::min<uint32_t>(left - 1, 200);
        if (left - 1 - component == 1) --component;  // never leave room for a separator alone
        path += std::u16string(component, letter++);
        path += u'\\';
        left -= component + 1;
    }
    return path;
}

std::map<std::string, uint64_t> FilesUnder(const fs::path& folder) {
    std::map<std::string, uint64_t> files;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(folder, error); !error && it != fs::recursive_directory_iterator();
         it.increment(error)) {
        if (it->is_regular_file(error)) files[fs::relative(it->path(), folder).generic_string()] = it->file_size(error);
    }
    return files;
}

}  // namespace

const char* KindName(ArchiveKind kind) {
    switch (kind) {
        case ArchiveKind::Zip: return "zip";
        case ArchiveKind::SevenZip: return "7z";
        default: return "none";
    }
}

StubLocation LocateAsStub(const std::string& path) {
    host::Sandbox sandbox;
    LinkInto(sandbox, path);
    StubLocation out;
    stub::PayloadKind kind = stub::PayloadKind::None;
    uint64_t position = 0;
    bool opened = false;
    const host::RunResult run = host::Run(sandbox, host::Environment{}, [&] {
        using namespace platform;
        const Handle file = CreateFileW(kInstallerPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) return;
        opened = true;
        kind = stub::PayloadLocator(file);
        if (kind != stub::PayloadKind::None) {
            i32 high = 0;
            const u32 low = SetFilePointer(file, 0, &high, FILE_CURRENT);
            position = (static_cast<uint64_t>(static_cast<u32>(high)) << 32) | low;
        }
        CloseHandle(file);
    });
    if (run.exited) {
        out.ended = true;
        out.exitCode = run.exitCode;
        return out;
    }
    if (!opened) throw std::runtime_error("cannot open " + path);
    out.kind = kind == stub::PayloadKind::SevenZip ? ArchiveKind::SevenZip
             : kind == stub::PayloadKind::Zip      ? ArchiveKind::Zip
                                                    : ArchiveKind::None;
    out.offset = position;
    return out;
}

ZipListing ListZipAsStub(const std::string& path, uint32_t stagingLength) {
    ZipListing out;
    host::Sandbox sandbox;
    LinkInto(sandbox, path);
    auto state = std::make_unique<stub::RunState>();
    auto walk = std::make_unique<stub::ZipWalk>();
    state->staging.stagingLength = stagingLength;
    const host::RunResult run = host::Run(sandbox, host::Environment{}, [&] {
        using namespace platform;
        state->selfFile = CreateFileW(kInstallerPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
        if (state->selfFile == INVALID_HANDLE_VALUE) return;
        if (stub::PayloadLocator(state->selfFile) != stub::PayloadKind::Zip) return;
        stub::ZipWalkStart(*state, *walk);
        out.walkEnd = walk->records.position;
        stub::ZipRecord record;
        while (stub::ZipNextRecord(*state, *walk, record)) {
            ZipRecordView view;
            view.offset = record.offset;
            view.rawName.assign(walk->nameBytes, record.nameBytes);
            view.name.assign(walk->wideName, record.nameUnits);
            view.flags = record.flags;
            view.method = record.method;
            view.crc = record.crc;
            view.packedSize = record.compressedSize;
            view.size = record.uncompressedSize;
            view.isDir = record.directory;
            out.records.push_back(std::move(view));
            stub::ZipSkipData(*walk, record);
            out.walkEnd = walk->records.position;
        }
        out.walkEnd = record.offset;
        out.complete = true;
    });
    out.notes = NotesOf(run);
    std::copy(std::begin(walk->header), std::end(walk->header), out.refusedHeader);
    // A name refused as invalid or unsafe was read whole first.
    if (!out.notes.empty()) {
        const auto reason = static_cast<stub::Reason>(out.notes.back().reason);
        const size_t length = static_cast<size_t>(out.refusedHeader[26] | out.refusedHeader[27] << 8);
        if ((reason == stub::Reason::NameInvalid || reason == stub::Reason::NameUnsafe) && length <= sizeof walk->nameBytes)
            out.refusedName.assign(walk->nameBytes, length);
    }
    return out;
}

StubTrial RunStubTrial(const std::string& path, uint32_t stagingLength, uint64_t heapLimit,
                       const StubResources& resources, const std::string& scratch) {
    StubTrial out;
    // The staging folder is the temp folder and "ZEBF000.tmp"; the temp folder needs "C:\", one
    // component and its backslash, and may not pass what GetTempFileNameW takes.
    constexpr uint32_t kStagingName = 11;
    constexpr uint32_t kTempMax = platform::kMaxPathChars - 14;
    if (stagingLength < kStagingName + 5 || stagingLength - kStagingName > kTempMax) return out;

    std::unique_ptr<host::Sandbox> owned;
    if (scratch.empty()) {
        owned = std::make_unique<host::Sandbox>();
    } else {
        std::string pattern = scratch + "/trial-XXXXXX";
        if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot make a folder in " + scratch);
        fs::create_directory(pattern + "/C");
        owned = std::make_unique<host::Sandbox>(pattern, true);
    }
    host::Sandbox& sandbox = *owned;
    LinkInto(sandbox, path);
    host::Environment env;
    env.modulePath = kInstallerPath;
    env.commandLine = u"\"" + kInstallerPath + u"\" " + host::Utf16(kTrialParameters);
    env.tempFolder = TempFolderOfLength(stagingLength - kStagingName);
    env.tempFileStart = 0xF000;
    env.resources = resources;
    const fs::path temp = sandbox.LinuxPath(env.tempFolder.substr(0, env.tempFolder.size() - 1));

    // The staging folder, wherever the run made it.
    auto stagingFolder = [&]() -> fs::path {
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(temp, error))
            if (entry.is_directory()) return entry.path();
        return {};
    };
    auto snapshot = [&] {
        const fs::path staging = stagingFolder();
        if (staging.empty()) return;
        out.staged = FilesUnder(staging);
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(staging, error)) {
            if (host::FoldCase(host::Utf16(entry.path().filename().string())) != u".LAUNCH") continue;
            if (!entry.is_regular_file()) continue;
            out.launchPresent = true;
            std::ifstream in(entry.path(), std::ios::binary);
            out.launchBytes.assign(261, '\0');
            in.read(out.launchBytes.data(), 261);
            out.launchBytes.resize(static_cast<size_t>(in.gcount()));
        }
    };
    env.defaultProgram = [&](const host::ProcessStart& start) {
        out.started = true;
        std::u16string file = start.file;
        const std::string staging = stagingFolder().string();
        const std::u16string prefix = sandbox.WindowsPath(staging) + u"\\";
        if (host::FoldCase(file.substr(0, prefix.size())) == host::FoldCase(prefix)) file = file.substr(prefix.size());
        std::replace(file.begin(), file.end(), u'\\', u'/');
        out.program = host::Utf8(file);
        out.parameters = host::Utf8(start.parameters);
        snapshot();
        return host::ProcessOutcome{0, false};
    };
    host::Faults faults;
    faults.heapLimit = heapLimit;
    const host::RunResult run = host::Run(sandbox, env, [] {
        auto state = std::make_unique<stub::RunState>();
        stub::RunSequence(*state);
    }, faults);
    out.ran = true;
    out.exitCode = run.exitCode;
    out.notes = NotesOf(run);
    if (!out.started) snapshot();
    return out;
}

}  // namespace sfxtool
