#include "sfxtool/PeResources.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>

namespace sfxtool {
namespace {

constexpr uint32_t kSubdirectory = 0x80000000u;    // high bit of an entry's offset: a table
constexpr uint32_t kNamedEntry = 0x80000000u;      // high bit of an entry's id: a name offset
constexpr uint32_t kResourceSectionFlags = 0x40000040u;  // initialised data, readable
constexpr size_t kMaxResources = 1u << 16;         // more entries than this is a damaged directory

uint32_t Get16(const std::string& b, size_t at) {
    if (at + 2 > b.size()) throw PeError("the image is cut short");
    return static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1]) << 8;
}
uint32_t Get32(const std::string& b, size_t at) { return Get16(b, at) | Get16(b, at + 2) << 16; }
void Put16(std::string& b, size_t at, uint32_t v) {
    b[at] = static_cast<char>(v & 0xFF);
    b[at + 1] = static_cast<char>(v >> 8 & 0xFF);
}
void Put32(std::string& b, size_t at, uint32_t v) {
    Put16(b, at, v & 0xFFFF);
    Put16(b, at + 2, v >> 16);
}
uint64_t AlignUp(uint64_t v, uint32_t alignment) { return (v + alignment - 1) / alignment * alignment; }
bool PowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

std::string Hex(uint64_t v) {
    char b[32];
    std::snprintf(b, sizeof b, "0x%llX", static_cast<unsigned long long>(v));
    return b;
}

char16_t Upper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; }

// Reads the directory tree of the resource section.
class DirectoryReader {
public:
    DirectoryReader(const std::string& image, const PeHeaders& h) : image_(image), headers_(h) {
        uint64_t at = 0;
        const PeSection* s = h.SectionOf(h.resourceRva, &at);
        if (!s) throw PeError("the resource directory (RVA " + Hex(h.resourceRva) + ") lies in no section's data");
        base_ = at;
        end_ = static_cast<uint64_t>(s->rawPointer) + s->rawSize;
        if (end_ > image.size()) end_ = image.size();
    }

    ResourceList Read() {
        Table(0, 0, {}, {});
        return std::move(list_);
    }

private:
    void Need(uint64_t offset, uint64_t size, const char* what) const {
        if (base_ + offset + size > end_) throw PeError(std::string("the resource directory is damaged: ") + what + " at " + Hex(offset) + " lies outside its section");
    }

    ResourceId Id(uint32_t raw) const {
        ResourceId id;
        if (!(raw & kNamedEntry)) {
            if (raw > 0xFFFF) throw PeError("the resource directory is damaged: id " + Hex(raw) + " out of range");
            id.number = static_cast<uint16_t>(raw);
            return id;
        }
        const uint64_t at = raw & ~kNamedEntry;
        Need(at, 2, "a name");
        const uint32_t length = Get16(image_, base_ + at);
        Need(at + 2, 2ull * length, "a name");
        if (length == 0) throw PeError("the resource directory is damaged: an empty name");
        for (uint32_t i = 0; i < length; ++i) id.text += static_cast<char16_t>(Get16(image_, base_ + at + 2 + 2 * i));
        return id;
    }

    void Table(uint32_t offset, int level, const ResourceId& type, const ResourceId& name) {
        Need(offset, 16, "a directory table");
        const uint32_t count = Get16(image_, base_ + offset + 12) + Get16(image_, base_ + offset + 14);
        Need(offset + 16, 8ull * count, "a directory table's entries");
        visited_ += count;
        if (visited_ > 4 * kMaxResources) throw PeError("the resource directory is damaged: too many entries");
        for (uint32_t i = 0; i < count; ++i) {
            const uint64_t entry = base_ + offset + 16 + 8ull * i;
            const uint32_t rawId = Get32(image_, entry);
            const uint32_t target = Get32(image_, entry + 4);
            const bool table = (target & kSubdirectory) != 0;
            if (table != (level < 2))
                throw PeError("the resource directory is damaged: it is not three levels deep (type, name, language)");
            if (level == 0) Table(target & ~kSubdirectory, 1, Id(rawId), {});
            else if (level == 1) Table(target & ~kSubdirectory, 2, type, Id(rawId));
            else Leaf(target, type, name, rawId);
        }
    }

