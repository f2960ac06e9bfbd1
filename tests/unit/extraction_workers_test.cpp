// Parallel unpacking: what the user sees does not depend on how many workers ran or which was
// ahead. A failure in any folder or entry leaves exactly the files before the failed entry (the
// workers ahead delete theirs), in every interleaving tried; workers fall back down to one as memory
// runs short; the progress record counts what was read and the cancel stops every worker.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "run/Failure.h"
#include "run/RunState.h"
#include "staging/StagingDirectory.h"
#include "payload/ExtractionWorkers.h"
#include "payload/PayloadLocator.h"
#include "payload/SevenZipExtractor.h"
#include "payload/ZipEntryExtractor.h"
#include "platform/host/host.h"
#include "support/SevenZipBuilder.h"
#include "support/ZipBuilder.h"
#include "worker_run.h"

namespace {

using platform::host::Call;
using platform::host::CallRecord;
using platform::host::Faults;
using testsupport::SevenZipToolFile;
using workerrun::Unpack;
using workerrun::Unpacked;

std::string Noise(size_t size, uint32_t seed) {
    std::string out(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (char& c : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x >> 24);
    }
    return out;
}

// Four folders of three files each, in archive order.
struct FourFolders {
    std::vector<std::vector<SevenZipToolFile>> folders;
    std::vector<std::string> order;  // file names in archive order
    std::map<std::string, std::string> files;
    std::string archive;
};

FourFolders MakeFourFolders() {
    FourFolders f;
    std::vector<testsupport::SevenZipToolStep> steps;
    for (int k = 0; k < 4; ++k) {
        std::vector<SevenZipToolFile> files;
        for (int i = 0; i < 3; ++i) {
            const std::string name = "f" + std::to_string(k) + "/file" + std::to_string(i) + ".bin";
            files.push_back({name, Noise(20000 + 7000 * i + 1000 * k, 10 * k + i + 1) + std::string(5000, 'x')});
            f.order.push_back(name);
            f.files[name] = files.back().data;
        }
        f.folders.push_back(files);
        steps.push_back({files, {k == 2 ? "-m0=LZMA2" : "-m0=LZMA", "-mhc=off"}});
    }
    f.archive = testsupport::BuildSevenZipWithTool(steps);
    return f;
}

// The files of `order` before `count`, as they should be.
std::map<std::string, std::string> Prefix(const std::vector<std::string>& order,
                                          const std::map<std::string, std::string>& files, size_t count) {
    std::map<std::string, std::string> out;
    for (size_t i = 0; i < count; ++i) out[order[i]] = files.at(order[i]);
    return out;
}

class ExtractionWorkersTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::SevenZipToolAvailable()) GTEST_SKIP() << "7zz is not installed";
    }
};

TEST_F(ExtractionWorkersTest, AFailureInAnyFolderLeavesExactlyTheFilesBeforeItWhicheverWorkerWasAhead) {
    const FourFolders clean = MakeFourFolders();
    for (int folder = 0; folder < 4; ++folder) {
        // The stored CRC of the folder's middle file is broken: found at that file's end.
        const size_t failed = 3 * folder + 1;
        std::string archive = clean.archive;
        const std::string& data = clean.files.at(clean.order[failed]);
        testsupport::FlipByte(archive,
                              testsupport::FindOnce(archive, testsupport::Le32(testsupport::Crc32(data)),
                                                    testsupport::SevenZipHeaderOffset(archive)),
                              0x01);
        testsupport::RefreshSevenZipCrcs(archive);
        uint32_t failedEntry = 0;  // the entry index (directory entries count), from the first run
        for (const uint32_t processors : {1u, 2u, 4u}) {
            bool someWorkerAhead = false;
            for (uint32_t seed = 0; seed < (processors == 1 ? 1u : 12u); ++seed) {
                SCOPED_TRACE("folder " + std::to_string(folder) + ", " + std::to_string(processors) +
                             " processors, seed " + std::to_string(seed));
                const Unpacked run = Unpack(archive, processors, seed);
                ASSERT_TRUE(run.returned) << "a 7z failure only stops the extraction";
                EXPECT_EQ(run.workers, processors);
                EXPECT_EQ(run.files, Prefix(clean.order, clean.files, failed));
                ASSERT_FALSE(run.result.notes.empty());
                EXPECT_EQ(run.result.notes.back().reason, static_cast<uint32_t>(stub::Reason::SevenZipCrc));
                if (processors == 1) failedEntry = run.result.notes.back().detail;
                EXPECT_EQ(run.result.notes.back().detail, failedEntry);
                EXPECT_EQ(run.result.handlesLeft, 0u);
                EXPECT_EQ(run.result.blocksLeft, 0u);
                // A worker ahead of the failure wrote a file after it, then deleted it.
                for (const CallRecord& call : run.result.calls) {
                    if (call.call != Call::DeleteFileW) continue;
                    const std::string path = platform::host::Utf8(call.path);
                    for (size_t later = failed + 1; later < clean.order.size(); ++later)
                        someWorkerAhead |= path.size() > clean.order[later].size() &&
                                           path.compare(path.size() - clean.order[later].size(), std::string::npos,
                                                        clean.order[later]) == 0;
                }
                if (HasFailure()) return;
            }
            // Only the last folder has none after it: elsewhere some interleaving ran ahead.
            if (processors > 1 && folder < 3) EXPECT_TRUE(someWorkerAhead) << processors << " processors";
        }
    }
}

