// The two wire messages, byte for byte. The same table runs on every platform,
// so it also holds the Windows build to the Linux bytes.
#include "relay/messages.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

namespace {

using relay::VariableOffsets;

// A row with the fifteen values packed back to back from offset 3, so every
// multi-byte value sits at an unaligned offset.
struct Sample {
  float oilTemp = 0, waterTemp = 0;
  std::int32_t gear = 0;
  float fuelLevel = 0, rpm = 0, lapDistPct = 0, fuelLevelPct = 0, lapDist = 0;
  std::int32_t lap = 0, raceLaps = 0, sessionLapsRemain = 0;
  double sessionTimeRemain = 0;
  std::uint8_t onPitRoad = 0;
  float throttle = 0;
  std::uint8_t isOnTrack = 0;
};

struct PackedRow {
  std::vector<std::uint8_t> bytes;
  VariableOffsets offsets{};
};

PackedRow Pack(const Sample& s) {
  PackedRow row;
  std::size_t at = 3;
  std::size_t index = 0;
  auto put = [&](const auto& value) {
    row.offsets[index++] = static_cast<std::int32_t>(at);
    row.bytes.resize(at + sizeof value);
    std::memcpy(row.bytes.data() + at, &value, sizeof value);
    at += sizeof value;
  };
  put(s.oilTemp), put(s.waterTemp), put(s.gear), put(s.fuelLevel), put(s.rpm);
  put(s.lapDistPct), put(s.fuelLevelPct), put(s.lapDist), put(s.lap), put(s.raceLaps);
  put(s.sessionLapsRemain), put(s.sessionTimeRemain), put(s.onPitRoad), put(s.throttle);
  put(s.isOnTrack);
  return row;
}

std::string DataPacket(const PackedRow& row) {
  char buffer[relay::kPacketBufferSize];
  const std::size_t length = relay::FormatDataPacket(row.bytes, row.offsets, buffer);
  return std::string(buffer, length);
}

constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kFloatMax = std::numeric_limits<float>::max();
constexpr double kDoubleMax = std::numeric_limits<double>::max();

TEST(FormatDataPacket, WritesEveryFieldInOrder) {
  struct Case {
    const char* name;
    Sample sample;
    std::string want;
  } cases[] = {
      {"all zero", {}, "DATA_PACKET;0.00;0.00;0;0.00;0;0.00;0.00;0.00;0;0;0;0.00;0;0.00;0;"},
      {"a lap in progress",
       {90.5f, 85.25f, 3, 42.7f, 6543.9f, 0.5f, 0.38f, 1234.5f, 4, 3, 12, 1799.999, 1, 1.0f, 1},
       "DATA_PACKET;90.50;85.25;3;42.70;6543;0.50;0.38;1234.50;4;3;12;1800.00;1;1.00;1;"},
      {"exact ties round to even",
       {90.125f, 0.375f, -1, 2.5f, 0, 0.625f, 0, 0, 0, 0, 0, 0.125},
       "DATA_PACKET;90.12;0.38;-1;2.50;0;0.62;0.00;0.00;0;0;0;0.12;0;0.00;0;"},
      {"engine speed truncates toward zero",
       {0, 0, 0, 0, 651.9f},
       "DATA_PACKET;0.00;0.00;0;0.00;651;0.00;0.00;0.00;0;0;0;0.00;0;0.00;0;"},
      {"negative half truncates to 0",
       {0, 0, 0, 0, -0.5f},
       "DATA_PACKET;0.00;0.00;0;0.00;0;0.00;0.00;0.00;0;0;0;0.00;0;0.00;0;"},
      {"non-numbers",
       {kNan, -kNan, 0, kInf, kNan, -kInf, 0, 0, 0, 0, 0, -kInf},
       "DATA_PACKET;nan;nan;0;inf;-2147483648;-inf;0.00;0.00;0;0;0;-inf;0;0.00;0;"},
      {"engine speed out of range",
       {0, 0, 0, 0, 3e9f},
       "DATA_PACKET;0.00;0.00;0;0.00;-2147483648;0.00;0.00;0.00;0;0;0;0.00;0;0.00;0;"},
      {"flags print as their byte",
       {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7, 0, 255},
       "DATA_PACKET;0.00;0.00;0;0.00;0;0.00;0.00;0.00;0;0;0;0.00;7;0.00;255;"},
      {"integer extremes",
       {0, 0, -2147483647 - 1, 0, 0, 0, 0, 0, 2147483647, -1, 32767},
       "DATA_PACKET;0.00;0.00;-2147483648;0.00;0;0.00;0.00;0.00;2147483647;-1;32767;0.00;0;0.00;"
       "0;"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DataPacket(Pack(c.sample)), c.want) << c.name;
  }
}

TEST(FormatDataPacket, TheLongestMessageFitsWhole) {
  Sample s;
  s.oilTemp = s.waterTemp = s.fuelLevel = s.rpm = s.lapDistPct = s.fuelLevelPct = s.lapDist =
      s.throttle = -kFloatMax;
  s.gear = s.lap = s.raceLaps = s.sessionLapsRemain = -2147483647 - 1;
  s.sessionTimeRemain = -kDoubleMax;
  s.onPitRoad = s.isOnTrack = 255;
  const std::string packet = DataPacket(Pack(s));
  const std::string floatText = "-340282346638528859811704183484516925440.00";
  EXPECT_EQ(packet.rfind("DATA_PACKET;" + floatText + ";" + floatText + ";-2147483648;", 0), 0u);
  // 7 floats of 43 characters, a double of 313, 5 integers of 11, 2 flags of
  // 3, the keyword and 16 separators.
  EXPECT_EQ(packet.size(), 702u);
  EXPECT_EQ(packet.back(), ';');
}

TEST(FormatDataPacket, UnknownAndOutOfRowOffsetsSendZero) {
  Sample s{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 1, 14, 1};
  PackedRow row = Pack(s);
  row.offsets[0] = -1;                                               // not in the directory
  row.offsets[2] = static_cast<std::int32_t>(row.bytes.size()) - 2;  // straddles the end
  row.offsets[11] = static_cast<std::int32_t>(row.bytes.size());     // just past the end
  row.offsets[12] = 2147483647;
  EXPECT_EQ(DataPacket(row),
            "DATA_PACKET;0.00;2.00;0;4.00;5;6.00;7.00;8.00;9;10;11;0.00;0;14.00;1;");
}

TEST(FormatSessionInfo, WritesThresholdsAndPath) {
  struct Case {
    const char* name;
    float first, last, shift, blink;
    std::string path;
    std::string want;
  } cases[] = {
      {"nothing found yet", 0, 0, 0, 0, "", "SESSION_INFO;0;0;0;0;"},
      {"thresholds in order first, last, shift, blink", 5900, 7400, 7200, 7600, "porsche992rgt3",
       "SESSION_INFO;5900;7400;7200;7600;porsche992rgt3"},
      {"fractions truncate", 651.9f, -0.5f, -651.9f, 1e-3f, "a b", "SESSION_INFO;651;0;-651;0;a b"},
      {"not a number or out of range", kNan, kInf, 3e9f, -3e9f, "x",
       "SESSION_INFO;-2147483648;-2147483648;-2147483648;-2147483648;x"},
      {"the longest message fits whole", kNan, kNan, kNan, kNan, std::string(511, 'p'),
       "SESSION_INFO;-2147483648;-2147483648;-2147483648;-2147483648;" + std::string(511, 'p')},
  };
  for (const Case& c : cases) {
    sessioninfo::CarFacts facts;
    facts.firstRpm = c.first, facts.lastRpm = c.last, facts.shiftRpm = c.shift;
    facts.blinkRpm = c.blink;
    std::snprintf(facts.carPath, sizeof facts.carPath, "%s", c.path.c_str());
    char buffer[relay::kPacketBufferSize];
    EXPECT_EQ(std::string(buffer, relay::FormatSessionInfo(facts, buffer)), c.want) << c.name;
  }
}

}  // namespace
