// One thing that would make the stub fail or misbehave on a file, with the fix where there is one.
// Errors decide verify's verdict; warnings are reported beside it.
#pragma once

#include <string>
#include <vector>

namespace sfxtool {

struct Problem {
    std::string code;     // stable identifier for scripts, e.g. "first-stream-not-lzma"
    std::string message;  // one line for people, naming the fix
    bool warning = false; // the stub runs the installer all the same (a name it misreads, ...)
};

using Problems = std::vector<Problem>;

}  // namespace sfxtool
