// Entry names as Windows sees them: what Win32 paths make of a name (the trailing dots and spaces of
// its last component dropped, one trailing dot of the others; "\" a separator like "/"), the key
// two names share when they name one file (compared through Windows' upcase table), and the shapes
// of name pack refuses.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace sfxtool {

// The name as Windows creates it, "/"-separated: the last component without its trailing dots and
// spaces, the others without one trailing dot (platform::host::TrimWin32Component).
// "dot." -> "dot", "dir./a " -> "dir/a".
std::string WindowsName(const std::string& name);

// The first folder component ("/" or "\" follows it) that Windows creates under one name and
// reaches under another: one ending in a space, or in two or more dots and spaces ("x ", "x..",
// "x .", "x. "). The folder is made as "x" (as a path's last component), then looked for as "x "
// (inside a longer path), where it is not: the stub cannot create the entry.
std::optional<std::string> UnreachableFolder(const std::string& name);

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
