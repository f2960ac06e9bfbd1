#include "run/CommandLine.h"

namespace stub {

const WChar* ParameterTail(const WChar* commandLine) {
    const WChar* tail = commandLine;
    if (*tail == u'-') return tail;  // the whole line
    if (*tail == 0) return tail;     // nothing to step over

    // The first unit is stepped over before any test, so an opening quote never closes. An
    // unquoted name ends at a space or a tab, as Windows splits arguments.
    const bool quoted = *tail == u'"';
    for (;;) {
        ++tail;
        if (*tail == 0) return tail;
        if (quoted ? *tail == u'"' : (*tail == u' ' || *tail == u'\t')) return tail + 1;
    }
}

}  // namespace stub
