#include "sfxtool/Identity.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

#include "platform/host/host.h"
#include "sfxtool/IconResources.h"
#include "sfxtool/OptionsRecord.h"
#include "sfxtool/PeResources.h"
#include "sfxtool/VersionResource.h"

namespace sfxtool {
namespace {

constexpr uint32_t kWindow = 33;         // the locator tests 33-byte windows
constexpr uint32_t kSevenZipZeroAt = 32;
constexpr size_t kMaxReported = 3;       // false signatures listed, at most
constexpr uint64_t kMaxImageRead = 64ull << 20;  // a stub image is far smaller; headers may lie

std::string ReadRange(const std::string& path, uint64_t size) {
    std::ifstream in(path, std::ios::binary);
    std::string b(size, '\0');
    in.read(b.data(), static_cast<std::streamsize>(size));
    b.resize(static_cast<size_t>(in.gcount()));
    return b;
}

bool NameCharacter(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.' || c == ':' || (c & 0x80);
}
bool Space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string Value(const std::string& xml, TextSpan span) {
    return span.Found() ? xml.substr(span.begin, span.end - span.begin) : "";
}

void ReadManifest(Identity& id, const std::string& text) {
    id.manifest = true;
    const TextSpan element = FindElement(text, "requestedExecutionLevel");
    if (!element.Found()) return;
    id.executionLevel = Value(text, FindAttribute(text, element, "level"));
    id.uiAccess = Value(text, FindAttribute(text, element, "uiAccess"));
}

void ReadVersion(Identity& id, const std::string& data) {
    const VersionInfo info = ParseVersionResource(data);
    id.version = true;
    if (info.hasFixed) {
        id.fileVersion = VersionText(info.fileVersion);
        id.productVersion = VersionText(info.productVersion);
    }
    for (const auto& [key, value] : info.strings)
        id.strings.emplace_back(platform::host::Utf8(key), platform::host::Utf8(value));
}

// Every window of the resource section that passes the locator's tests.
void FindFalseSignatures(Identity& id, const std::string& file, uint64_t fileSize, const ResourceList& resources) {
    static const unsigned char kSevenZip[6] = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C};
    static const unsigned char kZip[4] = {'P', 'K', 3, 4};
    const uint64_t end = id.sectionOffset + id.sectionSize;
    for (uint64_t at = id.sectionOffset; at < end && at + kWindow <= fileSize && at + kWindow <= file.size(); ++at) {
        const auto* w = reinterpret_cast<const unsigned char*>(file.data() + at);
        std::string kind;
        if (std::equal(kSevenZip, kSevenZip + 6, w) && w[kSevenZipZeroAt] == 0) kind = "7z";
        else if (std::equal(kZip, kZip + 4, w)) kind = "zip";
        if (kind.empty()) continue;
        FalseSignature f{kind, at, "the resource directory"};
        for (const auto& r : resources)
            if (at >= r.fileOffset && at < r.fileOffset + r.data.size()) f.resource = DescribeResource(r);
        id.falseSignatures.push_back(f);
    }
}

std::string Fix(const std::string& resource) {
    if (resource.rfind("RT_ICON", 0) == 0 || resource.rfind("RT_GROUP_ICON", 0) == 0) return "use another icon (sfxtool pack --icon)";
    if (resource.rfind("RT_VERSION", 0) == 0) return "change the version strings (sfxtool pack --version-info)";
    if (resource.rfind("RT_RCDATA #1 ", 0) == 0)
        return "change the failure message or the silent switches (sfxtool pack --failure-message, --silent-switch)";
    return "rebuild the stub";
}

}  // namespace

TextSpan FindElement(const std::string& xml, const std::string& localName) {
    for (size_t at = xml.find('<'); at != std::string::npos; at = xml.find('<', at + 1)) {
        if (xml.compare(at, 4, "<!--") == 0) {
            at = xml.find("-->", at);
            if (at == std::string::npos) break;
            continue;
        }
        size_t end = at + 1;
        while (end < xml.size() && NameCharacter(xml[end])) ++end;
        const std::string name = xml.substr(at + 1, end - at - 1);
        const size_t colon = name.rfind(':');
        if ((colon == std::string::npos ? name : name.substr(colon + 1)) != localName) continue;
        if (end < xml.size() && !Space(xml[end]) && xml[end] != '/' && xml[end] != '>') continue;
        const size_t close = xml.find('>', end);
        if (close == std::string::npos) break;
        return {at, close + 1};
    }
    return {};
}

TextSpan FindAttribute(const std::string& xml, TextSpan tag, const std::string& name) {
    size_t at = tag.begin + 1;
    while (at < tag.end && NameCharacter(xml[at])) ++at;  // the element's name
    for (;;) {
        while (at < tag.end && Space(xml[at])) ++at;
        const size_t nameAt = at;
        while (at < tag.end && NameCharacter(xml[at])) ++at;
        if (at == nameAt) return {};  // '/', '>' or something no attribute starts with
        const std::string attribute = xml.substr(nameAt, at - nameAt);
        while (at < tag.end && Space(xml[at])) ++at;
        if (at >= tag.end || xml[at] != '=') return {};
        ++at;
        while (at < tag.end && Space(xml[at])) ++at;
        if (at >= tag.end || (xml[at] != '"' && xml[at] != '\'')) return {};
        const size_t close = xml.find(xml[at], at + 1);
        if (close == std::string::npos || close >= tag.end) return {};
        if (attribute == name) return {at + 1, close};
        at = close + 1;
    }
}

