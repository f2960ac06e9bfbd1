// Helpers shared by the launcher's tests (staging, launch, hardening, run sequence).
#pragma once

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "staging/PrivateFolder.h"
#include "run/RunState.h"
#include "run/Text.h"
#include "platform/host/host.h"

namespace launchertest {

using platform::host::Call;
using platform::host::CallRecord;
using platform::host::RunResult;
using platform::host::Sandbox;

inline std::u16string U(const std::string& text) { return platform::host::Utf16(text); }
inline std::string N(const std::u16string& text) { return platform::host::Utf8(text); }

// On either storage. A link counts as what it leads to.
inline bool IsDirectory(const Sandbox& sandbox, const std::u16string& windowsPath) {
    if (sandbox.storage() == platform::host::Storage::Disk)
        return sandbox.Exists(windowsPath) && std::filesystem::is_directory(sandbox.LinuxPath(windowsPath));
    return sandbox.KindOf(windowsPath) == platform::host::EntryKind::Folder;
}

inline bool IsFile(const Sandbox& sandbox, const std::u16string& windowsPath) {
    if (sandbox.storage() == platform::host::Storage::Disk)
        return sandbox.Exists(windowsPath) && std::filesystem::is_regular_file(sandbox.LinuxPath(windowsPath));
    return sandbox.KindOf(windowsPath) == platform::host::EntryKind::File;
}

inline void MakeDirectory(const Sandbox& sandbox, const std::u16string& windowsPath) {
    if (sandbox.storage() == platform::host::Storage::Disk)
        std::filesystem::create_directories(sandbox.LinuxPath(windowsPath));
    else
        sandbox.MakeFolder(windowsPath);
}

// Fills `staging` for an existing directory as the staging-directory creation leaves it: the
// path with a second NUL, the root with a backslash and an empty tail, the folder held (inside a
// run, where the hold's handle belongs; a missing folder is not held, and the delete then leaves
// everything).
inline void FillStaging(stub::StagingState& staging, const std::u16string& path) {
    staging.folder.handle = platform::INVALID_HANDLE_VALUE;
    if (platform::host::InRun() && !stub::HoldFolder(path.c_str(), staging.folder)) {
        staging.folder.handle = platform::INVALID_HANDLE_VALUE;
    }
    std::fill(std::begin(staging.stagingPath), std::end(staging.stagingPath), u'#');
    std::fill(std::begin(staging.stagingRoot), std::end(staging.stagingRoot), u'#');
    const auto length = static_cast<platform::u32>(path.size());
    std::copy(path.begin(), path.end(), staging.stagingPath);
    staging.stagingPath[length] = 0;
    staging.stagingPath[length + 1] = 0;
    staging.stagingLength = length;
    std::copy(path.begin(), path.end(), staging.stagingRoot);
    staging.stagingRoot[length] = u'\\';
    staging.stagingRoot[length + 1] = 0;
    staging.entryTail = length + 1;
}

// The calls of one kind, in order, with their path arguments.
inline std::vector<std::u16string> PathsOf(const RunResult& result, Call call) {
    std::vector<std::u16string> paths;
    for (const CallRecord& record : result.calls) {
        if (record.call == call) paths.push_back(record.path);
    }
    return paths;
}

// Index of the first call of a kind in the run's call list, or -1.
inline long FirstIndexOf(const RunResult& result, Call call) {
    for (size_t i = 0; i < result.calls.size(); ++i) {
        if (result.calls[i].call == call) return static_cast<long>(i);
    }
    return -1;
}

inline long LastIndexOf(const RunResult& result, Call call) {
    for (size_t i = result.calls.size(); i > 0; --i) {
        if (result.calls[i - 1].call == call) return static_cast<long>(i - 1);
    }
    return -1;
}

// Everything under a Windows folder of the sandbox whose name starts with "ZEB" and ends in
// ".tmp" (case-insensitive), as Windows paths.
inline std::vector<std::u16string> StagingFolders(const Sandbox& sandbox,
                                                  const std::u16string& tempFolder) {
    std::vector<std::u16string> found;
    for (const std::string& entry : sandbox.List(tempFolder)) {
        if (entry.find('/') != std::string::npos && entry.find('/') + 1 != entry.size()) continue;
        std::string name = entry.back() == '/' ? entry.substr(0, entry.size() - 1) : entry;
        std::string lower = name;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (lower.rfind("zeb", 0) == 0 && lower.size() > 4 &&
            lower.compare(lower.size() - 4, 4, ".tmp") == 0) {
            std::u16string folder = tempFolder;
            if (folder.back() != u'\\') folder += u'\\';
            found.push_back(folder + U(name));
        }
    }
    return found;
}

// The last `count` calls of a run, for failure messages.
inline std::string Trace(const RunResult& result, size_t count = 8) {
    std::string text;
    const size_t from = result.calls.size() > count ? result.calls.size() - count : 0;
    for (size_t i = from; i < result.calls.size(); ++i) {
        const CallRecord& record = result.calls[i];
        text += "\n  " + std::to_string(i) + " " + platform::host::CallName(record.call) + " " +
                N(record.path) + (record.failedByInjection ? " (injected)" : "");
    }
    return text;
}

inline std::unique_ptr<stub::RunState> NewRunState() { return std::make_unique<stub::RunState>(); }

}  // namespace launchertest
