// What a release engineer sets for one installer (its icon, its version strings, the execution
// level its manifest requests) and the installer's copy of the stub image that carries it. The
// stub's own resources stay where nothing replaces them: an icon replaces every icon of the stub,
// --version-info replaces the stub's version resource whole (the stub's own version describes the
// stub, not the product), an execution level is set in the stub's manifest. A stub without a
// manifest gets the standard one.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "sfxtool/PeResources.h"
#include "sfxtool/VersionResource.h"

namespace sfxtool {

// A command-line value the tool cannot take (exit code 2).
struct IdentityUsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// An input the tool cannot take: an icon that does not parse, a stub it cannot rewrite (exit 1).
struct IdentityError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The StringFileInfo keys --version-info takes, in the order they are written.
extern const std::vector<std::string> kVersionKeys;
extern const std::vector<std::string> kExecutionLevels;  // asInvoker, highestAvailable, requireAdministrator

struct IdentityOptions {
    std::string icon;                                              // an .ico file; empty: none
    std::vector<std::pair<std::string, std::string>> versionInfo;  // key, UTF-8 value
    std::string executionLevel;                                    // empty: the stub's
    std::string optionsRecord;  // the installer options record (RT_RCDATA #1); empty: none
    bool Any() const {
        return !icon.empty() || !versionInfo.empty() || !executionLevel.empty() || !optionsRecord.empty();
    }
};

// "KEY=VALUE" of --version-info, checked: a known key, a non-empty UTF-8 value, a FileVersion or
// ProductVersion of one to four numbers that each fit 16 bits. Throws IdentityUsageError.
std::pair<std::string, std::string> ParseVersionInfoArgument(const std::string& argument);

// The version resource for the given strings: the strings in kVersionKeys order, US English,
// Unicode; FileVersion and ProductVersion of the numeric form "a.b.c.d" (or fewer parts, the
// rest 0) set the fixed versions, which are 0 otherwise. Throws IdentityUsageError.
VersionInfo VersionFromStrings(const std::vector<std::pair<std::string, std::string>>& strings);

// `manifest` with the level attribute of its requestedExecutionLevel element set to `level`.
// Throws IdentityError when it has no such element.
std::string WithExecutionLevel(const std::string& manifest, const std::string& level);
// The stub's standard manifest, requesting `level`.
std::string StandardManifest(const std::string& level = "asInvoker");

// The installer's resources: the stub's, with what `options` sets in place of theirs.
ResourceList InstallerResources(const ResourceList& stub, const IdentityOptions& options);

// The installer's copy of the stub image: the stub's bytes unchanged when it carries a manifest
// and `options` sets nothing, else the image rewritten with InstallerResources. Throws
// IdentityError (with IconError, PeError behind it) and IdentityUsageError.
std::string InstallerImage(const std::string& stubImage, const IdentityOptions& options);

}  // namespace sfxtool
