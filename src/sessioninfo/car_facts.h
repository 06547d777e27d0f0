// The driver's car as described by the simulator's session-information text:
// its index, the driver's user name, the four shift-light engine speeds and
// the car's path name.
#pragma once

#include <cstdint>
#include <string_view>

namespace sessioninfo {

struct CarFacts {
  std::int32_t carIndex = -1;
  char userName[512] = {};
  float firstRpm = 0, lastRpm = 0, shiftRpm = 0, blinkRpm = 0;
  char carPath[512] = {};
};

// Refreshes `facts` from the session-information text (NUL-terminated, may be nullptr:
// then nothing is found and nothing changes).
//
// A key that is not found leaves its field as it was. A key found with an
// empty value makes a text field empty and a number 0. Texts longer than 511
// characters are cut to 511.
void ReadCarFacts(const char* sessionText, CarFacts& facts);
// The same over a text that ends at its first NUL or at the end of
// `sessionText`, whichever comes first (see FindValue).
void ReadCarFacts(std::string_view sessionText, CarFacts& facts);

// Converts the `length` characters at `start` (not NUL-terminated) the way
// atoi does: leading blanks, an optional sign, then decimal digits up to the
// first other character; 0 when there are no digits. Results beyond the
// int32 range are clamped to it. Reads nothing beyond `length`.
std::int32_t ParseInteger(const char* start, std::int32_t length);

}  // namespace sessioninfo
