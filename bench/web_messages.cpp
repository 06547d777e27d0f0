// Checking relay-web's messages against the relay's.
#include "web_messages.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

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

// One scalar of a parsed message.
struct Token {
  enum Kind { kNull, kBool, kInteger, kReal } kind = kNull;
  bool flag = false;
  std::int64_t integer = 0;
  std::string_view text;  // a real number as written
};

template <typename T>
T Load(std::span<const std::uint8_t> row, std::int64_t at) {
  T value;
  std::memcpy(&value, row.data() + at, sizeof value);
  return value;
}

// A real number as written, read as `T` (a float's shortest form reads back
// as that float only when read as a float), or an integer token.
template <typename T>
bool SameReal(const Token& token, T expected) {
  if (!std::isfinite(expected)) return token.kind == Token::kNull;
  if (token.kind == Token::kInteger) {
    return static_cast<double>(token.integer) == static_cast<double>(expected) &&
           std::abs(token.integer) < (std::int64_t{1} << 53);
  }
  if (token.kind != Token::kReal) return false;
  T value{};
  const auto [end, error] =
      std::from_chars(token.text.data(), token.text.data() + token.text.size(), value);
  return error == std::errc() && end == token.text.data() + token.text.size() && value == expected;
}

// Element `element` of `variable` in `row` against `token`.
bool SameElement(const publisher::Variable& variable, std::int32_t element,
                 std::span<const std::uint8_t> row, const Token& token) {
  using publisher::ValueType;
  const auto size = static_cast<std::int64_t>(publisher::ValueSize(variable.type));
  const std::int64_t at = std::int64_t{variable.offset} + size * element;
  if (at < 0 || at + size > static_cast<std::int64_t>(row.size())) return false;
  const auto integer = [&](std::int64_t expected) {
    return token.kind == Token::kInteger && token.integer == expected;
  };
  switch (variable.type) {
    case ValueType::kChar:
      return integer(Load<std::uint8_t>(row, at));
    case ValueType::kBool:
      return token.kind == Token::kBool && token.flag == (Load<std::uint8_t>(row, at) != 0);
    case ValueType::kInt:
      return integer(Load<std::int32_t>(row, at));
    case ValueType::kBitField:
      return integer(Load<std::uint32_t>(row, at));
    case ValueType::kFloat:
      return SameReal(token, Load<float>(row, at));
    case ValueType::kDouble:
      return SameReal(token, Load<double>(row, at));
  }
  return false;
}

// Walks a vars message as nlohmann's parser reads it (its SAX interface:
// every call returns whether to go on), checking each value as it comes, so
// that a message of thousands of values is never built into a tree.
class VarsCheck {
 public:
  VarsCheck(std::int64_t tick, std::span<const publisher::Variable> variables,
            std::span<const std::uint8_t> row, bool unknownAllowed)
      : tick_(tick),
        variables_(variables),
        row_(row),
        unknownAllowed_(unknownAllowed),
        seen_(variables.size(), false) {}

  // After the parse: everything there, once.
  bool Whole() const {
    return typeSeen_ && tickSeen_ && valuesDone_ &&
           found_ == static_cast<std::ptrdiff_t>(variables_.size());
  }

  bool null() { return Scalar({}); }
  bool boolean(bool value) { return Scalar({Token::kBool, value, 0, {}}); }
  bool number_integer(Json::number_integer_t value) {
    return Scalar({Token::kInteger, false, value, {}});
  }
  bool number_unsigned(Json::number_unsigned_t value) {
    if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return false;
    return Scalar({Token::kInteger, false, static_cast<std::int64_t>(value), {}});
  }
  bool number_float(Json::number_float_t, const Json::string_t& text) {
    return Scalar({Token::kReal, false, 0, text});
  }
  bool string(Json::string_t& value) {
    if (where_ == kUnknown) return true;
    if (where_ != kTop || key_ != "type" || typeSeen_ || value != "vars") return false;
    typeSeen_ = true;
    return true;
  }
  bool binary(Json::binary_t&) { return false; }
  bool start_object(std::size_t) {
    if (where_ == kOutside) {
      where_ = kTop;
      return true;
    }
    if (where_ != kTop || key_ != "values" || valuesDone_) return false;
    where_ = kValues;
    return true;
  }
  bool key(Json::string_t& name) {
    if (where_ == kTop) {
      key_ = name;
      return true;
    }
    if (where_ != kValues) return false;
    current_ = Find(name);
    if (current_ < 0 || seen_[static_cast<std::size_t>(current_)]) return false;
    seen_[static_cast<std::size_t>(current_)] = true;
    ++found_;
    element_ = 0;
    return true;
  }
  bool end_object() {
    if (where_ == kValues) {
      where_ = kTop;
      valuesDone_ = true;
      return true;
    }
    where_ = kOutside;
    return true;
  }
  bool start_array(std::size_t) {
    if (where_ == kTop && key_ == "unknown" && unknownAllowed_) {
      where_ = kUnknown;
      return true;
    }
    if (where_ != kValues || current_ < 0 || Variable().count == 1) return false;
    where_ = kArray;
    return true;
  }
  bool end_array() {
    if (where_ == kUnknown) {
      where_ = kTop;
      unknownAllowed_ = false;  // once
      return true;
    }
    if (where_ != kArray || element_ != Variable().count) return false;
    where_ = kValues;
    current_ = -1;
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
    return false;
  }

