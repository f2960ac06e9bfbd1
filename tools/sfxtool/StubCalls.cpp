#include "sfxtool/StubCalls.h"

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <system_error>

#include "launcher/StagingDirectory.h"
#include "payload/SevenZipExtractor.h"
#include "payload/ZipEntryExtractor.h"
#include "payload/EntryNameCheck.h"
#include "payload/PayloadLocator.h"
#include "platform/host/host.h"

namespace sfxtool {

namespace fs = std::filesystem;
namespace host = platform::host;

const char* KindName(ArchiveKind kind) {
    switch (kind) {
        case ArchiveKind::Zip: return "zip";
        case ArchiveKind::SevenZip: return "7z";
        default: return "none";
    }
}

StubLocation LocateAsStub(const std::string& path) {
    // A fresh sandbox holding only a link to the file: the stub's routine opens it as
    // C:\in\payload.bin and nothing of the user's folder is exposed to the run.
    host::Sandbox sandbox;
    const fs::path folder = fs::path(sandbox.root()) / "C" / "in";
    fs::create_directories(folder);
    fs::create_symlink(fs::absolute(path), folder / "payload.bin");

    StubLocation out;
    stub::PayloadKind kind = stub::PayloadKind::None;
    uint32_t position = 0;
    bool opened = false;
    const host::RunResult run = host::Run(sandbox, host::Environment{}, [&] {
        using namespace platform;
        const Handle file = CreateFileW(u"C:\\in\\payload.bin", GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) return;
        opened = true;
        kind = stub::PayloadLocator(file);
        if (kind != stub::PayloadKind::None) position = SetFilePointer(file, 0, nullptr, FILE_CURRENT);
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

bool NameIsSafeForStub(const std::u16string& name) {
    return stub::EntryNameIsSafe(name.data(), static_cast<platform::u32>(name.size()));
}

bool NameFitsForStub(uint32_t stagingLength, uint32_t count) {
    stub::StagingState staging{};
    staging.stagingLength = stagingLength;
    return stub::EntryPathFits(staging, count);
}

StubTrial ExtractAsStub(const std::string& path, uint32_t stagingLength) {
    StubTrial out;
    // The staging folder is C:\ and one folder name, so that the name stays within what Linux
    // takes as one component.
    constexpr uint32_t kDrive = 3;  // "C:\\"
    if (stagingLength <= kDrive || stagingLength - kDrive > 255 || stagingLength + 2 > stub::kStagingRootChars)
        return out;
    host::Sandbox sandbox;
    const fs::path folder = fs::path(sandbox.root()) / "C" / "in";
    fs::create_directories(folder);
    fs::create_symlink(fs::absolute(path), folder / "payload.bin");
    std::u16string stagingPath = u"C:\\";
    stagingPath += u'Z';
    while (stagingPath.size() < stagingLength) stagingPath += u'x';

    auto state = std::make_unique<stub::RunState>();
    stub::StagingState& staging = state->staging;
    for (uint32_t i = 0; i < stagingLength; ++i) {
        staging.stagingPath[i] = stagingPath[i];
        staging.stagingRoot[i] = stagingPath[i];
    }
    staging.stagingPath[stagingLength] = 0;
    staging.stagingPath[stagingLength + 1] = 0;
    staging.stagingLength = stagingLength;
    staging.stagingRoot[stagingLength] = u'\\';
    staging.entryTail = stagingLength + 1;
    staging.stagingRoot[staging.entryTail] = 0;

    const host::RunResult run = host::Run(sandbox, host::Environment{}, [&] {
        using namespace platform;
        if (!CreateDirectoryW(staging.stagingPath, nullptr)) return;
        state->selfFile = CreateFileW(u"C:\\in\\payload.bin", GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (state->selfFile == INVALID_HANDLE_VALUE) return;
        state->payloadKind = stub::PayloadLocator(state->selfFile);
        if (state->payloadKind == stub::PayloadKind::SevenZip) stub::SevenZipExtractor(*state);
        else if (state->payloadKind == stub::PayloadKind::Zip) stub::ZipEntryExtractor(*state);
        CloseHandle(state->selfFile);
    });
    out.ran = true;
    out.ended = run.exited;
    out.exitCode = run.exitCode;
    const fs::path staged = fs::path(sandbox.root()) / "C" / host::Utf8(stagingPath.substr(kDrive));
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(staged, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        if (it->is_regular_file()) out.files.push_back(fs::relative(it->path(), staged).generic_string());
    return out;
}

}  // namespace sfxtool
