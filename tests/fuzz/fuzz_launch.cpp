// The launcher's two readers of outside text on arbitrary input: the parameter tail of the command
// line, and the `.launch` file. The input is split into a command line (UTF-16 units) and the
// `.launch` bytes. The staging folder holds a few programs, a folder, and programs outside it
// that a hostile `.launch` might reach for.
//
// Checks: the tail is the rule's (an index inside the line) and reaches the program unchanged; the
// run ends with 5 or the installer's code; a program is started only when the model says so, it is
// the one the first line names, and it lies inside the staging folder.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <memory>
#include <string>

#include "run/CommandLine.h"
#include "FuzzSupport.h"
#include "ReferenceModel.h"
#include "staging/PrivateFolder.h"
#include "launcher/InstallerLauncher.h"
#include "run/RunState.h"
#include "platform/host/host.h"

using namespace platform;

namespace {

constexpr u32 kInstallerCode = 77;
const std::u16string kStaging = u"C:\\Temp\\ZEB1A2B.tmp";

// The launcher deletes the staging folder after a start: made again whenever it is gone. In
// memory, as the whole-run harnesses.
host::Sandbox& PreparedSandbox() {
    static host::Sandbox sandbox(host::Storage::Memory);
    if (!sandbox.Exists(kStaging)) {
        for (const char16_t* path : {u"C:\\Temp\\ZEB1A2B.tmp\\setup.exe", u"C:\\Temp\\ZEB1A2B.tmp\\sub\\setup.exe",
                                     u"C:\\Temp\\ZEB1A2B.tmp\\Orvak ZEB Installer.exe",
                                     u"C:\\Temp\\outside.exe", u"C:\\evil.exe", u"C:\\Windows\\System32\\cmd.exe"})
            sandbox.WriteFile(path, "MZ");
        sandbox.MakeFolder(kStaging + u"\\dir");
    }
    return sandbox;
}

void FillStaging(stub::StagingState& staging) {
    const auto length = static_cast<u32>(kStaging.size());
    std::copy(kStaging.begin(), kStaging.end(), staging.stagingPath);
    staging.stagingPath[length] = 0;
    staging.stagingPath[length + 1] = 0;
    staging.stagingLength = length;
    std::copy(kStaging.begin(), kStaging.end(), staging.stagingRoot);
    staging.stagingRoot[length] = u'\\';
    staging.stagingRoot[length + 1] = 0;
    staging.entryTail = length + 1;
    // Held, as its creation leaves it, so that the launch's delete takes it.
    if (!stub::HoldFolder(kStaging.c_str(), staging.folder)) staging.folder.handle = platform::INVALID_HANDLE_VALUE;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const size_t units = input.ConsumeIntegralInRange<size_t>(0, 300);
    std::u16string commandLine;
    for (size_t i = 0; i < units && input.remaining_bytes() >= 2; ++i) {
        const auto unit = input.ConsumeIntegral<uint16_t>();
        if (unit == 0) break;
        commandLine += static_cast<char16_t>(unit);
    }
    const bool withLaunch = input.ConsumeBool();
    const std::string launchBytes = input.ConsumeRemainingBytesAsString();

    // The tail alone.
    const size_t tailIndex = fuzzmodel::ParameterTailIndex(commandLine);
    const WChar* tail = stub::ParameterTail(commandLine.c_str());
    if (tail < commandLine.c_str() || tail > commandLine.c_str() + commandLine.size() ||
        static_cast<size_t>(tail - commandLine.c_str()) != tailIndex)
        fuzzsupport::Violation("parameter tail differs from the rule");

    host::Sandbox& sandbox = PreparedSandbox();
    sandbox.Remove(kStaging + u"\\.launch");
    if (withLaunch) sandbox.WriteFile(kStaging + u"\\.launch", launchBytes);

    host::Environment env;
    env.commandLine = commandLine;
    bool started = false;
    std::u16string startedKey;
    env.defaultProgram = [&](const host::ProcessStart& start) {
        started = true;
        // Paths as stored: "." and ".." resolved, names in their stored case (no links here).
        const std::string program = sandbox.RelativePath(start.file);
        const std::string base = sandbox.RelativePath(kStaging) + "/";
        if (program.compare(0, base.size(), base) != 0)
            fuzzsupport::Violation("started a program outside the staging folder: " + program);
        bool uncertain = false;
        startedKey = fuzzmodel::PathKey(host::Utf16(program.substr(base.size())), &uncertain);
        if (start.parameters != commandLine.substr(tailIndex))
            fuzzsupport::Violation("the parameters are not the command line's tail");
        return host::ProcessOutcome{kInstallerCode, false};
    };
    const size_t descriptors = sandbox.OpenDescriptors();
    const host::RunResult result = host::Run(sandbox, env, [] {
        auto state = std::make_unique<stub::RunState>();
        state->commandLine = platform::GetCommandLineW();
        FillStaging(state->staging);
        stub::InstallerLauncher(*state);
    });
    if (sandbox.OpenDescriptors() != descriptors) fuzzsupport::Violation("descriptor leak");
    if (!result.exited) fuzzsupport::Violation("the launcher returned");
    if (result.exitCode != 5 && result.exitCode != kInstallerCode) fuzzsupport::Violation("exit code");
    if ((result.exitCode == kInstallerCode) != started) fuzzsupport::Violation("exit code and start disagree");

    // The model, over what the staging folder holds.
    fuzzmodel::Extraction x;
    bool uncertain = false;
    for (const char16_t* name : {u"setup.exe", u"sub/setup.exe", u"Orvak ZEB Installer.exe"})
        x.files[fuzzmodel::PathKey(name, &uncertain)] = "MZ";
    x.folders.insert(fuzzmodel::PathKey(u"sub", &uncertain));
    x.folders.insert(fuzzmodel::PathKey(u"dir", &uncertain));
    if (withLaunch) x.files[fuzzmodel::PathKey(u".launch", &uncertain)] = launchBytes;
    const fuzzmodel::Launch launch = fuzzmodel::LaunchAfter(x, static_cast<uint32_t>(kStaging.size()));
    if (launch.uncertain) return 0;
    if (launch.starts != started)
        fuzzsupport::Violation(std::string("the model ") + (launch.starts ? "starts " : "does not start ") +
                               host::Utf8(launch.programKey));
    if (started && startedKey != launch.programKey)
        fuzzsupport::Violation("started " + host::Utf8(startedKey) + ", expected " + host::Utf8(launch.programKey));
    return 0;
}
