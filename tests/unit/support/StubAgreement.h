// verify's verdict against the stub itself: a run of the stub's RunSequence on a file, made over
// the host backend with an environment of its own (not the tool's), and the comparison.
#pragma once

#include <memory>
#include <string>

#include "RunSequence.h"
#include "platform/host/host.h"
#include "sfxtool/Analysis.h"

namespace agreement {

// The staging path of the run below: C:\Temp\ZEBF000.tmp.
constexpr uint32_t kStagingLength = 19;

struct StubOutcome {
    bool started = false;  // the installer was started
    bool whole = false;    // ... after every entry was unpacked (no stop noted)
    uint32_t exitCode = 0;
};

inline StubOutcome RunStub(const std::string& file) {
    namespace host = platform::host;
    host::Sandbox sandbox;
    host::Environment env;
    env.tempFileStart = 0xF000;
    env.commandLine = u"\"C:\\stub\\SelfExtractor.exe\" /S";
    sandbox.WriteFile(env.modulePath, file);
    StubOutcome out;
    env.defaultProgram = [&](const host::ProcessStart&) {
        out.started = true;
        return host::ProcessOutcome{0, false};
    };
    host::Faults faults;
    faults.heapLimit = sfxtool::kLikelyHeapLimit;
    const host::RunResult run = host::Run(sandbox, env, [] {
        auto state = std::make_unique<stub::RunState>();
        stub::RunSequence(*state);
    }, faults);
    out.whole = out.started && run.notes.empty();
    out.exitCode = run.exitCode;
    return out;
}

// Empty when verify's verdict on the analysed file matches the stub's run; else what differs.
inline std::string Disagreement(const sfxtool::Report& report, const StubOutcome& stub) {
    // Bytes after the archive are a problem of the release, not of the run: the stub never reads
    // them, so they do not count against the stub's outcome.
    size_t errors = sfxtool::ErrorCount(report);
    for (const auto& problem : report.problems) errors -= !problem.warning && problem.code == "trailing-data";
    const bool verifyPasses = errors == 0;
    if (verifyPasses == stub.whole) return {};
    return std::string("verify ") + (verifyPasses ? "passes" : "fails") + " a file the stub " +
           (stub.started ? (stub.whole ? "runs whole" : "runs after a stopped extraction")
                         : "ends with exit code " + std::to_string(stub.exitCode));
}

}  // namespace agreement
