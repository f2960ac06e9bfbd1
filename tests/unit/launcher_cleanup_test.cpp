// The stub's recursive delete of its staging folder: children before their folder, links removed
// as links and never entered, read-only files, what cannot go stays, the bounds, and every call of
// the walk failing in turn, alone and at the end of a whole launch.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "launcher/FolderTreeDelete.h"
#include "launcher/InstallerLauncher.h"
#include "launcher_test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace launchertest;
using platform::host::Environment;
using platform::host::Faults;
using platform::host::ProcessOutcome;
using platform::host::ProcessStart;

const std::u16string kStaging = u"C:\\Temp\\ZEB1A2B.tmp";
const std::u16string kOutside = u"C:\\Outside";

// Every entry under the sandbox root but the staging folder's, as the walk must leave it: kind,
// content or link target, and whether it is writable. Links are never followed.
using Entries = std::map<std::string, std::string>;
Entries Snapshot(const Sandbox& sandbox, const std::string& under, const std::string& skip = {}) {
    Entries entries;
    for (auto it = fs::recursive_directory_iterator(under); it != fs::recursive_directory_iterator();
         ++it) {
        const std::string path = it->path().string();
        if (!skip.empty() && (path == skip || path.rfind(skip + "/", 0) == 0)) {
            it.disable_recursion_pending();
            continue;
        }
        struct stat st;
        lstat(path.c_str(), &st);
        std::string what = (st.st_mode & 0222) ? "w " : "r ";
        if (S_ISLNK(st.st_mode)) {
            what += "link " + fs::read_symlink(path).string();
        } else if (S_ISDIR(st.st_mode)) {
            what += "dir";
        } else {
            std::ifstream in(path, std::ios::binary);
            what += "file " + std::string(std::istreambuf_iterator<char>(in), {});
        }
        entries[path.substr(sandbox.root().size() + 1)] = what;  // lexical: links stay links
    }
    return entries;
}

class StagingCleanup : public ::testing::Test {
protected:
    void SetUp() override {
        sandbox.WriteFile(kOutside + u"\\keep.txt", "outside");
        sandbox.WriteFile(kOutside + u"\\inner\\deep.txt", "outside, deeper");
        MakeDirectory(sandbox, kStaging);
        // The folders a run makes when they are missing, made up front: snapshots stay comparable.
        for (const std::u16string* folder : {&env.currentDirectory, &env.systemFolder})
            MakeDirectory(sandbox, *folder);
    }

    std::string Linux(const std::u16string& path) const { return sandbox.LinuxPath(path); }
    void Write(const std::u16string& relative, const std::string& data = "x") {
        sandbox.WriteFile(kStaging + u"\\" + relative, data);
    }
    void ReadOnly(const std::u16string& path) {
        fs::permissions(Linux(path), fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                        fs::perm_options::remove);
    }
    void LinkFolder(const std::u16string& at, const std::u16string& target) {
        fs::create_directory_symlink(Linux(target), Linux(at));
    }
    // A tree with everything the walk meets: nesting, empty folders, names beyond ASCII, a
    // read-only file and folder, links to a folder and a file outside.
    void RichTree() {
        Write(u"a.txt", "a");
        Write(u"sub\\b.txt", "b");
        Write(u"sub\\deep\\c\\d\\e.txt", "e");
        Write(u"\u00dcn\u00ef\\\u30d5\u30a1\u30a4\u30eb.txt", "unicode");
        Write(u"zero.bin", "");
        MakeDirectory(sandbox, kStaging + u"\\empty");
        MakeDirectory(sandbox, kStaging + u"\\sub\\empty2");
        Write(u"sub\\ro.txt", "read-only");
        ReadOnly(kStaging + u"\\sub\\ro.txt");
        MakeDirectory(sandbox, kStaging + u"\\rodir");
        ReadOnly(kStaging + u"\\rodir");
        LinkFolder(kStaging + u"\\link", kOutside);
        LinkFolder(kStaging + u"\\sub\\link2", kOutside + u"\\inner");
        fs::create_symlink(Linux(kOutside + u"\\keep.txt"), Linux(kStaging + u"\\filelink"));
    }
    Entries Outside() const { return Snapshot(sandbox, sandbox.root(), Linux(kStaging)); }

    RunResult Delete(const Faults& faults = {}, const std::u16string& folder = kStaging) {
        return platform::host::Run(sandbox, env, [&] { stub::FolderTreeDelete(folder.c_str()); },
                                   faults);
    }

    Sandbox sandbox;
    Environment env;
};

