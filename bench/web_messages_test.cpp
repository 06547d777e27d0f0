// The web benchmark's message checks: a check that let a wrong value through
// would report damaged messages as delivered, and a lap scan that misread
// the row would time messages against the wrong publish.
#include "web_messages.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string kPacket =
    "DATA_PACKET;90.50;85.25;3;42.70;6543;0.50;0.38;1234.50;417;3;12;1800.00;1;1.00;0;";
const std::string kSessionInfo = "SESSION_INFO;5900;7400;7200;7600;porsche992rgt3";

// kPacket's values in relay-web's form.
const std::string kData =
    R"({"type":"data","oilTemp":90.5,"waterTemp":85.25,"gear":3,"fuelLevel":42.70,)"
    R"("rpm":6543,"lapDistPct":0.5,"fuelLevelPct":0.38,"lapDist":1234.5,"lap":417,)"
    R"("raceLaps":3,"sessionLapsRemain":12,"sessionTimeRemain":1800,"onPitRoad":true,)"
    R"("throttle":1,"isOnTrack":false})";

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  return text.replace(text.find(from), from.size(), to);
}

TEST(WebMessages, DataMustCarryTheRelaysValues) {
  struct Case {
    std::string message;
    bool same;
  };
  const Case cases[] = {
      {kData, true},
      {Replace(kData, R"("oilTemp":90.5)", R"("oilTemp":90.50)"), true},
      {Replace(kData, R"("oilTemp":90.5)", R"("oilTemp":90.51)"), false},
      {Replace(kData, R"("lap":417)", R"("lap":418)"), false},
      {Replace(kData, R"("rpm":6543,)", ""), false},
      {Replace(kData, R"("onPitRoad":true)", R"("onPitRoad":1)"), false},
      {Replace(kData, R"("isOnTrack":false)", R"("isOnTrack":true)"), false},
      {Replace(kData, R"("gear":3)", R"("gear":"3")"), false},
      {Replace(kData, R"("type":"data")", R"("type":"session")"), false},
      {Replace(kData, "}", ""), false},
  };
  for (const Case& c : cases) EXPECT_EQ(bench::SameValues(c.message, kPacket), c.same) << c.message;

  // What the relay prints as nan or inf is null.
  const std::string nan = Replace(Replace(kPacket, "90.50", "nan"), "1800.00", "-inf");
  EXPECT_TRUE(bench::SameValues(Replace(Replace(kData, "90.5", "null"), "1800", "null"), nan));
  EXPECT_FALSE(bench::SameValues(kData, nan));
}

TEST(WebMessages, LapFindsTheRow) {
  struct Case {
    std::string message;
    std::int64_t lap;
  };
  const Case cases[] = {
      {kData, 417},
      {R"({"lapDist":5.0,"lap": 12})", 12},
      {R"({"lap":2147483647,"x":1})", 2147483647},
      {R"({"lap":null})", -1},
      {R"({"lap":-3,})", -1},
      {R"({"lap":12)", -1},
      {R"({"type":"status","relay":"offline"})", -1},
  };
  for (const Case& c : cases) EXPECT_EQ(bench::LapOf(c.message), c.lap) << c.message;
}

TEST(WebMessages, ControlMessages) {
  using bench::WebKind;
  struct Case {
    std::string message;
    WebKind kind;
  };
  const std::string session =
      R"({"type":"session","firstRpm":5900,"lastRpm":7400,"shiftRpm":7200,"blinkRpm":7600,)"
      R"("carPath":"porsche992rgt3"})";
  const Case cases[] = {
      {session, WebKind::kSession},
      {std::string(session).replace(session.find("7200"), 4, "7201"), WebKind::kDamaged},
      {std::string(session).replace(session.find("992"), 3, "911"), WebKind::kDamaged},
      {R"({"type":"status","relay":"connected"})", WebKind::kConnected},
      {R"({"type":"status","relay":"offline"})", WebKind::kOffline},
      {R"({"type":"status","relay":"maybe"})", WebKind::kDamaged},
      {R"({"type":"other"})", WebKind::kDamaged},
      {"not json", WebKind::kDamaged},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(bench::CheckControl(c.message, kSessionInfo), c.kind) << c.message;
  }
}

}  // namespace
