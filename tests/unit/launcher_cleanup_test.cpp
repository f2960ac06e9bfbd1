// The stub's recursive delete of its staging folder: children before their folder, links removed
// as links and never entered, read-only files, what cannot go stays, the bounds, swaps of folders
// for links at every moment of the walk, and every call of the walk failing in turn, alone and at
// the end of a whole launch.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "staging/FolderTreeDelete.h"
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

// Every entry under `under` but `skip`, as the walk must leave it: kind, content or link target,
// and whether it is writable. Links are never followed.
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
        // The outside folder holds names the staging folder holds too: a walk that went through a
        // link by path would find them.
        sandbox.WriteFile(kOutside + u"\\keep.txt", "outside");
        sandbox.WriteFile(kOutside + u"\\b.txt", "outside b");
        sandbox.WriteFile(kOutside + u"\\deep\\c\\d\\e.txt", "outside e");
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
    Entries OutsideFolder() const { return Snapshot(sandbox, Linux(kOutside)); }

    // Holds the folder as its creation does, then deletes it; `between` runs in between.
    RunResult Delete(const Faults& faults = {}, const std::u16string& folder = kStaging,
                     const std::function<void()>& between = {}) {
        return platform::host::Run(sandbox, env, [&] {
            stub::HeldFolder held;
            if (!stub::HoldFolder(folder.c_str(), held)) return;
            if (between) between();
            stub::FolderTreeDelete(folder.c_str(), held);
        }, faults);
    }

    // Puts a link to the outside folder in place of `folder` (moved to C:\Moved), as another
    // process can between two calls of the walk.
    void SwapForLink(const std::u16string& folder) {
        if (!fs::is_directory(fs::symlink_status(Linux(folder)))) return;
        const std::string moved = sandbox.root() + "/C/Moved";
        fs::remove_all(moved);
        fs::rename(Linux(folder), moved);
        fs::create_directory_symlink(Linux(kOutside), Linux(folder));
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
        if (call.call == Call::SetFileInformationByHandle && call.path2 == u"disposition")
            removedFolders.insert(call.path);
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
    EXPECT_EQ(result.blocksLeft, 0u);
    // Every path the walk opens carries the prefix that keeps names as they are.
    for (const std::u16string& path : PathsOf(result, Call::CreateFileW)) {
        if (path != kStaging) EXPECT_EQ(path.rfind(u"\\\\?\\C:\\Temp\\ZEB1A2B.tmp", 0), 0u) << N(path);
    }
    // The read-only attribute is cleared on the read-only entries alone (never on a link), through
    // their own handles.
    std::vector<std::u16string> cleared;
    for (const CallRecord& call : result.calls)
        if (call.call == Call::SetFileInformationByHandle && call.path2 == u"basic") cleared.push_back(call.path);
    std::sort(cleared.begin(), cleared.end());
    EXPECT_EQ(cleared, (std::vector<std::u16string>{kStaging + u"\\rodir", kStaging + u"\\sub\\ro.txt"}));
}

// Where the system opens a link's target even when asked for the link (Wine), the handle's file
// ID may equal the listed one, yet it is the target's: the link stays, the target untouched.
TEST_F(StagingCleanup, WhereLinksOpenTheirTargetsTheLinksStayAndTheRestGoes) {
    RichTree();
    env.linksOpenTargets = true;
    const Entries outside = Outside();
    const RunResult result = Delete();
    EXPECT_EQ(Outside(), outside);
    std::set<std::string> left;
    for (auto it = fs::recursive_directory_iterator(Linux(kStaging));
         it != fs::recursive_directory_iterator(); ++it)
        left.insert(it->path().string().substr(Linux(kStaging).size() + 1));
    EXPECT_EQ(left, (std::set<std::string>{"filelink", "link", "sub", "sub/link2"}));
    EXPECT_EQ(result.handlesLeft, 0u);
}

TEST_F(StagingCleanup, NamesWithATrailingDotOrSpaceGoAsTheyAre) {
    // Made through "\\?\" paths: "dot." and "dot" are two files, "sp " a folder.
    std::ofstream(Linux(kStaging) + "/dot.") << "with the dot";
    std::ofstream(Linux(kStaging) + "/dot") << "without";
    fs::create_directory(Linux(kStaging) + "/sp ");
    std::ofstream(Linux(kStaging) + "/sp /x. ") << "inside";
    const RunResult result = Delete();
    EXPECT_FALSE(sandbox.Exists(kStaging));
    EXPECT_EQ(result.handlesLeft, 0u);
}

TEST_F(StagingCleanup, AFolderSwappedForALinkBeforeTheWalkIsNotTouched) {
    RichTree();
    const Entries outside = OutsideFolder();
    // Held, then replaced by a link to the outside folder before the walk takes it over.
    const RunResult result = Delete({}, kStaging, [&] { SwapForLink(kStaging); });
    EXPECT_EQ(OutsideFolder(), outside);
    EXPECT_TRUE(fs::is_symlink(Linux(kStaging)));
    EXPECT_EQ(result.CountOf(Call::GetFileInformationByHandleEx), 0u);  // never listed
    EXPECT_EQ(result.CountOf(Call::SetFileInformationByHandle), 0u);
    // A folder that is not there cannot be held: nothing to do.
    EXPECT_EQ(Delete({}, u"C:\\Temp\\missing").CountOf(Call::SetFileInformationByHandle), 0u);
}

