// Relaunch from a private copy: the mode choice, the private folder and the copy's path, the
// parameters handed to the copy, the copy's outcome, the length limits, and a fault sweep over
// every platform call of a relaunch run.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "run/CommandLine.h"
#include "launcher/InstallerLauncher.h"
#include "RunSequence.h"
#include "run/RunState.h"
#include "platform/host/host.h"
#include "relaunch/CleanFolderRelaunch.h"
#include "relaunch/PrivateCopyPathBuilder.h"
#include "relaunch/PrivateCopyRunner.h"
#include "support/ZipBuilder.h"

namespace {

namespace fs = std::filesystem;
namespace host = platform::host;
using host::Call;
using host::Faults;
using host::ProcessOutcome;
using host::ProcessStart;
using host::RunResult;
using host::Sandbox;
using platform::u32;

std::u16string U(const std::string& text) { return host::Utf16(text); }
std::string N(const std::u16string& text) { return host::Utf8(text); }

const std::u16string kStubFolder = u"C:\\stub";
const std::u16string kStubPath = u"C:\\stub\\SelfExtractor.exe";
const std::string kStubImage("MZ\x90\x00 relaunch test image \x01\x02\xff", 28);

// "C:\" followed by folder names, exactly `length` units long (no trailing backslash).
std::u16string FolderOfLength(size_t length) {
    std::u16string path = u"C:";
    size_t rest = length - path.size();
    while (rest > 0) {
        size_t name = std::min<size_t>(rest - 1, 80);
        if (rest - 1 - name == 1) name -= 2;  // never leave room for a lone backslash
        path += u'\\';
        path += std::u16string(name, u'd');
        rest -= name + 1;
    }
    return path;
}

// The shape of a sandbox entry the relaunch may create, or the entry itself.
std::string Shape(const std::string& entry) {
    static const std::regex guidFolder(
        R"(C/Temp/\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\}/)");
    static const std::regex guidCopy(
        R"(C/Temp/\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\}/ZEBInstaller\.exe)");
    static const std::regex reservedFolder(R"(C/Temp/JUV[0-9A-F]{1,4}\.tmp/)");
    static const std::regex reservedCopy(R"(C/Temp/JUV[0-9A-F]{1,4}\.tmp/ZEBInstaller\.exe)");
    static const std::regex reservedFile(R"(C/Temp/JUV[0-9A-F]{1,4}\.tmp)");
    if (std::regex_match(entry, guidFolder)) return "folder/";
    if (std::regex_match(entry, guidCopy)) return "folder/copy";
    if (std::regex_match(entry, reservedFolder)) return "folder/";
    if (std::regex_match(entry, reservedCopy)) return "folder/copy";
    if (std::regex_match(entry, reservedFile)) return "reserved-file";
    static const std::regex guidInside(
        R"(C/Temp/\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\}/(.+))");
    std::smatch inside;
    if (std::regex_match(entry, inside, guidInside)) return "folder/" + inside[1].str();
    return entry;
}

using Shapes = std::vector<std::string>;

// What a started copy found when it started.
struct CopySeen {
    ProcessStart start;
    bool fileIsStub = false;        // the started file holds the stub's bytes
    Shapes folderListing;           // its working folder's entries
};

class Relaunch : public ::testing::Test {
protected:
    void SetUp() override {
        env.commandLine = u"\"C:\\stub\\SelfExtractor.exe\" /quiet";
        env.defaultProgram = [this](const ProcessStart& start) { return StartCopy(start); };
        Prepare(sandbox);
    }

    // The stub beside a DLL, and the environment's folders made up front so that a run's
    // additions are only what the run itself made.
    void Prepare(Sandbox& box) const {
        box.WriteFile(env.modulePath, stubBytes);
        box.WriteFile(u"C:\\stub\\helper.dll", "not really a library");
        for (const std::u16string& folder : {env.tempFolder, env.currentDirectory, env.systemFolder}) {
            fs::create_directories(box.LinuxPath(folder));
        }
    }