 private:
  enum Where { kOutside, kTop, kValues, kArray, kUnknown };

  const publisher::Variable& Variable() const {
    return variables_[static_cast<std::size_t>(current_)];
  }

  // Looked for from the variable after the last one found, so that a message
  // in the directory's order takes one comparison per name.
  std::ptrdiff_t Find(std::string_view name) {
    const auto count = static_cast<std::ptrdiff_t>(variables_.size());
    for (std::ptrdiff_t i = 0; i < count; ++i) {
      const std::ptrdiff_t at = (next_ + i) % count;
      if (variables_[static_cast<std::size_t>(at)].name == name) {
        next_ = at + 1;
        return at;
      }
    }
    return -1;
  }

  bool Scalar(const Token& token) {
    if (where_ == kTop && key_ == "tick" && !tickSeen_) {
      tickSeen_ = token.kind == Token::kInteger && token.integer == tick_;
      return tickSeen_;
    }
    if (where_ == kArray) {
      return element_ < Variable().count && SameElement(Variable(), element_++, row_, token);
    }
    if (where_ != kValues || current_ < 0 || Variable().count != 1 || element_ != 0) return false;
    ++element_;
    return SameElement(Variable(), 0, row_, token);
  }

  const std::int64_t tick_;
  const std::span<const publisher::Variable> variables_;
  const std::span<const std::uint8_t> row_;
  bool unknownAllowed_;
  std::vector<bool> seen_;
  std::ptrdiff_t found_ = 0;
  std::ptrdiff_t next_ = 0;
  Where where_ = kOutside;
  std::string key_;  // the last member name at the top
  std::ptrdiff_t current_ = -1;
  std::int32_t element_ = 0;
  bool typeSeen_ = false, tickSeen_ = false, valuesDone_ = false;
};

// The integer after the first `key` (such as "\"tick\":") in `message`;
// -1 when there is none or it is not a plain non-negative integer.
std::int64_t NumberAfter(std::string_view message, std::string_view key) {
  std::size_t at = message.find(key);
  if (at == std::string_view::npos) return -1;
  at += key.size();
  while (at < message.size() && message[at] == ' ') ++at;
  std::int64_t number = 0;
  std::size_t digits = 0;
  for (; at < message.size() && message[at] >= '0' && message[at] <= '9'; ++at, ++digits) {
    if (digits == 10) return -1;
    number = number * 10 + (message[at] - '0');
  }
  if (digits == 0 || at == message.size()) return -1;
  const char next = message[at];
  return next == ',' || next == '}' || next == ' ' ? number : -1;
}

}  // namespace

std::int64_t StampOf(std::string_view message) { return NumberAfter(message, "\"raceLaps\":"); }

