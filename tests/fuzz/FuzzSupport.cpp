#include "FuzzSupport.h"

#include <dirent.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>

#include "ReferenceModel.h"
#include "RunSequence.h"
#include "platform/host/host.h"
#include "support/ZipBuilder.h"

namespace fuzzsupport {

using platform::host::EntryKind;
using platform::host::Environment;
using platform::host::ProcessOutcome;
using platform::host::ProcessStart;
using platform::host::RunResult;
using platform::host::Sandbox;
using platform::host::Storage;

namespace {

constexpr platform::u32 kInstallerCode = 77;
constexpr platform::u32 kFailure = 5;

std::string Text(const std::u16string& text) { return platform::host::Utf8(text); }

const std::u16string kTemp = u"C:\\Temp";

// What lies in the sandbox's temp folder (the staging folder, ZEB*.tmp), as Windows paths.
std::vector<std::u16string> StagingFolders(const Sandbox& sandbox) {
    std::vector<std::u16string> found;
    for (const std::string& entry : sandbox.List(kTemp)) {
        const size_t slash = entry.find('/');
        if (slash == std::string::npos || slash + 1 == entry.size())
            found.push_back(kTemp + u"\\" + platform::host::Utf16(entry.substr(0, slash)));
    }
    return found;
}

// What a folder holds: folded relative path -> content (files only).
std::map<std::u16string, std::string> Snapshot(const Sandbox& sandbox, const std::u16string& folder) {
    std::map<std::u16string, std::string> files;
    for (const std::string& entry : sandbox.List(folder)) {
        const std::u16string relative = platform::host::Utf16(entry);
        if (sandbox.KindOf(folder + u"\\" + relative) != EntryKind::File) continue;
        bool uncertain = false;
        files[fuzzmodel::PathKey(relative, &uncertain)] = sandbox.ReadFile(folder + u"\\" + relative);
    }
    return files;
}

std::u16string NameOf(const std::u16string& path) { return path.substr(path.rfind(u'\\') + 1); }

std::string Describe(const std::map<std::u16string, std::string>& files) {
    std::ostringstream out;
    for (const auto& [key, data] : files) out << "  " << Text(key) << " (" << data.size() << " bytes)\n";
    return out.str();
}

// How the runs ended and what could be compared, printed when the process ends.
struct Tally {
    uint64_t runs = 0, skippedLarge = 0, noArchive = 0, endsRun = 0, uncertain = 0,
             launchedMatched = 0, failedLaunchMatched = 0;
    ~Tally() {
        if (runs == 0) return;
        std::fprintf(stderr,
                     "whole runs: %llu; no archive %llu; extraction ends the run %llu; installer "
                     "started, files compared %llu; launch failed, files compared %llu; not "
                     "compared (uncertain paths) %llu; skipped as too large %llu\n",
                     (unsigned long long)runs, (unsigned long long)noArchive,
                     (unsigned long long)endsRun, (unsigned long long)launchedMatched,
                     (unsigned long long)failedLaunchMatched, (unsigned long long)uncertain,
                     (unsigned long long)skippedLarge);
    }
};
Tally g_tally;

struct Seen {
    bool started = false;
    std::u16string staging;
    std::u16string programKey;
    std::map<std::u16string, std::string> files;
};

}  // namespace

void Violation(const std::string& what) {
    std::fprintf(stderr, "\nINVARIANT VIOLATED: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

const std::string& StubImage() {
    static const std::string image = testsupport::FakeStubImage(256);
    return image;
}

size_t OpenDescriptors() {
    size_t count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr) ++count;
        closedir(dir);
    }
    return count;
}

void CheckWholeRun(const std::string& archive, Storage storage) {
    const std::string file = StubImage() + archive;

    // The model first: it also tells which inputs would allocate beyond what a fuzzer run allows.
    const fuzzmodel::Location where = fuzzmodel::Locate(file);
    if (where.kind == fuzzmodel::Kind::SevenZip) {
        // A quick look at the sizes before the run: the staging length only matters later.
        if (fuzzmodel::ExtractSevenZip(file, where.offset, 8).tooLarge) return void(++g_tally.skippedLarge);
    } else if (where.kind == fuzzmodel::Kind::Zip) {
        if (fuzzmodel::ExtractZip(file, where.offset, 8).tooLarge) return void(++g_tally.skippedLarge);
    }
    ++g_tally.runs;

    Sandbox sandbox(storage);
    Environment env;
    env.commandLine = u"\"C:\\stub\\SelfExtractor.exe\" /S";
    // Two processors: two unpacking workers where the archive has two folders or entries, taking
    // turns in an interleaving that the input's length picks.
    env.processors = 2;
    env.interleaveSeed = 1 + static_cast<uint32_t>(file.size() % 13);
    sandbox.WriteFile(env.modulePath, file);
    Seen seen;
    env.defaultProgram = [&](const ProcessStart& start) {
        if (seen.started) Violation("a second program started");
        seen.started = true;
        const auto folders = StagingFolders(sandbox);
        if (folders.size() != 1) Violation("not exactly one staging folder at the launch");
        seen.staging = folders[0];
        seen.files = Snapshot(sandbox, folders[0]);
        // The program must lie inside the staging folder (paths as stored: "." and ".." resolved,
        // names in their stored case; an archive makes no links).
        const std::string p = sandbox.RelativePath(start.file), b = sandbox.RelativePath(folders[0]) + "/";
        if (p.compare(0, b.size(), b) != 0) Violation("started a program outside the staging folder: " + p);
        if (sandbox.KindOf(start.file) != EntryKind::File) Violation("started something that is not a file: " + p);
        bool uncertain = false;
        seen.programKey = fuzzmodel::PathKey(platform::host::Utf16(p.substr(b.size())), &uncertain);
        if (start.parameters != u" /S") Violation("parameters not passed on: " + Text(start.parameters));
        return ProcessOutcome{kInstallerCode, false};
    };

    const size_t descriptorsBefore = sandbox.OpenDescriptors();
    const RunResult result = platform::host::Run(sandbox, env, [] {
        auto state = std::make_unique<stub::RunState>();
        stub::RunSequence(*state);
    });
    if (sandbox.OpenDescriptors() != descriptorsBefore) Violation("the run left a file descriptor open");

    // A defined end: ExitProcess with the failure code or the installer's code.
    if (!result.exited) Violation("the run returned without ExitProcess");
    if (result.exitCode != kFailure && result.exitCode != kInstallerCode)
        Violation("undefined exit code " + std::to_string(result.exitCode));
    if ((result.exitCode == kInstallerCode) != seen.started)
        Violation("exit code and installer start disagree");
    if (result.invalidHandleUses != 0) Violation("a handle was used after it was closed");
    if (result.invalidFrees != 0) Violation("a block was freed that was not allocated");

    // Nothing outside the staging folder: the sandbox holds the stub, the prepared folders and at
    // most one staging folder (gone after a launch).
    const auto staging = StagingFolders(sandbox);
    if (staging.size() > 1) Violation("more than one entry in the temp folder");
    const std::string stagingRelative = staging.empty() ? std::string() : sandbox.RelativePath(staging[0]);
    for (const std::string& entry : sandbox.ListAll()) {
        const bool known = entry == "C/" || entry == "C/stub/" || entry == "C/stub/SelfExtractor.exe" ||
                           entry == "C/Temp/" || entry == "C/cwd/" || entry == "C/Windows/" ||
                           entry == "C/Windows/System32/";
        const bool inStaging = !staging.empty() && entry.compare(0, stagingRelative.size(), stagingRelative) == 0;
        if (!known && !inStaging) Violation("a file was written outside the staging folder: " + entry);
    }
    if (seen.started && !staging.empty()) Violation("the staging folder stayed after a launch");
    if (sandbox.ReadFile(env.modulePath) != file) Violation("the stub's own file changed");

    // Against the model.
    if (where.tooShort || where.kind == fuzzmodel::Kind::None) {
        if (result.exitCode != kFailure) Violation("no archive, yet the run did not fail");
        ++g_tally.noArchive;
        return;
    }
    const std::u16string stagingPath = seen.started ? seen.staging : (staging.empty() ? std::u16string() : staging[0]);
    if (stagingPath.empty()) Violation("a failed run after the locator left no staging folder");
    const auto stagingLength = static_cast<uint32_t>(kTemp.size() + 1 + NameOf(stagingPath).size());
    const fuzzmodel::Extraction x = where.kind == fuzzmodel::Kind::Zip
        ? fuzzmodel::ExtractZip(file, where.offset, stagingLength)
        : fuzzmodel::ExtractSevenZip(file, where.offset, stagingLength);
    if (x.tooLarge) return void(++g_tally.skippedLarge);
    if (x.endsRun) {
        if (seen.started) Violation("the extraction must end the run, yet the installer started");
        ++g_tally.endsRun;
        return;
    }
    if (x.uncertain) return void(++g_tally.uncertain);
    // A 7z extraction stopped inside a folder with bad data: the stub keeps that folder's files
    // before the bad point, a prefix of them in order, each matching its stored CRC.
    std::map<std::u16string, std::string> certain = x.files;
    const std::map<std::u16string, std::string> got = seen.started ? seen.files : Snapshot(sandbox, stagingPath);
    if (x.stopped) {
        size_t kept = 0;
        while (kept < x.partial.size() && got.count(x.partial[kept].first)) ++kept;
        for (size_t k = 0; k < x.partial.size(); ++k) {
            const auto& [key, crc] = x.partial[k];
            const auto file = got.find(key);
            if (file == got.end()) continue;
            if (k >= kept) Violation("a file of the stopped folder was kept after one that was not: " + Text(key));
            if (crc && *crc != static_cast<uint32_t>(crc32(0L, reinterpret_cast<const Bytef*>(file->second.data()),
                                                          static_cast<uInt>(file->second.size()))))
                Violation("a file of the stopped folder was kept with a wrong CRC: " + Text(key));
            certain[key] = file->second;
        }
    }
    fuzzmodel::Extraction seenExtraction = x;
    seenExtraction.files = certain;
    const fuzzmodel::Launch launch = fuzzmodel::LaunchAfter(seenExtraction, stagingLength);
    if (launch.uncertain) return void(++g_tally.uncertain);
    if (launch.starts != seen.started)
        Violation(std::string("the model ") + (launch.starts ? "starts" : "does not start") +
                  " the program " + Text(launch.programKey) + "; the run " +
                  (seen.started ? "did" : "did not"));
    if (!seen.started) {
        // The extraction completed: what it left must be the model's files.
        const auto left = Snapshot(sandbox, stagingPath);
        if (left != certain)
            Violation("files left differ from the archive's\nleft:\n" + Describe(left) +
                      "expected:\n" + Describe(certain));
        ++g_tally.failedLaunchMatched;
        return;
    }
    if (seen.programKey != launch.programKey)
        Violation("started " + Text(seen.programKey) + ", expected " + Text(launch.programKey));
    if (seen.files != certain)
        Violation("the staging folder at the launch differs from the archive's files\nseen:\n" +
                  Describe(seen.files) + "expected:\n" + Describe(certain));
    ++g_tally.launchedMatched;
}

}  // namespace fuzzsupport
