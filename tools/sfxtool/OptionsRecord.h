// The installer options record (its format: SelfExtractor/launcher/OptionsReader.h): built
// from pack's --wait, --failure-message, --progress, --silent-switch and --log, told in words when the
// stub's parser refuses one, and shown by inspect as the stub's own parser reads it.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace sfxtool {

// A command-line value the tool cannot take (exit code 2).
struct OptionsUsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

constexpr uint16_t kRtRcdata = 10;
constexpr uint16_t kOptionsRecordId = 1;
constexpr uint16_t kOptionsRecordLanguage = 0;  // neutral: FindResourceW looks there first

// The list the stub takes when the record gives none (or there is no record).
extern const std::vector<std::string> kDefaultSilentSwitches;  // "/S", "/Q", ...
extern const std::vector<std::string> kWaitModes;              // installer, staging, tree

struct InstallerOptionsChoice {
    std::optional<std::string> wait;            // installer, staging or tree; unset: staging
    std::optional<std::string> failureMessage;  // UTF-8
    bool progress = false;
    std::vector<std::string> silentSwitches;    // as given: "/S", "-S" or "S"
    bool log = false;                           // the run's log beside the staging folder
    // Pack writes a record only when an option is given.
    bool Any() const { return wait || failureMessage || progress || !silentSwitches.empty() || log; }
};

// The record's bytes. Throws OptionsUsageError naming the option and its limit: a wait mode that
// is none of kWaitModes, an empty message, one over 1024 UTF-16 units or not UTF-8, more than 32
// switches, a switch word (without its one leading '/' or '-') that is empty, over 32 units, not
// UTF-8, starts with '-' or holds a space, tab, '/' or '"'.
std::string BuildOptionsRecord(const InstallerOptionsChoice& choice);

// What the stub's parser refuses in `record`, in words ("the version is 2, not 1"); empty when it
// takes it.
std::string OptionsRecordFault(const std::string& record);

// The options for inspect, as the stub's parser reads them: `record` null for no record (the
// stub's defaults), else its bytes.
nlohmann::json OptionsJson(const std::string* record);
std::string OptionsText(const std::string* record);

}  // namespace sfxtool