// Another process swaps a staging subfolder for a link to the outside folder at every moment of
// the walk in turn: after any call, so between the listing and the open, and between the open
// and the delete. Whatever it hits, nothing outside is removed, on Windows' links and on Wine's.
// On a file system whose 64-bit file IDs are not unique (ReFS: here every entry has the same one),
// the walk tells entries apart by their 128-bit IDs.
TEST_F(StagingCleanup, ASwapAtAnyMomentOfTheWalkNeverReachesOutside) {
    for (const char16_t* fileSystem : {u"NTFS", u"ReFS"})
    for (const bool wineLinks : {false, true}) {
        env.linksOpenTargets = wineLinks;
        env.fileSystem = fileSystem;
        RichTree();
        const uint64_t calls = Delete().callCount;
        if (!wineLinks) EXPECT_FALSE(sandbox.Exists(kStaging)) << N(fileSystem);
        for (const std::u16string& swapped : {kStaging + u"\\sub", kStaging + u"\\sub\\deep"}) {
            for (uint64_t n = 1; n <= calls; ++n) {
                fs::remove_all(Linux(kStaging));
                fs::remove_all(sandbox.root() + "/C/Moved");
                MakeDirectory(sandbox, kStaging);
                RichTree();
                const Entries outside = OutsideFolder();
                Faults faults;
                faults.beforeCall = [&, count = uint64_t{0}](const CallRecord&) mutable {
                    if (++count == n) SwapForLink(swapped);
                };
                const RunResult result = Delete(faults);
                SCOPED_TRACE(N(swapped) + " swapped before call " + std::to_string(n) +
                             (wineLinks ? " (Wine's links) " : " ") + N(fileSystem) + Trace(result, 4));
                ASSERT_EQ(OutsideFolder(), outside);
                EXPECT_EQ(result.invalidHandleUses, 0u);
                EXPECT_EQ(result.handlesLeft, 0u);
            }
        }
        fs::remove_all(Linux(kStaging));
        MakeDirectory(sandbox, kStaging);
    }
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
        stub::HeldFolder folder;
        ASSERT_TRUE(stub::HoldFolder(kStaging.c_str(), folder));
        stub::FolderTreeDelete(kStaging.c_str(), folder);
    });
    EXPECT_EQ(sandbox.List(kStaging), (std::vector<std::string>{"sub/", "sub/deep/", "sub/deep/held.log"}));
    EXPECT_EQ(Outside(), outside);
    EXPECT_EQ(result.handlesLeft, 1u);  // the held file's own handle
}

TEST_F(StagingCleanup, PastTheDepthBoundTheSubtreeStaysLongPathsGo) {
    // 70 nested folders: 63 levels below the staging folder are listed; the 64th is not entered.
    std::u16string chain = kStaging;
    for (int level = 1; level <= 70; ++level) chain += u"\\d";
    sandbox.WriteFile(chain + u"\\bottom.txt", "bottom");
    Write(u"d\\d\\beside.txt");
    Write(u"top.txt");
    // Paths past MAX_PATH are reached through the prefix.
    const std::u16string longFolder = kStaging + u"\\" + std::u16string(200, u'l');
    MakeDirectory(sandbox, longFolder);
    std::ofstream(Linux(longFolder) + "/" + std::string(60, 'n')) << "far";
    std::ofstream(Linux(longFolder) + "/" + std::string(200, 'm')) << "farther";

    const RunResult result = Delete();
    std::vector<std::string> left;
    std::string kept;
    for (int level = 1; level <= 70; ++level) left.push_back(kept += "d/");
    left.push_back(kept + "bottom.txt");
    EXPECT_EQ(sandbox.List(kStaging), left);
    EXPECT_EQ(result.handlesLeft, 0u);
}

// Each call of the walk failing in turn: nothing outside changes, nothing that stays is altered,
// no handle or block is misused or left (but the one whose close was made to fail), and it ends.
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
        EXPECT_EQ(result.invalidFrees, 0u);
        EXPECT_EQ(result.handlesLeft, hit.call == Call::CloseHandle ? 1u : 0u);
        EXPECT_EQ(result.blocksLeft, hit.call == Call::HeapFree ? 1u : 0u);
        for (const auto& [path, what] : Snapshot(sandbox, sandbox.root())) {
            ASSERT_EQ(before.count(path), 1u) << path;
            EXPECT_EQ(what.substr(2), before.at(path).substr(2)) << path;  // writable or not
        }
    }
    for (Call kind : {Call::CreateFileW, Call::GetFileInformationByHandle,
                      Call::NtQueryInformationFile, Call::GetVolumeInformationByHandleW,
                      Call::GetFileInformationByHandleEx, Call::SetFileInformationByHandle,
                      Call::CloseHandle, Call::GetFullPathNameW, Call::HeapAlloc})
        EXPECT_EQ(failed[kind], static_cast<int>(clean.CountOf(kind))) << platform::host::CallName(kind);
}

// A whole launch whose installer leaves a tree behind (read-only entries, links out): each call
// after the installer's end failing in turn never changes the exit code, which stays the
// installer's.
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
    const long ended = FirstIndexOf(clean, Call::GetExitCodeProcess);
    ASSERT_GT(ended, 0);
    for (uint64_t n = static_cast<uint64_t>(ended) + 2; n <= clean.callCount; ++n) {
        fs::remove_all(Linux(kStaging));
        MakeDirectory(sandbox, kStaging);
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
