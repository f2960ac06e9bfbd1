#include "sfxtool/Verdict.h"

#include "platform/host/host.h"
#include "run/Failure.h"
#include "sfxtool/EntryNames.h"
#include "sfxtool/SevenZipReader.h"

namespace sfxtool {

namespace {

using stub::Reason;
namespace host = platform::host;

std::string Quote(const std::string& s) { return "\"" + s + "\""; }

std::string Entry(const StubNote& note, const VerdictContext& c) {
    if (note.detail < c.entryNames.size()) return "entry " + Quote(c.entryNames[note.detail]);
    if (c.kind == ArchiveKind::Zip && !c.refusedName.empty()) return "entry " + Quote(c.refusedName);
    if (c.kind == ArchiveKind::Zip)
        return "the ZIP record at offset " + std::to_string(c.refusedRecordOffset) + " (a name of " +
               std::to_string(c.refusedNameBytes) + " bytes)";
    return "an entry";
}

std::string MiB(uint64_t bytes) { return std::to_string((bytes + (1u << 20) - 1) >> 20) + " MiB"; }

bool HasInvalidCharacter(const std::string& name) {
    for (unsigned char ch : name)
        if (ch < 0x20 || ch == '<' || ch == '>' || ch == '"' || ch == '|' || ch == '?' || ch == '*') return true;
    return false;
}

// Why the stub cannot create entry `index`: an earlier file of the same name on Windows, an earlier
// file where this one needs a folder, or a folder an earlier file needs where this one is a file.
std::string Collision(size_t index, const VerdictContext& c) {
    if (index >= c.entryWide.size() || index >= c.entryIsDir.size()) return {};
    const std::u16string key = WindowsKey(c.entryWide[index]);
    const auto under = [](const std::u16string& path, const std::u16string& folder) {
        return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == u'/';
    };
    for (size_t i = 0; i < index; ++i) {
        if (c.entryIsDir[i]) continue;
        const std::u16string other = WindowsKey(c.entryWide[i]);
        const std::string earlier = "entry " + Quote(c.entryNames[i]);
        if (other == key) return earlier + " names the same file on Windows";
        if (under(key, other)) return earlier + " is a file where this entry needs a folder";
        if (under(other, key)) return earlier + " needs a folder of this name";
    }
    return {};
}

// The first line of .launch, as the stub reads it (for messages only).
std::string LaunchLine(const std::string& bytes) {
    return bytes.substr(0, bytes.find_first_of(std::string("\r\n\0", 3)));
}

const char kRepack[] = "repack with sfxtool pack";

}  // namespace

std::string ReasonCode(uint32_t reason) {
    switch (static_cast<Reason>(reason)) {
        case Reason::ModulePath: return "stub-path";
        case Reason::DllPatternTooLong: return "stub-path";
        case Reason::StagingDirectory: return "staging";
        case Reason::SelfOpen:
        case Reason::SelfRead: return "unreadable";
        case Reason::NoArchive: return "no-archive";
        case Reason::OptionsMalformed: return "options-malformed";
        case Reason::ZipTruncated: return "zip-truncated";
        case Reason::ZipFlags: return "zip-flags";
        case Reason::ZipMethod: return "zip-method";
        case Reason::ZipSizeUnknown: return "zip64";
        case Reason::ZipStoredSizes: return "zip-stored-sizes";
        case Reason::ZipData: return "zip-bad-data";
        case Reason::ZipSize: return "zip-size";
        case Reason::ZipCrc: return "crc-mismatch";
        case Reason::Memory: return "memory";
        case Reason::NameTooLong: return "name-too-long";
        case Reason::NameInvalid: return "name-invalid";
        case Reason::NameUnsafe: return "unsafe-name";
        case Reason::EntryFolder: return "duplicate-name";
        case Reason::EntryCreate: return "duplicate-name";
        case Reason::EntryWrite: return "write-failed";
        case Reason::LaunchFile: return "launch-unreadable";
        case Reason::LaunchUnsafe: return "launch-outside";
        case Reason::LaunchMissing: return "launch-missing";
        case Reason::LaunchFolder: return "launch-folder";
        case Reason::InstallerMissing: return "no-installer";
        case Reason::InstallerFolder: return "installer-folder";
        case Reason::InstallerStart: return "installer-start";
        case Reason::InstallerWait: return "installer-wait";
        case Reason::RelaunchFolder:
        case Reason::RelaunchCopy:
        case Reason::RelaunchStart: return "relaunch";
        case Reason::SevenZipOpen: return "7z-open";
        case Reason::SevenZipUnsupported: return "unsupported-folder";
        case Reason::SevenZipMemory: return "window-too-large";
        case Reason::SevenZipData: return "7z-data";
        case Reason::SevenZipCrc: return "crc-mismatch";
        case Reason::SevenZipRead: return "7z-truncated";
        case Reason::SevenZipWrite: return "write-failed";
        case Reason::DiskSpace: return "disk-space";
    }
    return "stub-failure";
}

Problem Explain(const StubNote& note, const VerdictContext& c) {
    Problem p;
    p.code = ReasonCode(note.reason);
    const std::string entry = Entry(note, c);
    const std::string stops = "; the stub stops unpacking there and starts the installer without the rest (or ends "
                              "with exit code 5 when the installer is not yet unpacked): ";
    switch (static_cast<Reason>(note.reason)) {
        case Reason::ModulePath:
        case Reason::DllPatternTooLong:
            p.message = "the stub's own path is too long for it: start the installer from a shorter folder";
            break;
        case Reason::StagingDirectory:
            p.message = "the stub cannot create its staging folder in the temp folder";
            break;
        case Reason::SelfOpen:
        case Reason::SelfRead:
            p.message = "the stub cannot read its own file";
            break;
        case Reason::NoArchive:
            p.message = "no archive found: the stub's locator finds no 7z or ZIP archive in the file, and the stub ends with "
                        "exit code 5: pack one with sfxtool pack";
            break;
        case Reason::OptionsMalformed:
            p.message = "the installer options record (RT_RCDATA #1) is " +
                        (c.optionsFault.empty() ? std::string("one the stub cannot load")
                                                : "malformed: " + c.optionsFault) +
                        "; the stub ends with exit code 5 before it unpacks anything: " + kRepack +
                        " and its options --wait, --failure-message, --progress, --silent-switch";
            break;
        case Reason::ZipTruncated:
            if (c.refusedRecordAtEnd) {
                p.code = "zip-no-end-record";
                p.message = "the ZIP archive ends right after its last entry, without the central directory; the stub takes that "
                            "for a cut file and ends with exit code 5: " + std::string(kRepack) + " (or zip without streaming)";
            } else {
                p.message = entry + " runs past the end of the file; the stub ends with exit code 5: " + kRepack;
            }
            break;
        case Reason::ZipFlags: {
            const uint16_t f = c.refusedFlags;
            std::string what;
            if (f & 0x0001) { p.code = "zip-encrypted"; what = "is encrypted"; }
            else if (f & 0x0008) {
                p.code = "zip-data-descriptor";
                what = "keeps its sizes in a data descriptor after its data (as streaming ZIP writers do)";
            } else if (f & 0x0040) { p.code = "zip-encrypted"; what = "uses strong encryption"; }
            else if (f & 0x2000) { p.code = "zip-encrypted"; what = "has a masked local header"; }
            else what = "holds patched data";
            p.message = entry + " " + what + "; the stub refuses it and ends with exit code 5: " + kRepack;
            break;
        }
        case Reason::ZipMethod:
            p.message = entry + " uses compression method " + std::to_string(c.refusedMethod) +
                        "; the stub unpacks only stored (0) and deflate (8) and ends with exit code 5: " + kRepack;
            break;
        case Reason::ZipSizeUnknown:
            p.message = entry + " has a ZIP64 size (0xFFFFFFFF); the stub reads no ZIP64 and ends with exit code 5: "
                        "keep each entry under 4 GiB and " + kRepack;
            break;
        case Reason::ZipStoredSizes:
            p.message = entry + " is stored, but its compressed and uncompressed sizes differ; the stub refuses it (ZIP "
                        "listers and the stub would see different archives) and ends with exit code 5: " + kRepack;
            break;
        case Reason::ZipData:
            p.message = entry + ": its deflate data is corrupt or does not end within the entry; the stub deletes it and "
                        "ends with exit code 5: " + kRepack;
            break;
        case Reason::ZipSize:
            p.message = entry + " does not unpack to its declared size; the stub deletes it and ends with exit code 5: " + kRepack;
            break;
        case Reason::ZipCrc:
            p.message = entry + " does not match its CRC-32; the stub checks every entry's CRC, deletes it and ends with "
                        "exit code 5: " + kRepack;
            break;
        case Reason::Memory:
            p.message = "the stub cannot allocate its working buffers";
            break;
        case Reason::NameTooLong:
            p.message = entry + " is too long for the stub's path limit at a staging path of " +
                        std::to_string(c.stagingLength) + " units; the stub ends with exit code 5: shorten the name";
            break;
        case Reason::NameInvalid:
            p.message = entry + " has a name the stub cannot take (empty, holding a NUL, or not convertible); the stub "
                        "ends with exit code 5: rename it";
            break;
        case Reason::NameUnsafe:
            p.message = entry + " has an unsafe name (absolute, a drive or stream \":\", \"..\", or a device name such as "
                        "CON); the stub refuses it and ends with exit code 5: rename it";
            break;
        case Reason::EntryFolder:
        case Reason::EntryCreate: {
            const std::string name = note.detail < c.entryNames.size() ? c.entryNames[note.detail] : std::string();
            const std::string collision = Collision(note.detail, c);
            const std::optional<std::string> folder = UnreachableFolder(name);
            if (folder) {
                p.code = "name-folder-trailing";
                p.message = entry + " lies in the folder " + Quote(*folder) + ", which ends in a space or in more than "
                            "one dot or space: Windows creates that folder as " + Quote(WindowsName(*folder)) + " (a "
                            "path's last component loses them all) but looks for " +
                            Quote(host::Utf8(host::TrimWin32Component(host::Utf16(*folder), false))) + " inside a "
                            "longer path (only one trailing dot goes there), so the stub cannot create the entry and "
                            "ends with exit code 5: rename the folder";
            } else if (HasInvalidCharacter(name)) {
                p.code = "unsafe-name";
                p.message = entry + " holds a character Windows does not allow in file names (< > \" | ? * or a control "
                            "character); the stub cannot create it and ends with exit code 5: rename it";
            } else if (!collision.empty()) {
                p.message = "the stub cannot create " + entry + ": " + collision + " (names compare case-insensitively "
                            "through Windows' upcase table, trailing dots and spaces dropped); the stub ends with exit "
                            "code 5 at the second: rename one";
            } else if (name.find('\\') != std::string::npos) {
                p.code = "name-backslash";
                p.message = entry + " holds a backslash (offset " + std::to_string(name.find('\\')) + "), which Windows "
                            "takes for a folder separator, while the stub creates folders only at \"/\": the folder "
                            "before it does not exist, and the stub ends with exit code 5: rename it, or write \"/\"";
            } else {
                p.message = "the stub cannot create " + entry + ": another entry names the same file on Windows (names "
                            "compare case-insensitively, trailing dots and spaces dropped), or a file stands where a "
                            "folder is needed; the stub ends with exit code 5 at the second: rename one";
            }
            break;
        }
        case Reason::EntryWrite:
            p.message = "the stub cannot write " + entry + " (the disk may be full)";
            break;
        case Reason::LaunchFile: {
            const std::string line = LaunchLine(c.launchBytes);
            if (line.empty()) {
                p.code = "launch-empty";
                p.message = ".launch is empty or its first line is; the stub ends with exit code 5: write the installer's "
                            "path into it (sfxtool pack --launch PATH)";
            } else {
                p.code = "launch-too-long";
                p.message = "the first line of .launch is too long for the stub (259 characters with the staging path at "
                            "most): shorten the path";
            }
            break;
        }
        case Reason::LaunchUnsafe:
            p.message = ".launch names " + Quote(LaunchLine(c.launchBytes)) + ", which is not a path inside the unpacked "
                        "archive (absolute, a drive, \"..\" or a device name); the stub ends with exit code 5: write it "
                        "relative to the archive's root (sfxtool pack --launch writes it so)";
            break;
        case Reason::LaunchMissing: {
            const std::string line = LaunchLine(c.launchBytes);
            if (line.compare(0, 3, "\xEF\xBB\xBF") == 0) {
                p.code = "launch-bom";
                p.message = ".launch starts with a UTF-8 byte-order mark, which the stub takes as part of the name; the stub "
                            "ends with exit code 5: save it without a BOM (sfxtool pack --launch writes it so)";
            } else {
                p.message = ".launch names " + Quote(line) + ", which is not in the archive; the stub ends with exit code 5: "
                            "fix the path given to --launch";
            }
            break;
        }
        case Reason::LaunchFolder:
            p.message = ".launch names " + Quote(LaunchLine(c.launchBytes)) + ", a folder, not a program; the stub ends with "
                        "exit code 5: name the installer file";
            break;
        case Reason::InstallerMissing:
            p.message = "the archive holds neither .launch nor \"Orvak ZEB Installer.exe\" at its root, so the stub has "
                        "nothing to run and ends with exit code 5: pack with --launch PATH, or add the installer under that name";
            break;
        case Reason::InstallerFolder:
            p.message = "\"Orvak ZEB Installer.exe\" at the archive's root is a folder, not a program; the stub ends with "
                        "exit code 5: pack with --launch PATH naming the installer file";
            break;
        case Reason::InstallerStart:
            p.message = "the shell cannot start the installer; the stub ends with exit code 5";
            break;
        case Reason::InstallerWait:
            p.message = "the stub cannot wait for the installer";
            break;
        case Reason::RelaunchFolder:
        case Reason::RelaunchCopy:
        case Reason::RelaunchStart:
            p.message = "the stub cannot run its private copy";
            break;
        case Reason::SevenZipOpen:
            p.message = "the 7z archive does not open in the stub's decoder (" + SevenZipResultText(static_cast<int>(note.detail)) +
                        ")" + (note.detail == 4 ? " (an encrypted header, or one packed with a method the stub does not decode)" : "") +
                        "; the stub unpacks nothing and ends with exit code 5 unless an installer is found: " + kRepack;
            break;
        case Reason::SevenZipUnsupported:
            p.message = entry + " lies in a folder of a method or shape the stub does not decode (PPMd, AES, three "
                        "coders, ...)" + stops + kRepack + " (LZMA)";
            break;
        case Reason::SevenZipMemory: {
            uint64_t memory = 0;
            if (note.detail < c.entryFolder.size() && c.entryFolder[note.detail] >= 0 &&
                static_cast<size_t>(c.entryFolder[note.detail]) < c.folderMemory.size())
                memory = c.folderMemory[c.entryFolder[note.detail]];
            p.message = "the folder of " + entry + " needs " + MiB(memory) + " for its decoder's window and buffers, more "
                        "than a 32-bit process is likely to get (" + MiB(c.heapLimit) + ")" + stops +
                        "repack with a smaller dictionary (7zz -md=64m, or sfxtool pack)";
            break;
        }
        case Reason::SevenZipData:
            p.message = "the stub's decoder finds corrupt data in " + entry + stops + kRepack;
            break;
        case Reason::SevenZipCrc:
            p.message = entry + " does not match its CRC; the stub deletes it" + stops + kRepack;
            break;
        case Reason::SevenZipRead:
            p.message = "the packed data of " + entry + " runs past the end of the file" + stops + kRepack;
            break;
        case Reason::SevenZipWrite:
            p.message = "the stub cannot write " + entry + stops + "check the disk";
            break;
        case Reason::DiskSpace:
            p.message = "the entries declare more bytes than any disk holds; the stub ends with exit code 5 before it "
                        "unpacks anything: " + std::string(kRepack);
            break;
    }
    if (p.message.empty()) p.message = "the stub fails (reason " + std::to_string(note.reason) + ")";
    return p;
}

}  // namespace sfxtool