std::int64_t VarsTickOf(std::string_view message) {
  if (!message.starts_with(R"({"type":"vars",)")) return -1;
  return NumberAfter(message, "\"tick\":");
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

bool SameVars(std::string_view message, std::int64_t tick,
              std::span<const publisher::Variable> variables, std::span<const std::uint8_t> row,
              bool unknownAllowed) {
  VarsCheck check(tick, variables, row, unknownAllowed);
  return Json::sax_parse(message.begin(), message.end(), &check) && check.Whole();
}

namespace {

// An integer member from `least` to `most`.
bool WholeIn(const Json* value, std::int64_t least, std::int64_t most) {
  return value != nullptr && value->is_number_integer() && value->get<std::int64_t>() >= least &&
         value->get<std::int64_t>() <= most;
}

bool Flag(const Json* value) { return value != nullptr && value->is_boolean(); }

bool NumberOrNull(const Json* value) {
  return value != nullptr && (value->is_number() || value->is_null());
}

// Each car in the message's "cars" once, an object with a carIdx.
const Json* Cars(const Json& json) {
  const Json* cars = Member(json, "cars");
  if (cars == nullptr || !cars->is_array()) return nullptr;
  std::uint64_t seen = 0;
  for (const Json& car : *cars) {
    if (!car.is_object() || !WholeIn(Member(car, "carIdx"), 0, 63)) return nullptr;
    const std::uint64_t bit = std::uint64_t{1} << car["carIdx"].get<int>();
    if ((seen & bit) != 0) return nullptr;
    seen |= bit;
  }
  return cars;
}

WebKind CheckStandings(const Json& json, const FieldWant& field) {
  const Json* cars = Cars(json);
  if (cars == nullptr || cars->size() != field.cars) return WebKind::kDamaged;
  for (std::size_t i = 0; i < cars->size(); ++i) {
    const Json& car = (*cars)[i];
    const Json* inWorld = Member(car, "inWorld");
    const Json* gap = Member(car, "gapToLeader");
    if (!WholeIn(Member(car, "position"), static_cast<std::int64_t>(i + 1),
                 static_cast<std::int64_t>(i + 1)) ||
        !Flag(inWorld) || !NumberOrNull(gap) || !NumberOrNull(Member(car, "interval"))) {
      return WebKind::kDamaged;
    }
    if (field.onTrack && (!inWorld->get<bool>() || !gap->is_number())) return WebKind::kDamaged;
  }
  return WebKind::kStandings;
}

WebKind CheckRelative(const Json& json, const FieldWant& field) {
  constexpr std::size_t kEachWay = 4;
  const Json* cars = Cars(json);
  if (cars == nullptr || cars->size() > 2 * kEachWay + 1) return WebKind::kDamaged;
  std::size_t player = cars->size();
  for (std::size_t i = 0; i < cars->size(); ++i) {
    const Json& car = (*cars)[i];
    const Json* isPlayer = Member(car, "isPlayer");
    if (!Flag(isPlayer) || !NumberOrNull(Member(car, "gap"))) return WebKind::kDamaged;
    if (!isPlayer->get<bool>()) continue;
    if (player != cars->size() || car["gap"] != 0) return WebKind::kDamaged;
    player = i;
  }
  if (!cars->empty() && player == cars->size()) return WebKind::kDamaged;
  if (field.onTrack && (cars->size() != 2 * kEachWay + 1 || player != kEachWay)) {
    return WebKind::kDamaged;
  }
  return WebKind::kRelative;
}

}  // namespace

WebKind CheckControl(std::string_view message, std::string_view sessionInfo,
                     const FieldWant& field) {
  const Json json = Parse(message);
  if (HasType(json, "standings")) return CheckStandings(json, field);
  if (HasType(json, "relative")) return CheckRelative(json, field);
  if (HasType(json, "status")) {
    // {"source":"relay","relay":"connected"} or
    // {"source":"simulator","simulator":"running"}.
    const Json* source = Member(json, "source");
    const bool relay = source != nullptr && *source == "relay";
    const bool simulator = source != nullptr && *source == "simulator";
    const Json* state = relay       ? Member(json, "relay")
                        : simulator ? Member(json, "simulator")
                                    : nullptr;
    if (state == nullptr) return WebKind::kDamaged;
    if (*state == (relay ? "connected" : "running")) return WebKind::kConnected;
    if (*state == (relay ? "offline" : "not running")) return WebKind::kOffline;
    return WebKind::kDamaged;
  }
  if (HasType(json, "lap") || HasType(json, "pit")) {
    const Json* lap = Member(json, "lap");
    const Json* session = Member(json, "session");
    return lap != nullptr && lap->is_number_integer() && session != nullptr && session->is_string()
               ? WebKind::kRaceLog
               : WebKind::kDamaged;
  }
  if (HasType(json, "log")) {
    const Json* laps = Member(json, "laps");
    const Json* pits = Member(json, "pits");
    return laps != nullptr && laps->is_array() && pits != nullptr && pits->is_array()
               ? WebKind::kRaceLog
               : WebKind::kDamaged;
  }
  if (HasType(json, "sessionText")) {
    const Json* update = Member(json, "update");
    return update != nullptr && update->is_number_unsigned() ? WebKind::kSessionText
                                                             : WebKind::kDamaged;
  }
  if (HasType(json, "strategy")) {
    for (const char* name :
         {"fuelPerLap", "fuelPerLapMax", "lastLapFuel", "lastLapTime", "avgLapTime", "tank",
          "lapsOfFuel", "lapsToGo", "fuelToFinish", "fuelToAdd", "stops"}) {
      const Json* figure = Member(json, name);
      if (figure == nullptr || !(figure->is_null() || figure->is_number()))
        return WebKind::kDamaged;
    }
    const Json* counted = Member(json, "lapsCounted");
    const Json* margin = Member(json, "fuelMargin");
    return counted != nullptr && counted->is_number_unsigned() && margin != nullptr &&
                   margin->is_number()
               ? WebKind::kStrategy
               : WebKind::kDamaged;
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
