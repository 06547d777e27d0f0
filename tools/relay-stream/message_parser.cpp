// Field-by-field checks of the relay's two messages.
#include "relay-stream/message_parser.h"

#include <array>
#include <charconv>
#include <limits>
#include <string_view>

#include "relay-stream/stream_framer.h"

namespace stream {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool ParseInt(std::string_view text, std::int32_t* value) {
  const bool negative = text.starts_with('-');
  if (negative) text.remove_prefix(1);
  if (text.empty() || text.size() > 10) return false;
  std::int64_t magnitude = 0;
  for (char c : text) {
    if (!IsDigit(c)) return false;
    magnitude = magnitude * 10 + (c - '0');
  }
  const std::int64_t result = negative ? -magnitude : magnitude;
  if (result < std::numeric_limits<std::int32_t>::min() ||
      result > std::numeric_limits<std::int32_t>::max()) {
    return false;
  }
  *value = static_cast<std::int32_t>(result);
  return true;
}

// "%.2f" output: digits, ".", two digits; or the non-finite spellings.
bool ParseTwoDecimals(std::string_view text, double* value) {
  if (text == "nan") {
    *value = std::numeric_limits<double>::quiet_NaN();
    return true;
  }
  if (text == "inf" || text == "-inf") {
    *value = text[0] == '-' ? -std::numeric_limits<double>::infinity()
                            : std::numeric_limits<double>::infinity();
    return true;
  }
  const std::string_view digits = text.starts_with('-') ? text.substr(1) : text;
  const std::size_t point = digits.find('.');
  if (point == std::string_view::npos || point == 0 || digits.size() - point != 3) return false;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i != point && !IsDigit(digits[i])) return false;
  }
  // Read correctly rounded, as a JSON parser reads the same digits. A sum
  // of digits overflows on the way for the relay's largest values (a double
  // near its maximum has 309 digits before the point); digits beyond any
  // double are no value the relay sends.
  const auto read = std::from_chars(text.data(), text.data() + text.size(), *value);
  return read.ec == std::errc() && read.ptr == text.data() + text.size();
}

// A DATA_PACKET's ";"-separated fields (a trailing ";" gives a last, empty
// one): views of the first seventeen, enough for a good packet, and the count
// of all of them. Fixed room, so checking a packet allocates nothing.
struct DataFields {
  std::array<std::string_view, 17> view;
  std::size_t count = 0;
};

DataFields SplitFields(std::string_view message) {
  DataFields fields;
  for (;;) {
    const std::size_t end = message.find(';');
    if (fields.count < fields.view.size()) fields.view[fields.count] = message.substr(0, end);
    ++fields.count;
    if (end == std::string_view::npos) return fields;
    message.remove_prefix(end + 1);
  }
}

ParsedMessage Malformed(std::string problem) {
  ParsedMessage parsed;
  parsed.problem = std::move(problem);
  return parsed;
}

std::string FieldProblem(std::size_t field, std::string_view text, const char* wanted) {
  return "field " + std::to_string(field + 1) + " \"" + std::string(text) + "\" is not " + wanted;
}

ParsedMessage ParseDataPacket(std::string_view message) {
  const DataFields split = SplitFields(message);
  const std::array<std::string_view, 17>& fields = split.view;
  // Sixteen fields, each followed by ";", leave an empty seventeenth.
  const bool finalSemicolon = message.ends_with(';');
  if (split.count != 17 || !finalSemicolon) {
    const std::size_t count = finalSemicolon ? split.count - 1 : split.count;
    return Malformed("DATA_PACKET with " + std::to_string(count) + " fields" +
                     (finalSemicolon ? "" : " and no final \";\"") + ", not 16");
  }
  ParsedMessage parsed;
  DataPacket& d = parsed.data;
  std::array<std::int32_t*, 17> ints{};
  std::array<double*, 17> values{};
  values[1] = &d.oilTemp, values[2] = &d.waterTemp, ints[3] = &d.gear;
  values[4] = &d.fuelLevel, ints[5] = &d.rpm, values[6] = &d.lapDistPct;
  values[7] = &d.fuelLevelPct, values[8] = &d.lapDist, ints[9] = &d.lap;
  ints[10] = &d.raceLaps, ints[11] = &d.sessionLapsRemain, values[12] = &d.sessionTimeRemain;
  ints[13] = &d.onPitRoad, values[14] = &d.throttle, ints[15] = &d.isOnTrack;
  for (std::size_t i = 1; i < 16; ++i) {
    if (ints[i] != nullptr && !ParseInt(fields[i], ints[i])) {
      return Malformed(FieldProblem(i, fields[i], "a whole number"));
    }
    if (values[i] != nullptr && !ParseTwoDecimals(fields[i], values[i])) {
      return Malformed(FieldProblem(i, fields[i], "a number with two decimals"));
    }
  }
  parsed.kind = MessageKind::kDataPacket;
  return parsed;
}

ParsedMessage ParseSessionInfo(std::string_view message) {
  // The car path is free text and the last field: everything after the
  // fifth ";" belongs to it.
  std::array<std::string_view, 5> fields;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const std::size_t end = message.find(';');
    if (end == std::string_view::npos) {
      return Malformed("SESSION_INFO with " + std::to_string(i + 1) + " fields, not 6");
    }
    fields[i] = message.substr(0, end);
    message.remove_prefix(end + 1);
  }
  ParsedMessage parsed;
  SessionInfo& s = parsed.session;
  std::array<std::int32_t*, 5> ints = {nullptr, &s.firstRpm, &s.lastRpm, &s.shiftRpm, &s.blinkRpm};
  for (std::size_t i = 1; i < fields.size(); ++i) {
    if (!ParseInt(fields[i], ints[i])) {
      return Malformed(FieldProblem(i, fields[i], "a whole number"));
    }
  }
  s.carPath = std::string(message);
  parsed.kind = MessageKind::kSessionInfo;
  return parsed;
}

}  // namespace

ParsedMessage ParseMessage(std::string_view message) {
  const std::size_t keywordEnd = message.find(';');
  const std::string_view keyword = message.substr(0, keywordEnd);
  if (keyword == kDataPacketKeyword) return ParseDataPacket(message);
  if (keyword == kSessionInfoKeyword) return ParseSessionInfo(message);
  return Malformed("does not begin with DATA_PACKET; or SESSION_INFO;");
}

}  // namespace stream
