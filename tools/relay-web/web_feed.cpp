// JSON texts of the feed.
#include "relay-web/web_feed.h"

#include <array>
#include <nlohmann/json.hpp>

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
      json += token == "0" ? "false" : "true";
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

std::string StatusJson(bool connected) {
  const nlohmann::ordered_json object = {
      {"type", "status"},
      {"relay", connected ? "connected" : "offline"},
  };
  return object.dump();
}

std::string LatestJson(std::string_view status, std::string_view session, std::string_view data) {
  // The parts are JSON texts already; joining them keeps the relay's digits,
  // which a round trip through a parser would not.
  std::string json = "{\"status\":";
  json += status;
  json += ",\"session\":";
  json += session.empty() ? "null" : session;
  json += ",\"data\":";
  json += data.empty() ? "null" : data;
  json += '}';
  return json;
}

}  // namespace web