TEST_F(ExtractionWorkersTest, AZipEntryThatFailsLeavesExactlyTheEntriesBeforeIt) {
    std::vector<testsupport::ZipEntry> entries;
    std::vector<std::string> order;
    std::map<std::string, std::string> files;
    for (int i = 0; i < 10; ++i) {
        testsupport::ZipEntry e{"d" + std::to_string(i % 3) + "/e" + std::to_string(i) + ".bin",
                                Noise(3000 + 4000 * (i % 4), i + 1) + std::string(2000, 'y')};
        e.deflate = i % 2 == 0;
        entries.push_back(e);
        order.push_back(e.name);
        files[e.name] = e.data;
    }
    for (const size_t failed : {size_t{0}, size_t{3}, size_t{6}, size_t{9}}) {
        std::vector<testsupport::ZipEntry> broken = entries;
        broken[failed].crc = testsupport::Crc32(broken[failed].data) ^ 1u;
        const std::string zip = testsupport::BuildZip(broken);
        for (const uint32_t processors : {1u, 2u, 4u}) {
            for (uint32_t seed = 0; seed < (processors == 1 ? 1u : 8u); ++seed) {
                SCOPED_TRACE("entry " + std::to_string(failed) + ", " + std::to_string(processors) +
                             " processors, seed " + std::to_string(seed));
                const Unpacked run = Unpack(zip, processors, seed);
                EXPECT_FALSE(run.returned);
                EXPECT_EQ(run.result.exitCode, stub::kFailureExitCode);
                EXPECT_EQ(run.workers, processors);
                EXPECT_EQ(run.files, Prefix(order, files, failed));
                ASSERT_FALSE(run.result.notes.empty());
                EXPECT_EQ(run.result.notes.back().reason, static_cast<uint32_t>(stub::Reason::ZipCrc));
                EXPECT_EQ(run.result.notes.back().detail, failed);
                if (HasFailure()) return;
            }
        }
    }
}

// Names that are one file on Windows (case as the upcase table maps it, trailing dots, "\" for
// "/"), or a file whose name a later entry uses as a folder: the later entry in archive order is
// refused, as a file that cannot be created, whichever worker would have created its file first.
TEST_F(ExtractionWorkersTest, NamesThatAreOneFileOnWindowsRefuseTheLaterEntryWhateverTheWorkers) {
    const std::string big = Noise(60000, 7);
    struct Shape {
        const char* key;
        std::string archive;
        std::map<std::string, std::string> before;  // what the earlier entries leave
        stub::Reason reason;
    };
    std::vector<Shape> shapes;
    const std::vector<std::pair<std::string, std::string>> pairs = {
        {"dup.txt", "DUP.txt"}, {"\xC3\xBF.txt", "\xC5\xB8.txt"}, {"a", "a. "}, {"d/x", "D\\X"}};
    for (const auto& [first, second] : pairs) {
        std::vector<testsupport::ZipEntry> zip = {{"big.bin", big}, {first, "1"}, {"mid.bin", big}, {second, "2"}};
        zip[0].deflate = zip[2].deflate = true;
        shapes.push_back({first.c_str(), testsupport::BuildZip(zip), {{"big.bin", big}, {first, "1"}, {"mid.bin", big}},
                          stub::Reason::EntryCreate});
    }
    shapes.push_back({"file, then folder", testsupport::BuildZip({{"x", "1"}, {"x/y", "2"}}), {{"x", "1"}},
                      stub::Reason::EntryFolder});
    shapes.push_back({"folder, then file", testsupport::BuildZip({{"x/y", "1"}, {"X", "2"}}), {{"x/y", "1"}},
                      stub::Reason::EntryCreate});
    // 7z: the two names in folders of their own, the earlier behind a large file.
    shapes.push_back({"7z folders", testsupport::BuildSevenZipWithTool(
                          {{{{"big.bin", big}, {"\xC3\xBF.txt", "1"}}, {"-m0=LZMA"}}, {{{"\xC5\xB8.txt", "2"}}, {"-m0=LZMA"}}}),
                      {{"big.bin", big}, {"\xC3\xBF.txt", "1"}}, stub::Reason::EntryCreate});
    shapes.push_back({"7z file, then folder", testsupport::BuildSevenZipRaw({{u"x", "1"}, {u"x/y", "2"}}), {{"x", "1"}},
                      stub::Reason::EntryFolder});
    for (const Shape& shape : shapes) {
        for (const uint32_t processors : {1u, 2u, 4u}) {
            for (uint32_t seed = 0; seed < (processors == 1 ? 1u : 10u); ++seed) {
                SCOPED_TRACE(std::string(shape.key) + ", " + std::to_string(processors) + " processors, seed " +
                             std::to_string(seed));
                const Unpacked run = Unpack(shape.archive, processors, seed);
                EXPECT_FALSE(run.returned);
                EXPECT_EQ(run.result.exitCode, stub::kFailureExitCode);
                EXPECT_EQ(run.files, shape.before);
                ASSERT_FALSE(run.result.notes.empty());
                EXPECT_EQ(run.result.notes.back().reason, static_cast<uint32_t>(shape.reason));
                EXPECT_EQ(run.result.notes.back().detail, shape.before.size());  // the later entry, either format
                if (HasFailure()) return;
            }
        }
    }
}

