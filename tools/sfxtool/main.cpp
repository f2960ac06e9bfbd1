// sfxtool: packs, inspects and verifies self-extracting installers (the stub with an archive
// appended). Exit codes: 0 all well, 1 problems with the input, 2 usage errors.
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>

#include "sfxtool/Analysis.h"
#include "sfxtool/Pack.h"
#include "sfxtool/Stubs.h"

namespace {

constexpr int kOk = 0;
constexpr int kInputProblem = 1;
constexpr int kUsage = 2;

int Fail(const std::string& message) {
    std::cerr << "sfxtool: " << message << "\n";
    return kInputProblem;
}

void PrintProblems(const std::string& prefix, const sfxtool::Problems& problems) {
    for (const auto& p : problems)
        std::cerr << "sfxtool: " << prefix << (p.warning ? "warning: " : "") << p.message << "\n";
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"sfxtool: pack, inspect and verify self-extracting installers (stub + 7z/ZIP archive).\n"
                 "Exit codes: 0 all well, 1 problems with the input, 2 usage errors.",
                 "sfxtool"};
    app.require_subcommand(1);
    app.set_help_all_flag("--help-all", "Help for every command");
    const std::string toolDir = sfxtool::ToolDir();
    app.set_version_flag("--version", [&toolDir] { return sfxtool::VersionText(SFX_VERSION, toolDir); },
                         "Print the version and the SHA-256 of each stub the tool carries");

    uint32_t stagingLength = sfxtool::kDefaultStagingLength;
    const std::string stagingHelp =
        "Length in UTF-16 units of the staging folder path assumed for the stub's path-length rule "
        "(default 64: a typical user's temp folder plus \"ZEBxxxx.tmp\")";