    void Leaf(uint32_t offset, const ResourceId& type, const ResourceId& name, uint32_t language) {
        if (list_.size() >= kMaxResources) throw PeError("the resource directory is damaged: too many entries");
        if (language > 0xFFFF) throw PeError("the resource directory is damaged: language " + Hex(language));
        Need(offset, 16, "a data entry");
        const uint32_t rva = Get32(image_, base_ + offset);
        const uint32_t size = Get32(image_, base_ + offset + 4);
        uint64_t at = 0;
        const PeSection* s = headers_.SectionOf(rva, &at);
        if (!s || at + size > static_cast<uint64_t>(s->rawPointer) + s->rawSize || at + size > image_.size())
            throw PeError("the resource directory is damaged: the data of resource " + type.Describe() + "/" + name.Describe() +
                          " lies outside the image's data");
        Resource r;
        r.type = type;
        r.name = name;
        r.language = static_cast<uint16_t>(language);
        r.codePage = Get32(image_, base_ + offset + 8);
        r.data = image_.substr(at, size);
        r.fileOffset = at;
        list_.push_back(std::move(r));
    }

    const std::string& image_;
    const PeHeaders& headers_;
    uint64_t base_ = 0;
    uint64_t end_ = 0;
    uint64_t visited_ = 0;  // entries of all tables: tables may share entries, so bound the walk
    ResourceList list_;
};

}  // namespace

size_t PeHeaders::DirectoryAt(uint32_t index) const { return optionalHeader + (is64 ? 112 : 96) + 8 * index; }

const PeSection* PeHeaders::SectionOf(uint32_t rva, uint64_t* fileOffset) const {
    for (const auto& s : sections) {
        const uint32_t span = std::max(s.virtualSize, s.rawSize);
        if (rva >= s.virtualAddress && rva - s.virtualAddress < span) {
            if (fileOffset) {
                if (rva - s.virtualAddress >= s.rawSize) return nullptr;
                *fileOffset = static_cast<uint64_t>(s.rawPointer) + (rva - s.virtualAddress);
            }
            return &s;
        }
    }
    return nullptr;
}

PeHeaders ParsePeHeaders(const std::string& b) {
    PeHeaders h;
    if (b.size() < 0x40 || b[0] != 'M' || b[1] != 'Z') throw PeError("not a Windows executable (no MZ header)");
    const size_t pe = Get32(b, 0x3C);
    if (pe + 24 > b.size() || b.compare(pe, 4, std::string("PE\0\0", 4)) != 0) throw PeError("not a Windows executable (no PE header)");
    const uint32_t count = Get16(b, pe + 6);
    const uint32_t optionalSize = Get16(b, pe + 20);
    h.optionalHeader = pe + 24;
    const uint32_t magic = Get16(b, h.optionalHeader);
    if (magic != 0x10B && magic != 0x20B) throw PeError("unknown optional header magic " + Hex(magic));
    h.is64 = magic == 0x20B;
    if (optionalSize < (h.is64 ? 112u : 96u)) throw PeError("the optional header is too short");
    if (h.optionalHeader + optionalSize > b.size()) throw PeError("the image is cut short");
    h.sectionAlignment = Get32(b, h.optionalHeader + 32);
    h.fileAlignment = Get32(b, h.optionalHeader + 36);
    h.sizeOfHeaders = Get32(b, h.optionalHeader + 60);
    h.checksumAt = h.optionalHeader + 64;
    h.directoryCount = Get32(b, h.optionalHeader + (h.is64 ? 108 : 92));
    const uint32_t fit = (optionalSize - (h.is64 ? 112 : 96)) / 8;
    h.directoryCount = std::min(h.directoryCount, fit);
    if (h.directoryCount > 2) {
        h.resourceRva = Get32(b, h.DirectoryAt(2));
        h.resourceSize = Get32(b, h.DirectoryAt(2) + 4);
    }
    h.sectionTable = h.optionalHeader + optionalSize;
    if (h.sectionTable + 40ull * count > b.size()) throw PeError("the section table is cut short");
    h.imageEnd = h.sectionTable + 40ull * count;
    for (uint32_t i = 0; i < count; ++i) {
        const size_t at = h.sectionTable + 40 * i;
        PeSection s;
        s.name = b.substr(at, 8);
        s.name.resize(std::min(s.name.find('\0'), s.name.size()));
        s.virtualSize = Get32(b, at + 8);
        s.virtualAddress = Get32(b, at + 12);
        s.rawSize = Get32(b, at + 16);
        s.rawPointer = Get32(b, at + 20);
        s.characteristics = Get32(b, at + 36);
        if (s.rawSize) h.imageEnd = std::max<uint64_t>(h.imageEnd, static_cast<uint64_t>(s.rawPointer) + s.rawSize);
        h.sections.push_back(s);
    }
    return h;
}

std::string ResourceId::Describe() const {
    if (!IsText()) return std::to_string(number);
    std::string s = "\"";
    for (char16_t c : text) s += c < 0x80 ? static_cast<char>(c) : '?';
    return s + "\"";
}

