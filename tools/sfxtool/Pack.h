// sfxtool pack: stub plus archive, written atomically and verified.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "sfxtool/Analysis.h"
#include "sfxtool/InstallerIdentity.h"
#include "sfxtool/OptionsRecord.h"
#include "sfxtool/SevenZipBlocks.h"

namespace sfxtool {

// An input the tool cannot pack (exit code 1).
struct PackError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct PackOptions {
    std::string stub;
    std::string payload;                 // a folder or an existing 7z/ZIP archive
    std::string format = "7z";           // for a folder: "7z" or "zip"
    bool formatGiven = false;
    std::optional<std::string> launch;   // only with a folder
    bool followLinks = true;             // a folder's links to files and folders inside it
    std::string out;
    uint32_t stagingLength = kDefaultStagingLength;
    std::string sevenZip = "7zz";        // the 7z archiver to run
    std::time_t epoch = 315532800;       // fixed time for entries: 1980-01-01 00:00:00 UTC
    IdentityOptions identity;            // icon, version strings, execution level
    InstallerOptionsChoice options;        // wait, failure message, progress, silent switches
    uint64_t blockSize = kDefaultBlockSize;  // 7z: the bytes a folder takes before the next begins; 0: one folder
    unsigned jobs = 0;                   // 7zz at once (1: one thread in all); 0: one per processor
    bool fast = false;                   // 7z: a smaller dictionary and a faster match finder
    bool terminalProgress = false;       // show progress on stderr while compressing
};

// The time every entry gets: SOURCE_DATE_EPOCH when set (throws PackError if malformed), else
// 1980-01-01 00:00:00 UTC.
std::time_t EntryTime();

// A file of the payload folder: its path relative to the folder ("/"-separated, UTF-8 bytes as on
// disk) and where it lies.
struct PayloadFile {
    std::string name;
    std::string source;  // Linux path; empty for generated content
    std::string content; // generated content (.launch)
};
// The files of `folder` in byte order of their names, plus .launch when asked. A link to a file
// inside the folder is taken as a copy of that file, a link to a folder inside it is followed; a
// link that leads outside, dangles or makes a cycle is refused, and so is every link when
// `followLinks` is false. Names Windows would not keep as they are (not UTF-8, a backslash, a
// component ending in a dot or a space) are refused. Throws PackError naming the entry.
std::vector<PayloadFile> CollectPayload(const std::string& folder, const std::optional<std::string>& launch,
                                        bool followLinks = true);

// Builds the archive for a folder into `archivePath`.
void BuildZip(const std::vector<PayloadFile>& files, std::time_t epoch, const std::string& archivePath,
              uint64_t baseOffset = 0, bool terminalProgress = false);
// 7z: the files grouped by type (TypeOrderLess) in folders of about options.blockSize bytes
// (SevenZipBlocks.h), compressed side by side.
void BuildSevenZip(const std::vector<PayloadFile>& files, const PackOptions& options, const std::string& workFolder,
                   const std::string& archivePath);

// Packs: the installer's copy of the stub image (with the identity the options set, see
// InstallerImage), the archive, and the PE checksum of the whole file. On success OUT exists and
// the returned report has no problems. When the result has problems OUT is not written (nor left
// half-written) and the report says why; other failures throw PackError (IdentityUsageError for a
// bad identity value) with nothing written.
Report Pack(const PackOptions& options);

}  // namespace sfxtool
