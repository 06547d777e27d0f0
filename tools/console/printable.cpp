// Escaping the bytes a terminal would act on.
#include "console/printable.h"

namespace terminal {

namespace {

bool Between(unsigned byte, unsigned low, unsigned high) { return byte >= low && byte <= high; }

// The length of the valid UTF-8 sequence of a printable character at the
// start of `text`, or 0: a C0 or C1 control, DEL, or no valid sequence
// (overlong forms, surrogates and code points above U+10FFFF are not).
std::size_t PrintableLength(std::string_view text) {
  const auto byte = [&](std::size_t i) {
    return i < text.size() ? unsigned{static_cast<unsigned char>(text[i])} : 0u;
  };
  const unsigned lead = byte(0);
  if (lead < 0x20 || lead == 0x7f) return 0;
  if (lead < 0x80) return 1;
  // The range the second byte must lie in for this lead byte.
  unsigned low = 0x80, high = 0xbf;
  std::size_t length = 0;
  if (lead == 0xc2) {
    length = 2, low = 0xa0;  // 0x80 to 0x9f would be the C1 controls
  } else if (Between(lead, 0xc3, 0xdf)) {
    length = 2;
  } else if (lead == 0xe0) {
    length = 3, low = 0xa0;
  } else if (lead == 0xed) {
    length = 3, high = 0x9f;
  } else if (Between(lead, 0xe1, 0xef)) {
    length = 3;
  } else if (lead == 0xf0) {
    length = 4, low = 0x90;
  } else if (lead == 0xf4) {
    length = 4, high = 0x8f;
  } else if (Between(lead, 0xf1, 0xf3)) {
    length = 4;
  } else {
    return 0;
  }
  if (!Between(byte(1), low, high)) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (!Between(byte(i), 0x80, 0xbf)) return 0;
  }
  return length;
}

}  // namespace

void AppendPrintable(std::string_view text, std::string& out) {
  constexpr char kHex[] = "0123456789abcdef";
  std::size_t shown = 0;  // text before this has been appended
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = PrintableLength(text.substr(at));
    if (length > 0) {
      at += length;
      continue;
    }
    out.append(text.substr(shown, at - shown));
    // A C1 control's two bytes are both shown; anything else one byte at a
    // time, so that the next byte may begin a valid character again.
    const bool c1 = static_cast<unsigned char>(text[at]) == 0xc2 && at + 1 < text.size() &&
                    Between(static_cast<unsigned char>(text[at + 1]), 0x80, 0x9f);
    for (const std::size_t end = at + (c1 ? 2 : 1); at < end; ++at) {
      const auto byte = static_cast<unsigned char>(text[at]);
      const char escaped[] = {'\\', 'x', kHex[byte >> 4], kHex[byte & 0xf]};
      out.append(escaped, sizeof escaped);
    }
    shown = at;
  }
  out.append(text.substr(shown));
}

std::string Printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  AppendPrintable(text, out);
  return out;
}

}  // namespace terminal