bool operator<(const ResourceId& a, const ResourceId& b) {
    if (a.IsText() != b.IsText()) return a.IsText();
    if (!a.IsText()) return a.number < b.number;
    // Windows looks names up case-insensitively (FindResource upper-cases them).
    std::u16string ua, ub;
    for (char16_t c : a.text) ua += Upper(c);
    for (char16_t c : b.text) ub += Upper(c);
    return ua != ub ? ua < ub : a.text < b.text;
}

bool operator==(const ResourceId& a, const ResourceId& b) { return a.number == b.number && a.text == b.text; }

std::string DescribeResource(const Resource& r) {
    static const std::map<uint16_t, const char*> kTypes = {
        {1, "RT_CURSOR"}, {2, "RT_BITMAP"}, {kRtIcon, "RT_ICON"}, {4, "RT_MENU"}, {5, "RT_DIALOG"}, {6, "RT_STRING"},
        {10, "RT_RCDATA"}, {12, "RT_GROUP_CURSOR"}, {kRtGroupIcon, "RT_GROUP_ICON"}, {kRtVersion, "RT_VERSION"},
        {kRtManifest, "RT_MANIFEST"}};
    std::string type = "type " + r.type.Describe();
    if (!r.type.IsText()) {
        const auto it = kTypes.find(r.type.number);
        if (it != kTypes.end()) type = it->second;
    }
    char language[16];
    std::snprintf(language, sizeof language, "0x%X", r.language);
    return type + " " + (r.name.IsText() ? r.name.Describe() : "#" + r.name.Describe()) + " (language " + language + ")";
}

ResourceList ReadResources(const std::string& image) {
    const PeHeaders h = ParsePeHeaders(image);
    if (h.resourceRva == 0) return {};
    return DirectoryReader(image, h).Read();
}

std::string BuildResourceSection(ResourceList resources, uint32_t sectionRva) {
    std::stable_sort(resources.begin(), resources.end(), [](const Resource& a, const Resource& b) {
        if (!(a.type == b.type)) return a.type < b.type;
        if (!(a.name == b.name)) return a.name < b.name;
        return a.language < b.language;
    });
    for (size_t i = 1; i < resources.size(); ++i)
        if (resources[i].type == resources[i - 1].type && resources[i].name == resources[i - 1].name &&
            resources[i].language == resources[i - 1].language)
            throw PeError("two resources " + DescribeResource(resources[i]));

    // The tree: types, their names, their languages (indices into `resources`).
    struct NameNode { ResourceId id; std::vector<size_t> languages; };
    struct TypeNode { ResourceId id; std::vector<NameNode> names; };
    std::vector<TypeNode> types;
    for (size_t i = 0; i < resources.size(); ++i) {
        const Resource& r = resources[i];
        if (types.empty() || !(types.back().id == r.type)) types.push_back({r.type, {}});
        auto& names = types.back().names;
        if (names.empty() || !(names.back().id == r.name)) names.push_back({r.name, {}});
        names.back().languages.push_back(i);
    }

    // Sizes of each part, then their offsets.
    auto tableSize = [](size_t entries) { return 16 + 8 * entries; };
    size_t tables = tableSize(types.size());
    for (const auto& t : types) {
        tables += tableSize(t.names.size());
        for (const auto& n : t.names) tables += tableSize(n.languages.size());
    }
    const size_t dataEntries = tables;
    size_t strings = dataEntries + 16 * resources.size();
    std::map<std::u16string, size_t> stringAt;
    size_t end = strings;
    auto addString = [&](const ResourceId& id) {
        if (id.IsText() && !stringAt.count(id.text)) {
            stringAt[id.text] = end;
            end += 2 + 2 * id.text.size();
        }
    };
    for (const auto& t : types) {
        addString(t.id);
        for (const auto& n : t.names) addString(n.id);
    }
    std::vector<size_t> dataAt(resources.size());
    for (size_t i = 0; i < resources.size(); ++i) {
        end = AlignUp(end, 8);
        dataAt[i] = end;
        end += resources[i].data.size();
    }
    if (end > 0x7FFFFFFFu - sectionRva) throw PeError("the resources are too large for an image");

    std::string out(end, '\0');
    for (const auto& [text, at] : stringAt) {
        Put16(out, at, static_cast<uint32_t>(text.size()));
        for (size_t k = 0; k < text.size(); ++k) Put16(out, at + 2 + 2 * k, text[k]);
    }
    auto idField = [&](const ResourceId& id) -> uint32_t {
        return id.IsText() ? kNamedEntry | static_cast<uint32_t>(stringAt.at(id.text)) : id.number;
    };
    auto tableHeader = [&](size_t at, size_t named, size_t numbered) {
        Put16(out, at + 12, static_cast<uint32_t>(named));
        Put16(out, at + 14, static_cast<uint32_t>(numbered));
    };
    auto countNamed = [](const auto& nodes) {
        return static_cast<size_t>(std::count_if(nodes.begin(), nodes.end(), [](const auto& n) { return n.id.IsText(); }));
    };

    // Root table first, then every type's table, then every name's table, in tree order.
    size_t next = tableSize(types.size());
    size_t entry = dataEntries;
    tableHeader(0, countNamed(types), types.size() - countNamed(types));
    std::vector<size_t> typeTables;
    for (size_t t = 0; t < types.size(); ++t) {
        Put32(out, 16 + 8 * t, idField(types[t].id));
        Put32(out, 16 + 8 * t + 4, kSubdirectory | static_cast<uint32_t>(next));
        typeTables.push_back(next);
        next += tableSize(types[t].names.size());
    }
    for (size_t t = 0; t < types.size(); ++t) {
        const auto& names = types[t].names;
        const size_t table = typeTables[t];
        tableHeader(table, countNamed(names), names.size() - countNamed(names));
        for (size_t n = 0; n < names.size(); ++n) {
            Put32(out, table + 16 + 8 * n, idField(names[n].id));
            Put32(out, table + 16 + 8 * n + 4, kSubdirectory | static_cast<uint32_t>(next));
            const size_t languageTable = next;
            next += tableSize(names[n].languages.size());
            tableHeader(languageTable, 0, names[n].languages.size());
            for (size_t l = 0; l < names[n].languages.size(); ++l) {
                const size_t index = names[n].languages[l];
                Put32(out, languageTable + 16 + 8 * l, resources[index].language);
                Put32(out, languageTable + 16 + 8 * l + 4, static_cast<uint32_t>(entry));
                Put32(out, entry, sectionRva + static_cast<uint32_t>(dataAt[index]));
                Put32(out, entry + 4, static_cast<uint32_t>(resources[index].data.size()));
                Put32(out, entry + 8, resources[index].codePage);
                entry += 16;
            }
        }
    }
    for (size_t i = 0; i < resources.size(); ++i) out.replace(dataAt[i], resources[i].data.size(), resources[i].data);
    return out;
}

