// What the stub will do with an installer, in words: each reason the stub's own run noted (it
// ended with exit code 5, or its 7z extraction stopped) becomes one problem with its fix.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sfxtool/Problem.h"
#include "sfxtool/StubCalls.h"

namespace sfxtool {

// What the messages name: the archive's entries as the listing found them, and the trial's view.
struct VerdictContext {
    ArchiveKind kind = ArchiveKind::None;
    std::vector<std::string> entryNames;  // by the stub's entry number (7z index, ZIP record)
    std::vector<std::u16string> entryWide; // the same names as the stub converts them
    std::vector<bool> entryIsDir;          // folder entries, which create nothing
    uint64_t refusedRecordOffset = 0;     // ZIP: where the record the walk refused starts
    bool refusedRecordAtEnd = false;      // ZIP: that record would start at the file's end
    uint16_t refusedFlags = 0;            // ZIP: the refused record's flags and method
    uint16_t refusedMethod = 0;
    uint16_t refusedNameBytes = 0;        // ZIP: the refused record's name length
    std::string refusedName;              // ZIP: its name, when the walk read it
    std::vector<uint64_t> folderMemory;   // 7z: each folder's decoder memory
    std::vector<int64_t> entryFolder;     // 7z: each entry's folder, -1 without data
    uint32_t stagingLength = 0;
    uint64_t heapLimit = 0;
    std::string launchBytes;              // the first bytes of .launch, when there is one
    std::string optionsFault;             // why the options record is refused, in words
};

// The problem for one note of the stub's run.
Problem Explain(const StubNote& note, const VerdictContext& context);

// The code for a reason, as scripts see it ("zip-method", "7z-data", ...).
std::string ReasonCode(uint32_t reason);

}  // namespace sfxtool
