// Checking relay-web's messages against the relay's.
#include "web_messages.h"

#include <array>
#include <charconv>
#include <cmath>
#include <nlohmann/json.hpp>
#include <string>

namespace bench {

namespace {

using Json = nlohmann::json;

// The DATA_PACKET's fields in order, under their names in the feed.
constexpr std::array<std::string_view, 15> kDataNames = {
    "oilTemp",           "waterTemp",         "gear",      "fuelLevel", "rpm",
    "lapDistPct",        "fuelLevelPct",      "lapDist",   "lap",       "raceLaps",
    "sessionLapsRemain", "sessionTimeRemain", "onPitRoad", "throttle",  "isOnTrack"};
constexpr std::array<bool, 15> kFlag = {false, false, false, false, false, false, false, false,
                                        false, false, false, false, true,  false, true};
constexpr std::array<std::string_view, 4> kSessionNumbers = {"firstRpm", "lastRpm", "shiftRpm",
                                                             "blinkRpm"};

// Splits off the text up to the next ';' (or the end).
std::string_view NextField(std::string_view& text) {
  const std::size_t end = text.find(';');
  const std::string_view field = text.substr(0, end);
  text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  return field;
}

Json Parse(std::string_view message) { return Json::parse(message, nullptr, false); }

// The member `name` of `object`, or nullptr.
const Json* Member(const Json& object, std::string_view name) {
  const auto found = object.find(name);
  return found == object.end() ? nullptr : &*found;
}

bool HasType(const Json& message, std::string_view type) {
  if (!message.is_object()) return false;
  const Json* value = Member(message, "type");
  return value != nullptr && value->is_string() && value->get_ref<const std::string&>() == type;
}

// True when `value` is the number `text` says: null for nan and infinities.
bool SameNumber(const Json* value, std::string_view text) {
  double expected = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), expected);
  if (error != std::errc() || end != text.data() + text.size() || value == nullptr) return false;
  if (!std::isfinite(expected)) return value->is_null();
  return value->is_number() && value->get<double>() == expected;
}

}  // namespace

std::int64_t LapOf(std::string_view message) {
  constexpr std::string_view kKey = "\"lap\":";
  std::size_t at = message.find(kKey);
  if (at == std::string_view::npos) return -1;
  at += kKey.size();
  while (at < message.size() && message[at] == ' ') ++at;
  std::int64_t lap = 0;
  std::size_t digits = 0;
  for (; at < message.size() && message[at] >= '0' && message[at] <= '9'; ++at, ++digits) {
    if (digits == 10) return -1;
    lap = lap * 10 + (message[at] - '0');
  }
  if (digits == 0 || at == message.size()) return -1;
  const char next = message[at];
  return next == ',' || next == '}' || next == ' ' ? lap : -1;
}

bool SameValues(std::string_view message, std::string_view dataPacket) {
  const Json json = Parse(message);
  if (!HasType(json, "data")) return false;
  std::string_view fields = dataPacket;
  if (NextField(fields) != "DATA_PACKET") return false;
  for (std::size_t i = 0; i < kDataNames.size(); ++i) {
    const std::string_view text = NextField(fields);
    const Json* value = Member(json, kDataNames[i]);
    if (!kFlag[i] && !SameNumber(value, text)) return false;
    if (kFlag[i] &&
        (value == nullptr || !value->is_boolean() || value->get<bool>() != (text != "0")))
      return false;
  }
  return true;
}

WebKind CheckControl(std::string_view message, std::string_view sessionInfo) {
  const Json json = Parse(message);
  if (HasType(json, "status")) {
    const Json* relay = Member(json, "relay");
    if (relay != nullptr && *relay == "connected") return WebKind::kConnected;
    if (relay != nullptr && *relay == "offline") return WebKind::kOffline;
    return WebKind::kDamaged;
  }
  if (!HasType(json, "session")) return WebKind::kDamaged;
  std::string_view fields = sessionInfo;
  if (NextField(fields) != "SESSION_INFO") return WebKind::kDamaged;
  for (const std::string_view name : kSessionNumbers) {
    if (!SameNumber(Member(json, name), NextField(fields))) return WebKind::kDamaged;
  }
  const Json* carPath = Member(json, "carPath");
  if (carPath == nullptr || !carPath->is_string() ||
      carPath->get_ref<const std::string&>() != fields) {
    return WebKind::kDamaged;
  }
  return WebKind::kSession;
}

}  // namespace bench
