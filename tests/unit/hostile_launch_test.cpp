// Hostile input around the archive: `.launch` files that are long, carry a byte-order mark or
// lead outside the staging folder; a stub file too short for the locator; and signature bytes in
// every position of the image's tail, right in front of the real archive.
#include <gtest/gtest.h>

#include "hostile_whole_run.h"
#include "support/ZipBuilder.h"

namespace {

using namespace hostile;
using testsupport::BuildZip;
using testsupport::ZipEntry;

std::string LaunchPayload(const std::string& launch) {
    return BuildZip({ZipEntry{".launch", launch}, ZipEntry{"setup.exe", "MZ setup"},
                     ZipEntry{"sub/setup.exe", "MZ sub setup"}});
}

TEST(HostileLaunch, LaunchFilesThatLeadOutsideOrCannotBeReadEndTheRunWithoutAStart) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"byte-order mark", "\xEF\xBB\xBFsetup.exe\r\n"},
        {"parent", "..\\outside.exe"},
        {"parent, forward", "../outside.exe"},
        {"deeper parent", "sub\\..\\..\\outside.exe"},
        {"absolute", "C:\\Temp\\outside.exe"},
        {"drive-relative", "C:outside.exe"},
        {"rooted", "\\Temp\\outside.exe"},
        {"UNC", "\\\\server\\share\\outside.exe"},
        {"stream", "setup.exe:stream"},
        {"device", "CON"},
        {"empty first line", "\r\nsetup.exe"},
        {"empty file", ""},
        {"a folder", "sub"},
        {"10,000 bytes on one line", std::string(10000, 'a')},
        {"a first line longer than what is read", std::string(300, 'b') + "\nsetup.exe"},
        {"invalid UTF-8", "setup\xFF.exe"},
    };
    for (const auto& [label, launch] : cases) {
        SCOPED_TRACE(label);
        WholeRun run;
        run.WriteStub(StubImage(), LaunchPayload(launch));
        const Outcome outcome = run.Run();
        ASSERT_TRUE(outcome.result.exited);
        EXPECT_EQ(outcome.result.exitCode, kFailure);
        EXPECT_FALSE(outcome.installerStarted) << platform::host::Utf8(outcome.startedFile);
        EXPECT_EQ(outcome.tempAfter.size(), 1u) << "the staging folder stays";
        EXPECT_EQ(outcome.stagingAfter.count("setup.exe"), 1u);
        EXPECT_TRUE(outcome.outside.empty());
    }
}

TEST(HostileLaunch, OnlyTheFirstLineOfALaunchFileCounts) {
    // A good first line followed by a second line naming a program outside, and by any amount of
    // comment: the first line runs, the second is never reached, whatever the file's size.
    for (const size_t size : {100u, 259u, 260u, 10000u}) {
        SCOPED_TRACE(size);
        std::string launch = "sub\\setup.exe\n..\\outside.exe\n";
        launch += std::string(size - launch.size(), 'z');
        WholeRun run;
        run.WriteStub(StubImage(), LaunchPayload(launch));
        const Outcome outcome = run.Run();
        ASSERT_TRUE(outcome.result.exited);
        EXPECT_TRUE(outcome.outside.empty());
        EXPECT_EQ(outcome.result.exitCode, kInstallerCode);
        const std::u16string started = outcome.startedFile;
        ASSERT_GE(started.size(), 14u);
        EXPECT_EQ(started.substr(started.size() - 14), u"\\sub\\setup.exe");
        EXPECT_TRUE(outcome.tempAfter.empty());
    }
}

TEST(HostileLaunch, AStubFileShorterThanTheScanWindowEndsTheRunWithItsStagingFolderEmpty) {
    for (const size_t size : {0u, 1u, 4u, 32u}) {
        SCOPED_TRACE(size);
        WholeRun run;
        run.WriteStub(std::string("PK\x03\x04", 4).substr(0, std::min<size_t>(size, 4)) +
                      std::string(size > 4 ? size - 4 : 0, '\0'));
        const Outcome outcome = run.Run();
        ASSERT_TRUE(outcome.result.exited);
        EXPECT_EQ(outcome.result.exitCode, kFailure);
        EXPECT_FALSE(outcome.installerStarted);
        ASSERT_EQ(outcome.tempAfter.size(), 1u);
        EXPECT_TRUE(outcome.stagingAfter.empty());
        EXPECT_TRUE(outcome.outside.empty());
    }
}

TEST(HostileLaunch, SignatureBytesInEveryPositionOfTheImageTail) {
    // The payload: a ZIP holding the installer, right after the image. In front of it, in the
    // image's last 40 bytes, one signature is planted at each position in turn, cut where the
    // image ends. A whole ZIP signature inside the image, or a whole 7z signature whose byte 32
    // is zero, is an archive to the locator, which stops there (and the run then fails); a cut
    // one, or a 7z signature whose byte 32 is not zero, is passed over and the real archive runs.
    const std::string image = StubImage();
    const std::string payload = BuildZip({ZipEntry{"Orvak ZEB Installer.exe", "MZ installer"}});
    const std::string sevenZip("7z\xBC\xAF\x27\x1C", 6);
    const std::string zip("PK\x03\x04", 4);
    struct Plant {
        const char* label;
        std::string signature;
        int byte32;  // -1: leave the byte 32 after the signature as it is
    };
    const std::vector<Plant> plants = {
        {"zip", zip, -1}, {"7z, byte 32 non-zero", sevenZip, 1}, {"7z, byte 32 zero", sevenZip, 0}};
    int falseMatches = 0, passedOver = 0;
    for (const Plant& plant : plants) {
        for (size_t at = image.size() - 40; at < image.size(); ++at) {
            SCOPED_TRACE(std::string(plant.label) + " at " + std::to_string(at));
            std::string file = image + payload;
            const size_t room = std::min(plant.signature.size(), image.size() - at);
            file.replace(at, room, plant.signature.substr(0, room));
            if (plant.byte32 >= 0 && at + 32 < image.size()) file[at + 32] = static_cast<char>(plant.byte32);
            const bool whole = room == plant.signature.size();
            const bool isArchive = whole && (plant.signature == zip || file[at + 32] == 0);

            WholeRun run;
            run.WriteStub(file);
            const Outcome outcome = run.Run();
            ASSERT_TRUE(outcome.result.exited);
            EXPECT_TRUE(outcome.outside.empty());
            if (isArchive) {
                ++falseMatches;
                EXPECT_EQ(outcome.result.exitCode, kFailure);
                EXPECT_FALSE(outcome.installerStarted);
            } else {
                ++passedOver;
                EXPECT_EQ(outcome.result.exitCode, kInstallerCode);
                EXPECT_EQ(outcome.stagingAtStart, (FileMap{{"Orvak ZEB Installer.exe", "MZ installer"}}));
            }
        }
    }
    // Both kinds occur: at least every whole ZIP plant (37) and the 8 zero-byte 7z plants whose
    // byte 32 lies in the image; at least the 13 cut plants are passed over.
    EXPECT_GE(falseMatches, 45);
    EXPECT_GE(passedOver, 13);
}

}  // namespace
