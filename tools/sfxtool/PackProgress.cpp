#include "sfxtool/PackProgress.h"

#include <chrono>
#include <cstdio>

namespace sfxtool {
namespace {

std::string Mib(uint64_t bytes) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", static_cast<double>(bytes) / (1 << 20));
    return buf;
}

std::string Duration(double seconds) {
    const auto s = static_cast<unsigned long long>(seconds + 0.5);
    char buf[32];
    if (s >= 3600) std::snprintf(buf, sizeof buf, "%llu:%02llu:%02llu", s / 3600, s / 60 % 60, s % 60);
    else std::snprintf(buf, sizeof buf, "%llu:%02llu", s / 60, s % 60);
    return buf;
}

}  // namespace

std::string ProgressText(uint64_t done, uint64_t total, double seconds) {
    if (done > total) done = total;
    const unsigned percent = total ? static_cast<unsigned>(done * 100 / total) : 100;
    std::string text = "packing: " + Mib(done) + " of " + Mib(total) + " MiB (" + std::to_string(percent) + "%)";
    if (seconds >= 1 && done > 0) {
        const double rate = static_cast<double>(done) / seconds;
        text += ", " + Mib(static_cast<uint64_t>(rate)) + " MiB/s, " +
                Duration(static_cast<double>(total - done) / rate) + " left";
    }
    return text;
}

std::string ProgressDoneText(uint64_t total, double seconds) {
    std::string text = "packed " + Mib(total) + " MiB in " + Duration(seconds);
    if (seconds > 0) text += " (" + Mib(static_cast<uint64_t>(static_cast<double>(total) / seconds)) + " MiB/s)";
    return text;
}

int LastPercent(const std::string& text) {
    // 7zz redraws "  42% 3 + name" after backspaces: a percentage stands between a space, a
    // backspace or the start and a space, a backspace or the end (a name's "50%off" is none).
    auto separator = [](char c) { return c == ' ' || c == '\b'; };
    for (size_t at = text.rfind('%'); at != std::string::npos && at > 0; at = text.rfind('%', at - 1)) {
        size_t begin = at;
        while (begin > 0 && at - begin < 3 && text[begin - 1] >= '0' && text[begin - 1] <= '9') --begin;
        if (begin == at || (begin > 0 && !separator(text[begin - 1]))) continue;
        if (at + 1 < text.size() && !separator(text[at + 1])) continue;
        return std::stoi(text.substr(begin, at - begin));
    }
    return -1;
}

ProgressMeter::ProgressMeter(std::ostream* out, uint64_t total, Clock clock)
    : out_(out), total_(total), clock_(std::move(clock)) {
    if (!clock_)
        clock_ = [] {
            return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
        };
    start_ = clock_();
}

void ProgressMeter::Update(uint64_t done) {
    if (!out_) return;
    const double now = clock_();
    if (last_ >= 0 && now - last_ < 0.25) return;
    last_ = now;
    Draw(ProgressText(done, total_, now - start_));
}

void ProgressMeter::Finish() {
    if (!out_) return;
    Draw(ProgressDoneText(total_, clock_() - start_));
    *out_ << "\n" << std::flush;
    out_ = nullptr;
}

void ProgressMeter::Draw(const std::string& text) {
    // Redrawn over the last line: spaces cover what a longer line left.
    std::string line = "\r" + text;
    if (text.size() < width_) line.append(width_ - text.size(), ' ');
    width_ = text.size();
    *out_ << line << std::flush;
}

}  // namespace sfxtool