// The unpack's Windows calls for each entry more, as the floor program makes them: the file created,
// written and closed, and nothing else; the folders once each, whatever the number of files in them.
TEST_F(ExtractionWorkersTest, EachEntryCostsTheFloorsCalls) {
    auto make = [](int files, bool sevenZip) {
        std::vector<testsupport::ZipEntry> zip;
        std::vector<SevenZipToolFile> seven;
        for (int i = 0; i < files; ++i) {
            const std::string name = "d" + std::to_string(i % 10) + "/f" + std::to_string(i) + ".txt";
            zip.push_back({name, "data " + std::to_string(i)});
            seven.push_back({name, zip.back().data});
        }
        return sevenZip ? testsupport::BuildSevenZipWithTool(seven, {"-m0=LZMA", "-mhc=off"}) : testsupport::BuildZip(zip);
    };
    for (const uint32_t processors : {1u, 2u})
    for (const bool sevenZip : {false, true}) {
        SCOPED_TRACE(std::to_string(processors) + " processors");
        std::map<Call, long> perHundred;
        const Unpacked small = Unpack(make(100, sevenZip), processors, 0);
        const Unpacked large = Unpack(make(200, sevenZip), processors, 0);
        ASSERT_TRUE(small.returned && large.returned);
        for (const CallRecord& call : large.result.calls) ++perHundred[call.call];
        for (const CallRecord& call : small.result.calls) --perHundred[call.call];
        std::string table;
        for (const auto& [call, n] : perHundred)
            if (n != 0) table += std::string(" ") + platform::host::CallName(call) + " " + std::to_string(n / 100.0);
        RecordProperty((sevenZip ? "calls_per_entry_7z_" : "calls_per_entry_zip_") + std::to_string(processors), table);
        std::printf("%s, %u processors: calls per entry:%s\n", sevenZip ? "7z" : "ZIP", processors, table.c_str());
        EXPECT_EQ(perHundred[Call::CreateFileW], 100);
        EXPECT_EQ(perHundred[Call::WriteFile], 100);
        EXPECT_EQ(perHundred[Call::CloseHandle], 100);
        EXPECT_EQ(perHundred[Call::CreateDirectoryW], 0) << "the same ten folders";
        // The workers' events are set when somebody waits, not for every entry.
        EXPECT_LT(perHundred[Call::SetEvent], 100);
        for (const Call other : {Call::GetFileAttributesW, Call::DeleteFileW, Call::GetFileInformationByHandle})
            EXPECT_EQ(perHundred[other], 0) << platform::host::CallName(other);
    }
}

