// The staging directory and the entry path builder.
#include <gtest/gtest.h>

#include "payload/EntryPaths.h"
#include "staging/StagingDirectory.h"
#include "launcher_test_support.h"

namespace {

using namespace launchertest;
using platform::host::Environment;
using platform::host::Faults;
using stub::StagingState;

std::u16string Path(const platform::WChar* text) { return std::u16string(text); }

// ---- creating the staging directory ----------------------------------------------------------

TEST(LauncherStaging, CreatesTmpNamedDirectoryWithBothPathForms) {
    Sandbox sandbox;
    Environment env;
    env.tempFolder = u"C:\\Users\\me\\Temp\\";
    StagingState staging{};
    // Garbage everywhere, so that every terminator seen below was written by the creation.
    std::fill(std::begin(staging.stagingPath), std::end(staging.stagingPath), u'#');
    std::fill(std::begin(staging.stagingRoot), std::end(staging.stagingRoot), u'#');
    bool created = false;
    const RunResult result = platform::host::Run(sandbox, env, [&] { created = stub::CreateStagingDirectory(staging); });
    ASSERT_FALSE(result.exited);
    ASSERT_TRUE(created);

    const std::u16string path = Path(staging.stagingPath);
    EXPECT_EQ(Path(staging.tempFolder), u"C:\\Users\\me\\Temp\\");  // backslash kept
    ASSERT_EQ(path.rfind(u"C:\\Users\\me\\Temp\\ZEB", 0), 0u) << N(path);
    ASSERT_GE(path.size(), 4u);
    EXPECT_EQ(path.substr(path.size() - 4), u".tmp");
    EXPECT_NE(path.back(), u'\\');
    EXPECT_TRUE(IsDirectory(sandbox, path));

    EXPECT_EQ(staging.stagingLength, path.size());
    EXPECT_EQ(staging.stagingPath[staging.stagingLength + 1], 0) << "second terminator";
    EXPECT_EQ(std::u16string(staging.stagingRoot, staging.stagingLength), path);
    EXPECT_EQ(staging.stagingRoot[staging.stagingLength], u'\\');
    EXPECT_EQ(staging.entryTail, staging.stagingLength + 1);

    // The reserved file became the directory: nothing else is left in the temp folder.
    EXPECT_EQ(sandbox.List(u"C:\\Users\\me\\Temp").size(), 1u);
    EXPECT_EQ(PathsOf(result, Call::GetTempFileNameW), std::vector<std::u16string>{u"C:\\Users\\me\\Temp\\"});
}

TEST(LauncherStaging, TempFolderThatDoesNotFitFailsWithoutTryingElsewhere) {
    for (const size_t length : {261u, 300u}) {
        Sandbox sandbox;
        Environment env;
        std::u16string temp = u"C:\\";
        while (temp.size() + 1 < length) {
            const size_t room = length - 1 - temp.size();
            if (room > 101) {
                temp += std::u16string(100, u't') + u"\\";
            } else {
                temp += std::u16string(room, u't');
            }
        }
        temp += u'\\';
        ASSERT_EQ(temp.size(), length);
        env.tempFolder = temp;
        StagingState staging{};
        bool created = true;
        const RunResult result =
            platform::host::Run(sandbox, env, [&] { created = stub::CreateStagingDirectory(staging); });
        EXPECT_FALSE(created) << length;
        EXPECT_EQ(result.CountOf(Call::GetTempFileNameW), 0u) << length;
        EXPECT_EQ(result.CountOf(Call::NtCreateFile), 0u) << length;
        EXPECT_TRUE(StagingFolders(sandbox, temp).empty());
        EXPECT_TRUE(StagingFolders(sandbox, u"C:\\Temp\\").empty());
    }
}

TEST(LauncherStaging, EachFailingStepFails) {
    struct Case {
        Call call;
        bool directoryLeft;
    };
    for (const Case c : {Case{Call::GetTempPathW, false}, Case{Call::GetTempFileNameW, false},
                         Case{Call::NtCreateFile, false}}) {
        Sandbox sandbox;
        Environment env;
        Faults faults;
        faults.failEvery = {c.call};
        StagingState staging{};
        bool created = true;
        const RunResult result =
            platform::host::Run(sandbox, env, [&] { created = stub::CreateStagingDirectory(staging); }, faults);
        EXPECT_FALSE(created) << platform::host::CallName(c.call);
        EXPECT_EQ(result.CountOf(Call::ShellExecuteExW), 0u);
        // Nothing is created after the failing step.
        if (c.call != Call::NtCreateFile) {
            EXPECT_EQ(result.CountOf(Call::NtCreateFile), 0u) << platform::host::CallName(c.call);
        }
        for (const auto& folder : StagingFolders(sandbox, env.tempFolder)) {
            EXPECT_FALSE(IsDirectory(sandbox, folder)) << N(folder);
        }
    }
}

// ---- entry paths --------------------------------------------------------------------------

class LauncherEntryPath : public ::testing::Test {
protected:
    // Runs `body` after creating a staging directory; returns the run's record.
    RunResult RunWithStaging(const std::function<void()>& body, const Faults& faults = {}) {
        return platform::host::Run(sandbox, env, [&] {
            ASSERT_TRUE(stub::CreateStagingDirectory(staging));
            staging_ = Path(staging.stagingPath);
            body();
        }, faults);
    }
    bool Build(const std::u16string& name, platform::u32 count) {
        return stub::EntryPathBuilder(staging, name.c_str(), count);
    }
    bool Build(const std::u16string& name) {
        return Build(name, static_cast<platform::u32>(name.size()));
    }
    std::u16string Root() const { return Path(staging.stagingRoot); }