std::string WithResources(const std::string& image, const ResourceList& resources) {
    const PeHeaders h = ParsePeHeaders(image);
    if (image.size() > h.imageEnd)
        throw PeError("the image is followed by " + std::to_string(image.size() - h.imageEnd) +
                      " bytes of other data (a signature?): use the stub as it was built, unsigned");
    if (!PowerOfTwo(h.fileAlignment) || !PowerOfTwo(h.sectionAlignment) || h.fileAlignment > h.sectionAlignment)
        throw PeError("the image's alignments are not usable (file " + Hex(h.fileAlignment) + ", section " + Hex(h.sectionAlignment) + ")");
    if (h.sections.empty()) throw PeError("the image has no sections");
    if (h.directoryCount <= 2) throw PeError("the image has no resource data directory");

    // The last section, by address and by file position.
    size_t last = 0;
    for (size_t i = 1; i < h.sections.size(); ++i)
        if (h.sections[i].virtualAddress > h.sections[last].virtualAddress) last = i;
    for (const auto& s : h.sections)
        if (s.rawSize && static_cast<uint64_t>(s.rawPointer) + s.rawSize > static_cast<uint64_t>(h.sections[last].rawPointer) + h.sections[last].rawSize)
            throw PeError("the image's last section in memory is not the last in the file");

    size_t header = 0;  // file offset of the section header to write
    uint32_t rva = 0, rawPointer = 0, oldRawSize = 0;
    bool added = false;
    if (h.resourceRva != 0) {
        const PeSection& s = h.sections[last];
        if (h.resourceRva != s.virtualAddress)
            throw PeError("the image's resources are not in its last section, which is the only one sfxtool rewrites: "
                          "rebuild the stub (its build links the resource section last)");
        header = h.sectionTable + 40 * last;
        rva = s.virtualAddress;
        rawPointer = s.rawPointer;
        oldRawSize = s.rawSize;
    } else {
        header = h.sectionTable + 40 * h.sections.size();
        uint64_t firstData = h.sizeOfHeaders;
        for (const auto& s : h.sections)
            if (s.rawSize) firstData = std::min<uint64_t>(firstData, s.rawPointer);
        if (header + 40 > firstData || image.find_first_not_of('\0', header) < header + 40)
            throw PeError("no room in the image's headers for another section header");
        const PeSection& s = h.sections[last];
        rva = static_cast<uint32_t>(AlignUp(static_cast<uint64_t>(s.virtualAddress) + std::max(s.virtualSize, s.rawSize), h.sectionAlignment));
        rawPointer = static_cast<uint32_t>(AlignUp(h.imageEnd, h.fileAlignment));
        added = true;
    }

    const std::string content = BuildResourceSection(resources, rva);
    const uint64_t rawSize = AlignUp(content.size(), h.fileAlignment);
    const uint64_t sizeOfImage = AlignUp(static_cast<uint64_t>(rva) + content.size(), h.sectionAlignment);
    if (sizeOfImage > 0x7FFFFFFFu) throw PeError("the resources are too large for an image");

    std::string out = image.substr(0, std::min<size_t>(rawPointer, image.size()));
    out.resize(rawPointer, '\0');
    out += content;
    out.resize(rawPointer + rawSize, '\0');

    if (added) {
        out.replace(header, 8, std::string(".rsrc\0\0\0", 8));
        Put32(out, header + 12, rva);
        Put32(out, header + 20, rawPointer);
        Put32(out, header + 36, kResourceSectionFlags);
    }
    Put32(out, header + 8, static_cast<uint32_t>(content.size()));
    Put32(out, header + 16, static_cast<uint32_t>(rawSize));
    // The COFF header lies right before the optional header: NumberOfSections at its offset 2.
    const size_t coff = h.optionalHeader - 20;
    Put16(out, coff + 2, static_cast<uint32_t>(h.sections.size() + (added ? 1 : 0)));
    const uint32_t initialised = Get32(out, h.optionalHeader + 8);
    Put32(out, h.optionalHeader + 8, static_cast<uint32_t>(initialised - oldRawSize + rawSize));
    Put32(out, h.optionalHeader + 56, static_cast<uint32_t>(sizeOfImage));
    Put32(out, h.DirectoryAt(2), rva);
    Put32(out, h.DirectoryAt(2) + 4, static_cast<uint32_t>(content.size()));
    Put32(out, h.checksumAt, 0);
    Put32(out, h.checksumAt, PeChecksum(out, h.checksumAt));
    return out;
}