    ProcessOutcome StartCopy(const ProcessStart& start) {
        CopySeen copy;
        copy.start = start;
        copy.fileIsStub = current->Exists(start.file) && current->ReadFile(start.file) == stubBytes;
        if (!start.directory.empty() && current->Exists(start.directory)) {
            copy.folderListing = current->List(start.directory);
        }
        seen.push_back(copy);
        if (holdFileWhileRunning) {  // a running program's image cannot be deleted
            platform::CreateFileW(start.file.c_str(), platform::GENERIC_READ, 0, nullptr,
                                  platform::OPEN_EXISTING, 0, nullptr);
        }
        return copyOutcome;
    }

    // The whole stub from its entry point.
    RunResult RunStub(const Faults& faults = {}) {
        seen.clear();
        return host::Run(*current, env, [] {
            stub::RunState state{};
            stub::RunSequence(state);
        }, faults);
    }

    // Relaunch mode alone, with the run state as the run sequence leaves it.
    RunResult RunRelaunch(const Faults& faults = {}, long pathLength = -1) {
        seen.clear();
        const std::u16string module = env.modulePath;
        const std::u16string* commandLine = &env.commandLine;
        return host::Run(*current, env, [&] {
            stub::RunState state{};
            const size_t kept = std::min<size_t>(module.size(), platform::kMaxPathChars - 1);
            std::copy(module.begin(), module.begin() + kept, state.relaunchSelfPath);
            state.relaunchSelfPath[kept] = 0;
            state.relaunchSelfPathLength =
                pathLength >= 0 ? static_cast<u32>(pathLength)
                                : static_cast<u32>(std::min<size_t>(module.size(), 260));
            state.commandLine = commandLine->c_str();
            stub::CleanFolderRelaunch(state);
        }, faults);
    }

    Shapes Added(const std::vector<std::string>& before) const {
        Shapes added;
        for (const std::string& entry : current->ListAll()) {
            if (!std::binary_search(before.begin(), before.end(), entry)) added.push_back(Shape(entry));
        }
        std::sort(added.begin(), added.end());
        return added;
    }

    Sandbox sandbox;
    Sandbox* current = &sandbox;
    host::Environment env;
    std::string stubBytes = kStubImage;
    ProcessOutcome copyOutcome{3, false};
    bool holdFileWhileRunning = false;
    std::vector<CopySeen> seen;
};

bool RelaunchedOnce(const RunResult& result, const std::vector<CopySeen>& seen) {
    return seen.size() == 1 && result.CountOf(Call::CopyFileW) == 1 && !result.attachedConsole &&
           !result.threadStarted && result.CountOf(Call::CreateThread) == 0;
}

bool TookNormalMode(const RunResult& result, const std::vector<CopySeen>& seen) {
    return seen.empty() && result.CountOf(Call::CopyFileW) == 0 && result.threadStarted &&
           result.CountOf(Call::GetTempPathW) > 0;  // the staging directory's, not a private copy
}

// ---- mode choice ------------------------------------------------------------------------------

TEST_F(Relaunch, AnyDllEntryBesideTheStubChoosesRelaunchModeAndOnlyThat) {
    // A folder named like a DLL counts; the relaunch never attaches a console or starts the pump.
    fs::remove(sandbox.LinuxPath(u"C:\\stub\\helper.dll"));
    fs::create_directories(sandbox.LinuxPath(u"C:\\stub\\x.dll"));
    RunResult result = RunStub();
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exitCode, 3u);
    EXPECT_TRUE(RelaunchedOnce(result, seen));
    EXPECT_EQ(result.CountOf(Call::AttachConsole), 0u);
    EXPECT_EQ(result.CountOf(Call::FindFirstFileW), 1u);

    // A failing FindClose changes nothing.
    Faults closeFails;
    closeFails.failEvery = {Call::FindClose};
    result = RunStub(closeFails);
    EXPECT_EQ(result.exitCode, 3u);
    EXPECT_TRUE(RelaunchedOnce(result, seen));
}

