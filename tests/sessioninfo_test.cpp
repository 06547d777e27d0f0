// Tests for the session-info query and the car facts read with it.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "sessioninfo/car_facts.h"
#include "sessioninfo/query.h"

namespace sessioninfo {
namespace {

constexpr const char* kDrivers =
    "DriverInfo:\n"
    " DriverCarIdx: 5\n"
    " Drivers:\n"
    " - CarIdx: 0\n"
    "   UserName: Driver A\n"
    " - CarIdx: 5\n"
    "   UserName: Driver B\n";

TEST(FindValueTest, Table) {
  struct Case {
    const char* name;
    const char* text;
    const char* path;
    bool found;
    const char* want;  // the value's characters when found
  };
  const Case cases[] = {
      {"selected user name", kDrivers, "DriverInfo:Drivers:CarIdx:{5}UserName:", true, "Driver B"},
      {"direct key", kDrivers, "DriverInfo:DriverCarIdx:", true, "5"},
      {"CR LF line ends", "D:\r\n - I: 0\r\n   N: A\r\n\r\n - I: 5\r\n   N: B\r\n",
       "D:I:{5}N:", true, "B"},
      {"selector must match whole value",
       "D:\n - CarIdx: 51\n   N: wrong\n - CarIdx: 5\n   N: right\n", "D:CarIdx:{5}N:", true,
       "right"},
      {"selector longer than value", "D:\n - CarIdx: 5\n   N: wrong\n - CarIdx: 51\n   N: right\n",
       "D:CarIdx:{51}N:", true, "right"},
      {"trailing blank defeats selector", "D:\n - CarIdx: 5 \n   N: x\n", "D:CarIdx:{5}N:", false,
       nullptr},
      {"empty selector matches empty value", "D:\n - I:\n   N: x\n", "D:I:{}N:", true, "x"},
      {"unclosed selector never matches", "D:\n - I: 5\n   N: x\n", "D:I:{5", false, nullptr},
      {"second colon starts the value", "K::x\n", "K:", true, ":"},
      {"less indented line ends search", "A:\n B:\n  Y: 1\nZ: 0\n  X: 2\n", "A:B:X:", false,
       nullptr},
      {"blank-only line ends search", "A:\n B:\n  C:\n \n   X: 2\n", "A:B:C:X:", false, nullptr},
      {"empty line is skipped", "A:\n B:\n  C:\n\n   X: 2\n", "A:B:C:X:", true, "2"},
      {"key longer than rest of path", "A:\n DriverCarIdx: 5\n", "A:DriverCar", false, nullptr},
      {"empty text", "", "A:", false, nullptr},
      {"last line without line end", "A: 1", "A:", false, nullptr},
      {"matched line without value", "A:   \n", "A:", true, ""},
      {"leading minus skipped", "A: -5\n", "A:", true, "5"},
      {"line without colon is a key", "Plain\n Name: x\n", "PlainName:", true, "x"},
      {"top-level match reaches later sections", "A:\nB:\n X: 1\n", "A:X:", true, "1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const char* start = c.text;  // anything but nullptr, to see the reset
    std::int32_t length = 99;
    ASSERT_EQ(FindValue(c.text, c.path, &start, &length), c.found);
    if (c.found) {
      ASSERT_EQ(length, static_cast<std::int32_t>(std::strlen(c.want)));
      if (length > 0) {
        EXPECT_EQ(std::string(start, static_cast<std::size_t>(length)), c.want);
      }
    } else {
      EXPECT_EQ(start, nullptr);
      EXPECT_EQ(length, 0);
    }
  }
}

// The relay reads the simulator's text while the simulator may rewrite it, so
// the NUL seen when the text was located can be gone during the scan: the
// scan must also stop at the end of the mapping. Each text here is the whole
// of its own allocation, so the sanitizer build also sees any read past it.
TEST(FindValueTest, ABoundedTextEndsAtItsBoundOrItsNul) {
  struct Case {
    const char* name;
    std::string bytes;  // the whole mapping from the text's start
    const char* path;
    bool found;
  };
  const Case cases[] = {
      {"line ends inside the bound", "A: 1\nB: 2\n", "B:", true},
      {"line would end past the bound", "A: 1\nB: 2", "B:", false},
      {"NUL before the bound", std::string("A: 1\n\0B: 2\n", 11), "B:", false},
      {"empty bound", "", "A:", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<char> mapping(c.bytes.begin(), c.bytes.end());
    const std::string_view text(mapping.data(), mapping.size());
    const char* start = nullptr;
    std::int32_t length = 0;
    EXPECT_EQ(FindValue(text, c.path, &start, &length), c.found);
  }
  const std::string cut = "DriverInfo:\n DriverCarIdx: 7\n";
  const std::vector<char> mapping(cut.begin(), cut.end() - 1);
  CarFacts facts;
  ReadCarFacts(std::string_view(mapping.data(), mapping.size()), facts);
  EXPECT_EQ(facts.carIndex, -1);
  ReadCarFacts(std::string_view(cut), facts);
  EXPECT_EQ(facts.carIndex, 7);
}

TEST(FindValueTest, MissingArgumentsGiveFalse) {
  const char* start = nullptr;
  std::int32_t length = 0;
  EXPECT_FALSE(FindValue(nullptr, "A:", &start, &length));
  EXPECT_FALSE(FindValue("A: 1\n", nullptr, &start, &length));
  EXPECT_FALSE(FindValue("A: 1\n", "A:", nullptr, &length));
  EXPECT_FALSE(FindValue("A: 1\n", "A:", &start, nullptr));
}

TEST(ParseIntegerTest, Table) {
  struct Case {
    const char* text;
    std::int32_t length;
    std::int32_t want;
  };
  constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
  constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
  const Case cases[] = {
      {" \t\v\f\r\n+7", 8, 7},
      {"-13", 3, -13},
      {"7200.000", 8, 7200},
      {"abc", 3, 0},
      {"- 1", 3, 0},
      {"123", 2, 12},  // its own characters only
      {"2147483648", 10, kMax},
      {"-2147483648", 11, kMin},
      {"-99999999999999999999", 21, kMin},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ParseInteger(c.text, c.length), c.want);
  }
  EXPECT_EQ(ParseInteger(nullptr, 5), 0);
}

TEST(ReadCarFactsTest, Table) {
  constexpr const char* kFull =
      "WeekendInfo:\n TrackName: spa\nDriverInfo:\n DriverCarIdx: 1\n"
      " DriverCarSLFirstRPM: 5000.000\n DriverCarSLShiftRPM: 7000.000\n"
      " DriverCarSLLastRPM: 7200.000\n DriverCarSLBlinkRPM: 7500.000\n Drivers:\n"
      " - CarIdx: 0\n   UserName: Other Driver\n   CarPath: other\n"
      " - CarIdx: 1\n   UserName: Jo  Smith  \n   CarPath: mx5 mx52016\n";
  const std::string longName(600, 'n');
  const std::string longText =
      "DriverInfo:\n DriverCarIdx: 0\n Drivers:\n - CarIdx: 0\n   UserName: " + longName + "\n";

  struct Case {
    const char* name;
    std::vector<const char*> texts;  // read in turn into one record
    std::int32_t carIndex;
    std::string userName;
    std::vector<float> rpm;  // first, last, shift, blink
    std::string carPath;
  };
  const Case cases[] = {
      {"full text", {kFull}, 1, "Jo  Smith  ", {5000, 7200, 7000, 7500}, "mx5 mx52016"},
      {"no text", {nullptr}, -1, "", {0, 0, 0, 0}, ""},
      {"no DriverInfo section", {"WeekendInfo:\n DriverCarIdx: 3\n"}, -1, "", {0, 0, 0, 0}, ""},
      {"entry without CarPath takes the next one's",
       {"DriverInfo:\n DriverCarIdx: 0\n Drivers:\n - CarIdx: 0\n   UserName: A\n"
        " - CarIdx: 1\n   UserName: B\n   CarPath: b-car\n"},
       0,
       "A",
       {0, 0, 0, 0},
       "b-car"},
      {"missing direct key found in a later section",
       {"DriverInfo:\n DriverCarIdx: 2\nSplitTimeInfo:\n DriverCarSLFirstRPM: 4100\n"},
       2,
       "",
       {4100, 0, 0, 0},
       ""},
      {"second call keeps fields whose keys are absent",
       {kFull, "DriverInfo:\n DriverCarIdx: 9\n DriverCarSLFirstRPM: 100\n"},
       9,
       "Jo  Smith  ",
       {100, 7200, 7000, 7500},
       "mx5 mx52016"},
      {"empty values and values without digits",
       {kFull,
        "DriverInfo:\n DriverCarSLShiftRPM: \n DriverCarSLLastRPM: abc\n Drivers:\n"
        " - CarIdx: 1\n   UserName:\n   CarPath:   \n"},
       1,
       "",
       {5000, 0, 0, 7500},
       ""},
      {"long name cut to 511", {longText.c_str()}, 0, longName.substr(0, 511), {0, 0, 0, 0}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CarFacts facts;
    for (const char* text : c.texts) ReadCarFacts(text, facts);
    EXPECT_EQ(facts.carIndex, c.carIndex);
    EXPECT_EQ(std::string(facts.userName), c.userName);
    EXPECT_EQ((std::vector<float>{facts.firstRpm, facts.lastRpm, facts.shiftRpm, facts.blinkRpm}),
              c.rpm);
    EXPECT_EQ(std::string(facts.carPath), c.carPath);
  }
}

}  // namespace
}  // namespace sessioninfo
