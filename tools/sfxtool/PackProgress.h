// pack's progress on a terminal: the bytes compressed of the total, the rate and the time left, on
// one line of stderr redrawn in place at most four times a second, and a last line when done.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>

namespace sfxtool {

// "packing: 41.9 of 157.4 MiB (26%), 3.1 MiB/s, 0:42 left"; the rate and the time left once a
// second has passed and some bytes are done.
std::string ProgressText(uint64_t done, uint64_t total, double seconds);
// "packed 157.4 MiB in 0:53 (3.0 MiB/s)"
std::string ProgressDoneText(uint64_t total, double seconds);

// The last percentage in 7zz's progress output (-bsp1: "  42% 3 + name", redrawn with
// backspaces), or -1 when the text holds none.
int LastPercent(const std::string& text);

class ProgressMeter {
public:
    using Clock = std::function<double()>;  // seconds from any fixed point
    // A meter that draws nothing when `out` is null.
    ProgressMeter(std::ostream* out, uint64_t total, Clock clock = {});
    void Update(uint64_t done);  // redraws when a quarter of a second has passed since the last line
    void Finish();               // the last line, with its line end
    bool active() const { return out_ != nullptr; }

private:
    void Draw(const std::string& text);
    std::ostream* out_;
    uint64_t total_;
    Clock clock_;
    double start_ = 0, last_ = -1;
    size_t width_ = 0;
};

}  // namespace sfxtool
