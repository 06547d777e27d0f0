// relay-watch's dashboard: the shift lights, the clock, the escaping of the
// stream's text and what a frame shows.
#include "relay-watch/dashboard.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "console/printable.h"

namespace {

using watch::Cue;
using watch::LitLights;
using watch::ShiftCue;

TEST(Dashboard, ShiftLightsFollowTheThresholds) {
  constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
  struct Case {
    std::int32_t rpm;
    int lit;
    ShiftCue cue;
    std::int32_t first = 5500, last = 7100;  // shift 6900, blink 7250
  };
  const Case cases[] = {
      {0, 0, ShiftCue::kNone},
      {5499, 0, ShiftCue::kNone},
      {5500, 1, ShiftCue::kNone},
      {5677, 1, ShiftCue::kNone},
      {5678, 2, ShiftCue::kNone},
      {6899, 8, ShiftCue::kNone},
      {6900, 8, ShiftCue::kShift},
      {7099, 9, ShiftCue::kShift},
      {7100, 10, ShiftCue::kShift},
      {7249, 10, ShiftCue::kShift},
      {7250, 10, ShiftCue::kBlink},
      {99999, 10, ShiftCue::kBlink},
      {kMax, 10, ShiftCue::kBlink},
      {std::numeric_limits<std::int32_t>::min(), 0, ShiftCue::kNone},
      // Thresholds close together: far more steps above them than an int holds.
      {5000, 1, ShiftCue::kNone, 5000, 5001},
      {5001, 10, ShiftCue::kNone, 5000, 5001},
      {kMax, 10, ShiftCue::kBlink, 5000, 5001},
      {kMax - 1, 1, ShiftCue::kBlink, kMax - 1, kMax},
      {kMax, 10, ShiftCue::kBlink, kMax - 1, kMax},
      {kMax / 2, 5, ShiftCue::kBlink, 1, kMax},
      // Before a SESSION_INFO, or with thresholds that make no range, nothing lights.
      {7000, 0, ShiftCue::kShift, 0, 0},
      {7000, 0, ShiftCue::kShift, 5500, 5500},
  };
  for (const Case& c : cases) {
    stream::SessionInfo s;
    s.firstRpm = c.first, s.lastRpm = c.last, s.shiftRpm = 6900, s.blinkRpm = 7250;
    EXPECT_EQ(LitLights(c.rpm, s), c.lit) << c.rpm << " with " << c.first << " to " << c.last;
    EXPECT_EQ(Cue(c.rpm, s), c.cue) << c.rpm;
  }
}

// Control bytes a terminal would act on, and bytes that are not UTF-8, are
// shown as \xHH; valid text from U+00A0 on passes.
TEST(Dashboard, OutsideTextIsShownEscaped) {
  using namespace std::string_literals;
  const std::pair<std::string, std::string> cases[] = {
      {"car \xc2\xa0M\xc3\xbcller \xe2\x82\xac \xf0\x9f\x8f\x81",
       "car \xc2\xa0M\xc3\xbcller \xe2\x82\xac \xf0\x9f\x8f\x81"},
      // C0 controls (tab and line end too), NUL and DEL.
      {"a\tb\r\n\x1b]0;t\x07\0\x7f"s, R"(a\x09b\x0d\x0a\x1b]0;t\x07\x00\x7f)"},
      // CSI as a C1 control in UTF-8 and as a Latin-1 byte.
      {"\xc2\x9b"
       "2J \x9b"
       "2J",
       R"(\xc2\x9b2J \x9b2J)"},
      // Latin-1, an overlong "/", a surrogate, beyond U+10FFFF, cut short.
      {"caf\xe9 \xc0\xaf \xed\xa0\x80 \xf4\x90\x80\x80 \xe2\x82"
       "A\xe2\x82",
       R"(caf\xe9 \xc0\xaf \xed\xa0\x80 \xf4\x90\x80\x80 \xe2\x82A\xe2\x82)"},
  };
  for (const auto& [text, shown] : cases) EXPECT_EQ(terminal::Printable(text), shown) << shown;
  std::string out = "kept ";
  terminal::AppendPrintable("\x1b", out);
  EXPECT_EQ(out, R"(kept \x1b)");
}

TEST(Dashboard, FormatsTheClockAndTheGear) {
  EXPECT_EQ(watch::FormatClock(0), "0:00:00");
  EXPECT_EQ(watch::FormatClock(2699.99), "0:44:59");
  EXPECT_EQ(watch::FormatClock(36000), "10:00:00");
  EXPECT_EQ(watch::FormatClock(-1), "--:--:--");
  EXPECT_EQ(watch::FormatClock(std::numeric_limits<double>::quiet_NaN()), "--:--:--");
  EXPECT_EQ(watch::FormatGear(-1), "R");
  EXPECT_EQ(watch::FormatGear(0), "N");
  EXPECT_EQ(watch::FormatGear(4), "4");
}

TEST(Dashboard, FrameShowsTheValuesAndTheMalformedCount) {
  watch::DashboardState state;
  state.endpoint = "127.0.0.1:6667";
  state.status = "connected";
  state.haveData = state.haveSession = true;
  // A car path that would set the window title, clear the screen and, with
  // its NUL, end the frame, were it written as it is.
  const char hostile[] = "bmwm4gt3\x1b]0;pwned\x07\x1b[2J\0tail";
  state.session = {5500, 7100, 6900, 7250, std::string(hostile, sizeof hostile - 1)};
  state.data.gear = 4;
  state.data.rpm = 7260;
  state.data.sessionTimeRemain = 1234.5;
  state.data.onPitRoad = 1;
  state.malformed = 3;
  state.lastProblem = "field 5 \"\x1b[8m\" is not a whole number";
  const std::string on = watch::RenderDashboard(state, 120, true);
  const std::string off = watch::RenderDashboard(state, 120, false);
  for (const char* wanted :
       {"127.0.0.1:6667", R"(bmwm4gt3\x1b]0;pwned\x07\x1b[2J\x00tail)", "Gear          \x1b[1m4",
        "0:20:34", "3 malformed", R"(field 5 "\x1b[8m")", "SHIFT!", "first 5500  shift 6900"}) {
    EXPECT_NE(on.find(wanted), std::string::npos) << wanted;
  }
  for (const char* unwanted : {"\x1b]", "\x1b[2J", "\x1b[8m", "\x07"}) {
    EXPECT_EQ(on.find(unwanted), std::string::npos) << terminal::Printable(unwanted);
  }
  EXPECT_EQ(on.find('\0'), std::string::npos);
  // Above the blink threshold the lights go on and off.
  EXPECT_NE(on.find("[*]"), std::string::npos);
  EXPECT_EQ(off.find("[*]"), std::string::npos);
}

}  // namespace
