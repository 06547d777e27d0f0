// Reading lap and pit messages with nlohmann/json, field by field.
#include "relay-log/messages.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <nlohmann/json.hpp>

namespace race_log {

namespace {

using json = nlohmann::json;

// The limits past which a value is absurd rather than unusual.
constexpr int kMostLaps = 100000;
constexpr int kMostPositions = 1000;
constexpr int kMostIncidents = 1000;
constexpr double kLongestLap = 86400;    // seconds
constexpr double kMostFuel = 1000;       // litres
constexpr double kLongestSession = 1e6;  // seconds, some 11 days

std::string Quoted(const char* name) { return std::string("\"") + name + "\""; }

std::string Whole(double value) { return std::to_string(static_cast<long long>(value)); }

// Reads the fields of one object, keeping the first fault.
class Fields {
 public:
  explicit Fields(const json& object) : object_(object) {}
  const std::string& problem() const { return problem_; }

  void Type(const char* want) {
    const json* value = Find("type");
    if (value != nullptr && !(value->is_string() && value->get_ref<const std::string&>() == want)) {
      Fail(std::string("\"type\" is not \"") + want + "\"");
    }
  }

  void Text(const char* name, std::size_t longest, std::string* out) {
    const json* value = Find(name);
    if (value == nullptr) return;
    const auto controls = [](const std::string& text) {
      return std::any_of(text.begin(), text.end(),
                         [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
    };
    if (!value->is_string() || value->get_ref<const std::string&>().empty() ||
        value->get_ref<const std::string&>().size() > longest ||
        controls(value->get_ref<const std::string&>())) {
      return Fail(Quoted(name) + " is not text of 1 to " + std::to_string(longest) +
                  " bytes without control characters");
    }
    *out = value->get<std::string>();
  }

  void Integer(const char* name, int lowest, int highest, int* out) {
    const json* value = Find(name);
    if (value == nullptr) return;
    if (!IntegerIn(*value, lowest, highest, out)) {
      Fail(Quoted(name) + " is not a whole number from " + std::to_string(lowest) + " to " +
           std::to_string(highest));
    }
  }

  void Integer(const char* name, int lowest, int highest, std::optional<int>* out) {
    const json* value = FindOptional(name);
    if (value == nullptr) return;
    int got = 0;
    if (!IntegerIn(*value, lowest, highest, &got)) {
      return Fail(Quoted(name) + " is not null or a whole number from " + std::to_string(lowest) +
                  " to " + std::to_string(highest));
    }
    *out = got;
  }

  // A number from `lowest` (or above it, when `above`) to `highest`.
  void Number(const char* name, double lowest, bool above, double highest, double* out) {
    const json* value = Find(name);
    if (value == nullptr) return;
    if (!NumberIn(*value, lowest, above, highest, out)) {
      Fail(Quoted(name) + " is not a number " + Range(lowest, above, highest));
    }
  }

  void Number(const char* name, double lowest, bool above, double highest,
              std::optional<double>* out) {
    const json* value = FindOptional(name);
    if (value == nullptr) return;
    double got = 0;
    if (!NumberIn(*value, lowest, above, highest, &got)) {
      return Fail(Quoted(name) + " is not null or a number " + Range(lowest, above, highest));
    }
    *out = got;
  }

  // true or false; left out is false.
  void Flag(const char* name, bool* out) {
    const auto found = object_.find(name);
    if (found == object_.end()) return;
    if (!found->is_boolean()) return Fail(Quoted(name) + " is not true or false");
    *out = found->get<bool>();
  }

  void Fail(std::string problem) {
    if (problem_.empty()) problem_ = std::move(problem);
  }

 private:
  // A field that must be there (and not null).
  const json* Find(const char* name) {
    const auto found = object_.find(name);
    if (found == object_.end()) {
      Fail("no " + Quoted(name));
      return nullptr;
    }
    return &*found;
  }
  // A field that may be null or left out: nullptr then.
  const json* FindOptional(const char* name) {
    const auto found = object_.find(name);
    return found == object_.end() || found->is_null() ? nullptr : &*found;
  }

  static bool IntegerIn(const json& value, int lowest, int highest, int* out) {
    if (value.is_number_unsigned()) {
      const auto got = value.get<std::uint64_t>();
      if (lowest > 0 && got < static_cast<std::uint64_t>(lowest)) return false;
      if (got > static_cast<std::uint64_t>(highest)) return false;
      *out = static_cast<int>(got);
      return true;
    }
    if (!value.is_number_integer()) return false;
    const auto got = value.get<std::int64_t>();
    if (got < lowest || got > highest) return false;
    *out = static_cast<int>(got);
    return true;
  }

  static bool NumberIn(const json& value, double lowest, bool above, double highest, double* out) {
    if (!value.is_number()) return false;
    const auto got = value.get<double>();
    if (!std::isfinite(got) || got > highest || got < lowest || (above && got == lowest)) {
      return false;
    }
    *out = got;
    return true;
  }

  static std::string Range(double lowest, bool above, double highest) {
    return (above ? "above " + Whole(lowest) + " up to " : "from " + Whole(lowest) + " to ") +
           Whole(highest);
  }

  const json& object_;
  std::string problem_;
};

// The message as a JSON object: empty when it is one, else the fault.
std::string Parse(std::string_view text, json* object) {
  if (text.size() > kMaxMessage) {
    return "longer than " + std::to_string(kMaxMessage) + " bytes";
  }
  *object = json::parse(text, nullptr, false);
  if (object->is_discarded()) return "not JSON";
  if (!object->is_object()) return "not a JSON object";
  return "";
}

}  // namespace

std::string ReadLap(std::string_view text, Lap* lap) {
  json object;
  if (std::string problem = Parse(text, &object); !problem.empty()) return problem;
  Lap read;
  Fields fields(object);
  fields.Type("lap");
  fields.Text("session", kMaxSession, &read.session);
  fields.Integer("lap", 0, kMostLaps, &read.lap);
  fields.Text("driver", kMaxDriver, &read.driver);
  fields.Number("time", 0, true, kLongestLap, &read.time);
  fields.Number("fuelUsed", 0, false, kMostFuel, &read.fuelUsed);
  fields.Flag("pit", &read.pit);
  fields.Flag("caution", &read.caution);
  fields.Flag("counted", &read.counted);
  fields.Integer("position", 1, kMostPositions, &read.position);
  fields.Integer("classPosition", 1, kMostPositions, &read.classPosition);
  fields.Integer("incidents", 0, kMostIncidents, &read.incidents);
  fields.Number("sessionTime", 0, false, kLongestSession, &read.sessionTime);
  if (!fields.problem().empty()) return fields.problem();
  *lap = std::move(read);
  return "";
}

std::string ReadPit(std::string_view text, Pit* pit) {
  json object;
  if (std::string problem = Parse(text, &object); !problem.empty()) return problem;
  Pit read;
  Fields fields(object);
  fields.Type("pit");
  fields.Text("session", kMaxSession, &read.session);
  fields.Integer("lap", 0, kMostLaps, &read.lap);
  fields.Text("driver", kMaxDriver, &read.driver);
  fields.Number("pitIn", 0, false, kLongestSession, &read.pitIn);
  fields.Number("pitOut", 0, false, kLongestSession, &read.pitOut);
  fields.Number("stationary", 0, false, kLongestLap, &read.stationary);
  fields.Number("fuelAdded", 0, false, kMostFuel, &read.fuelAdded);
  if (fields.problem().empty() && read.pitOut && *read.pitOut < read.pitIn) {
    fields.Fail("\"pitOut\" is before \"pitIn\"");
  }
  if (!fields.problem().empty()) return fields.problem();
  *pit = std::move(read);
  return "";
}

}  // namespace race_log
