// Text from outside the program (the relay's stream, a recording's session
// text) made safe to show on a terminal: the bytes a terminal would act on
// instead of showing (escape sequences that clear the screen or set the
// window title, a NUL that ends a C string) are shown escaped.
#pragma once

#include <string>
#include <string_view>

namespace terminal {

// Appends `text` to `out` with these bytes shown as \xHH (two lowercase hex
// digits) instead of as they are: the C0 controls 0x00 to 0x1f (tab and line
// end included), DEL 0x7f, both bytes of each C1 control U+0080 to U+009F in
// UTF-8, and every byte that is not part of a valid UTF-8 sequence (such as
// Latin-1 text, whose bytes 0x80 to 0x9f an 8-bit terminal takes for C1
// controls). Valid UTF-8 characters from U+00A0 on pass as they are. `out`
// keeps its capacity from call to call, so a caller that reuses it
// allocates nothing once it is large enough.
void AppendPrintable(std::string_view text, std::string& out);
// The same, as a new string.
std::string Printable(std::string_view text);

}  // namespace terminal