TEST_F(Relaunch, NoMatchOrAFailingListingChoosesNormalMode) {
    fs::remove(sandbox.LinuxPath(u"C:\\stub\\helper.dll"));
    sandbox.WriteFile(u"C:\\stub\\a.txt", "a");
    sandbox.WriteFile(u"C:\\stub\\dll.txt", "b");
    sandbox.WriteFile(u"C:\\stub\\x.dl", "c");
    sandbox.WriteFile(u"C:\\stub\\dll", "d");
    RunResult result = RunStub();
    EXPECT_TRUE(TookNormalMode(result, seen));

    // A DLL is there, but the listing fails: no DLL as far as the stub can tell.
    sandbox.WriteFile(u"C:\\stub\\helper.dll", "dll");
    Faults listingFails;
    listingFails.failEvery = {Call::FindFirstFileW};
    listingFails.lastError = platform::ERROR_ACCESS_DENIED;
    result = RunStub(listingFails);
    EXPECT_TRUE(TookNormalMode(result, seen));
    EXPECT_EQ(result.CountOf(Call::FindClose), 0u);

    // And a stub folder that does not exist (a listing of nothing).
    result = host::Run(sandbox, env, [] {
        EXPECT_EQ(stub::DllPresenceTest(u"C:\\missing"), stub::DllPresence::None);
        EXPECT_EQ(stub::DllPresenceTest(u"C:\\stub"), stub::DllPresence::Present);
    });
    EXPECT_EQ(result.handlesLeft, 0u);  // the search handle was closed
}

TEST_F(Relaunch, TestPatternThatDoesNotFitEndsWith5) {
    // The pattern is the folder and "\*.dll" in 260 units: folders of up to 253 units fit.
    const std::u16string fits = FolderOfLength(253);
    const std::u16string tooLong = FolderOfLength(254);
    ASSERT_EQ(fits.size(), 253u);
    ASSERT_EQ(tooLong.size(), 254u);
    sandbox.WriteFile(fits + u"\\a.dll", "dll");
    sandbox.WriteFile(tooLong + u"\\a.dll", "dll");
    RunResult result = host::Run(sandbox, env, [&] {
        EXPECT_EQ(stub::DllPresenceTest(fits.c_str()), stub::DllPresence::Present);
        EXPECT_EQ(stub::DllPresenceTest(tooLong.c_str()), stub::DllPresence::PatternTooLong);
    });
    EXPECT_EQ(result.CountOf(Call::FindFirstFileW), 1u);  // the long one never searched

    // The whole stub in such a folder ends with 5 before anything is made.
    env.modulePath = tooLong + u"\\s";
    env.commandLine = u"\"" + env.modulePath + u"\"";
    sandbox.WriteFile(env.modulePath, stubBytes);
    const auto before = sandbox.ListAll();
    result = RunStub();
    EXPECT_EQ(result.exitCode, 5u);
    EXPECT_TRUE(seen.empty());
    EXPECT_FALSE(result.threadStarted);
    EXPECT_EQ(result.CountOf(Call::GetTempPathW), 0u);
    EXPECT_EQ(Added(before), Shapes{});
}

// ---- the private folder and the copy ----------------------------------------------------------

TEST_F(Relaunch, GuidRoadRunsAnExactCopyAloneInAFreshFolder) {
    const auto before = sandbox.ListAll();
    const RunResult result = RunStub();
    EXPECT_EQ(result.exitCode, 3u);
    ASSERT_EQ(seen.size(), 1u);
    const ProcessStart& start = seen[0].start;
    EXPECT_TRUE(std::regex_match(
        N(start.file),
        std::regex(R"(C:\\Temp\\\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\}\\ZEBInstaller\.exe)")))
        << N(start.file);
    EXPECT_TRUE(seen[0].fileIsStub);
    EXPECT_EQ(seen[0].folderListing, std::vector<std::string>{"ZEBInstaller.exe"});
    // Started from its own folder, shown normally, owned by the foreground window.
    EXPECT_EQ(start.directory, start.file.substr(0, start.file.size() - 17));
    EXPECT_EQ(start.verb, u"open");
    EXPECT_EQ(start.show, platform::SW_SHOWNORMAL);
    EXPECT_EQ(start.owner, env.foregroundWindow);
    // No error box, and no second security prompt for the copy of a file the user accepted.
    EXPECT_EQ(start.mask, platform::SEE_MASK_NOCLOSEPROCESS | platform::SEE_MASK_FLAG_NO_UI |
                              platform::SEE_MASK_NOZONECHECKS);
    // Copy and folder are gone again, the process handle is closed.
    EXPECT_EQ(Added(before), Shapes{});
    EXPECT_EQ(result.handlesLeft, 0u);
    EXPECT_EQ(result.invalidHandleUses, 0u);
}