Identity ReadIdentity(const std::string& path) {
    Identity id;
    std::ifstream probe(path, std::ios::binary | std::ios::ate);
    if (!probe) return id;
    const uint64_t fileSize = static_cast<uint64_t>(probe.tellg());
    PeHeaders headers;
    try {
        headers = ParsePeHeaders(ReadRange(path, 64 * 1024));
    } catch (const PeError&) {
        return id;  // not a Windows image: no identity to speak of
    }
    id.read = true;
    // The image and the 32 bytes after it: a window starting in the resources reaches that far.
    const std::string file = ReadRange(path, std::min({headers.imageEnd + kWindow - 1, fileSize, kMaxImageRead}));
    ResourceList resources;
    try {
        resources = ReadResources(file);
    } catch (const PeError& e) {
        id.damage = e.what();
    }
    if (headers.resourceRva != 0) {
        for (const auto& s : headers.sections) {
            if (headers.resourceRva >= s.virtualAddress && headers.resourceRva - s.virtualAddress < std::max(s.virtualSize, s.rawSize)) {
                id.sectionOffset = s.rawPointer;
                id.sectionSize = s.rawSize;
            }
        }
    }
    bool icons = false;
    for (const auto& r : resources) {
        if (r.type.IsText()) continue;
        if (!r.name.IsText()) id.numbered.emplace(std::make_pair(r.type.number, r.name.number), r.data);
        try {
            if (r.type.number == kRtManifest && !id.manifest) ReadManifest(id, r.data);
            if (r.type.number == kRtVersion && !id.version) ReadVersion(id, r.data);
            if (r.type.number == kRtGroupIcon && !icons) {
                icons = true;
                for (const auto& e : ParseIconGroup(r.data)) id.icons.push_back({e.width, e.height, e.bitCount, e.bytes});
            }
        } catch (const PeError& e) {
            id.damage = DescribeResource(r) + ": " + e.what();
        }
    }
    FindFalseSignatures(id, file, fileSize, resources);
    return id;
}

const std::string* Identity::OptionsRecord() const {
    const auto found = numbered.find({kRtRcdata, kOptionsRecordId});
    return found == numbered.end() ? nullptr : &found->second;
}

void IdentityProblems(const Identity& id, Problems& problems) {
    if (!id.read) return;
    if (!id.manifest)
        problems.push_back({"no-manifest", std::string("the stub carries no manifest") +
            (id.damage.empty() ? "" : " that could be read (" + id.damage + ")") +
            ": Windows may take it for a legacy installer and ask for administrator rights before it runs, and may "
            "offer to run it again \"with recommended settings\": repack with sfxtool pack, which adds the standard manifest"});
    for (size_t i = 0; i < id.falseSignatures.size() && i < kMaxReported; ++i) {
        const FalseSignature& f = id.falseSignatures[i];
        problems.push_back({"resource-false-signature", "the bytes of " + f.resource + " at file offset " + std::to_string(f.offset) +
            " hold a " + (f.kind == "zip" ? std::string("ZIP local header signature") : std::string("7z signature")) +
            ", which the stub's locator would take for its archive before the real one; the stub would fail: " + Fix(f.resource)});
    }
    if (id.falseSignatures.size() > kMaxReported)
        problems.push_back({"resource-false-signature", std::to_string(id.falseSignatures.size() - kMaxReported) +
            " more places in the resources hold an archive signature"});
}

nlohmann::json IdentityJson(const Identity& id) {
    using nlohmann::json;
    if (!id.read) return nullptr;
    json j;
    j["manifest"] = id.manifest;
    j["executionLevel"] = id.executionLevel.empty() ? json(nullptr) : json(id.executionLevel);
    j["uiAccess"] = id.uiAccess == "true" ? json(true) : id.uiAccess == "false" ? json(false) : json(nullptr);
    if (id.version) {
        json strings = json::object();
        for (const auto& [key, value] : id.strings) strings[key] = value;
        j["version"] = {{"fileVersion", id.fileVersion.empty() ? json(nullptr) : json(id.fileVersion)},
                        {"productVersion", id.productVersion.empty() ? json(nullptr) : json(id.productVersion)},
                        {"strings", strings}};
    } else {
        j["version"] = nullptr;
    }
    json icons = json::array();
    for (const auto& i : id.icons) icons.push_back({{"width", i.width}, {"height", i.height}, {"bitCount", i.bitCount}, {"bytes", i.bytes}});
    j["icons"] = icons;
    j["resourceSection"] = id.sectionSize ? json{{"offset", id.sectionOffset}, {"size", id.sectionSize}} : json(nullptr);
    j["damage"] = id.damage.empty() ? json(nullptr) : json(id.damage);
    return j;
}

std::string IdentityText(const Identity& id) {
    if (!id.read) return "";
    std::ostringstream o;
    o << "manifest:    ";
    if (!id.manifest) o << "none\n";
    else o << "requests " << (id.executionLevel.empty() ? "no execution level" : id.executionLevel)
           << (id.uiAccess.empty() ? "" : " (uiAccess " + id.uiAccess + ")") << "\n";
    o << "version:     ";
    if (!id.version) o << "none\n";
    else {
        if (id.fileVersion.empty()) o << "no fixed version";
        else o << "file " << id.fileVersion << ", product " << id.productVersion;
        o << (id.strings.empty() ? ", no strings\n" : "\n");
        for (const auto& [key, value] : id.strings) {
            o << "  " << key << std::string(key.size() < 18 ? 18 - key.size() : 1, ' ') << value << "\n";
        }
    }
    o << "icon:        ";
    if (id.icons.empty()) o << "none\n";
    for (size_t i = 0; i < id.icons.size(); ++i)
        o << id.icons[i].width << "x" << id.icons[i].height << " " << id.icons[i].bitCount << "-bit"
          << (i + 1 < id.icons.size() ? ", " : "\n");
    if (!id.damage.empty()) o << "resources:   damaged: " << id.damage << "\n";
    return o.str();
}

}  // namespace sfxtool