    // pack
    auto* pack = app.add_subcommand("pack", "Append an archive to the stub: from a folder (built here, 7z or ZIP) or an existing archive; "
                                            "written atomically and verified");
    sfxtool::PackOptions packOptions;
    std::string launch;
    std::string stub = sfxtool::StubNames().front();
    pack->add_option("--stub", stub, "The stub: win32 (the default, the shipping 32-bit stub) or win64, the stubs the tool "
                                     "carries (see sfxtool --version), or the path of any other stub executable");
    pack->add_option("--payload", packOptions.payload, "A folder to pack, or an existing 7z or ZIP archive to append as it is")->required();
    auto* formatOption = pack->add_option("--format", packOptions.format, "Archive format for a folder (default 7z)")
                             ->check(CLI::IsMember({"7z", "zip"}));
    auto* launchOption = pack->add_option("--launch", launch, "Program the stub runs, relative to the folder (written as .launch; folders only)");
    bool noFollowLinks = false;
    pack->add_flag("--no-follow-links", noFollowLinks,
                   "Refuse every link in the folder (by default a link to a file inside it is stored as a copy of that file, "
                   "and a link to a folder inside it is followed)");
    pack->add_option("-o,--output", packOptions.out, "The installer to write")->required();
    pack->add_option("--staging-length", stagingLength, stagingHelp)->check(CLI::Range(1, 258));
    pack->add_option("--icon", packOptions.identity.icon, "An .ico file: its images become the installer's icon (replacing the stub's)");
    std::vector<std::string> versionInfo;
    pack->add_option("--version-info", versionInfo,
                     "KEY=VALUE, repeatable: a version string of the installer (UTF-8). Keys: CompanyName, FileDescription, "
                     "FileVersion, InternalName, LegalCopyright, OriginalFilename, ProductName, ProductVersion, Comments. "
                     "A FileVersion or ProductVersion a.b.c.d also sets the numeric version. Replaces the stub's version resource")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    pack->add_option("--execution-level", packOptions.identity.executionLevel,
                     "The level the installer's manifest requests (default asInvoker, the stub's)")
        ->check(CLI::IsMember(sfxtool::kExecutionLevels));
    std::string wait, failureMessage;
    auto* waitOption = pack->add_option("--wait", wait,
                                        "When the stub deletes its staging folder: staging (the default) waits while a program "
                                        "started from it still runs, tree also for every process the installer started, "
                                        "installer only for the installer (at most 30 minutes after it ends)")
                           ->check(CLI::IsMember(sfxtool::kWaitModes));
    auto* failureOption = pack->add_option("--failure-message", failureMessage,
                                           "Text (UTF-8, at most 1024 UTF-16 units) of a message box the stub shows when it "
                                           "fails with exit code 5, with a line naming the cause");
    pack->add_flag("--progress", packOptions.options.progress,
                   "Show a progress window with Cancel when unpacking takes more than a second");
    pack->add_flag("--log", packOptions.options.log,
                   "The stub writes the log of every run to <installer name>-<yyyyMMdd-HHmmss>-<pid>.log (UTC) in the "
                   "temp folder it unpacks under (SELFEXTRACTOR_LOG, when set, names the file instead)");
    pack->add_option("--silent-switch", packOptions.options.silentSwitches,
                     "WORD, repeatable: a switch (/WORD or -WORD, any case) in the installer's parameters that keeps the "
                     "stub from showing any window; replaces the default list /S /Q /quiet /qn /passive /VERYSILENT "
                     "/SILENT /SUPPRESSMSGBOXES")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    std::string blockSize = "64M";
    pack->add_option("--block-size", blockSize,
                     "7z: a new folder (solid block) starts at the first file boundary after SIZE bytes of input "
                     "(bytes, or K, M, G; default 64M); a larger file is a folder of its own; 0: one solid folder");
    pack->add_option("--jobs", packOptions.jobs, "7z: at most N 7zz at once, each with two threads; 1: one 7zz on one thread "
                                                 "(default: one per processor); the output is the same for any N")
        ->check(CLI::Range(1u, 4096u));
    pack->add_flag("--fast", packOptions.fast,
                   "7z: compress faster into a larger archive (a 16 MiB dictionary and a hash-chain match finder, "
                   "instead of a dictionary sized to each folder up to 48 MiB and a binary-tree match finder)");
    bool quiet = false;
    pack->add_flag("-q,--quiet", quiet, "No progress and no summary line (problems are still printed)");
    pack->footer("The same inputs give a byte-identical output; entry times come from SOURCE_DATE_EPOCH when set.\n"
                 "7z archives are built with 7zz (LZMA with a dictionary sized to each folder, x86 BCJ2 for folders "
                 "holding executables, LZMA-packed header), the files grouped by type, one folder per --block-size of "
                 "input, compressed side by side.\n"
                 "On a terminal, pack shows its progress on stderr (bytes, rate, time left) unless --quiet.\n"
                 "The identity options and the installer options (--wait, --failure-message, --progress, --silent-switch, --log) "
                 "rewrite the resource section of the installer's copy of the stub; the stub file is not changed. Without "
                 "any installer option the stub keeps its defaults.");

    // inspect
    auto* inspect = app.add_subcommand("inspect", "Describe an installer: archive position and kind, entries, what follows the archive, "
                                                  "the program the stub runs, and every problem verify would report");
    std::string inspectFile;
    bool json = false;
    inspect->add_option("FILE", inspectFile, "The installer (or any file)")->required();
    inspect->add_flag("--json", json, "One JSON document instead of text");
    inspect->add_option("--staging-length", stagingLength, stagingHelp)->check(CLI::Range(1, 258));
    inspect->footer("Exits 0 whenever the file could be read, problems or not.");