TEST_F(Relaunch, WithoutAGuidTheFolderTakesAReservedTemporaryName) {
    const std::regex reserved(R"(C:\\Temp\\JUV[0-9A-F]{1,4}\.tmp\\ZEBInstaller\.exe)");
    for (int road = 0; road < 2; ++road) {
        SCOPED_TRACE(road == 0 ? "CoCreateGuid fails" : "StringFromGUID2 fails");
        env.guidCreationFails = road == 0;
        env.stringFromGuidFails = road == 1;
        const auto before = sandbox.ListAll();
        const RunResult result = RunStub();
        EXPECT_EQ(result.exitCode, 3u);
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_TRUE(std::regex_match(N(seen[0].start.file), reserved)) << N(seen[0].start.file);
        EXPECT_TRUE(seen[0].fileIsStub);
        EXPECT_EQ(seen[0].folderListing, std::vector<std::string>{"ZEBInstaller.exe"});
        EXPECT_EQ(Added(before), Shapes{});  // the reserved file made way for the folder
    }
}

TEST_F(Relaunch, ReservedFileThatCannotBeDeletedEndsWith5AndStays) {
    env.guidCreationFails = true;
    Faults deleteFails;
    deleteFails.nthOfKind = Call::DeleteFileW;
    deleteFails.failNthOfKind = 1;
    const auto before = sandbox.ListAll();
    const RunResult result = RunStub(deleteFails);
    EXPECT_EQ(result.exitCode, 5u);
    EXPECT_TRUE(seen.empty());
    EXPECT_EQ(result.CountOf(Call::NtCreateFile), 0u);
    EXPECT_EQ(result.CountOf(Call::CopyFileW), 0u);
    EXPECT_EQ(Added(before), Shapes{"reserved-file"});
}

// ---- parameters -------------------------------------------------------------------------------

TEST_F(Relaunch, CopyGetsTheStubsParameterTailWithoutLeadingSpaces) {
    struct Case {
        std::string commandLine;
        bool none;               // the copy is started with no parameters (a null pointer)
        std::string parameters;  // otherwise exactly these
    };
    const std::string longArgument(400, 'L');
    const Case cases[] = {
        {R"("C:\stub\SelfExtractor.exe")", true, ""},
        {R"(C:\stub\SelfExtractor.exe)", true, ""},
        {R"("C:\stub\SelfExtractor.exe"    )", true, ""},
        {R"("C:\stub\SelfExtractor.exe" -a "C:\My Files")", false, R"(-a "C:\My Files")"},
        {R"("C:\stub\SelfExtractor.exe"   /x  "a b"\\ "c\"d" )", false, R"(/x  "a b"\\ "c\"d" )"},
        {"C:\\stub\\SelfExtractor.exe /S /D=C:\\Program Files\\\xc3\x9cn\xc3\xaf" "c\xc3\xb8" "d\xc3\xa9 "
         "\xe6\x97\xa5\xe6\x9c\xac \xf0\x9d\x84\x9e",
         false,
         "/S /D=C:\\Program Files\\\xc3\x9cn\xc3\xaf" "c\xc3\xb8" "d\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac "
         "\xf0\x9d\x84\x9e"},
        {R"(-x "quoted arg" tail)", false, R"(-x "quoted arg" tail)"},
        {R"("C:\stub\SelfExtractor.exe" --dir="C:\a b\" )" + longArgument, false,
         R"(--dir="C:\a b\" )" + longArgument},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.commandLine);
        env.commandLine = U(c.commandLine);
        const RunResult result = RunStub();
        EXPECT_EQ(result.exitCode, 3u);
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].start.parametersNull, c.none);
        EXPECT_EQ(N(seen[0].start.parameters), c.parameters);
        // The shell starts the copy as "<copy>" <parameters>, so where the stub's tail began with
        // one space the copy's own tail is the stub's, character for character.
        if (c.commandLine.rfind("\"C", 0) == 0 && !c.none &&
            c.commandLine.find("\" ") != std::string::npos &&
            c.commandLine.find("\"  ") == std::string::npos) {
            const std::u16string copyLine =
                u"\"" + seen[0].start.file + u"\" " + seen[0].start.parameters;
            EXPECT_EQ(std::u16string(stub::ParameterTail(copyLine.c_str())),
                      std::u16string(stub::ParameterTail(env.commandLine.c_str())));
        }
    }
}

