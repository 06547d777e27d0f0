// JSON texts of the feed.
#include "relay-web/web_feed.h"

#include <array>
#include <charconv>
#include <nlohmann/json.hpp>

#include "relay-web/variables.h"

namespace web {

namespace {

enum class Kind { kNumber, kFlag };

struct Field {
  std::string_view key;  // with its quotes and colon, ready to append
  Kind kind;
};

// In the order of the DATA_PACKET's fields 2 to 16.
constexpr std::array<Field, 15> kDataFields = {{
    {"\"oilTemp\":", Kind::kNumber},
    {"\"waterTemp\":", Kind::kNumber},
    {"\"gear\":", Kind::kNumber},
    {"\"fuelLevel\":", Kind::kNumber},
    {"\"rpm\":", Kind::kNumber},
    {"\"lapDistPct\":", Kind::kNumber},
    {"\"fuelLevelPct\":", Kind::kNumber},
    {"\"lapDist\":", Kind::kNumber},
    {"\"lap\":", Kind::kNumber},
    {"\"raceLaps\":", Kind::kNumber},
    {"\"sessionLapsRemain\":", Kind::kNumber},
    {"\"sessionTimeRemain\":", Kind::kNumber},
    {"\"onPitRoad\":", Kind::kFlag},
    {"\"throttle\":", Kind::kNumber},
    {"\"isOnTrack\":", Kind::kFlag},
}};

// A checked number token as JSON: the same digits, except that JSON allows no
// leading zeros ("007" -> "7", "-00.50" -> "-0.50"); nan and infinities have
// no JSON spelling and become null.
void AppendNumber(std::string_view token, std::string& json) {
  if (token == "nan" || token == "inf" || token == "-inf") {
    json += "null";
    return;
  }
  if (token.starts_with('-')) {
    json += '-';
    token.remove_prefix(1);
  }
  while (token.size() > 1 && token[0] == '0' && token[1] != '.') token.remove_prefix(1);
  json += token;
}

// A whole number token ("0", "00", "-0", "12") that is zero.
bool IsZero(std::string_view token) {
  if (token.starts_with('-')) token.remove_prefix(1);
  return token.find_first_not_of('0') == std::string_view::npos;
}

// The length of the valid UTF-8 sequence at the start of `text`, or 0.
std::size_t Utf8Sequence(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  unsigned lowest = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, lowest = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, lowest = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, lowest = 0x10000;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  unsigned code = lead & (0x3Fu >> (length - 1));
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    code = code << 6 | (byte(i) & 0x3Fu);
  }
  // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8.
  if (code < lowest || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return 0;
  return length;
}

}  // namespace

void DataJson(std::string_view message, std::string& json) {
  json.clear();
  json += "{\"type\":\"data\"";
  message.remove_prefix(message.find(';') + 1);  // the keyword
  for (const Field& field : kDataFields) {
    const std::size_t end = message.find(';');
    const std::string_view token = message.substr(0, end);
    message.remove_prefix(end + 1);
    json += ',';
    json += field.key;
    if (field.kind == Kind::kFlag) {
      // The relay writes its flags as 0 or 1; any other spelling of zero is
      // false too.
      json += IsZero(token) ? "false" : "true";
    } else {
      AppendNumber(token, json);
    }
  }
  json += '}';
}

std::string SessionJson(const stream::SessionInfo& session) {
  // ordered_json keeps the keys in the order given here.
  const nlohmann::ordered_json object = {
      {"type", "session"},
      {"firstRpm", session.firstRpm},
      {"lastRpm", session.lastRpm},
      {"shiftRpm", session.shiftRpm},
      {"blinkRpm", session.blinkRpm},
      {"carPath", session.carPath},
  };
  return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::string StatusJson(Source source, bool present) {
  const char* name = source == Source::kRelay ? "relay" : "simulator";
  const char* state = source == Source::kRelay ? (present ? "connected" : "offline")
                                               : (present ? "running" : "not running");
  const nlohmann::ordered_json object = {{"type", "status"}, {"source", name}, {name, state}};
  return object.dump();
}

std::string SessionTextJson(std::int64_t update) {
  return "{\"type\":\"sessionText\",\"update\":" + std::to_string(update) + "}";
}

std::string ToUtf8(std::string_view text) {
  std::string utf8;
  utf8.reserve(text.size());
  while (!text.empty()) {
    const auto byte = static_cast<unsigned char>(text[0]);
    std::size_t length = byte < 0x80 ? 1 : Utf8Sequence(text);
    if (length > 0) {
      utf8.append(text.substr(0, length));
    } else {
      utf8 += static_cast<char>(0xC0 | byte >> 6);
      utf8 += static_cast<char>(0x80 | (byte & 0x3F));
      length = 1;
    }
    text.remove_prefix(length);
  }
  return utf8;
}

std::string JsonString(std::string_view text) { return nlohmann::json(ToUtf8(text)).dump(); }

std::string DirectoryJson(const Directory& directory) {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const Variable& v : directory.variables) {
    list.push_back({{"name", ToUtf8(v.name)},
                    {"type", TypeName(v.type)},
                    {"count", v.count},
                    {"unit", ToUtf8(v.unit)},
                    {"description", ToUtf8(v.description)}});
  }
  return list.dump();
}

namespace {

void AppendValues(std::span<const std::uint8_t> row, const Directory& directory,
                  std::span<const int> variables, std::string& json) {
  json += '{';
  bool first = true;
  for (const int index : variables) {
    const Variable& variable = directory.variables[static_cast<std::size_t>(index)];
    if (!first) json += ',';
    first = false;
    json += variable.key;
    AppendValue(row, variable, json);
  }
  json += '}';
}

}  // namespace

void VarsJson(std::int32_t tick, std::span<const std::uint8_t> row, const Directory& directory,
              std::span<const int> variables, std::string_view unknown, std::string& json) {
  json.clear();
  json += "{\"type\":\"vars\",\"tick\":";
  char number[16];
  json.append(number, std::to_chars(number, number + sizeof number, tick).ptr);
  json += ",\"values\":";
  AppendValues(row, directory, variables, json);
  if (!unknown.empty()) {
    json += ',';
    json += unknown;
  }
  json += '}';
}

std::string UnknownJson(std::span<const std::string> names) {
  if (names.empty()) return "";
  std::string json = "\"unknown\":[";
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) json += ',';
    json += JsonString(names[i]);
  }
  return json + ']';
}

