// Outside text shown on a terminal: what is escaped and what passes.
#include "console/printable.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Printable, EscapesWhatATerminalWouldActOnAndKeepsValidText) {
  using namespace std::string_literals;
  struct Case {
    std::string text;
    std::string shown;
  };
  const Case cases[] = {
      {"porsche992rgt3", "porsche992rgt3"},
      {"", ""},
      // C0 controls, line ends and tab included, a NUL, DEL.
      {"a\tb\nc\r", R"(a\x09b\x0ac\x0d)"},
      {"\x1b]0;title\x07\x1b[2Jcar", R"(\x1b]0;title\x07\x1b[2Jcar)"},
      {"a\0b"s, R"(a\x00b)"},
      {"x\x7fy", R"(x\x7fy)"},
      // A C1 control (CSI) in UTF-8 and as a lone Latin-1 byte.
      {"\xc2\x9b"
       "2J",
       R"(\xc2\x9b2J)"},
      {"\x9b"
       "2J",
       R"(\x9b2J)"},
      // Valid UTF-8 from U+00A0 on passes: no-break space, ü, €, a flag.
      {"\xc2\xa0M\xc3\xbcller \xe2\x82\xac \xf0\x9f\x8f\x81",
       "\xc2\xa0M\xc3\xbcller \xe2\x82\xac \xf0\x9f\x8f\x81"},
      // Latin-1, an overlong "/", a surrogate, beyond U+10FFFF, cut short.
      {"caf\xe9", R"(caf\xe9)"},
      {"\xc0\xaf", R"(\xc0\xaf)"},
      {"\xed\xa0\x80", R"(\xed\xa0\x80)"},
      {"\xf4\x90\x80\x80", R"(\xf4\x90\x80\x80)"},
      {"\xe2\x82"
       "A\xe2\x82",
       R"(\xe2\x82A\xe2\x82)"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(terminal::Printable(c.text), c.shown) << c.shown;
  }
  std::string out = "kept ";
  terminal::AppendPrintable("\x1b", out);
  EXPECT_EQ(out, R"(kept \x1b)");
}

}  // namespace