// The copy really runs the stub in normal mode: the installer unpacked from the stub's own payload
// receives the same parameters as when the stub runs in a folder without DLLs.
TEST_F(Relaunch, InstallerSeesTheSameParametersInEitherMode) {
    stubBytes = kStubImage +
                testsupport::BuildZip({{"Orvak ZEB Installer.exe", "installer", false}});
    Prepare(sandbox);
    env.commandLine = uR"("C:\stub\SelfExtractor.exe" /S -a "C:\My Files" x\"y )";

    std::vector<ProcessStart> installerStarts;
    host::Environment inner = env;
    inner.programs.clear();
    inner.defaultProgram = [&](const ProcessStart& start) {
        installerStarts.push_back(start);
        return ProcessOutcome{7, false};
    };
    env.defaultProgram = [&](const ProcessStart& start) {
        seen.push_back({start, false, {}});
        host::Environment copyEnv = inner;
        copyEnv.modulePath = start.file;
        copyEnv.currentDirectory = start.directory;
        copyEnv.commandLine = u"\"" + start.file + u"\"" +
                              (start.parametersNull ? u"" : u" " + start.parameters);
        const RunResult copy = host::Run(sandbox, copyEnv, [] {
            stub::RunState state{};
            stub::RunSequence(state);
        });
        return ProcessOutcome{copy.exitCode, false};
    };

    const auto before = sandbox.ListAll();
    const RunResult relaunched = RunStub();
    EXPECT_EQ(relaunched.exitCode, 7u);
    ASSERT_EQ(seen.size(), 1u);
    ASSERT_EQ(installerStarts.size(), 1u);
    EXPECT_EQ(Added(before), Shapes{});  // copy, folder and the copy's staging directory gone

    fs::remove(sandbox.LinuxPath(u"C:\\stub\\helper.dll"));
    const RunResult normal = host::Run(sandbox, inner, [] {
        stub::RunState state{};
        stub::RunSequence(state);
    });
    EXPECT_EQ(normal.exitCode, 7u);
    ASSERT_EQ(installerStarts.size(), 2u);
    EXPECT_EQ(installerStarts[0].parameters, installerStarts[1].parameters);
    EXPECT_EQ(N(installerStarts[1].parameters), R"( /S -a "C:\My Files" x\"y )");
}

// ---- the copy's outcome -----------------------------------------------------------------------

TEST_F(Relaunch, ExitCodeAndRemovalFollowTheCopysEnd) {
    {
        SCOPED_TRACE("the copy ends with 3010");
        copyOutcome = {3010, false};
        const auto before = sandbox.ListAll();
        const RunResult result = RunStub();
        EXPECT_EQ(result.exitCode, 3010u);
        EXPECT_EQ(seen.size(), 1u);
        EXPECT_EQ(Added(before), Shapes{});
    }
    {
        SCOPED_TRACE("the copy still runs when the wait ends");
        copyOutcome = {0, true};
        holdFileWhileRunning = true;
        const auto before = sandbox.ListAll();
        const RunResult result = RunStub();
        EXPECT_EQ(result.exitCode, platform::STILL_ACTIVE);
        EXPECT_EQ(seen.size(), 1u);
        EXPECT_EQ(Added(before), (Shapes{"folder/", "folder/copy"}));
        fs::remove_all(sandbox.LinuxPath(env.tempFolder));
        fs::create_directories(sandbox.LinuxPath(env.tempFolder));
        holdFileWhileRunning = false;
    }
    {
        SCOPED_TRACE("the shell reports success without a process");
        copyOutcome = {3, false};
        env.shellStartGivesNoProcess = true;
        const auto before = sandbox.ListAll();
        const RunResult result = RunStub();
        EXPECT_EQ(result.exitCode, 0u);
        EXPECT_EQ(seen.size(), 1u);
        EXPECT_EQ(Added(before), Shapes{});
        EXPECT_EQ(result.handlesLeft, 0u);
    }
}