namespace {

// The PE checksum: 16-bit little-endian words summed with the carry folded back, the CheckSum
// field left out, plus the file's length. Fed in blocks of even length.
struct ChecksumSum {
    explicit ChecksumSum(uint64_t checksumAt) : skip(checksumAt) {}
    void Add(const char* block, size_t length) {
        for (size_t i = 0; i < length; i += 2) {
            const uint64_t at = size + i;
            if (at == skip || at == skip + 2) continue;
            uint32_t word = static_cast<uint8_t>(block[i]);
            if (i + 1 < length) word |= static_cast<uint32_t>(static_cast<uint8_t>(block[i + 1])) << 8;
            sum += word;
            sum = (sum & 0xFFFF) + (sum >> 16);
        }
        size += length;
    }
    uint32_t Value() const { return static_cast<uint32_t>(((sum & 0xFFFF) + (sum >> 16)) + size); }
    uint64_t skip;
    uint64_t sum = 0;
    uint64_t size = 0;
};

}  // namespace

uint32_t PeChecksum(const std::string& bytes, size_t checksumAt) {
    ChecksumSum sum(checksumAt);
    sum.Add(bytes.data(), bytes.size());
    return sum.Value();
}

void UpdateFileChecksum(const std::string& path) {
    std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
    if (!f) throw PeError("cannot open " + path);
    std::string head(4096, '\0');
    f.read(head.data(), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<size_t>(f.gcount()));
    const size_t checksumAt = ParsePeHeaders(head).checksumAt;
    f.clear();
    f.seekg(0);
    ChecksumSum sum(checksumAt);
    std::string block(1 << 20, '\0');  // even: no word is split between blocks
    while (f) {
        f.read(block.data(), static_cast<std::streamsize>(block.size()));
        sum.Add(block.data(), static_cast<size_t>(f.gcount()));
    }
    if (f.bad()) throw PeError("cannot read " + path);
    const uint32_t checksum = sum.Value();
    f.clear();
    f.seekp(static_cast<std::streamoff>(checksumAt));
    const char bytes[4] = {static_cast<char>(checksum & 0xFF), static_cast<char>(checksum >> 8 & 0xFF),
                           static_cast<char>(checksum >> 16 & 0xFF), static_cast<char>(checksum >> 24 & 0xFF)};
    f.write(bytes, 4);
    f.flush();
    if (!f) throw PeError("cannot write " + path);
}

}  // namespace sfxtool