TEST_F(ExtractionWorkersTest, WorkersFallBackDownToOneAsMemoryRunsShort) {
    const FourFolders f = MakeFourFolders();
    const Unpacked roomy = Unpack(f.archive, 4, 1);
    ASSERT_EQ(roomy.workers, 4u);
    ASSERT_EQ(roomy.files, f.files);
    // Every worker holds an arena of the same size: the heap limit decides how many fit.
    std::map<uint32_t, int> completeWith;  // workers -> runs that unpacked everything
    bool stopped = false;
    for (uint64_t limit = 24u << 20; limit >= (1u << 20); limit -= 256u << 10) {
        Faults faults;
        faults.heapLimit = limit;
        const Unpacked run = Unpack(f.archive, 4, 1, faults);
        SCOPED_TRACE("heap limit " + std::to_string(limit));
        ASSERT_TRUE(run.returned);
        EXPECT_EQ(run.result.blocksLeft, 0u);
        if (run.files == f.files) {
            ++completeWith[run.workers];
            EXPECT_FALSE(stopped) << "more memory unpacked less";
        } else {
            stopped = true;
            // Not even one worker's folder fits: a prefix, stopped for memory.
            EXPECT_EQ(run.files, Prefix(f.order, f.files, run.files.size()));
            ASSERT_FALSE(run.result.notes.empty());
            EXPECT_EQ(run.result.notes.back().reason, static_cast<uint32_t>(stub::Reason::SevenZipMemory));
        }
    }
    for (uint32_t w = 1; w <= 4; ++w) EXPECT_GT(completeWith[w], 0) << w << " workers";
    EXPECT_TRUE(stopped);
}

TEST_F(ExtractionWorkersTest, ProgressCountsWhatWasReadAndCancelStopsEveryWorker) {
    const FourFolders f = MakeFourFolders();
    std::vector<testsupport::ZipEntry> entries;
    for (const std::string& name : f.order) {
        testsupport::ZipEntry e{name, f.files.at(name)};
        e.deflate = true;
        entries.push_back(e);
    }
    const std::string zip = testsupport::BuildZip(entries);
    for (const uint32_t processors : {1u, 2u, 4u}) {
        SCOPED_TRACE(std::to_string(processors) + " processors");
        // 7z: the packed streams, every byte once; ZIP: the local records and their data, which
        // end where the central directory starts.
        const Unpacked sevenZip = Unpack(f.archive, processors, 2);
        EXPECT_EQ(sevenZip.files, f.files);
        EXPECT_EQ(sevenZip.consumed, sevenZip.total);
        EXPECT_GT(sevenZip.total, 100000u);
        EXPECT_LT(sevenZip.total, f.archive.size());
        const Unpacked unzipped = Unpack(zip, processors, 2);
        EXPECT_EQ(unzipped.files, f.files);
        // The central directory's offset, from the end record.
        const std::string end = zip.substr(zip.size() - 22);
        const size_t central = static_cast<uint8_t>(end[16]) | static_cast<uint8_t>(end[17]) << 8 |
                               static_cast<uint8_t>(end[18]) << 16 | static_cast<size_t>(static_cast<uint8_t>(end[19])) << 24;
        EXPECT_EQ(unzipped.consumed, central);
        EXPECT_EQ(unzipped.total, zip.size());

        // Cancelled when the fifth output file is created: the extractor returns Cancelled,
        // every file left is whole, the unfinished ones are gone, nothing is left open.
        for (const std::string* archive : {&f.archive, &zip}) {
            int creates = 0;
            const Unpacked run = Unpack(*archive, processors, 4, {}, [&](stub::RunState& state, const CallRecord& call) {
                if (call.call == Call::CreateFileW && call.path.find(u".tmp\\") != std::u16string::npos && ++creates == 5)
                    stub::RequestCancel(state.progress);
            });
            ASSERT_TRUE(run.returned);
            EXPECT_EQ(run.end, stub::ExtractionEnd::Cancelled);
            EXPECT_LT(run.files.size(), f.files.size());
            for (const auto& [name, data] : run.files) EXPECT_EQ(data, f.files.at(name)) << name;
            EXPECT_EQ(run.result.handlesLeft, 0u);
            EXPECT_EQ(run.result.blocksLeft, 0u);
        }
    }
}

TEST(PlanWorkers, ProcessorsJobsAndTheBudgetEachCapTheWorkers) {
    constexpr uint64_t MiB = 1u << 20;
    EXPECT_EQ(stub::PlanWorkers(16, 100, 10 * MiB, stub::kWorkerBudget32), 4u);
    EXPECT_EQ(stub::PlanWorkers(2, 100, 10 * MiB, stub::kWorkerBudget32), 2u);
    EXPECT_EQ(stub::PlanWorkers(8, 3, 10 * MiB, stub::kWorkerBudget32), 3u);
    // 64 MiB windows: three fit 256 MiB with their buffers, all four fit 512 MiB.
    EXPECT_EQ(stub::PlanWorkers(8, 10, 69 * MiB, stub::kWorkerBudget32), 3u);
    EXPECT_EQ(stub::PlanWorkers(8, 10, 69 * MiB, stub::kWorkerBudget64), 4u);
    // One always runs, whatever it needs; none for no jobs is still one.
    EXPECT_EQ(stub::PlanWorkers(8, 10, 900 * MiB, stub::kWorkerBudget32), 1u);
    EXPECT_EQ(stub::PlanWorkers(8, 0, MiB, stub::kWorkerBudget32), 1u);
}

}  // namespace