TEST_F(Relaunch, WhatTheInstallerLeftInThePrivateFolderGoesWithItOnceTheCopyEnds) {
    // The installer runs in the copy's folder: a log written by relative path lands there, and
    // here a folder with a read-only file too.
    env.defaultProgram = [this](const ProcessStart& start) {
        const ProcessOutcome outcome = StartCopy(start);
        current->WriteFile(start.directory + u"\\install.log", "log");
        current->WriteFile(start.directory + u"\\logs\\detail.log", "detail");
        fs::permissions(current->LinuxPath(start.directory + u"\\logs\\detail.log"),
                        fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                        fs::perm_options::remove);
        return outcome;
    };
    {
        SCOPED_TRACE("the copy ended");
        const auto before = sandbox.ListAll();
        const RunResult result = RunStub();
        EXPECT_EQ(result.exitCode, 3u);
        EXPECT_EQ(Added(before), Shapes{});
        EXPECT_EQ(result.handlesLeft, 0u);
    }
    {
        SCOPED_TRACE("the copy still runs: nothing is deleted from under it");
        copyOutcome = {0, true};
        holdFileWhileRunning = true;
        const auto before = sandbox.ListAll();
        const RunResult result = RunStub();
        EXPECT_EQ(result.exitCode, platform::STILL_ACTIVE);
        EXPECT_EQ(Added(before), (Shapes{"folder/", "folder/copy", "folder/install.log", "folder/logs/",
                                         "folder/logs/detail.log"}));
        EXPECT_EQ(result.CountOf(Call::FindFirstFileExW), 0u);
    }
}

// ---- limits -----------------------------------------------------------------------------------

TEST_F(Relaunch, TempFolderLengthAtTheFitBoundary) {
    // GUID road: temp (with its backslash) + 38 + 1 + 16 units must stay within 259.
    for (size_t length : {204u, 205u}) {
        SCOPED_TRACE("GUID road, temp folder of " + std::to_string(length));
        Sandbox box;
        current = &box;
        env.tempFolder = FolderOfLength(length - 1) + u"\\";
        ASSERT_EQ(env.tempFolder.size(), length);
        Prepare(box);
        const auto before = box.ListAll();
        const RunResult result = RunStub();
        if (length == 204) {
            EXPECT_EQ(result.exitCode, 3u);
            ASSERT_EQ(seen.size(), 1u);
            EXPECT_EQ(seen[0].start.file.size(), 259u);
            EXPECT_TRUE(seen[0].fileIsStub);
        } else {
            EXPECT_EQ(result.exitCode, 5u);
            EXPECT_TRUE(seen.empty());
            EXPECT_EQ(result.CountOf(Call::NtCreateFile), 0u);
            EXPECT_EQ(result.CountOf(Call::CopyFileW), 0u);
        }
        EXPECT_EQ(Added(before), Shapes{});
    }
    // Reserved-name road: "JUV", one to four hex digits and ".tmp" (8 to 11 units). 231 units fit
    // with any name; at 240 none does, after the reserved file has been made and deleted again.
    env.guidCreationFails = true;
    for (size_t length : {231u, 240u}) {
        SCOPED_TRACE("reserved-name road, temp folder of " + std::to_string(length));
        Sandbox box;
        current = &box;
        env.tempFolder = FolderOfLength(length - 1) + u"\\";
        Prepare(box);
        const auto before = box.ListAll();
        const RunResult result = RunStub();
        if (length == 231) {
            EXPECT_EQ(result.exitCode, 3u);
            ASSERT_EQ(seen.size(), 1u);
            EXPECT_TRUE(seen[0].fileIsStub);
        } else {
            EXPECT_EQ(result.exitCode, 5u);
            EXPECT_TRUE(seen.empty());
            EXPECT_EQ(result.CountOf(Call::GetTempFileNameW), 1u);
            EXPECT_EQ(result.CountOf(Call::CopyFileW), 0u);
        }
        EXPECT_EQ(Added(before), Shapes{});
    }
    current = &sandbox;
}

