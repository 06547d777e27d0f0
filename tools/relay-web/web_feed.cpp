// JSON texts of the feed.
#include "relay-web/web_feed.h"

#include <array>
#include <charconv>
#include <cmath>
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

void AppendValues(std::span<const std::uint8_t> row, const Directory& directory,
                  const VarsPlan& plan, std::string& json) {
  json += '{';
  for (std::size_t i = 0; i < plan.variables.size(); ++i) {
    const Variable& variable = directory.variables[static_cast<std::size_t>(plan.variables[i])];
    if (i > 0) json += ',';
    json += variable.key;
    AppendValue(row, variable, plan.values[i], json);
  }
  json += '}';
}

void AppendNotes(const VarsPlan& plan, std::string& json) {
  if (!plan.truncated.empty()) {
    json += ',';
    json += plan.truncated;
  }
  if (plan.omitted > 0) {
    json += ",\"omitted\":";
    char number[24];
    json.append(number, std::to_chars(number, number + sizeof number, plan.omitted).ptr);
  }
}

void AppendTick(std::int32_t tick, std::string& json) {
  json.clear();
  json += "{\"type\":\"vars\",\"tick\":";
  char number[16];
  json.append(number, std::to_chars(number, number + sizeof number, tick).ptr);
  json += ",\"values\":";
}

// The longest a message's fixed parts take: the start with the longest
// tick, the values' braces, the notes' names and the longest count.
constexpr std::size_t kVarsFrame = sizeof "{\"type\":\"vars\",\"tick\":-2147483648,\"values\":{}" +
                                   sizeof ",\"truncated\":{}" +
                                   sizeof ",\"omitted\":18446744073709551615" + sizeof "}";

}  // namespace

void VarsJson(std::int32_t tick, std::span<const std::uint8_t> row, const Directory& directory,
              std::span<const int> variables, std::string_view unknown, std::string& json) {
  AppendTick(tick, json);
  AppendValues(row, directory, variables, json);
  if (!unknown.empty()) {
    json += ',';
    json += unknown;
  }
  json += '}';
}

VarsPlan PlanVars(const Directory& directory, std::span<const int> variables, bool cutArrays,
                  std::size_t maxBytes, std::size_t reserved) {
  VarsPlan plan;
  std::size_t room = maxBytes > kVarsFrame + reserved ? maxBytes - kVarsFrame - reserved : 0;
  std::vector<std::pair<std::string_view, std::int32_t>> cut;
  std::size_t next = 0;
  for (; next < variables.size(); ++next) {
    const Variable& v = directory.variables[static_cast<std::size_t>(variables[next])];
    const std::int32_t values =
        cutArrays && v.count > kMaxArrayValuesInAll ? kMaxArrayValuesInAll : v.count;
    // A comma, the key, and each value at its longest with its comma (an
    // array's brackets stand in for the last comma and one more).
    std::size_t cost =
        1 + v.key.size() + static_cast<std::size_t>(values) * (MaxValueLength(v.type) + 1) + 1;
    // The note: the key again, the count and a comma.
    if (values < v.count) cost += v.key.size() + 11 + 1;
    if (cost > room) break;
    room -= cost;
    plan.variables.push_back(variables[next]);
    plan.values.push_back(values);
    if (values < v.count) cut.emplace_back(v.key, v.count);
  }
  plan.omitted = variables.size() - next;
  if (!cut.empty()) {
    plan.truncated = "\"truncated\":{";
    for (std::size_t i = 0; i < cut.size(); ++i) {
      if (i > 0) plan.truncated += ',';
      plan.truncated += cut[i].first;
      plan.truncated += std::to_string(cut[i].second);
    }
    plan.truncated += '}';
  }
  return plan;
}

