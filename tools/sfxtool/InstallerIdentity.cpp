#include "sfxtool/InstallerIdentity.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

#include "sfxtool/Analysis.h"
#include "sfxtool/IconResources.h"
#include "sfxtool/Identity.h"
#include "sfxtool/OptionsRecord.h"
#include "sfxtool/StubManifest.h"

namespace sfxtool {

const std::vector<std::string> kVersionKeys = {"CompanyName",     "FileDescription",  "FileVersion",
                                               "InternalName",    "LegalCopyright",   "OriginalFilename",
                                               "ProductName",     "ProductVersion",   "Comments"};
const std::vector<std::string> kExecutionLevels = {"asInvoker", "highestAvailable", "requireAdministrator"};

namespace {

constexpr uint32_t kTranslationUsEnglishUnicode = 0x0409 | 1200u << 16;

bool SameLetters(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// "a", "a.b", "a.b.c" or "a.b.c.d" of decimal numbers: true with the parts (the rest 0); false
// for any other text. Throws IdentityUsageError for a part over 65535.
bool NumericVersion(const std::string& key, const std::string& text, std::array<uint16_t, 4>& out) {
    std::vector<std::string> parts(1);
    for (char c : text) {
        if (c == '.') parts.emplace_back();
        else if (std::isdigit(static_cast<unsigned char>(c))) parts.back() += c;
        else return false;
    }
    if (parts.size() > 4) return false;
    for (const auto& part : parts)
        if (part.empty()) return false;
    out = {};
    for (size_t i = 0; i < parts.size(); ++i) {
        if (parts[i].size() > 5 || std::stoul(parts[i]) > 0xFFFF)
            throw IdentityUsageError("--version-info " + key + "=" + text + ": each part of a numeric version is at most 65535");
        out[i] = static_cast<uint16_t>(std::stoul(parts[i]));
    }
    return true;
}

ResourceList Without(const ResourceList& list, std::initializer_list<uint16_t> types) {
    ResourceList out;
    for (const auto& r : list)
        if (r.type.IsText() || std::find(types.begin(), types.end(), r.type.number) == types.end()) out.push_back(r);
    return out;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw IdentityError("--icon " + path + ": cannot read the file");
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

std::pair<std::string, std::string> ParseVersionInfoArgument(const std::string& argument) {
    const size_t eq = argument.find('=');
    if (eq == std::string::npos)
        throw IdentityUsageError("--version-info " + argument + ": give KEY=VALUE");
    const std::string key = argument.substr(0, eq);
    const std::string value = argument.substr(eq + 1);
    if (std::find(kVersionKeys.begin(), kVersionKeys.end(), key) == kVersionKeys.end()) {
        std::string known, hint;
        for (const auto& k : kVersionKeys) {
            known += (known.empty() ? "" : ", ") + k;
            if (SameLetters(k, key)) hint = " (did you mean " + k + "?)";
        }
        throw IdentityUsageError("--version-info: unknown key \"" + key + "\"" + hint + "; the keys are " + known);
    }
    if (value.empty()) throw IdentityUsageError("--version-info " + key + "= has no value");
    bool valid = true;
    DecodeUtf8(value, &valid);
    if (!valid) throw IdentityUsageError("--version-info " + key + ": the value is not valid UTF-8");
    std::array<uint16_t, 4> ignored{};
    if (key == "FileVersion" || key == "ProductVersion") NumericVersion(key, value, ignored);
    return {key, value};
}

VersionInfo VersionFromStrings(const std::vector<std::pair<std::string, std::string>>& strings) {
    VersionInfo info;
    info.translations = {kTranslationUsEnglishUnicode};
    for (const auto& key : kVersionKeys) {
        const std::string* value = nullptr;
        for (const auto& [k, v] : strings) {
            if (k != key) continue;
            if (value) throw IdentityUsageError("--version-info " + key + " is given twice");
            value = &v;
        }
        if (!value) continue;
        if (key == "FileVersion") NumericVersion(key, *value, info.fileVersion);
        if (key == "ProductVersion") NumericVersion(key, *value, info.productVersion);
        info.strings.emplace_back(DecodeUtf8(key), DecodeUtf8(*value));
    }
    for (const auto& [k, v] : strings)
        if (std::find(kVersionKeys.begin(), kVersionKeys.end(), k) == kVersionKeys.end())
            throw IdentityUsageError("--version-info: unknown key \"" + k + "\"");
    return info;
}

std::string WithExecutionLevel(const std::string& manifest, const std::string& level) {
    const TextSpan element = FindElement(manifest, "requestedExecutionLevel");
    if (!element.Found())
        throw IdentityError("the stub's manifest has no requestedExecutionLevel element whose level could be set");
    const TextSpan value = FindAttribute(manifest, element, "level");
    if (!value.Found()) throw IdentityError("the stub's manifest has a requestedExecutionLevel element without a level");
    return manifest.substr(0, value.begin) + level + manifest.substr(value.end);
}

std::string StandardManifest(const std::string& level) { return WithExecutionLevel(kStubManifest, level); }

ResourceList InstallerResources(const ResourceList& stub, const IdentityOptions& options) {
    if (!options.executionLevel.empty() &&
        std::find(kExecutionLevels.begin(), kExecutionLevels.end(), options.executionLevel) == kExecutionLevels.end())
        throw IdentityUsageError("--execution-level " + options.executionLevel + ": use asInvoker, highestAvailable or requireAdministrator");
    ResourceList list = stub;
    // The manifest: the stub's with the level set, or the standard one.
    bool manifest = false;
    for (auto& r : list) {
        if (r.type.IsText() || r.type.number != kRtManifest) continue;
        manifest = true;
        if (!options.executionLevel.empty()) r.data = WithExecutionLevel(r.data, options.executionLevel);
    }
    if (!manifest) {
        Resource m;
        m.type.number = kRtManifest;
        m.name.number = 1;
        m.language = kLanguageEnglishUs;
        m.data = StandardManifest(options.executionLevel.empty() ? "asInvoker" : options.executionLevel);
        list.push_back(std::move(m));
    }
    if (!options.versionInfo.empty()) {
        const VersionInfo info = VersionFromStrings(options.versionInfo);
        list = Without(list, {kRtVersion});
        Resource v;
        v.type.number = kRtVersion;
        v.name.number = 1;
        v.language = kLanguageEnglishUs;
        try {
            v.data = BuildVersionResource(info);
        } catch (const PeError& e) {
            throw IdentityError(std::string("--version-info: ") + e.what());
        }
        list.push_back(std::move(v));
    }
    if (!options.icon.empty()) {
        std::vector<IconImage> images;
        try {
            images = ParseIco(ReadFile(options.icon));
        } catch (const IconError& e) {
            throw IdentityError("--icon " + options.icon + ": " + e.what());
        }
        list = Without(list, {kRtIcon, kRtGroupIcon});
        for (auto& r : IconResources(images, kLanguageEnglishUs)) list.push_back(std::move(r));
    }
    if (!options.optionsRecord.empty()) {
        list.erase(std::remove_if(list.begin(), list.end(), [](const Resource& r) {
                       return !r.type.IsText() && r.type.number == kRtRcdata && !r.name.IsText() &&
                              r.name.number == kOptionsRecordId;
                   }), list.end());
        Resource record;
        record.type.number = kRtRcdata;
        record.name.number = kOptionsRecordId;
        record.language = kOptionsRecordLanguage;
        record.data = options.optionsRecord;
        list.push_back(std::move(record));
    }
    for (auto& r : list) r.fileOffset = 0;
    return list;
}

std::string InstallerImage(const std::string& stubImage, const IdentityOptions& options) {
    try {
        const ResourceList stub = ReadResources(stubImage);
        const bool manifest = std::any_of(stub.begin(), stub.end(), [](const Resource& r) {
            return !r.type.IsText() && r.type.number == kRtManifest;
        });
        if (manifest && !options.Any()) return stubImage;
        return WithResources(stubImage, InstallerResources(stub, options));
    } catch (const PeError& e) {
        throw IdentityError(std::string("the stub's resources: ") + e.what());
    }
}

}  // namespace sfxtool
