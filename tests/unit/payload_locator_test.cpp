// The payload locator over files in the host sandbox.
#include <cstdio>
#include <gtest/gtest.h>

#include <string>

#include "payload/PayloadLocator.h"
#include "platform/host/host.h"
#include "support/ZipBuilder.h"

namespace {

using platform::host::Call;
using platform::host::Environment;
using platform::host::Faults;
using platform::host::RunResult;
using platform::host::Sandbox;
using stub::PayloadKind;

const std::u16string kPayloadPath = u"C:\\stub\\payload.bin";
const std::string kZipSignature("PK\x03\x04", 4);
const std::string kSevenZipSignature("7z\xBC\xAF\x27\x1C", 6);

// A 7z signature header (signature, version, made-up CRCs and offsets) and the first packed byte.
std::string SevenZipStart(char firstPackedByte) {
    std::string header = kSevenZipSignature;
    header += std::string("\x00\x04", 2);
    for (int i = static_cast<int>(header.size()); i < 32; ++i) header.push_back(static_cast<char>(0x40 + i));
    header.push_back(firstPackedByte);
    header += "rest of the archive";
    return header;
}

std::string ZipArchive() {
    return testsupport::BuildZip({{"setup.exe", "installer bytes"}});
}

struct LocateOutcome {
    RunResult run;
    bool returned = false;     // the locator returned (did not end the process)
    PayloadKind kind = PayloadKind::None;
    std::string nextBytes;     // what a read right after the locator delivers
    uint64_t readCalls = 0;
};

LocateOutcome Locate(const std::string& file, const Faults& faults = {}, size_t peek = 6) {
    Sandbox sandbox;
    sandbox.WriteFile(kPayloadPath, file);
    LocateOutcome outcome;
    outcome.run = platform::host::Run(
        sandbox, Environment{},
        [&] {
            platform::Handle self =
                platform::CreateFileW(kPayloadPath.c_str(), platform::GENERIC_READ,
                                      platform::FILE_SHARE_READ, nullptr, platform::OPEN_EXISTING,
                                      0, nullptr);
            if (self == platform::INVALID_HANDLE_VALUE) platform::ExitProcess(99);
            outcome.kind = stub::PayloadLocator(self);
            outcome.returned = true;
            std::string next(peek, '\0');
            platform::u32 read = 0;
            if (!platform::ReadFile(self, next.data(), static_cast<platform::u32>(peek), &read, nullptr))
                platform::ExitProcess(98);
            next.resize(read);
            outcome.nextBytes = next;
            platform::CloseHandle(self);
        },
        faults);
    for (const auto& record : outcome.run.calls) {
        if (record.call == Call::ReadFile) ++outcome.readCalls;
    }
    // The peek above is one read of the test's own.
    if (outcome.returned && outcome.readCalls > 0) --outcome.readCalls;
    return outcome;
}

TEST(PayloadLocator, FindsArchiveAtOffsetZeroAndLeavesThePositionOnIt) {
    const std::string zip = ZipArchive();
    LocateOutcome found = Locate(zip);
    ASSERT_TRUE(found.returned);
    EXPECT_EQ(found.kind, PayloadKind::Zip);
    EXPECT_EQ(found.nextBytes, zip.substr(0, 6));

    const std::string sevenZip = SevenZipStart('\0');
    found = Locate(sevenZip);
    ASSERT_TRUE(found.returned);
    EXPECT_EQ(found.kind, PayloadKind::SevenZip);
    EXPECT_EQ(found.nextBytes, kSevenZipSignature);
}

TEST(PayloadLocator, FindsArchiveBehindAnImageAtEveryBlockBoundary) {
    // Offsets around the block size cover signatures split across two reads of the scan.
    for (size_t imageSize : {33u, 34u, 4096u, 65503u, 65504u, 65505u, 65535u, 65536u, 65537u,
                             131007u, 131040u, 200000u}) {
        const std::string image = testsupport::FakeStubImage(imageSize);
        LocateOutcome zip = Locate(image + ZipArchive() + std::string(100, '\0'));
        ASSERT_TRUE(zip.returned) << imageSize;
        EXPECT_EQ(zip.kind, PayloadKind::Zip) << imageSize;
        EXPECT_EQ(zip.nextBytes, kZipSignature + std::string("\x14\x00", 2)) << imageSize;

        LocateOutcome sevenZip = Locate(image + SevenZipStart('\0'));
        ASSERT_TRUE(sevenZip.returned) << imageSize;
        EXPECT_EQ(sevenZip.kind, PayloadKind::SevenZip) << imageSize;
        EXPECT_EQ(sevenZip.nextBytes, kSevenZipSignature) << imageSize;
    }
}

TEST(PayloadLocator, EarliestSignatureWins) {
    const std::string image = testsupport::FakeStubImage(1000);
    LocateOutcome zipFirst = Locate(image + ZipArchive() + SevenZipStart('\0'));
    EXPECT_EQ(zipFirst.kind, PayloadKind::Zip);
    EXPECT_EQ(zipFirst.nextBytes.substr(0, 4), kZipSignature);

    LocateOutcome sevenZipFirst = Locate(image + SevenZipStart('\0') + ZipArchive());
    EXPECT_EQ(sevenZipFirst.kind, PayloadKind::SevenZip);
    EXPECT_EQ(sevenZipFirst.nextBytes, kSevenZipSignature);
}

TEST(PayloadLocator, SevenZipNeedsAZeroByte32) {
    const std::string image = testsupport::FakeStubImage(5000);
    // A copy of the signature with a non-zero byte 32 is passed over; the real archive behind it
    // is found, with the position on the real one.
    const std::string decoy = SevenZipStart('\x01');
    LocateOutcome outcome = Locate(image + decoy + std::string(40, 'q') + SevenZipStart('\0'), {}, 40);
    ASSERT_TRUE(outcome.returned);
    EXPECT_EQ(outcome.kind, PayloadKind::SevenZip);
    EXPECT_EQ(outcome.nextBytes.substr(0, 6), kSevenZipSignature);
    EXPECT_EQ(outcome.nextBytes[32], '\0');

    // An LZMA2-style archive alone (first packed byte a chunk control byte) is not recognised.
    outcome = Locate(image + SevenZipStart('\x01') + std::string(500, 'x'));
    ASSERT_TRUE(outcome.returned);
    EXPECT_EQ(outcome.kind, PayloadKind::None);
    EXPECT_EQ(outcome.nextBytes, "");  // at the end of the file
}

TEST(PayloadLocator, WindowMustFitInTheFile) {
    // A ZIP signature starting 33 bytes before the end is found; one starting 32 bytes before it
    // (within the last 32 bytes) is not.
    const std::string image = testsupport::FakeStubImage(3000);
    const std::string zipAt33 = kZipSignature + std::string(29, 'z');
    EXPECT_EQ(Locate(image + zipAt33).kind, PayloadKind::Zip);
    const std::string zipAt32 = kZipSignature + std::string(28, 'z');
    LocateOutcome tail = Locate(image + zipAt32);
    ASSERT_TRUE(tail.returned);
    EXPECT_EQ(tail.kind, PayloadKind::None);
    // A 33-byte file is one window; a 32-byte one cannot hold any and ends the run from within.
    EXPECT_EQ(Locate(zipAt33).kind, PayloadKind::Zip);
    for (size_t size : {0u, 1u, 32u}) {
        LocateOutcome tooShort = Locate(zipAt33.substr(0, size));
        EXPECT_FALSE(tooShort.returned) << size;
        EXPECT_TRUE(tooShort.run.exited) << size;
        EXPECT_EQ(tooShort.run.exitCode, stub::kFailureExitCode) << size;
    }
}

TEST(PayloadLocator, TrailingDataIsIgnored) {
    const std::string image = testsupport::FakeStubImage(2048);
    // A certificate table after the archive, holding a signature of its own.
    const std::string trailing = std::string(7, '\0') + "CERT" + SevenZipStart('\0') + kZipSignature;
    LocateOutcome outcome = Locate(image + ZipArchive() + trailing);
    EXPECT_EQ(outcome.kind, PayloadKind::Zip);
    EXPECT_EQ(outcome.nextBytes.substr(0, 4), kZipSignature);
}

TEST(PayloadLocator, ReadCallsBehindAFullSizeImage) {
    const size_t kImageBytes = 433152;
    const std::string file = testsupport::FakeStubImage(kImageBytes) + ZipArchive();
    LocateOutcome outcome = Locate(file, {}, 8);
    ASSERT_TRUE(outcome.returned);
    EXPECT_EQ(outcome.kind, PayloadKind::Zip);
    EXPECT_EQ(outcome.nextBytes, file.substr(kImageBytes, 8));
    EXPECT_GE(outcome.readCalls, 1u);
    EXPECT_LE(outcome.readCalls, 10u);
    std::printf("locator read calls behind a %u-byte image: %u\n", static_cast<unsigned>(kImageBytes), static_cast<unsigned>(outcome.readCalls));
}

TEST(PayloadLocator, ReadAndSeekFailuresEndTheRun) {
    const std::string file = testsupport::FakeStubImage(300000) + ZipArchive();
    for (uint64_t nth : {1u, 2u, 4u}) {
        Faults faults;
        faults.nthOfKind = Call::ReadFile;
        faults.failNthOfKind = nth;
        faults.lastError = platform::ERROR_READ_FAULT;
        LocateOutcome outcome = Locate(file, faults);
        EXPECT_FALSE(outcome.returned) << nth;
        EXPECT_TRUE(outcome.run.exited) << nth;
        EXPECT_EQ(outcome.run.exitCode, stub::kFailureExitCode) << nth;
    }
    Faults seek;
    seek.failEvery = {Call::SetFilePointer};
    LocateOutcome outcome = Locate(file, seek);
    EXPECT_FALSE(outcome.returned);
    EXPECT_EQ(outcome.run.exitCode, stub::kFailureExitCode);
}

}  // namespace