void VarsJson(std::int32_t tick, std::span<const std::uint8_t> row, const Directory& directory,
              const VarsPlan& plan, std::string_view unknown, std::string& json) {
  AppendTick(tick, json);
  AppendValues(row, directory, plan, json);
  AppendNotes(plan, json);
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

std::string ValuesJson(std::span<const std::uint8_t> row, const Directory& directory,
                       const VarsPlan& plan) {
  std::string json;
  AppendValues(row, directory, plan, json);
  return json;
}

std::string PlanNotes(const VarsPlan& plan) {
  std::string json;
  AppendNotes(plan, json);
  // Without the comma that joins them to what comes before.
  return json.empty() ? json : json.substr(1);
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

namespace {

// Appends `value` with `decimals` digits after the point, or null when it
// is not finite.
void AppendFixed(double value, int decimals, std::string& json) {
  if (!std::isfinite(value)) {
    json += "null";
    return;
  }
  char digits[64];
  const auto written =
      std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed, decimals);
  json.append(digits, written.ptr);
}

void AppendOptional(const std::optional<double>& value, std::string& json) {
  if (value) {
    AppendFixed(*value, 3, json);
  } else {
    json += "null";
  }
}

void AppendWhole(std::int64_t value, std::string& json) {
  char digits[24];
  const auto written = std::to_chars(digits, digits + sizeof digits, value);
  json.append(digits, written.ptr);
}

void AppendFlag(bool value, std::string& json) { json += value ? "true" : "false"; }

// The `index`th car of a cars list: its number and driver-list members.
void AppendCarStart(int index, std::int32_t carIdx, const DriverMembers& drivers,
                    std::string& json) {
  if (index > 0) json += ',';
  json += "{\"carIdx\":";
  AppendWhole(carIdx, json);
  json += ',';
  json += drivers[static_cast<std::size_t>(carIdx)];
}

}  // namespace

DriverMembers DriverMembersJson(const standings::Field& field) {
  DriverMembers members;
  for (std::size_t car = 0; car < members.size(); ++car) {
    const standings::Driver& driver = field.drivers[car];
    members[car] =
        "\"number\":" + JsonString(driver.number) + ",\"name\":" + JsonString(driver.name) +
        ",\"team\":" + JsonString(driver.team) + ",\"class\":" + JsonString(driver.className) +
        ",\"classColor\":" + (driver.classColor.empty() ? "null" : JsonString(driver.classColor));
  }
  return members;
}

void StandingsJson(const standings::Table& table, const DriverMembers& drivers, std::string& json) {
  json.clear();
  json += "{\"type\":\"standings\",\"sessionTime\":";
  AppendFixed(table.sessionTime, 3, json);
  json += ",\"sessionType\":";
  // The session type is the text's own word; it is quoted like the names.
  json += '"';
  for (const char c : table.sessionType) {
    if (c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20 ||
        static_cast<unsigned char>(c) >= 0x80) {
      continue;
    }
    json += c;
  }
  json += "\",\"cars\":[";
  for (int i = 0; i < table.count; ++i) {
    const standings::Car& car = table.cars[static_cast<std::size_t>(i)];
    AppendCarStart(i, car.carIdx, drivers, json);
    json += ",\"position\":";
    AppendWhole(car.position, json);
    json += ",\"classPosition\":";
    AppendWhole(car.classPosition, json);
    json += ",\"officialPosition\":";
    AppendWhole(car.officialPosition, json);
    json += ",\"lapsCompleted\":";
    AppendWhole(car.lapsCompleted, json);
    json += ",\"lapDistPct\":";
    AppendFixed(car.lapDistPct, 4, json);
    json += ",\"gapToLeader\":";
    AppendOptional(car.gapToLeader, json);
    json += ",\"lapsDown\":";
    AppendWhole(car.lapsDown, json);
    json += ",\"interval\":";
    AppendOptional(car.interval, json);
    json += ",\"gapToClassLeader\":";
    AppendOptional(car.gapToClassLeader, json);
    json += ",\"lastLap\":";
    AppendOptional(car.lastLap, json);
    json += ",\"bestLap\":";
    AppendOptional(car.bestLap, json);
    json += ",\"onPitRoad\":";
    AppendFlag(car.onPitRoad, json);
    json += ",\"inWorld\":";
    AppendFlag(car.inWorld, json);
    json += ",\"pitStops\":";
    AppendWhole(car.pitStops, json);
    json += ",\"isPlayer\":";
    AppendFlag(car.isPlayer, json);
    json += '}';
  }
  json += "]}";
}

void RelativeJson(const standings::Relative& relative, const DriverMembers& drivers,
                  std::string& json) {
  json.clear();
  json += "{\"type\":\"relative\",\"sessionTime\":";
  AppendFixed(relative.sessionTime, 3, json);
  json += ",\"cars\":[";
  for (int i = 0; i < relative.count; ++i) {
    const standings::RelativeCar& car = relative.cars[static_cast<std::size_t>(i)];
    AppendCarStart(i, car.carIdx, drivers, json);
    json += ",\"gap\":";
    AppendOptional(car.gap, json);
    json += ",\"laps\":";
    AppendWhole(car.laps, json);
    json += ",\"onPitRoad\":";
    AppendFlag(car.onPitRoad, json);
    json += ",\"isPlayer\":";
    AppendFlag(car.isPlayer, json);
    json += '}';
  }
  json += "]}";
}

namespace {

// `value` when it lies from `lowest` (or above it, when `above`) to
// `highest`, else none.
std::optional<double> Within(const std::optional<double>& value, double lowest, bool above,
                             double highest) {
  if (!value || !std::isfinite(*value) || *value > highest || *value < lowest ||
      (above && *value == lowest)) {
    return std::nullopt;
  }
  return value;
}

void AppendWholeOrNull(const std::optional<std::int32_t>& value, std::string& json) {
  if (value) {
    AppendWhole(*value, json);
  } else {
    json += "null";
  }
}

// The longest lap and stop, the most fuel and the longest session that are
// not absurd.
constexpr double kLongestLap = 86400;
constexpr double kMostFuel = 1000;
constexpr double kLongestSession = 1e6;

}  // namespace

std::string LapJson(const LapMessage& lap) {
  const strategy::LapRecord& r = lap.record;
  std::string json = "{\"type\":\"lap\",\"session\":" + JsonString(lap.session) + ",\"lap\":";
  AppendWhole(r.lap, json);
  json += ",\"driver\":" + JsonString(lap.driver) + ",\"time\":";
  AppendOptional(Within(r.time, 0, true, kLongestLap), json);
  json += ",\"fuelUsed\":";
  AppendOptional(Within(r.fuelUsed, 0, false, kMostFuel), json);
  json += ",\"pit\":";
  AppendFlag(r.pit, json);
  json += ",\"caution\":";
  AppendFlag(r.caution, json);
  json += ",\"counted\":";
  AppendFlag(r.counted, json);
  json += ",\"position\":";
  AppendWholeOrNull(lap.position, json);
  json += ",\"classPosition\":";
  AppendWholeOrNull(lap.classPosition, json);
  json += ",\"incidents\":";
  AppendWholeOrNull(lap.incidents, json);
  json += ",\"sessionTime\":";
  AppendOptional(Within(r.sessionTime, 0, false, kLongestSession), json);
  json += '}';
  return json;
}

std::string PitJson(std::string_view session, std::string_view driver, const pits::Stop& stop) {
  std::string json = "{\"type\":\"pit\",\"session\":" + JsonString(session) + ",\"lap\":";
  AppendWhole(stop.lap, json);
  json += ",\"driver\":" + JsonString(driver) + ",\"pitIn\":";
  AppendFixed(stop.pitIn, 3, json);
  json += ",\"pitOut\":";
  AppendOptional(Within(stop.pitOut, stop.pitIn, false, kLongestSession), json);
  json += ",\"stationary\":";
  AppendOptional(Within(stop.stationary, 0, false, kLongestLap), json);
  json += ",\"fuelAdded\":";
  AppendOptional(Within(stop.fuelAdded, 0, false, kMostFuel), json);
  json += '}';
  return json;
}

std::string LogJson(std::string_view session, std::span<const std::string_view> laps,
                    std::span<const std::string_view> pits) {
  std::size_t size = 64 + session.size();
  for (const std::string_view lap : laps) size += lap.size() + 1;
  for (const std::string_view pit : pits) size += pit.size() + 1;
  std::string json;
  json.reserve(size);
  json += "{\"type\":\"log\",\"session\":";
  json += session.empty() ? "null" : JsonString(session);
  const auto list = [&](const char* name, std::span<const std::string_view> items) {
    json += name;
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (i > 0) json += ',';
      json += items[i];
    }
    json += ']';
  };
  list(",\"laps\":[", laps);
  list(",\"pits\":[", pits);
  json += '}';
  return json;
}

std::string LatestJson(const LatestParts& parts) {
  // The parts are JSON texts already; joining them keeps the relay's digits,
  // which a round trip through a parser would not.
  const auto orNull = [](std::string_view part) { return part.empty() ? "null" : part; };
  std::string json = "{\"status\":";
  json += parts.status;
  json += ",\"session\":";
  json += orNull(parts.session);
  json += ",\"data\":";
  json += orNull(parts.data);
  json += ",\"strategy\":";
  json += orNull(parts.strategy);
  json += ",\"standings\":";
  json += orNull(parts.standings);
  json += ",\"relative\":";
  json += orNull(parts.relative);
  if (!parts.values.empty()) {
    json += ",\"vars\":";
    json += parts.values;
  }
  if (!parts.notes.empty()) {
    json += ',';
    json += parts.notes;
  }
  json += '}';
  return json;
}

}  // namespace web