    Sandbox sandbox;
    Environment env;
    StagingState staging{};
    std::u16string staging_;
};

TEST_F(LauncherEntryPath, CreatesEachParentOnceOutermostFirst) {
    bool ok = false;
    std::u16string root;
    const RunResult result = RunWithStaging([&] {
        ok = Build(u"a/b/c.txt");
        root = Root();
    });
    ASSERT_TRUE(ok);
    EXPECT_EQ(root, staging_ + u"\\a/b/c.txt");
    const auto created = PathsOf(result, Call::CreateDirectoryW);
    ASSERT_EQ(created.size(), 2u);  // a, then a/b (the staging directory is made otherwise)
    EXPECT_EQ(created[0], staging_ + u"\\a");
    EXPECT_EQ(created[1], staging_ + u"\\a/b");
    EXPECT_TRUE(IsDirectory(sandbox, staging_ + u"\\a\\b"));
    EXPECT_FALSE(sandbox.Exists(staging_ + u"\\a\\b\\c.txt")) << "the last component is never created";
}

TEST_F(LauncherEntryPath, ParentsSharedWithThePreviousNameAreNotCreatedAgain) {
    // Each name, and the folders it must create: only those it does not share, unit for unit,
    // with the previous name's parents. A name differing in case, or a folder named like the start
    // of another, is created again (and accepted as existing).
    const std::vector<std::pair<std::u16string, std::vector<std::u16string>>> steps = {
        {u"a/b/c.txt", {u"a", u"a/b"}},
        {u"a/b/d.txt", {}},
        {u"a/x.txt", {}},
        {u"ab/y", {u"ab"}},
        {u"a/b/e/f", {u"a", u"a/b", u"a/b/e"}},
        {u"top.txt", {}},
        {u"a/b/e/g", {u"a", u"a/b", u"a/b/e"}},
        {u"A/b/e/h", {u"A", u"A/b", u"A/b/e"}},
    };
    std::vector<std::u16string> roots;
    const RunResult result = RunWithStaging([&] {
        for (const auto& step : steps) {
            ASSERT_TRUE(Build(step.first)) << N(step.first);
            roots.push_back(Root());
        }
    });
    const auto created = PathsOf(result, Call::CreateDirectoryW);
    std::vector<std::u16string> want;
    for (const auto& [name, folders] : steps)
        for (const auto& f : folders) want.push_back(staging_ + u"\\" + f);
    EXPECT_EQ(created, want);
    for (size_t i = 0; i < steps.size(); ++i) EXPECT_EQ(roots[i], staging_ + u"\\" + steps[i].first);
    EXPECT_TRUE(IsDirectory(sandbox, staging_ + u"\\a\\b\\e"));
    EXPECT_TRUE(IsDirectory(sandbox, staging_ + u"\\ab"));
}

TEST_F(LauncherEntryPath, AcceptsParentsThatExist) {
    bool first = false, second = false;
    std::u16string root;
    RunWithStaging([&] {
        first = Build(u"a/b/c.txt");
        second = Build(u"a/d.txt");
        root = Root();
    });
    EXPECT_TRUE(first);
    EXPECT_TRUE(second);
    EXPECT_EQ(root, staging_ + u"\\a/d.txt");
}

TEST_F(LauncherEntryPath, NameWithoutSeparatorCreatesNothing) {
    bool ok = false;
    std::u16string root;
    const RunResult result = RunWithStaging([&] {
        ok = Build(u"setup.exe");
        root = Root();
    });
    ASSERT_TRUE(ok);
    EXPECT_EQ(root, staging_ + u"\\setup.exe");
    EXPECT_EQ(result.CountOf(Call::CreateDirectoryW), 0u);
}

TEST_F(LauncherEntryPath, CountBoundsTheWalkAndAShorterNameLeavesNoOldTail) {
    // A 7z name counted with its NUL; then a shorter name must not keep the longer one's rest.
    bool ok = false;
    std::u16string afterLong, afterShort;
    RunWithStaging([&] {
        const std::u16string withNul(u"dir/long-name.bin\0", 18);
        ok = Build(withNul, 18);
        afterLong = Root();
        ok = ok && Build(u"x.txtGARBAGE", 5);
        afterShort = Root();
    });
    ASSERT_TRUE(ok);
    EXPECT_EQ(afterLong, staging_ + u"\\dir/long-name.bin");
    EXPECT_EQ(afterShort, staging_ + u"\\x.txt");
}

TEST_F(LauncherEntryPath, TrailingSeparatorLeavesTheTailEndingInIt) {
    bool ok = false;
    std::u16string root;
    RunWithStaging([&] {
        ok = Build(u"folder/");
        root = Root();
    });
    ASSERT_TRUE(ok);
    EXPECT_EQ(root, staging_ + u"\\folder/");
    EXPECT_TRUE(IsDirectory(sandbox, staging_ + u"\\folder"));
}

TEST_F(LauncherEntryPath, DirectoryErrorsOtherThanAlreadyExistsFail) {
    struct Case {
        platform::u32 error;
        bool expected;
    };
    for (const Case c : {Case{platform::ERROR_ACCESS_DENIED, false},
                         Case{platform::ERROR_PATH_NOT_FOUND, false},
                         Case{platform::ERROR_ALREADY_EXISTS, true}}) {
        Sandbox box;
        StagingState state{};
        Faults faults;
        faults.nthOfKind = Call::CreateDirectoryW;
        faults.failNthOfKind = 2;  // a, then a/b fails
        faults.lastError = c.error;
        bool ok = !c.expected;
        int made = 0;
        platform::host::Run(box, env, [&] {
            ASSERT_TRUE(stub::CreateStagingDirectory(state));
            ok = stub::EntryPathBuilder(state, u"a/b/c.txt", 9);
            made = 1;
        }, faults);
        ASSERT_EQ(made, 1);
        EXPECT_EQ(ok, c.expected) << c.error;
    }
}

TEST(LauncherEntryPathRule, BoundaryAtStagingLength40) {
    StagingState staging{};
    staging.stagingLength = 40;
    EXPECT_TRUE(stub::EntryPathFits(staging, 0));
    EXPECT_TRUE(stub::EntryPathFits(staging, 218));   // 40 + 218 + 1 = 259
    EXPECT_FALSE(stub::EntryPathFits(staging, 219));  // 260
    EXPECT_FALSE(stub::EntryPathFits(staging, 0xFFFFFFFFu));  // no wrap-around
    EXPECT_FALSE(stub::EntryPathFits(staging, 0xFFFFFFFFu - 40));
}

TEST(LauncherEntryPathRule, LongestFittingNameBuildsAUsablePathAndOneMoreCreatesNothing) {
    Sandbox sandbox;
    Environment env;
    // A staging directory of exactly 40 units.
    std::u16string staging = u"C:\\Temp\\";
    staging += std::u16string(40 - staging.size() - 4, u's') + u".tmp";
    ASSERT_EQ(staging.size(), 40u);
    MakeDirectory(sandbox, staging);

    const std::u16string fits = u"d/" + std::u16string(216, u'f');   // 218 units
    const std::u16string tooLong = u"e/" + std::u16string(217, u'f');  // 219 units
    bool builtFits = false, builtLong = true;
    platform::Handle file = platform::INVALID_HANDLE_VALUE;
    std::u16string root;
    platform::host::Run(sandbox, env, [&] {
        StagingState state{};
        FillStaging(state, staging);
        builtFits = stub::EntryPathBuilder(state, fits.c_str(), 218);
        root = Path(state.stagingRoot);
        file = platform::CreateFileW(state.stagingRoot, platform::GENERIC_WRITE, 0, nullptr,
                                     platform::CREATE_NEW, platform::FILE_ATTRIBUTE_NORMAL, nullptr);
        builtLong = stub::EntryPathBuilder(state, tooLong.c_str(), 219);
    });
    EXPECT_TRUE(builtFits);
    EXPECT_EQ(root.size(), 259u);
    EXPECT_NE(file, platform::INVALID_HANDLE_VALUE);
    EXPECT_TRUE(IsFile(sandbox, staging + u"\\d\\" + std::u16string(216, u'f')));
    EXPECT_FALSE(builtLong);
    EXPECT_FALSE(sandbox.Exists(staging + u"\\e"));
}

}  // namespace
