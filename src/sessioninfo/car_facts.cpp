// Reads the car facts with one FindValue pass per key, each from the start of
// the text. The user name and car path are looked up under the driver entry
// whose CarIdx equals the car index read first.
#include "sessioninfo/car_facts.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <limits>

#include "sessioninfo/query.h"

namespace sessioninfo {
namespace {

constexpr std::size_t kPathSize = 512;

// The C isspace set in the "C" locale.
bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Copies a found value (pointer and length into the session text) into a
// text field, cutting it so the terminator still fits.
template <std::size_t N>
void ReadText(std::string_view text, const char* path, char (&field)[N]) {
  const char* start = nullptr;
  std::int32_t length = 0;
  if (!FindValue(text, path, &start, &length)) return;
  std::size_t count = length > 0 ? static_cast<std::size_t>(length) : 0;
  if (count > N - 1) count = N - 1;
  // An empty value's start may be null or stale; it is not touched then.
  if (count > 0) std::memcpy(field, start, count);
  field[count] = '\0';
}

// The simulator writes these speeds with decimals ("7200.000"); only the
// integer part is kept.
void ReadRpm(std::string_view text, const char* path, float& field) {
  const char* start = nullptr;
  std::int32_t length = 0;
  if (FindValue(text, path, &start, &length)) {
    field = static_cast<float>(ParseInteger(start, length));
  }
}

}  // namespace

std::int32_t ParseInteger(const char* start, std::int32_t length) {
  if (start == nullptr || length <= 0) return 0;
  const char* p = start;
  const char* const end = start + length;
  while (p != end && IsSpace(*p)) ++p;
  bool negative = false;
  if (p != end && (*p == '+' || *p == '-')) {
    negative = *p == '-';
    ++p;
  }
  // atoi's result is undefined when the number does not fit; here it is
  // clamped instead. The magnitude stops growing at 2^31, which keeps the
  // accumulation in range and still lets "-2147483648" come out exact.
  constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
  std::int64_t magnitude = 0;
  for (; p != end && *p >= '0' && *p <= '9'; ++p) {
    magnitude = magnitude * 10 + (*p - '0');
    if (magnitude > kMax + 1) magnitude = kMax + 1;
  }
  if (negative) return static_cast<std::int32_t>(-magnitude);
  return static_cast<std::int32_t>(magnitude > kMax ? kMax : magnitude);
}

void ReadCarFacts(const char* sessionText, CarFacts& facts) {
  ReadCarFacts(sessionText == nullptr ? std::string_view() : std::string_view(sessionText), facts);
}

void ReadCarFacts(std::string_view sessionText, CarFacts& facts) {
  const char* start = nullptr;
  std::int32_t length = 0;
  char path[kPathSize];

  if (FindValue(sessionText, "DriverInfo:DriverCarIdx:", &start, &length)) {
    facts.carIndex = ParseInteger(start, length);
  }

  // With no car index yet (-1) no driver entry carries the selector, so the
  // name and path keep what they had.
  std::snprintf(path, sizeof path,
                "DriverInfo:Drivers:CarIdx:{%d}UserName:", static_cast<int>(facts.carIndex));
  ReadText(sessionText, path, facts.userName);

  ReadRpm(sessionText, "DriverInfo:DriverCarSLFirstRPM:", facts.firstRpm);
  ReadRpm(sessionText, "DriverInfo:DriverCarSLLastRPM:", facts.lastRpm);
  ReadRpm(sessionText, "DriverInfo:DriverCarSLShiftRPM:", facts.shiftRpm);
  ReadRpm(sessionText, "DriverInfo:DriverCarSLBlinkRPM:", facts.blinkRpm);

  std::snprintf(path, sizeof path,
                "DriverInfo:Drivers:CarIdx:{%d}CarPath:", static_cast<int>(facts.carIndex));
  ReadText(sessionText, path, facts.carPath);
}

}  // namespace sessioninfo
