#include "sfxtool/OptionsRecord.h"

#include <algorithm>
#include <memory>
#include <sstream>

#include "launcher/OptionsReader.h"
#include "sfxtool/Analysis.h"

namespace sfxtool {

const std::vector<std::string> kDefaultSilentSwitches = {"/S", "/Q", "/quiet", "/qn", "/passive",
                                                         "/VERYSILENT", "/SILENT", "/SUPPRESSMSGBOXES"};
const std::vector<std::string> kWaitModes = {"installer", "staging", "tree"};

namespace {

void Put16(std::string& out, uint32_t value) {
    out += static_cast<char>(value & 0xFF);
    out += static_cast<char>(value >> 8 & 0xFF);
}

void PutUnits(std::string& out, const std::u16string& text) {
    for (char16_t unit : text) Put16(out, unit);
}

uint32_t Get16(const std::string& b, size_t at) {
    return static_cast<uint8_t>(b[at]) | static_cast<uint32_t>(static_cast<uint8_t>(b[at + 1])) << 8;
}

// Why a switch word is refused ("" when it is fine), as the stub's parser sees its units.
std::string WordFault(const std::u16string& word) {
    if (word.empty()) return "it is empty";
    if (word.size() > stub::kSilentSwitchChars) return "it has " + std::to_string(word.size()) + " UTF-16 units, over 32";
    if (word[0] == u'-') return "it starts with '-'";
    for (char16_t c : word) {
        if (c == 0) return "it holds a NUL";
        if (c == u' ' || c == u'\t') return "it holds a space or tab (a switch is one word of the command line)";
        if (c == u'/' || c == u'"') return std::string("it holds '") + static_cast<char>(c) + "'";
    }
    return "";
}

std::string SwitchText(const std::u16string& word) { return "/" + EncodeUtf8(word); }

}  // namespace

std::string BuildOptionsRecord(const InstallerOptionsChoice& choice) {
    uint32_t wait = static_cast<uint32_t>(stub::WaitMode::Staging);
    if (choice.wait) {
        const auto found = std::find(kWaitModes.begin(), kWaitModes.end(), *choice.wait);
        if (found == kWaitModes.end()) throw OptionsUsageError("--wait " + *choice.wait + ": use installer, staging or tree");
        wait = static_cast<uint32_t>(found - kWaitModes.begin());
    }
    std::u16string message;
    if (choice.failureMessage) {
        bool valid = true;
        message = DecodeUtf8(*choice.failureMessage, &valid);
        if (message.empty()) throw OptionsUsageError("--failure-message is empty: give the text the message box shows");
        if (!valid) throw OptionsUsageError("--failure-message: the text is not valid UTF-8");
        if (message.find(u'\0') != std::u16string::npos) throw OptionsUsageError("--failure-message: the text holds a NUL");
        if (message.size() > stub::kFailureMessageChars)
            throw OptionsUsageError("--failure-message: the text has " + std::to_string(message.size()) +
                                    " UTF-16 units; the stub takes at most 1024");
    }
    if (choice.silentSwitches.size() > stub::kSilentSwitchMax)
        throw OptionsUsageError("--silent-switch is given " + std::to_string(choice.silentSwitches.size()) +
                                " times; the stub takes at most 32 switches");
    std::vector<std::u16string> words;
    for (const std::string& given : choice.silentSwitches) {
        const std::string word = !given.empty() && (given[0] == '/' || given[0] == '-') ? given.substr(1) : given;
        bool valid = true;
        const std::u16string units = DecodeUtf8(word, &valid);
        std::string fault = valid ? WordFault(units) : "it is not valid UTF-8";
        if (!fault.empty())
            throw OptionsUsageError("--silent-switch \"" + given + "\": " + fault +
                                    "; give one word such as /S, -quiet or VERYSILENT");
        words.push_back(units);
    }

    std::string record;
    Put16(record, stub::kOptionsVersion);
    Put16(record, wait);
    Put16(record, (choice.progress ? stub::kOptionsProgress : 0) | (words.empty() ? 0 : stub::kOptionsSwitchList) |
                      (choice.log ? stub::kOptionsLog : 0));
    Put16(record, static_cast<uint32_t>(message.size()));
    Put16(record, static_cast<uint32_t>(words.size()));
    Put16(record, 0);
    PutUnits(record, message);
    for (const auto& word : words) {
        Put16(record, static_cast<uint32_t>(word.size()));
        PutUnits(record, word);
    }
    return record;
}

std::string OptionsRecordFault(const std::string& r) {
    if (r.size() < stub::kOptionsHeaderBytes)
        return "it has " + std::to_string(r.size()) + " bytes, fewer than its 12-byte header";
    const uint32_t version = Get16(r, 0), wait = Get16(r, 2), flags = Get16(r, 4), length = Get16(r, 6),
                   count = Get16(r, 8), reserved = Get16(r, 10);
    if (version != stub::kOptionsVersion) return "its version is " + std::to_string(version) + ", not 1";
    if (wait > 2) return "its wait mode is " + std::to_string(wait) + " (0 installer, 1 staging, 2 tree)";
    if (flags & ~(stub::kOptionsProgress | stub::kOptionsSwitchList | stub::kOptionsLog))
        return "it sets unknown flag bits (flags " + std::to_string(flags) + ")";
    if (reserved != 0) return "its reserved field is " + std::to_string(reserved) + ", not 0";
    if (length > stub::kFailureMessageChars)
        return "its failure message has " + std::to_string(length) + " UTF-16 units, over 1024";
    if (count > stub::kSilentSwitchMax) return "it holds " + std::to_string(count) + " silent switches, over 32";
    if (((flags & stub::kOptionsSwitchList) != 0) != (count != 0))
        return count != 0 ? "it holds silent switches without the flag that says so"
                          : "its flag says a silent-switch list follows, but it holds none";
    size_t at = stub::kOptionsHeaderBytes;
    if (length > (r.size() - at) / 2) return "its failure message runs past the record's end";
    for (uint32_t i = 0; i < length; ++i)
        if (Get16(r, at + 2 * i) == 0) return "its failure message holds a NUL";
    at += 2 * length;
    for (uint32_t n = 0; n < count; ++n) {
        const std::string which = "silent switch " + std::to_string(n + 1);
        if (r.size() - at < 2) return which + " runs past the record's end";
        const uint32_t units = Get16(r, at);
        at += 2;
        if (units == 0 || units > stub::kSilentSwitchChars)
            return which + " has " + std::to_string(units) + " UTF-16 units (1 to 32)";
        if (units > (r.size() - at) / 2) return which + " runs past the record's end";
        std::u16string word;
        for (uint32_t i = 0; i < units; ++i) word += static_cast<char16_t>(Get16(r, at + 2 * i));
        const std::string fault = WordFault(word);
        if (!fault.empty()) return which + " is refused: " + fault;
        at += 2 * units;
    }
    if (at != r.size()) return std::to_string(r.size() - at) + " bytes follow its last field";
    return "";
}

nlohmann::json OptionsJson(const std::string* record) {
    using nlohmann::json;
    auto options = std::make_unique<stub::InstallerOptions>();
    const bool valid = record == nullptr ||
        stub::ParseInstallerOptions(reinterpret_cast<const uint8_t*>(record->data()), static_cast<uint32_t>(record->size()), *options);
    json j;
    j["record"] = record != nullptr;
    j["valid"] = valid;
    j["fault"] = valid ? json(nullptr) : json(OptionsRecordFault(*record));
    if (!valid) return j;
    if (record == nullptr) {
        j["wait"] = "staging";
        j["progress"] = false;
        j["log"] = false;
        j["failureMessage"] = nullptr;
        j["silentSwitches"] = kDefaultSilentSwitches;
        j["silentSwitchesGiven"] = false;
        return j;
    }
    j["wait"] = kWaitModes[static_cast<uint32_t>(options->wait)];
    j["progress"] = options->progress;
    j["log"] = options->log;
    j["failureMessage"] = options->failureMessageLength == 0 ? json(nullptr)
        : json(EncodeUtf8(std::u16string(options->failureMessage, options->failureMessageLength)));
    json switches = json::array();
    if (!options->switchListGiven) switches = kDefaultSilentSwitches;
    for (uint32_t i = 0; i < options->switchCount; ++i)
        switches.push_back(SwitchText(std::u16string(options->switches[i], options->switchLengths[i])));
    j["silentSwitches"] = switches;
    j["silentSwitchesGiven"] = options->switchListGiven;
    return j;
}

std::string OptionsText(const std::string* record) {
    const nlohmann::json j = OptionsJson(record);
    std::ostringstream o;
    o << "options:     ";
    if (!j["valid"].get<bool>()) {
        o << "MALFORMED record (RT_RCDATA #1): " << j["fault"].get<std::string>() << "\n";
        return o.str();
    }
    o << (record ? "record (RT_RCDATA #1, " + std::to_string(record->size()) + " bytes)\n"
                 : std::string("none: the stub's defaults\n"));
    o << "  wait              " << j["wait"].get<std::string>() << "\n";
    o << "  progress window   " << (j["progress"].get<bool>() ? "yes" : "no") << "\n";
    o << "  log file          " << (j["log"].get<bool>() ? "yes, in the temp folder beside the staging folder" : "no")
      << "\n";
    // Quoted as JSON: a message's line breaks and quotes stay on one line.
    o << "  failure message   "
      << (j["failureMessage"].is_null() ? std::string("none")
                                        : j["failureMessage"].dump(-1, ' ', false, nlohmann::json::error_handler_t::replace))
      << "\n";
    o << "  silent switches   ";
    for (const auto& s : j["silentSwitches"]) o << s.get<std::string>() << " ";
    o << (j["silentSwitchesGiven"].get<bool>() ? "(given, replacing the defaults)" : "(the default list)") << "\n";
    return o.str();
}

}  // namespace sfxtool
