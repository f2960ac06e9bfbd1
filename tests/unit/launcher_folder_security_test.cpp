// Who may write into the stub's folders: the staging folder of a whole run and the private folder
// of a relaunch, made with a descriptor of their own for each kind of token (standard, elevated,
// SYSTEM, and the integrity levels), never with the inherited list; a descriptor that cannot be
// made ends the run before anything is unpacked; the temp folder from GetTempPath2W where kernel32
// has it.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "hostile_whole_run.h"
#include "launcher_test_support.h"
#include "support/ZipBuilder.h"

namespace {

using namespace hostile;
using launchertest::N;
using platform::host::Call;
using platform::host::FolderSecurity;

// The parts of an SDDL text the checks look at: the DACL's protection, its allow entries (SID ->
// rights, each with inheritance to files and folders), and the mandatory label's level.
struct Descriptor {
    bool protectedDacl = false;
    std::map<std::u16string, std::u16string> allowed;
    std::u16string label;  // the label's SID alias, empty without one
    std::vector<std::u16string> problems;
};

Descriptor Parse(const std::u16string& sddl) {
    Descriptor d;
    d.protectedDacl = sddl.rfind(u"D:P(", 0) == 0;
    size_t at = 0;
    while ((at = sddl.find(u'(', at)) != std::u16string::npos) {
        const size_t close = sddl.find(u')', at);
        std::vector<std::u16string> fields;
        size_t start = at + 1;
        for (size_t k = start; k <= close; ++k) {
            if (k == close || sddl[k] == u';') {
                fields.push_back(sddl.substr(start, k - start));
                start = k + 1;
            }
        }
        at = close;
        if (fields.size() != 6 || fields[1] != u"OICI") {
            d.problems.push_back(u"entry without inheritance to files and folders: " + sddl);
            continue;
        }
        if (fields[0] == u"A") {
            d.allowed[fields[5]] += fields[2];
        } else if (fields[0] == u"ML" && fields[2] == u"NW") {
            d.label = fields[5];
        } else {
            d.problems.push_back(u"unexpected entry type " + fields[0]);
        }
    }
    return d;
}

struct TokenCase {
    const char* what;
    bool elevated;
    u32 level;
    std::u16string user;
    std::u16string userRights;  // what the user's own entry grants
    std::u16string label;
};

const std::u16string kUser = u"S-1-5-21-1004336348-1177238915-682003330-1001";

const TokenCase kTokens[] = {
    {"standard user, medium", false, 0x2000, kUser, u"FA", u""},
    {"elevated administrator, high", true, 0x3000, kUser, u"FRFX", u"HI"},
    {"SYSTEM", true, 0x4000, u"S-1-5-18", u"FRFX", u"SI"},
    {"administrator without UAC, high but not elevated", false, 0x3000, kUser, u"FA", u"HI"},
    {"low integrity", false, 0x1000, kUser, u"FA", u""},
};

void ExpectOwnDescriptor(const FolderSecurity& folder, const TokenCase& token) {
    SCOPED_TRACE(std::string(token.what) + ": " + N(folder.sddl));
    const Descriptor d = Parse(folder.sddl);
    EXPECT_TRUE(d.problems.empty()) << N(d.problems.front());
    EXPECT_TRUE(d.protectedDacl) << "the temp folder's entries must not reach the folder";
    // SYSTEM and Administrators in full; the user as the token decides; nobody else at all
    // (no Everyone, Users, Authenticated Users).
    std::map<std::u16string, std::u16string> want{{u"SY", u"FA"}, {u"BA", u"FA"}};
    want[token.user] += token.userRights;
    EXPECT_EQ(d.allowed, want);
    EXPECT_EQ(d.label, token.label);
}

std::string InstallerZip() {
    return testsupport::BuildZip({{"Orvak ZEB Installer.exe", "MZ installer"}, {"data/x.txt", "x"}});
}

TEST(FolderSecurity, TheStagingFolderIsTheStubsOwnForEveryKindOfRun) {
    for (const TokenCase& token : kTokens) {
        WholeRun run;
        run.env.token = {token.elevated, token.level, token.user};
        run.WriteStub(StubImage(), InstallerZip());
        const Outcome outcome = run.Run();
        SCOPED_TRACE(token.what);
        EXPECT_EQ(outcome.result.exitCode, kInstallerCode);
        EXPECT_TRUE(outcome.installerStarted);
        EXPECT_TRUE(outcome.tempAfter.empty()) << "the staging folder is deleted";
        // The staging folder alone gets a descriptor; what lies in it inherits it.
        ASSERT_EQ(outcome.result.folderSecurity.size(), 1u);
        const FolderSecurity& folder = outcome.result.folderSecurity[0];
        EXPECT_EQ(folder.path.rfind(u"C:\\Temp\\ZEB", 0), 0u) << N(folder.path);
        EXPECT_EQ(folder.path.find(u'\\', 8), std::u16string::npos) << N(folder.path);
        ExpectOwnDescriptor(folder, token);
    }
}

TEST(FolderSecurity, ThePrivateFolderOfARelaunchIsTheStubsOwnForEveryKindOfRun) {
    for (const bool guid : {true, false}) {
        for (const TokenCase& token : kTokens) {
            WholeRun run;
            run.env.token = {token.elevated, token.level, token.user};
            run.env.guidCreationFails = !guid;
            run.privateFolderAllowed = true;
            run.WriteStub(StubImage(), InstallerZip());
            run.sandbox.WriteFile(u"C:\\stub\\helper.dll", "MZ");
            const Outcome outcome = run.Run();
            SCOPED_TRACE(std::string(token.what) + (guid ? ", GUID name" : ", reserved name"));
            EXPECT_EQ(outcome.result.exitCode, kInstallerCode);
            ASSERT_TRUE(outcome.installerStarted);
            EXPECT_EQ(outcome.startedFile.substr(outcome.startedFile.size() - 17), u"\\ZEBInstaller.exe");
            EXPECT_TRUE(outcome.tempAfter.empty()) << "the private folder is deleted";
            ASSERT_EQ(outcome.result.folderSecurity.size(), 1u);
            const FolderSecurity& folder = outcome.result.folderSecurity[0];
            EXPECT_EQ(folder.path + u"\\ZEBInstaller.exe", outcome.startedFile);
            ExpectOwnDescriptor(folder, token);
        }
    }
}

// Without its own descriptor the folder is not made at all: the run ends with 5 before anything
// is unpacked, and no folder is ever made with the inherited list instead.
TEST(FolderSecurity, ADescriptorThatCannotBeMadeEndsTheRunBeforeAnythingIsUnpacked) {
    struct Case {
        Call call;
        const char* what;
    };
    const Case cases[] = {
        {Call::OpenProcessToken, "the token cannot be opened"},
        {Call::GetTokenInformation, "the token cannot be read"},
        {Call::ConvertSidToStringSidW, "the user's SID has no text"},
        {Call::ConvertStringSecurityDescriptorToSecurityDescriptorW, "the descriptor is refused"},
        {Call::NtCreateFile, "the folder cannot be made with it"},
    };
    for (const bool relaunch : {false, true}) {
        for (const Case& c : cases) {
            WholeRun run;
            run.env.token = {true, 0x3000, kUser};
            run.privateFolderAllowed = relaunch;
            run.WriteStub(StubImage(), InstallerZip());
            if (relaunch) run.sandbox.WriteFile(u"C:\\stub\\helper.dll", "MZ");
            Faults faults;
            faults.failEvery = {c.call};
            const Outcome outcome = run.Run(faults);
            SCOPED_TRACE(std::string(c.what) + (relaunch ? " (relaunch)" : ""));
            EXPECT_EQ(outcome.result.exitCode, kFailure);
            EXPECT_FALSE(outcome.installerStarted);
            EXPECT_TRUE(outcome.tempAfter.empty()) << outcome.tempAfter.front();
            EXPECT_EQ(outcome.result.CountOf(Call::CreateFileW), 0u) << "nothing opened or unpacked";
            for (const auto& record : outcome.result.calls) {
                if (record.call == Call::NtCreateFile) EXPECT_TRUE(record.failedByInjection);
                EXPECT_NE(record.call, Call::CreateDirectoryW) << "never with the inherited list";
            }
            EXPECT_EQ(outcome.result.blocksLeft, 0u) << "the SID text and descriptor are freed";
        }
    }
}

// The staging folder is made and held in one call. A link put in its name just before that call
// ends the run with 5, nothing unpacked through it; from that call on, another process cannot
// remove the folder to put a link in its place (the hold lists the folder: a right that takes part
// in sharing), up to the first file unpacked into it.
TEST(FolderSecurity, TheStagingFolderIsHeldFromItsCreation) {
    const std::u16string staging = u"C:\\Temp\\ZEB1000.tmp";
    const std::u16string elsewhere = u"C:\\Elsewhere";
    auto prepare = [&](WholeRun& run) {
        run.env.tempFileStart = 0x1000;
        run.WriteStub(StubImage(), InstallerZip());
        run.sandbox.WriteFile(elsewhere + u"\\keep.txt", "keep");
    };
    auto untouched = [&](WholeRun& run) {
        return run.sandbox.List(elsewhere) == std::vector<std::string>{"keep.txt"};
    };
    auto plantLink = [&](WholeRun& run) {
        run.sandbox.MakeLink(staging, elsewhere);  // the run's sandbox may be in memory
    };

    WholeRun taken;
    prepare(taken);
    Faults atCreation;
    atCreation.beforeCall = [&](const platform::host::CallRecord& call) {
        if (call.call == Call::NtCreateFile) plantLink(taken);
    };
    const Outcome refused = taken.Run(atCreation);
    EXPECT_EQ(refused.result.exitCode, kFailure);
    EXPECT_FALSE(refused.installerStarted);
    EXPECT_TRUE(untouched(taken));

    WholeRun clean;
    prepare(clean);
    const RunResult cleanResult = clean.Run().result;
    const long created = launchertest::FirstIndexOf(cleanResult, Call::NtCreateFile);
    long firstFile = -1;
    for (size_t i = 0; i < cleanResult.calls.size() && firstFile < 0; ++i)
        if (cleanResult.calls[i].call == Call::CreateFileW &&
            cleanResult.calls[i].path.rfind(staging + u"\\", 0) == 0)
            firstFile = static_cast<long>(i);
    ASSERT_GT(created, 0);
    ASSERT_GT(firstFile, created);
    for (long n = created + 2; n <= firstFile + 1; ++n) {  // before the call after the creation, ...
        WholeRun run;
        prepare(run);
        bool removed = false;
        Faults faults;
        faults.beforeCall = [&, count = long{0}](const platform::host::CallRecord&) mutable {
            if (++count != n) return;
            // Another process: a run of its own, whose calls meet the stub's open handles.
            platform::host::Run(run.sandbox, Environment{}, [&] {
                removed = platform::RemoveDirectoryW(staging.c_str()) != 0;
            });
            if (removed) plantLink(run);
        };
        const Outcome outcome = run.Run(faults);
        SCOPED_TRACE("removal tried before call " + std::to_string(n));
        EXPECT_FALSE(removed);
        EXPECT_EQ(outcome.result.exitCode, kInstallerCode);
        EXPECT_TRUE(untouched(run));
        EXPECT_TRUE(outcome.tempAfter.empty());
    }
}

TEST(FolderSecurity, TheTempFolderComesFromGetTempPath2WWhereKernel32HasIt) {
    // Windows 11, run as SYSTEM: GetTempPath2W gives the system's own temp folder.
    WholeRun run;
    run.env.token = {true, 0x4000, u"S-1-5-18"};
    run.env.systemTempFolder = u"C:\\Windows\\SystemTemp\\";
    run.sandbox.WriteFile(u"C:\\Windows\\SystemTemp\\keep.txt", "the folder exists");
    run.WriteStub(StubImage(), InstallerZip());
    Outcome outcome = run.Run();
    EXPECT_EQ(outcome.result.exitCode, kInstallerCode);
    ASSERT_EQ(outcome.result.folderSecurity.size(), 1u);
    EXPECT_EQ(outcome.result.folderSecurity[0].path.rfind(u"C:\\Windows\\SystemTemp\\ZEB", 0), 0u);
    EXPECT_EQ(outcome.startedFile.rfind(u"C:\\Windows\\SystemTemp\\ZEB", 0), 0u) << N(outcome.startedFile);
    EXPECT_EQ(outcome.result.CountOf(Call::GetTempPathW), 0u);
    EXPECT_EQ(outcome.result.CountOf(Call::GetTempPath2W), 1u);
    EXPECT_EQ(run.sandbox.List(u"C:\\Windows\\SystemTemp"), std::vector<std::string>{"keep.txt"});

    // Without it (Windows 10, Wine), GetTempPathW's folder, for the relaunch's folder too.
    WholeRun older;
    older.privateFolderAllowed = true;
    older.WriteStub(StubImage(), InstallerZip());
    older.sandbox.WriteFile(u"C:\\stub\\helper.dll", "MZ");
    outcome = older.Run();
    EXPECT_EQ(outcome.result.exitCode, kInstallerCode);
    EXPECT_EQ(outcome.startedFile.rfind(u"C:\\Temp\\", 0), 0u) << N(outcome.startedFile);
    EXPECT_EQ(outcome.result.CountOf(Call::GetTempPath2W), 0u);
    EXPECT_EQ(outcome.result.CountOf(Call::GetTempPathW), 1u);
}

}  // namespace