TEST_F(Relaunch, ModulePathNotReadWholeEndsWith5WithNothingCopied) {
    {
        SCOPED_TRACE("a module path of 260 units is read cut");
        const std::u16string folder = FolderOfLength(200);
        env.modulePath = folder + u"\\" + std::u16string(59, u'n');
        ASSERT_EQ(env.modulePath.size(), 260u);
        env.commandLine = u"\"" + env.modulePath + u"\"";
        sandbox.WriteFile(env.modulePath, stubBytes);
        sandbox.WriteFile(folder + u"\\helper.dll", "dll");
        const auto before = sandbox.ListAll();
        const RunResult result = RunStub();
        EXPECT_EQ(result.exitCode, 5u);
        EXPECT_EQ(result.CountOf(Call::FindFirstFileW), 1u);  // relaunch mode was chosen
        EXPECT_EQ(result.CountOf(Call::GetTempPathW), 0u);
        EXPECT_EQ(result.CountOf(Call::CopyFileW), 0u);
        EXPECT_FALSE(result.threadStarted);
        EXPECT_EQ(Added(before), Shapes{});
    }
    {
        SCOPED_TRACE("the longest module path that is read whole relaunches");
        const std::u16string folder = FolderOfLength(200);
        env.modulePath = folder + u"\\" + std::u16string(58, u'n');
        env.commandLine = u"\"" + env.modulePath + u"\"";
        sandbox.WriteFile(env.modulePath, stubBytes);
        const RunResult result = RunStub();
        EXPECT_EQ(result.exitCode, 3u);
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_TRUE(seen[0].fileIsStub);
    }
    for (long length : {0L, 260L}) {
        SCOPED_TRACE("relaunch mode given a module path length of " + std::to_string(length));
        const auto before = sandbox.ListAll();
        const RunResult result = RunRelaunch({}, length);
        EXPECT_EQ(result.exitCode, 5u);
        EXPECT_EQ(result.callCount, 0u);
        EXPECT_EQ(Added(before), Shapes{});
    }
}

// ---- fault sweep ------------------------------------------------------------------------------

struct Expected {
    u32 exitCode;
    Shapes left;
};

// What one failing call of a relaunch run leads to. `occurrence` counts calls of the same kind.
Expected ExpectedAfterFailure(Call call, size_t occurrence, bool reservedRoad) {
    switch (call) {
        case Call::GetTempPathW: return {5, {}};
        case Call::CoCreateGuid:
        case Call::StringFromGUID2: return {3, {}};  // the reserved-name road instead
        case Call::GetTempFileNameW: return {5, {}};
        case Call::DeleteFileW:
            if (reservedRoad && occurrence == 1) return {5, {"reserved-file"}};
            return {3, {"folder/", "folder/copy"}};  // the copy stays, so does its folder
        case Call::NtCreateFile: return {5, {}};
        case Call::CopyFileW: return {5, {"folder/"}};
        case Call::GetForegroundWindow: return {3, {}};
        case Call::ShellExecuteExW: return {5, {"folder/", "folder/copy"}};
        case Call::WaitForSingleObject: return {3, {}};
        case Call::GetExitCodeProcess: return {0, {}};
        // The look-up of GetTempPath2W: without it, GetTempPathW serves.
        case Call::GetModuleHandleW:
        case Call::GetProcAddress: return {3, {}};
        // The folder's descriptor cannot be made: nothing is made.
        case Call::OpenProcessToken:
        case Call::GetTokenInformation:
        case Call::ConvertSidToStringSidW:
        case Call::ConvertStringSecurityDescriptorToSecurityDescriptorW: return {5, {}};
        case Call::LocalFree: return {3, {}};  // not tested
        // The check of the folder just made and held (first), then of the delete's own handle on
        // it (second): a folder that cannot be told a folder ends the run; one the delete cannot
        // reach stays, empty.
        case Call::GetFileInformationByHandle:
        case Call::GetVolumeInformationByHandleW:
            return occurrence == 1 ? Expected{5, {"folder/"}} : Expected{3, {"folder/"}};
        case Call::CreateFileW: return {3, {"folder/"}};  // the delete's own handle
        // The token's, the copy's process's, the hold's (the delete then cannot take the folder
        // over) and the delete's own handle's closes.
        case Call::CloseHandle: return occurrence == 3 ? Expected{3, {"folder/"}} : Expected{3, {}};
        // The private folder's delete, once the copy is gone: the folder stays when it cannot be
        // reached or removed; a failing listing still removes the empty folder.
        case Call::GetFullPathNameW:  // first: the folder's NT path, nothing is made
            if (occurrence == 1) return {5, {}};
            return {3, {"folder/"}};
        case Call::GetProcessHeap:
        case Call::HeapAlloc:
        case Call::SetFileInformationByHandle: return {3, {"folder/"}};
        case Call::GetFileInformationByHandleEx:
        case Call::HeapFree: return {3, {}};
        default: return {~0u, {"unexpected call " + std::string(host::CallName(call))}};
    }
}

