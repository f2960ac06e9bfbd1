// `sfxtool inspect` on arbitrary files: the analysis, its JSON and its text must come out for any
// readable file (no exception but the tool's own input error, which a readable file never gets),
// and what it reports must hold together: the stub's locator result equals the reference scan,
// positions lie inside the file, and the JSON document can be written. And verify's verdict must
// agree with the stub: the file passes exactly when a run of the stub on it, made here on its
// own, unpacks everything and starts the installer.
//
// The first input byte chooses whether the rest follows a minimal Windows image (so that the
// image-aware paths run) or stands alone.
#include <unistd.h>

#include <memory>

#include <cstdint>
#include <fstream>
#include <string>

#include "FuzzSupport.h"
#include "ReferenceModel.h"
#include "sfxtool/Analysis.h"
#include "sfxtool_test_support.h"
#include "support/StubAgreement.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // One scratch file per process, removed when the process ends normally.
    static const struct Scratch {
        std::string path;
        Scratch() {
            const char* tmp = getenv("TMPDIR");
            path = std::string(tmp && *tmp ? tmp : "/tmp") + "/fuzz-inspect-" + std::to_string(getpid()) + ".exe";
        }
        ~Scratch() { unlink(path.c_str()); }
    } scratch;
    const std::string& path = scratch.path;
    if (size == 0) return 0;
    const size_t descriptors = fuzzsupport::OpenDescriptors();
    std::string file(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (data[0] & 1) file = sfxtest::FakeStub(static_cast<char>(data[0] >> 1)) + file;
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(file.data(), static_cast<std::streamsize>(file.size()));
    }
    constexpr uint32_t stagingLength = agreement::kStagingLength;
    sfxtool::Report report;
    try {
        report = sfxtool::Analyse(path, stagingLength);
    } catch (const sfxtool::InputError& e) {
        fuzzsupport::Violation(std::string("input error on a readable file: ") + e.what());
    }
    // As `sfxtool inspect --json` writes it (names are archive bytes: invalid UTF-8 becomes
    // U+FFFD), and it must read back as JSON.
    std::string json;
    try {
        json = sfxtool::ReportJson(report).dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
        static_cast<void>(nlohmann::json::parse(json));
    } catch (const std::exception& e) {
        fuzzsupport::Violation(std::string("the JSON report cannot be written: ") + e.what());
    }
    const std::string text = sfxtool::ReportText(report);
    if (json.empty() || text.empty()) fuzzsupport::Violation("empty report");

    if (report.fileSize != file.size()) fuzzsupport::Violation("file size");
    const fuzzmodel::Location where = fuzzmodel::Locate(file);
    if (report.located.ended != where.tooShort) fuzzsupport::Violation("locator end differs");
    if (!where.tooShort) {
        const auto kind = report.located.kind;
        const bool same = (where.kind == fuzzmodel::Kind::None && kind == sfxtool::ArchiveKind::None) ||
                          (where.kind == fuzzmodel::Kind::Zip && kind == sfxtool::ArchiveKind::Zip) ||
                          (where.kind == fuzzmodel::Kind::SevenZip && kind == sfxtool::ArchiveKind::SevenZip);
        if (!same) fuzzsupport::Violation("locator kind differs from the reference scan");
        if (where.kind != fuzzmodel::Kind::None && report.located.offset != where.offset)
            fuzzsupport::Violation("locator offset differs from the reference scan");
    }
    if (report.found && report.offset >= file.size()) fuzzsupport::Violation("archive offset past the end");
    if (report.trailingSize > file.size()) fuzzsupport::Violation("trailing size past the file");

    // The stub's own run on the file, made here with its own environment.
    const std::string disagreement = agreement::Disagreement(report, agreement::RunStub(file));
    if (!disagreement.empty()) fuzzsupport::Violation(disagreement);
    if (fuzzsupport::OpenDescriptors() != descriptors) fuzzsupport::Violation("descriptor leak");
    return 0;
}
