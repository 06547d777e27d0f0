#include "support/tick_rows.h"

namespace testsupport {

namespace {

// Keeps every float below 2^17, exact with two bits of fraction to spare.
std::int32_t Small(std::int32_t tick) { return tick % 100000; }

float Quarter(std::int32_t n) { return static_cast<float>(n % 4) * 0.25f; }

std::string QuarterText(std::int32_t n) {
  static const char* const kTexts[] = {"0.00", "0.25", "0.50", "0.75"};
  return kTexts[n % 4];
}

}  // namespace

void FillTickRow(std::span<std::uint8_t> row, const publisher::Layout& layout, std::int32_t tick,
                 std::int32_t generation) {
  const auto v = static_cast<float>(Small(tick));
  publisher::SetFloat(row, layout, "OilTemp", v + 0.25f);
  publisher::SetFloat(row, layout, "WaterTemp", v + 0.5f);
  publisher::SetInt(row, layout, "Gear", tick % 8 - 1);
  publisher::SetFloat(row, layout, "FuelLevel", v + 0.75f);
  publisher::SetFloat(row, layout, "RPM", v);
  publisher::SetFloat(row, layout, "LapDistPct", Quarter(tick));
  publisher::SetFloat(row, layout, "FuelLevelPct", Quarter(tick + 1));
  publisher::SetFloat(row, layout, "LapDist", v);
  publisher::SetInt(row, layout, "Lap", tick);
  publisher::SetInt(row, layout, "RaceLaps", generation);
  publisher::SetInt(row, layout, "SessionLapsRemain", -tick);
  publisher::SetDouble(row, layout, "SessionTimeRemain", tick + 0.5);
  publisher::SetBool(row, layout, "OnPitRoad", (tick & 1) != 0);
  publisher::SetFloat(row, layout, "Throttle", Quarter(tick + 2));
  publisher::SetBool(row, layout, "IsOnTrack", ((tick >> 1) & 1) != 0);
}

std::string TickPacket(std::int32_t tick, std::int32_t generation) {
  const std::string v = std::to_string(Small(tick));
  return "DATA_PACKET;" + v + ".25;" + v + ".50;" + std::to_string(tick % 8 - 1) + ";" + v +
         ".75;" + v + ";" + QuarterText(tick) + ";" + QuarterText(tick + 1) + ";" + v + ".00;" +
         std::to_string(tick) + ";" + std::to_string(generation) + ";" + std::to_string(-tick) +
         ";" + std::to_string(tick) + ".50;" + std::to_string(tick & 1) + ";" +
         QuarterText(tick + 2) + ";" + std::to_string((tick >> 1) & 1) + ";";
}

}  // namespace testsupport