    // verify
    auto* verify = app.add_subcommand("verify", "Check an installer for everything that would make the stub fail or misbehave; "
                                                "one line per problem on stderr, exit 1 when there is any");
    std::string verifyFile;
    verify->add_option("FILE", verifyFile, "The installer")->required();
    verify->add_option("--staging-length", stagingLength, stagingHelp)->check(CLI::Range(1, 258));

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::cout << app.help();
        return kOk;
    } catch (const CLI::CallForAllHelp&) {
        std::cout << app.help("", CLI::AppFormatMode::All);
        return kOk;
    } catch (const CLI::CallForVersion& e) {
        std::cout << e.what();
        return kOk;
    } catch (const CLI::ParseError& e) {
        std::string what = e.what();
        if (what.empty()) what = "a command is required: pack, inspect or verify";
        std::string hint = "sfxtool --help";
        for (const CLI::App* sub : {pack, inspect, verify})
            if (sub->parsed()) hint = "sfxtool " + sub->get_name() + " --help";
        std::cerr << "sfxtool: " << what << " (see " << hint << ")\n";
        return kUsage;
    }

    try {
        if (*pack) {
            packOptions.stub = sfxtool::ResolveStub(toolDir, stub);
            packOptions.stagingLength = stagingLength;
            packOptions.formatGiven = formatOption->count() > 0;
            packOptions.followLinks = !noFollowLinks;
            struct stat st{};
            const bool payloadIsFolder = stat(packOptions.payload.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
            if (launchOption->count() > 0) {
                if (!payloadIsFolder) {
                    std::cerr << "sfxtool: --launch goes only with a payload folder; an archive keeps its own .launch (see sfxtool pack --help)\n";
                    return kUsage;
                }
                packOptions.launch = launch;
            }
            for (const auto& argument : versionInfo)
                packOptions.identity.versionInfo.push_back(sfxtool::ParseVersionInfoArgument(argument));
            sfxtool::VersionFromStrings(packOptions.identity.versionInfo);  // a key given twice
            if (waitOption->count() > 0) packOptions.options.wait = wait;
            if (failureOption->count() > 0) packOptions.options.failureMessage = failureMessage;
            packOptions.epoch = sfxtool::EntryTime();
            try {
                packOptions.blockSize = sfxtool::ParseByteSize(blockSize);
            } catch (const sfxtool::PackError& e) {
                std::cerr << "sfxtool: --block-size: " << e.what() << " (see sfxtool pack --help)\n";
                return kUsage;
            }
            packOptions.terminalProgress = !quiet && isatty(STDERR_FILENO);
            const sfxtool::Report report = sfxtool::Pack(packOptions);
            if (sfxtool::ErrorCount(report) != 0) {
                PrintProblems("pack: ", report.problems);
                std::cerr << "sfxtool: pack: " << packOptions.out << " not written\n";
                return kInputProblem;
            }
            PrintProblems("pack: ", report.problems);  // warnings only
            if (!quiet)
                std::cout << "wrote " << packOptions.out << ": " << sfxtool::KindName(report.kind) << " archive at offset "
                      << report.offset << ", " << report.entries.size() << " entries, runs " << report.program << "\n";
            return kOk;
        }
        if (*inspect) {
            const sfxtool::Report report = sfxtool::Analyse(inspectFile, stagingLength);
            // Entry names are bytes from the archive: invalid UTF-8 is written as U+FFFD.
            if (json) std::cout << sfxtool::ReportJson(report).dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
            else std::cout << sfxtool::ReportText(report);
            return kOk;
        }
        if (*verify) {
            const sfxtool::Report report = sfxtool::Analyse(verifyFile, stagingLength);
            PrintProblems(verifyFile + ": ", report.problems);
            if (sfxtool::ErrorCount(report) != 0) return kInputProblem;
            std::cout << verifyFile << ": ok (" << sfxtool::KindName(report.kind) << " at offset " << report.offset << ", "
                      << report.entries.size() << " entries, runs " << report.program << ")\n";
            return kOk;
        }
    } catch (const sfxtool::IdentityUsageError& e) {
        std::cerr << "sfxtool: pack: " << e.what() << " (see sfxtool pack --help)\n";
        return kUsage;
    } catch (const sfxtool::OptionsUsageError& e) {
        std::cerr << "sfxtool: pack: " << e.what() << " (see sfxtool pack --help)\n";
        return kUsage;
    } catch (const sfxtool::InputError& e) {
        return Fail(e.what());
    } catch (const sfxtool::PackError& e) {
        return Fail(std::string("pack: ") + e.what());
    } catch (const std::exception& e) {
        return Fail(e.what());
    }
    return kUsage;
}
