// The web benchmark's message checks: a check that let a wrong value through
// would report damaged messages as delivered, and a lap or tick scan that
// misread the row would time messages against the wrong publish.
#include "web_messages.h"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "feed.h"
#include "relay-web/variables.h"
#include "relay-web/web_feed.h"

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
      {Replace(kData, R"("raceLaps":3)", R"("raceLaps":4)"), false},
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

TEST(WebMessages, StampAndTickFindTheRow) {
  struct Case {
    std::string message;
    std::int64_t stamp, tick;
  };
  const Case cases[] = {
      {kData, 3, -1},
      {R"({"lap":5,"raceLaps": 12})", 12, -1},
      {R"({"raceLaps":2147483647,"x":1})", 2147483647, -1},
      {R"({"raceLaps":null})", -1, -1},
      {R"({"raceLaps":-3,})", -1, -1},
      {R"({"raceLaps":12)", -1, -1},
      {R"({"type":"status","relay":"offline"})", -1, -1},
      // A vars message's row is its tick, whatever its values hold.
      {R"({"type":"vars","tick":88,"values":{"Lap":87}})", -1, 88},
      {R"({"type":"vars","values":{"tick":87},"tick":88})", -1, 87},
      {R"({"type":"data","tick":88})", -1, -1},
      {R"({"type":"vars","tick":"88"})", -1, -1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(bench::StampOf(c.message), c.stamp) << c.message;
    EXPECT_EQ(bench::VarsTickOf(c.message), c.tick) << c.message;
  }
}

// One variable of each type and an array, with values whose JSON is known.
std::vector<publisher::Variable> SmallVariables() {
  using T = publisher::ValueType;
  return publisher::PackedLayout({{"Byte", T::kChar},
                                  {"Flag", T::kBool},
                                  {"Gear", T::kInt},
                                  {"Bits", T::kBitField},
                                  {"Speed", T::kFloat},
                                  {"Time", T::kDouble},
                                  {"Arr", T::kFloat, 3}},
                                 1, 0)
      .variables;
}

std::vector<std::uint8_t> SmallRow(const std::vector<publisher::Variable>& v) {
  std::vector<std::uint8_t> row(64, 0);
  const auto put = [&](const publisher::Variable& variable, int index, auto value) {
    std::memcpy(row.data() + variable.offset + index * sizeof value, &value, sizeof value);
  };
  put(v[0], 0, std::uint8_t{200});
  put(v[1], 0, std::uint8_t{1});
  put(v[2], 0, std::int32_t{-1});
  put(v[3], 0, std::uint32_t{0x80000001u});
  put(v[4], 0, 0.3f);
  put(v[5], 0, 1234.5678);
  put(v[6], 0, 1.5f);
  put(v[6], 1, -2.25f);
  put(v[6], 2, 1e-7f);
  return row;
}

TEST(WebMessages, VarsMustCarryEveryValueOfTheRow) {
  const std::vector<publisher::Variable> variables = SmallVariables();
  const std::vector<std::uint8_t> row = SmallRow(variables);
  const std::string values =
      R"("Byte":200,"Flag":true,"Gear":-1,"Bits":2147483649,"Speed":0.3,"Time":1234.5678,)"
      R"("Arr":[1.5,-2.25,1e-07])";
  const std::string vars = R"({"type":"vars","tick":417,"values":{)" + values + "}}";
  struct Case {
    std::string message;
    bool unknownAllowed;
    bool same;
  };
  const Case cases[] = {
      {vars, false, true},
      // A float is read as a float: more digits of the same float are the
      // same value, the next float is not.
      {Replace(vars, "0.3,", "0.300000011920929,"), false, true},
      {Replace(vars, "0.3,", "0.3000001,"), false, false},
      {Replace(vars, "1234.5678", "1234.5678000000003"), false, false},
      {Replace(vars, "[1.5,", "[1.5e0,"), false, true},
      {Replace(vars, "\"Gear\":-1", "\"Gear\":-1.0"), false, false},
      {Replace(vars, "true", "1"), false, false},
      {Replace(vars, "2147483649", "-2147483647"), false, false},
      // Every variable once, in any order, and nothing else.
      {Replace(vars, "\"Byte\":200,", ""), false, false},
      {Replace(vars, "\"Byte\":200,", "\"Byte\":200,\"Byte\":200,"), false, false},
      {Replace(vars, "\"Byte\":200,", "\"Other\":1,\"Byte\":200,"), false, false},
      {Replace(vars, "\"Byte\":200,\"Flag\":true,", "\"Flag\":true,\"Byte\":200,"), false, true},
      {Replace(vars, "-2.25,1e-07", "-2.25"), false, false},
      {Replace(vars, "1e-07]", "1e-07,0]"), false, false},
      {Replace(vars, "\"Speed\":0.3", "\"Speed\":[0.3]"), false, false},
      {Replace(vars, "\"Speed\":0.3", "\"Speed\":null"), false, false},
      // Its own row, its type, the names it lacks only where allowed.
      {Replace(vars, "417", "418"), false, false},
      {Replace(vars, "vars", "data"), false, false},
      {Replace(vars, "}}", "},\"unknown\":[\"Nope\"]}"), true, true},
      {Replace(vars, "}}", "},\"unknown\":[\"Nope\"]}"), false, false},
      {Replace(vars, "}}", "},\"extra\":1}"), true, false},
      {vars.substr(0, vars.size() - 1), false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(bench::SameVars(c.message, 417, variables, row, c.unknownAllowed), c.same)
        << c.message;
  }
}

// relay-web's own vars message of a benchmark row of the real-size layout:
// what the benchmark checks it against must agree, value by value, and a
// row's message is no other row's.
TEST(WebMessages, VarsAgreeWithRelayWebsOwnMessage) {
  const publisher::Layout layout = publisher::DefaultLayout();
  web::Directory directory;
  for (const publisher::Variable& v : layout.variables) {
    directory.variables.push_back(
        {v.name, v.type, v.count, v.offset, "", "", web::JsonString(v.name) + ":"});
  }
  std::vector<int> every(directory.variables.size());
  std::iota(every.begin(), every.end(), 0);
  const relay::VariableOffsets offsets = bench::RelayedOffsets(layout);
  std::vector<std::uint8_t> row(static_cast<std::size_t>(layout.rowLength), 0);
  std::string message;
  for (const std::int32_t tick : {1, 4711, 2147483647}) {
    bench::FillEveryValue(row, layout, offsets, tick);
    web::VarsJson(tick, row, directory, every, "", message);
    EXPECT_TRUE(bench::SameVars(message, tick, layout.variables, row, false)) << tick;
    bench::FillEveryValue(row, layout, offsets, tick - 1);
    EXPECT_FALSE(bench::SameVars(message, tick, layout.variables, row, false)) << tick;
  }
}

TEST(WebMessages, ControlMessages) {
  using bench::WebKind;
  struct Case {
    std::string message;
    WebKind kind;
    bench::FieldWant field = {};
  };
  // Two cars on track, and car 7 with four on either side.
  const std::string standings =
      R"({"type":"standings","sessionTime":1.5,"sessionType":"Race","cars":[)"
      R"({"carIdx":3,"position":1,"gapToLeader":0,"interval":0,"inWorld":true},)"
      R"({"carIdx":5,"position":2,"gapToLeader":1.2,"interval":1.2,"inWorld":true}]})";
  std::string relative = R"({"type":"relative","sessionTime":1.5,"cars":[)";
  for (int car = 3; car <= 11; ++car) {
    relative += R"({"carIdx":)" + std::to_string(car) + R"(,"gap":)" + std::to_string(7 - car) +
                R"(,"isPlayer":)" + (car == 7 ? "true" : "false") + (car == 11 ? "}]}" : "},");
  }
  const bench::FieldWant two{2, true}, nine{9, true};
  const std::string session =
      R"({"type":"session","firstRpm":5900,"lastRpm":7400,"shiftRpm":7200,"blinkRpm":7600,)"
      R"("carPath":"porsche992rgt3"})";
  const Case cases[] = {
      {session, WebKind::kSession},
      {std::string(session).replace(session.find("7200"), 4, "7201"), WebKind::kDamaged},
      {std::string(session).replace(session.find("992"), 3, "911"), WebKind::kDamaged},
      {R"({"type":"status","source":"relay","relay":"connected"})", WebKind::kConnected},
      {R"({"type":"status","source":"relay","relay":"offline"})", WebKind::kOffline},
      {R"({"type":"status","source":"relay","relay":"maybe"})", WebKind::kDamaged},
      {R"({"type":"status","relay":"connected"})", WebKind::kDamaged},
      {R"({"type":"status","source":"simulator","simulator":"running"})", WebKind::kConnected},
      {R"({"type":"status","source":"simulator","simulator":"not running"})", WebKind::kOffline},
      {R"({"type":"status","source":"simulator","relay":"connected"})", WebKind::kDamaged},
      {R"({"type":"sessionText","update":3})", WebKind::kSessionText},
      {R"({"type":"sessionText","update":"3"})", WebKind::kDamaged},
      {R"({"type":"strategy","fuelPerLap":3.3,"fuelPerLapMax":null,"lapsCounted":1,)"
       R"("lastLapFuel":3.3,"lastLapTime":118.2,"avgLapTime":118.2,"tank":100,"lapsOfFuel":4,)"
       R"("lapsToGo":17.5,"fuelToFinish":59.4,"fuelToAdd":46.2,"stops":1,"fuelMargin":0.5})",
       WebKind::kStrategy},
      {R"({"type":"strategy","fuelPerLap":"3.3","lapsCounted":1,"fuelMargin":0.5})",
       WebKind::kDamaged},
      {standings, WebKind::kStandings, two},
      {standings, WebKind::kDamaged, {3, true}},
      {Replace(standings, R"("position":2)", R"("position":3)"), WebKind::kDamaged, two},
      {Replace(standings, R"("carIdx":5)", R"("carIdx":3)"), WebKind::kDamaged, two},
      {Replace(standings, R"(1.2,"inWorld":true)", R"(null,"inWorld":false)"), WebKind::kDamaged,
       two},
      {Replace(standings, R"(1.2,"inWorld":true)", R"(null,"inWorld":false)"),
       WebKind::kStandings,
       {2, false}},
      {relative, WebKind::kRelative, nine},
      {Replace(relative, R"("gap":0)", R"("gap":0.1)"), WebKind::kDamaged, nine},
      {Replace(relative, R"("carIdx":4,"gap":3,"isPlayer":false)",
               R"("carIdx":4,"gap":3,"isPlayer":true)"),
       WebKind::kDamaged, nine},
      {R"({"type":"relative","sessionTime":1.5,"cars":[]})", WebKind::kRelative},
      {R"({"type":"relative","sessionTime":1.5,"cars":[]})", WebKind::kDamaged, nine},
      {R"({"type":"other"})", WebKind::kDamaged},
      {"not json", WebKind::kDamaged},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(bench::CheckControl(c.message, kSessionInfo, c.field), c.kind) << c.message;
  }
}

}  // namespace