// No call reaches into a link, and every folder is removed after everything that was in it.
void ExpectChildrenFirstAndNothingThroughLinks(const RunResult& result) {
    std::set<std::u16string> removedFolders;
    for (const CallRecord& call : result.calls) {
        EXPECT_EQ(call.path.find(u"link\\"), std::u16string::npos) << N(call.path);
        EXPECT_EQ(call.path.find(u"link2\\"), std::u16string::npos) << N(call.path);
        for (const std::u16string& folder : removedFolders)
            EXPECT_NE(call.path.rfind(folder + u"\\", 0), 0u) << N(call.path) << " after " << N(folder);
        if (call.call == Call::RemoveDirectoryW) removedFolders.insert(call.path);
    }
}

TEST_F(StagingCleanup, WholeTreeGoesChildrenFirstLinksAsLinksOutsideUntouched) {
    RichTree();
    const Entries outside = Outside();
    const RunResult result = Delete();
    EXPECT_FALSE(sandbox.Exists(kStaging));
    EXPECT_EQ(Outside(), outside);
    ExpectChildrenFirstAndNothingThroughLinks(result);
    EXPECT_EQ(result.handlesLeft, 0u);
    EXPECT_EQ(result.invalidHandleUses, 0u);
    // Each real folder is listed once, with the fast listing; links are not listed.
    EXPECT_EQ(result.CountOf(Call::FindFirstFileExW), 9u);
    EXPECT_EQ(result.CountOf(Call::FindClose), 9u);
    // The read-only attribute is cleared on the read-only entries alone, never on a link.
    EXPECT_EQ(PathsOf(result, Call::SetFileAttributesW),
              (std::vector<std::u16string>{kStaging + u"\\rodir", kStaging + u"\\sub\\ro.txt"}));
}

TEST_F(StagingCleanup, BeforeWindows7TheStandardListingServes) {
    RichTree();
    env.findExBeforeWindows7 = true;
    const RunResult result = Delete();
    EXPECT_FALSE(sandbox.Exists(kStaging));
    EXPECT_EQ(result.CountOf(Call::FindFirstFileExW), 18u);  // each refused once, then standard
}

TEST_F(StagingCleanup, ALinkInPlaceOfTheFolderIsRemovedNotEntered) {
    const Entries outside = Outside();
    const std::u16string link = u"C:\\Temp\\ZEBLINK.tmp";
    LinkFolder(link, kOutside);
    const RunResult result = Delete({}, link);
    EXPECT_FALSE(sandbox.Exists(link));
    EXPECT_EQ(Outside(), outside);
    EXPECT_EQ(result.CountOf(Call::FindFirstFileExW), 0u);
    // A folder that is not there: nothing to do.
    EXPECT_EQ(Delete({}, u"C:\\Temp\\missing").callCount, 1u);
}

TEST_F(StagingCleanup, WhatCannotBeDeletedStaysAndTheRestGoes) {
    RichTree();
    const Entries outside = Outside();
    const RunResult result = platform::host::Run(sandbox, env, [] {
        // A file held open, as by a program the installer left running.
        const auto held = platform::CreateFileW((kStaging + u"\\sub\\deep\\held.log").c_str(),
                                                platform::GENERIC_WRITE, platform::FILE_SHARE_READ,
                                                nullptr, platform::CREATE_NEW, 0, nullptr);
        ASSERT_NE(held, platform::INVALID_HANDLE_VALUE);
        stub::FolderTreeDelete(kStaging.c_str());
    });
    EXPECT_EQ(sandbox.List(kStaging), (std::vector<std::string>{"sub/", "sub/deep/", "sub/deep/held.log"}));
    EXPECT_EQ(Outside(), outside);
    EXPECT_EQ(result.handlesLeft, 1u);  // the held file's own handle
}

TEST_F(StagingCleanup, PastTheDepthBoundAndMaxPathTheSubtreeStaysTheRestGoes) {
    // 70 nested folders: 63 levels below the staging folder are listed; the 64th is not entered.
    std::u16string chain = kStaging;
    for (int level = 1; level <= 70; ++level) chain += u"\\d";
    sandbox.WriteFile(chain + u"\\bottom.txt", "bottom");
    Write(u"d\\d\\beside.txt");
    Write(u"top.txt");
    // A name whose path would pass MAX_PATH is out of reach; a folder whose path fits but whose
    // listing pattern would not is removed when empty.
    const std::u16string longFolder = kStaging + u"\\" + std::u16string(200, u'l');
    MakeDirectory(sandbox, longFolder);
    std::ofstream(Linux(longFolder) + "/" + std::string(60, 'n')) << "far";
    Write(std::u16string(200, u'm') + u"\\x.txt");
    const std::u16string tight = kStaging + u"\\" + std::u16string(258 - kStaging.size() - 1, u't');
    ASSERT_EQ(tight.size(), 258u);
    MakeDirectory(sandbox, tight);

    const RunResult result = Delete();
    std::vector<std::string> left;
    std::string kept;
    for (int level = 1; level <= 70; ++level) left.push_back(kept += "d/");
    left.push_back(kept + "bottom.txt");
    left.push_back(std::string(200, 'l') + "/");
    left.push_back(std::string(200, 'l') + "/" + std::string(60, 'n'));
    std::sort(left.begin(), left.end());
    EXPECT_EQ(sandbox.List(kStaging), left);
    EXPECT_EQ(result.handlesLeft, 0u);
    EXPECT_EQ(result.CountOf(Call::FindFirstFileExW), 64u + 2u);  // the chain, "mmm..." and "lll..."
}

