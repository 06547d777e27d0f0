// Path query over the simulator's session-information text.
//
// The text is indentation-structured ("Key: value" lines, nested by leading
// blanks and "-"). FindValue walks it once, line by line, without building a
// tree or copying anything, and hands back the wanted value as a pointer and a
// length into the text itself.
#pragma once

#include <cstdint>
#include <string_view>

namespace sessioninfo {

// Finds the value named by `path` in `text` (both NUL-terminated).
//
// A path is a sequence of components "Key:", each optionally followed by a
// selector "{text}" that the matching line's value must equal exactly, e.g.
// "DriverInfo:Drivers:CarIdx:{5}UserName:". Each component is looked for on a
// line after the one that matched the previous component; a line indented
// less than that one ends the search.
//
// When all four arguments are present, the outputs are set to nullptr and 0
// on entry. Returns true when the whole path was matched; the outputs then
// give the value's first character and its length. The value is not
// NUL-terminated: it runs to the end of its line, trailing blanks included.
// A matched line with no value gives true with length 0, and the start output
// is then meaningless. A value on a last line without a line end is never
// found.
bool FindValue(const char* text, const char* path, const char** valueStart,
               std::int32_t* valueLength);

// The same query over a text that ends at its first NUL or at the end of
// `text`, whichever comes first; nothing beyond `text` is read. This is how
// the relay reads the simulator's text, which another process may rewrite
// while it is scanned: a NUL seen before the scan may be gone during it. A
// view without data finds nothing.
bool FindValue(std::string_view text, const char* path, const char** valueStart,
               std::int32_t* valueLength);

}  // namespace sessioninfo
