// Whole runs of the stub on the host backend for the hostile-input tests and the fault sweeps: a
// stub file (a stand-in image plus a payload) in a fresh sandbox (in memory unless a test asks for
// the disk), a registered installer that records what the staging folder holds when it starts,
// and a record of everything the run left in the sandbox.
#pragma once

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "RunSequence.h"
#include "run/RunState.h"
#include "platform/host/host.h"
#include "support/ZipBuilder.h"

namespace hostile {

using platform::u32;
using platform::host::EntryKind;
using platform::host::Environment;
using platform::host::Faults;
using platform::host::ProcessOutcome;
using platform::host::ProcessStart;
using platform::host::RunResult;
using platform::host::Sandbox;
using platform::host::Storage;

constexpr u32 kInstallerCode = 42;
constexpr u32 kFailure = 5;

// Relative path (with "/") -> content, for every file under a folder of the sandbox.
using FileMap = std::map<std::string, std::string>;

inline FileMap FilesUnder(const Sandbox& sandbox, const std::u16string& folder) {
    FileMap files;
    if (sandbox.KindOf(folder) != EntryKind::Folder) return files;
    for (const std::string& entry : sandbox.List(folder)) {
        const std::u16string path = folder + u"\\" + platform::host::Utf16(entry);
        if (sandbox.KindOf(path) == EntryKind::File) files[entry] = sandbox.ReadFile(path);
    }
    return files;
}

// The names directly in a folder of the sandbox, folders ending in "/".
inline std::vector<std::string> NamesIn(const Sandbox& sandbox, const std::u16string& folder) {
    std::vector<std::string> names;
    for (const std::string& entry : sandbox.List(folder)) {
        const size_t slash = entry.find('/');
        if (slash == std::string::npos || slash + 1 == entry.size()) names.push_back(entry);
    }
    return names;
}

inline std::string Show(const FileMap& files) {
    std::string out;
    for (const auto& [name, data] : files) out += "  " + name + " (" + std::to_string(data.size()) + " bytes)\n";
    return out.empty() ? "  (none)\n" : out;
}

struct Outcome {
    RunResult result;
    bool installerStarted = false;
    std::u16string startedFile;   // the program the shell was asked to start
    FileMap stagingAtStart;       // the staging folder when the installer started
    std::vector<std::string> tempAfter;  // names in the temp folder after the run
    FileMap stagingAfter;         // the staging folder after the run, when it stayed
    std::vector<std::string> outside;    // sandbox entries that are neither prepared nor in temp
};

// A stub file in a fresh sandbox, run whole.
class WholeRun {
public:
    // `capacity`: the memory volume's bytes of file data (see Sandbox).
    explicit WholeRun(Storage storage = Storage::Memory, uint64_t capacity = UINT64_MAX)
        : sandbox(storage, capacity) {
        env.commandLine = u"\"C:\\stub\\SelfExtractor.exe\" /S";
        env.defaultProgram = [this](const ProcessStart& start) { return Started(start); };
        // Prepared: a program outside the staging folder that a hostile archive might reach for.
        sandbox.WriteFile(u"C:\\Temp\\outside.exe", "MZ outside");
    }

    void WriteStub(const std::string& bytes) { sandbox.WriteFile(env.modulePath, bytes); }
    void WriteStub(const std::string& image, const std::string& payload) { WriteStub(image + payload); }

    Outcome Run(const Faults& faults = {}) {
        outcome_ = Outcome();
        outcome_.result = platform::host::Run(sandbox, env, [] {
            auto state = std::make_unique<stub::RunState>();
            stub::RunSequence(*state);
        }, faults);
        for (std::string name : NamesIn(sandbox, u"C:\\Temp")) {
            if (name == "outside.exe") continue;
            const bool folder = name.back() == '/';
            if (folder) name.pop_back();
            outcome_.tempAfter.push_back(name);
            if (folder) outcome_.stagingAfter = FilesUnder(sandbox, u"C:\\Temp\\" + platform::host::Utf16(name));
        }
        const std::string stub = "C/stub/";
        for (const std::string& entry : sandbox.ListAll()) {
            const bool prepared = entry == "C/" || entry == "C/Temp/" || entry == "C/cwd/" ||
                                  entry == "C/Windows/" || entry == "C/Windows/System32/" ||
                                  entry == "C/Temp/outside.exe" || entry.compare(0, stub.size(), stub) == 0;
            if (prepared) continue;
            // In the temp folder: the staging folder (ZEB*.tmp) and what lies in it, or the private
            // folder of a relaunch ({GUID} or JUV*.tmp) and what lies in it.
            if (entry.compare(0, 7, "C/Temp/") == 0) {
                std::string top = entry.substr(7, entry.find('/', 7) - 7);
                std::transform(top.begin(), top.end(), top.begin(), ::tolower);
                const bool tmpName = top.size() > 7 && top.compare(top.size() - 4, 4, ".tmp") == 0;
                if ((top.compare(0, 3, "zeb") == 0 && tmpName) ||
                    (privateFolderAllowed && ((top.compare(0, 3, "juv") == 0 && tmpName) ||
                                              (top.size() == 38 && top[0] == '{'))))
                    continue;
            }
            outcome_.outside.push_back(entry);
        }
        return outcome_;
    }

    Sandbox sandbox;
    Environment env;
    // What the installer returns; tests may change it.
    u32 installerCode = kInstallerCode;
    // Relaunch runs: the private copy's folder in the temp folder is expected.
    bool privateFolderAllowed = false;

private:
    ProcessOutcome Started(const ProcessStart& start) {
        outcome_.installerStarted = true;
        outcome_.startedFile = start.file;
        for (const std::string& name : NamesIn(sandbox, u"C:\\Temp")) {
            if (name.back() == '/')
                outcome_.stagingAtStart =
                    FilesUnder(sandbox, u"C:\\Temp\\" + platform::host::Utf16(name.substr(0, name.size() - 1)));
        }
        return ProcessOutcome{installerCode, false};
    }

    Outcome outcome_;
};

inline std::string StubImage() { return testsupport::FakeStubImage(256); }

}  // namespace hostile