// Each call of the walk failing in turn: nothing outside changes, nothing that stays is altered,
// no handle is misused or left open (but the one whose close was made to fail), and it ends.
TEST_F(StagingCleanup, EveryCallOfTheWalkFailingInTurn) {
    RichTree();
    const Entries before = Snapshot(sandbox, sandbox.root());
    const Entries outside = Outside();
    const RunResult clean = Delete();
    ASSERT_FALSE(sandbox.Exists(kStaging));
    std::map<Call, int> failed;
    for (uint64_t n = 1; n <= clean.callCount; ++n) {
        fs::remove_all(Linux(kStaging));
        MakeDirectory(sandbox, kStaging);
        RichTree();
        Faults faults;
        faults.failNthCall = n;
        const RunResult result = Delete(faults);
        const CallRecord& hit = result.calls.at(n - 1);
        SCOPED_TRACE("call " + std::to_string(n) + " " + platform::host::CallName(hit.call) + " " + N(hit.path));
        ASSERT_TRUE(hit.failedByInjection);
        ++failed[hit.call];
        EXPECT_EQ(Outside(), outside);
        ExpectChildrenFirstAndNothingThroughLinks(result);
        EXPECT_EQ(result.invalidHandleUses, 0u);
        EXPECT_EQ(result.handlesLeft, hit.call == Call::FindClose ? 1u : 0u);
        for (const auto& [path, what] : Snapshot(sandbox, sandbox.root())) {
            ASSERT_EQ(before.count(path), 1u) << path;
            EXPECT_EQ(what.substr(2), before.at(path).substr(2)) << path;  // writable or not
        }
    }
    for (Call kind : {Call::GetFileAttributesW, Call::FindFirstFileExW, Call::FindNextFileW,
                      Call::FindClose, Call::DeleteFileW, Call::RemoveDirectoryW,
                      Call::SetFileAttributesW})
        EXPECT_EQ(failed[kind], static_cast<int>(clean.CountOf(kind))) << platform::host::CallName(kind);
}

// A whole launch whose installer leaves a tree behind (read-only entries, links out): each call of
// the delete failing in turn never changes the exit code, which stays the installer's.
TEST_F(StagingCleanup, ALaunchKeepsTheInstallersExitCodeWhateverTheDeleteMeets) {
    const std::u16string installer = kStaging + u"\\Orvak ZEB Installer.exe";
    sandbox.WriteFile(installer, "MZ");
    env.commandLine = u"\"C:\\stub\\SelfExtractor.exe\" /S";
    env.programs[installer] = [this](const ProcessStart&) {
        RichTree();
        return ProcessOutcome{42, false};
    };
    const Entries outside = Outside();
    auto launch = [&](const Faults& faults) {
        return platform::host::Run(sandbox, env, [] {
            auto state = NewRunState();
            state->commandLine = platform::GetCommandLineW();
            FillStaging(state->staging, kStaging);
            stub::InstallerLauncher(*state);
        }, faults);
    };
    const RunResult clean = launch({});
    ASSERT_EQ(clean.exitCode, 42u);
    ASSERT_FALSE(sandbox.Exists(kStaging));
    // The delete's first call: the staging folder's attributes, after the installer's exit code
    // (an earlier look at the attributes tells the default installer from a folder).
    long cleanUp = -1;
    for (size_t i = static_cast<size_t>(FirstIndexOf(clean, Call::GetExitCodeProcess)); i < clean.calls.size(); ++i) {
        if (clean.calls[i].call == Call::GetFileAttributesW) {
            cleanUp = static_cast<long>(i);
            break;
        }
    }
    ASSERT_GT(cleanUp, FirstIndexOf(clean, Call::GetExitCodeProcess));
    for (uint64_t n = static_cast<uint64_t>(cleanUp) + 1; n <= clean.callCount; ++n) {
        fs::remove_all(Linux(kStaging));
        sandbox.WriteFile(installer, "MZ");
        Faults faults;
        faults.failNthCall = n;
        const RunResult result = launch(faults);
        SCOPED_TRACE("call " + std::to_string(n) + " " + platform::host::CallName(result.calls.at(n - 1).call));
        EXPECT_TRUE(result.calls.at(n - 1).failedByInjection);
        EXPECT_TRUE(result.exited);
        EXPECT_EQ(result.exitCode, 42u);
        EXPECT_EQ(Outside(), outside);
    }
}

}  // namespace
