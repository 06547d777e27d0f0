// Checks one framed message against the relay's wire format and reads its
// values: a DATA_PACKET has sixteen ";"-separated fields (the keyword and
// fifteen values) and ends in ";"; a SESSION_INFO has six: the keyword, four
// whole engine speeds and the car path, which runs to the end of the message.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace stream {

// The fifteen values of a DATA_PACKET, in field order.
struct DataPacket {
  double oilTemp = 0;
  double waterTemp = 0;
  std::int32_t gear = 0;
  double fuelLevel = 0;
  std::int32_t rpm = 0;
  double lapDistPct = 0;
  double fuelLevelPct = 0;
  double lapDist = 0;
  std::int32_t lap = 0;
  std::int32_t raceLaps = 0;
  std::int32_t sessionLapsRemain = 0;
  double sessionTimeRemain = 0;
  std::int32_t onPitRoad = 0;
  double throttle = 0;
  std::int32_t isOnTrack = 0;
};

struct SessionInfo {
  std::int32_t firstRpm = 0;
  std::int32_t lastRpm = 0;
  std::int32_t shiftRpm = 0;
  std::int32_t blinkRpm = 0;
  std::string carPath;
};

enum class MessageKind { kMalformed, kDataPacket, kSessionInfo };

struct ParsedMessage {
  MessageKind kind = MessageKind::kMalformed;
  DataPacket data;
  SessionInfo session;
  std::string problem;  // why a malformed message was rejected
};

// Integer fields: an optional "-" and decimal digits, within 32 bits. Value
// fields: an optional "-", digits, "." and exactly two digits, or "nan",
// "inf", "-inf" (how the relay spells values that are not finite).
ParsedMessage ParseMessage(std::string_view message);

}  // namespace stream
