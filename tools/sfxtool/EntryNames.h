// Entry names as Windows sees them: what Win32 paths make of a name (trailing dots and spaces of
// each component dropped, "\" a separator like "/"), the key two names share when they name one
// file (compared through Windows' upcase table), and the shapes of name pack refuses.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace sfxtool {

// The name as Windows creates it, "/"-separated: each component without its trailing dots and
// spaces. "dot." -> "dot", "dir. /a " -> "dir/a".
std::string WindowsName(const std::string& name);

// The identity of the file or folder a name leads to on Windows: WindowsName, each unit through
// Windows' upcase table. Two entries name one file exactly when their keys are equal.
std::u16string WindowsKey(const std::u16string& name);

// True when a component of the name ends in a dot or a space (a lone "." or ".." component too,
// which name the current and parent folder).
bool EndsInDotOrSpace(const std::string& name);

// The byte offset of the first byte of `name` that starts no well-formed UTF-8 sequence.
std::optional<size_t> InvalidUtf8At(const std::string& name);

// "byte 0xFF at offset 4": the byte at `offset` of `name`, for messages.
std::string ByteAt(const std::string& name, size_t offset);

}  // namespace sfxtool