TEST_F(Relaunch, EveryFailingCallEndsAsDocumentedAndLeavesWhatItShould) {
    for (bool reservedRoad : {false, true}) {
        env.guidCreationFails = reservedRoad;
        const RunResult clean = RunRelaunch();
        ASSERT_EQ(clean.exitCode, 3u);
        std::map<Call, size_t> failedKinds;
        for (uint64_t n = 1; n <= clean.callCount; ++n) {
            Sandbox box;
            current = &box;
            Prepare(box);
            const auto before = box.ListAll();
            Faults faults;
            faults.failNthCall = n;
            const RunResult result = RunRelaunch(faults);
            current = &sandbox;

            const auto failed = std::find_if(result.calls.begin(), result.calls.end(),
                                             [](const host::CallRecord& r) { return r.failedByInjection; });
            ASSERT_NE(failed, result.calls.end()) << "call " << n;
            const size_t occurrence = std::count_if(
                result.calls.begin(), failed + 1,
                [&](const host::CallRecord& r) { return r.call == failed->call; });
            ++failedKinds[failed->call];
            const Expected expected = ExpectedAfterFailure(failed->call, occurrence, reservedRoad);
            SCOPED_TRACE(std::string(reservedRoad ? "reserved-name road" : "GUID road") +
                         ", failing call " + std::to_string(n) + ": " +
                         host::CallName(failed->call) + " #" + std::to_string(occurrence));
            EXPECT_TRUE(result.exited);
            EXPECT_EQ(result.exitCode, expected.exitCode);
            if (expected.exitCode == 5) {  // a failure of the stub ends it where it is found,
                                           // after releasing what the failed step held
                for (auto after = failed + 1; after != result.calls.end(); ++after)
                    EXPECT_TRUE(after->call == Call::CloseHandle || after->call == Call::LocalFree)
                        << "calls went on after the failure: " << host::CallName(after->call);
            }
            current = &box;
            EXPECT_EQ(Added(before), expected.left);
            current = &sandbox;
            if (failed->call == Call::GetForegroundWindow && !seen.empty()) {
                EXPECT_EQ(seen[0].start.owner, nullptr);
            }
        }
        // Every call the run makes was made to fail once.
        for (Call kind : {Call::GetTempPathW, Call::NtCreateFile, Call::CopyFileW,
                          Call::GetForegroundWindow, Call::ShellExecuteExW,
                          Call::WaitForSingleObject, Call::GetExitCodeProcess, Call::CloseHandle,
                          Call::DeleteFileW, Call::OpenProcessToken, Call::GetTokenInformation,
                          Call::ConvertSidToStringSidW,
                          Call::ConvertStringSecurityDescriptorToSecurityDescriptorW,
                          Call::CreateFileW, Call::GetFileInformationByHandle,
                          Call::GetVolumeInformationByHandleW, Call::GetFullPathNameW,
                          Call::GetFileInformationByHandleEx, Call::SetFileInformationByHandle}) {
            EXPECT_EQ(failedKinds[kind], clean.CountOf(kind)) << host::CallName(kind);
        }
        if (reservedRoad) {
            EXPECT_EQ(failedKinds[Call::GetTempFileNameW], 1u);
            EXPECT_EQ(failedKinds[Call::DeleteFileW], 2u);
        } else {
            EXPECT_EQ(failedKinds[Call::CoCreateGuid], 1u);
            EXPECT_EQ(failedKinds[Call::StringFromGUID2], 1u);
        }
    }
}

}  // namespace
