// One extraction as the stub runs it (staging folder, its own file opened and set on the archive,
// the 7z or ZIP extractor) in a host run on a machine of a given number of processors, in a memory
// sandbox, for the tests of the parallel workers.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "run/RunState.h"
#include "staging/StagingDirectory.h"
#include "payload/SevenZipExtractor.h"
#include "payload/ZipEntryExtractor.h"
#include "platform/host/host.h"
#include "support/ZipBuilder.h"

namespace workerrun {

using platform::host::Call;
using platform::host::CallRecord;
using platform::host::Environment;
using platform::host::Faults;
using platform::host::RunResult;
using platform::host::Sandbox;

inline const std::u16string kSelf = u"C:\\stub\\SelfExtractor.exe";

struct Unpacked {
    RunResult result;
    bool returned = false;
    stub::ExtractionEnd end = stub::ExtractionEnd::Finished;
    std::map<std::string, std::string> files;  // what the staging folder holds
    uint64_t consumed = 0, total = 0;
    uint32_t workers = 0;  // opens of the stub's file: the set-up's (the first worker's), one for each other
};

// The stub's set-up and the extractor on a fake image followed by `archive`, in one host run.
// `during` (when given) is called at every platform call with the run state.
inline Unpacked Unpack(const std::string& archive, uint32_t processors, uint32_t seed, Faults faults = {},
                const std::function<void(stub::RunState&, const CallRecord&)>& during = {}) {
    Sandbox sandbox(platform::host::Storage::Memory);
    sandbox.WriteFile(kSelf, testsupport::FakeStubImage(4096) + archive);
    Environment env;
    env.modulePath = kSelf;
    env.processors = processors;
    env.interleaveSeed = seed;
    auto state = std::make_unique<stub::RunState>();
    if (during) {
        faults.failWhen = [&](const CallRecord& call) {
            during(*state, call);
            return false;
        };
    }
    Unpacked out;
    std::u16string staging;
    out.result = platform::host::Run(
        sandbox, env,
        [&] {
            using namespace platform;
            if (!stub::CreateStagingDirectory(state->staging)) ExitProcess(stub::kFailureExitCode);
            staging.assign(state->staging.stagingPath, state->staging.stagingLength);
            std::copy(kSelf.begin(), kSelf.end(), state->selfPath);
            state->selfPath[kSelf.size()] = 0;
            state->selfFile = CreateFileW(kSelf.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
            // Straight to the archive (the locator passes over 7z archives whose first folder is not LZMA).
            i32 high = 0;
            if (SetFilePointer(state->selfFile, 4096, &high, FILE_BEGIN) != 4096) ExitProcess(stub::kFailureExitCode);
            out.end = archive[0] == '7' ? stub::SevenZipExtractor(*state) : stub::ZipEntryExtractor(*state);
            out.returned = true;
            CloseHandle(state->selfFile);
            CloseHandle(state->staging.folder.handle);  // the hold, as the delete lets go
        },
        faults);
    out.consumed = stub::ProgressConsumed(state->progress);
    out.total = stub::ProgressTotal(state->progress);
    for (const CallRecord& call : out.result.calls) out.workers += call.call == Call::CreateFileW && call.path == kSelf;
    for (const std::string& path : sandbox.List(staging)) {
        if (path.back() != '/') out.files[path] = sandbox.ReadFile(staging + u"\\" + platform::host::Utf16(path));
    }
    return out;
}

}  // namespace workerrun