std::string ValuesJson(std::span<const std::uint8_t> row, const Directory& directory,
                       std::span<const int> variables) {
  std::string json;
  AppendValues(row, directory, variables, json);
  return json;
}

std::string StrategyJson(const strategy::Figures& f) {
  const auto value = [](const auto& figure) {
    return figure ? nlohmann::ordered_json(*figure) : nlohmann::ordered_json(nullptr);
  };
  const nlohmann::ordered_json object = {
      {"type", "strategy"},
      {"fuelPerLap", value(f.fuelPerLap)},
      {"fuelPerLapMax", value(f.fuelPerLapMax)},
      {"lapsCounted", f.lapsCounted},
      {"lastLapFuel", value(f.lastLapFuel)},
      {"lastLapTime", value(f.lastLapTime)},
      {"avgLapTime", value(f.avgLapTime)},
      {"tank", value(f.tank)},
      {"lapsOfFuel", value(f.lapsOfFuel)},
      {"lapsToGo", value(f.lapsToGo)},
      {"fuelToFinish", value(f.fuelToFinish)},
      {"fuelToAdd", value(f.fuelToAdd)},
      {"stops", value(f.stops)},
      {"fuelMargin", f.fuelMargin},
  };
  return object.dump();
}

std::string LatestJson(std::string_view status, std::string_view session, std::string_view data,
                       std::string_view strategy, std::string_view values) {
  // The parts are JSON texts already; joining them keeps the relay's digits,
  // which a round trip through a parser would not.
  const auto orNull = [](std::string_view part) { return part.empty() ? "null" : part; };
  std::string json = "{\"status\":";
  json += status;
  json += ",\"session\":";
  json += orNull(session);
  json += ",\"data\":";
  json += orNull(data);
  json += ",\"strategy\":";
  json += orNull(strategy);
  if (!values.empty()) {
    json += ",\"vars\":";
    json += values;
  }
  json += '}';
  return json;
}

}  // namespace web
