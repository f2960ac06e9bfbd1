// The identity an installer shows Windows, read from its stub image's resources: the manifest and
// the execution level it requests, the version, the icon; and the bytes in those resources that
// the stub's locator would take for an archive. inspect shows it, verify reports what is wrong.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "sfxtool/Problem.h"

namespace sfxtool {

struct IdentityIcon {
    uint32_t width = 0;
    uint32_t height = 0;
    uint16_t bitCount = 0;
    uint32_t bytes = 0;
};

// A place in the resources where the stub's locator would stop: a ZIP local header signature, or
// a 7z signature whose byte 32 further on is zero.
struct FalseSignature {
    std::string kind;      // "zip" or "7z"
    uint64_t offset = 0;   // in the file
    std::string resource;  // "RT_ICON #2 (language 0x409)", or "the resource directory"
};

struct Identity {
    bool read = false;              // a Windows image whose resources were read
    std::string damage;             // why they could not be read (a damaged directory)
    uint64_t sectionOffset = 0;     // the resource section in the file (0, 0: none)
    uint64_t sectionSize = 0;
    bool manifest = false;
    std::string executionLevel;     // the manifest's requestedExecutionLevel level ("" when none)
    std::string uiAccess;
    bool version = false;
    std::string fileVersion;        // fixed, "a.b.c.d" ("" without VS_FIXEDFILEINFO)
    std::string productVersion;
    std::vector<std::pair<std::string, std::string>> strings;  // UTF-8
    std::vector<IdentityIcon> icons;  // the first icon group's images
    std::vector<FalseSignature> falseSignatures;
    // Every resource of numeric type and name, the first language of each: what the stub's
    // FindResourceW finds (the installer options record among them).
    std::map<std::pair<uint16_t, uint16_t>, std::string> numbered;
    const std::string* OptionsRecord() const;  // RT_RCDATA #1, or null
};

// A place in a manifest's text, found without an XML library (the manifest is small and flat).
struct TextSpan {
    size_t begin = std::string::npos;
    size_t end = std::string::npos;
    bool Found() const { return begin != std::string::npos; }
};
// The first start tag of element `localName`, with or without a namespace prefix, outside comments:
// from its '<' to just after its '>'.
TextSpan FindElement(const std::string& xml, const std::string& localName);
// The value of attribute `name` in the start tag `tag`, between its quotes.
TextSpan FindAttribute(const std::string& xml, TextSpan tag, const std::string& name);

// Reads the identity of the file at `path` (any file: not a Windows image gives read false).
Identity ReadIdentity(const std::string& path);

// The problems of an identity: a stub without a manifest (no-manifest), resource bytes the
// locator would stop at (resource-false-signature).
void IdentityProblems(const Identity& identity, Problems& problems);

// The identity for inspect: as JSON (null for a file that is no Windows image) and as text lines.
nlohmann::json IdentityJson(const Identity& identity);
std::string IdentityText(const Identity& identity);

}  // namespace sfxtool
