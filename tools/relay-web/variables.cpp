// Reading variable records and writing values as JSON.
#include "relay-web/variables.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <unordered_map>

#include "relay-web/web_feed.h"

namespace web {

namespace layout = simlink::layout;

namespace {

// A NUL-padded text field of a record; a full field has no NUL.
std::string Text(const char* field, std::size_t size) {
  const void* end = std::memchr(field, 0, size);
  return std::string(field, end != nullptr ? static_cast<const char*>(end) - field : size);
}

template <typename T>
T Load(std::span<const std::uint8_t> row, std::int64_t at) {
  T value;
  std::memcpy(&value, row.data() + at, sizeof value);
  return value;
}

template <typename T>
void AppendNumber(T value, std::string& json) {
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, value);
  json.append(text, result.ptr);
}

template <typename T>
void AppendReal(T value, std::string& json) {
  if (std::isfinite(value)) {
    AppendNumber(value, json);
  } else {
    json += "null";
  }
}

// Where value `index` of `variable` lies in `row`, or -1.
std::int64_t ValueAt(std::span<const std::uint8_t> row, const Variable& variable,
                     std::int32_t index) {
  const std::int64_t size = simlink::ValueSize(variable.type);
  const std::int64_t at = std::int64_t{variable.offset} + size * index;
  if (index < 0 || index >= variable.count || variable.offset < 0 ||
      at + size > static_cast<std::int64_t>(row.size())) {
    return -1;
  }
  return at;
}

void AppendOne(std::span<const std::uint8_t> row, const Variable& variable, std::int32_t index,
               std::string& json) {
  const std::int64_t at = ValueAt(row, variable, index);
  if (at < 0) {
    json += "null";
    return;
  }
  switch (variable.type) {
    case ValueType::kChar:
      AppendNumber(unsigned{Load<std::uint8_t>(row, at)}, json);
      break;
    case ValueType::kBool:
      json += Load<std::uint8_t>(row, at) != 0 ? "true" : "false";
      break;
    case ValueType::kInt:
      AppendNumber(Load<std::int32_t>(row, at), json);
      break;
    case ValueType::kBitField:
      AppendNumber(Load<std::uint32_t>(row, at), json);
      break;
    case ValueType::kFloat:
      AppendReal(Load<float>(row, at), json);
      break;
    case ValueType::kDouble:
      AppendReal(Load<double>(row, at), json);
      break;
  }
}

struct RelayVariable {
  ValueType type;
  const char* unit;
  const char* description;
};

// The fifteen in the DATA_PACKET's order, with the types the relay reads
// them as (the engine speed arrives as a whole number but is the
// simulator's float).
constexpr RelayVariable kRelayVariables[relay::kRelayedVariableCount] = {
    {ValueType::kFloat, "C", "Engine oil temperature"},
    {ValueType::kFloat, "C", "Engine coolant temperature"},
    {ValueType::kInt, "", "Gear: -1 reverse, 0 neutral"},
    {ValueType::kFloat, "l", "Fuel in the tank"},
    {ValueType::kFloat, "revs/min", "Engine speed, in whole revolutions as the relay sends it"},
    {ValueType::kFloat, "", "How far around the lap, 0 to 1"},
    {ValueType::kFloat, "", "Fuel as a share of a full tank, 0 to 1"},
    {ValueType::kFloat, "m", "Distance around the lap"},
    {ValueType::kInt, "", "Lap count"},
    {ValueType::kInt, "", "Laps completed in the race"},
    {ValueType::kInt, "", "Laps left in the session (32767: no limit)"},
    {ValueType::kDouble, "s", "Time left in the session"},
    {ValueType::kBool, "", "On pit road"},
    {ValueType::kFloat, "", "Throttle, 0 to 1"},
    {ValueType::kBool, "", "In the car on track"},
};

Directory MakeRelayDirectory() {
  Directory directory;
  std::int32_t offset = 0;
  for (std::size_t i = 0; i < relay::kRelayedVariableCount; ++i) {
    const RelayVariable& v = kRelayVariables[i];
    directory.variables.push_back({relay::kRelayedVariables[i], v.type, 1, offset, v.unit,
                                   v.description, JsonString(relay::kRelayedVariables[i]) + ":"});
    directory.relayOffsets[i] = offset;
    offset += simlink::ValueSize(v.type);
  }
  directory.rowLength = offset;
  directory.Index();
  return directory;
}

template <typename T>
void Store(std::vector<std::uint8_t>& row, const Variable& variable, T value) {
  std::memcpy(row.data() + variable.offset, &value, sizeof value);
}

}  // namespace

const char* TypeName(ValueType type) {
  switch (type) {
    case ValueType::kChar:
      return "char";
    case ValueType::kBool:
      return "bool";
    case ValueType::kInt:
      return "int";
    case ValueType::kBitField:
      return "bitfield";
    case ValueType::kFloat:
      return "float";
    case ValueType::kDouble:
      return "double";
  }
  return "";
}

void Directory::Index() {
  byName.clear();
  for (std::size_t i = 0; i < variables.size(); ++i) {
    byName.emplace(variables[i].name, static_cast<int>(i));
  }
}

int Directory::Find(std::string_view name) const {
  if (!byName.empty()) {
    const auto found = byName.find(name);
    return found != byName.end() ? found->second : -1;
  }
  for (std::size_t i = 0; i < variables.size(); ++i) {
    if (variables[i].name == name) return static_cast<int>(i);
  }
  return -1;
}

namespace {

// The header's layout fields, and whether they fit the mapping.
bool ReadLayoutFields(const simlink::TelemetryRegion& region, RegionLayout* layout) {
  const simlink::RegionHeader header = simlink::Header(region);
  const auto size = static_cast<std::int64_t>(region.view.size);
  const std::int64_t recordsLength =
      std::int64_t{header.variableCount} * layout::kVariableRecordSize;
  if (header.rowLength <= 0 || header.rowLength > size || header.variableCount < 0 ||
      header.variableRecordsOffset < 0 || header.variableRecordsOffset > size ||
      recordsLength > size - header.variableRecordsOffset) {
    return false;
  }
  layout->variableCount = header.variableCount;
  layout->recordsOffset = header.variableRecordsOffset;
  layout->rowLength = header.rowLength;
  return true;
}

constexpr int kLayoutReads = 3;

}  // namespace

bool ReadLayout(const simlink::TelemetryRegion& region, RegionLayout* layout) {
  for (int attempt = 0; attempt < kLayoutReads; ++attempt) {
    if (!ReadLayoutFields(region, layout)) return false;
    layout->records.resize(static_cast<std::size_t>(layout->variableCount) *
                           static_cast<std::size_t>(layout::kVariableRecordSize));
    if (!simlink::ReadBytes(region.view, layout->recordsOffset,
                            static_cast<std::int64_t>(layout->records.size()),
                            layout->records.data())) {
      return false;
    }
    if (SameLayout(region, *layout)) return true;
  }
  return false;
}

bool SameLayout(const simlink::TelemetryRegion& region, const RegionLayout& layout) {
  const simlink::RegionHeader header = simlink::Header(region);
  if (header.variableCount != layout.variableCount ||
      header.variableRecordsOffset != layout.recordsOffset ||
      header.rowLength != layout.rowLength) {
    return false;
  }
  const auto size = static_cast<std::uint64_t>(region.view.size);
  const auto offset = static_cast<std::uint64_t>(layout.recordsOffset);
  // The fields were checked against the mapping when the layout was read,
  // and the mapping's size does not change while it is held.
  if (region.view.base == nullptr || offset > size || layout.records.size() > size - offset) {
    return false;
  }
  return layout.records.empty() ||
         std::memcmp(region.view.base + offset, layout.records.data(), layout.records.size()) == 0;
}

Directory MakeDirectory(const RegionLayout& layout) {
  Directory directory;
  directory.rowLength = layout.rowLength;
  directory.relayOffsets.fill(-1);
  std::array<bool, relay::kRelayedVariableCount> found{};
  // Every name seen so far, usable or not: the first record of a name
  // decides.
  std::unordered_map<std::string, bool, NameHash, std::equal_to<>> seen;
  const std::size_t count = layout.records.size() / layout::kVariableRecordSize;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t* bytes = layout.records.data() + i * layout::kVariableRecordSize;
    const char* text = reinterpret_cast<const char*>(bytes);
    std::int32_t type = 0, offset = 0, elements = 0;
    std::memcpy(&type, bytes + layout::kVariableType, sizeof type);
    std::memcpy(&offset, bytes + layout::kVariableValueOffset, sizeof offset);
    std::memcpy(&elements, bytes + layout::kVariableElements, sizeof elements);
    // The relay's lookup: the first record whose name matches in its first
    // 32 characters, usable or not.
    for (std::size_t r = 0; r < relay::kRelayedVariableCount; ++r) {
      if (!found[r] && std::strncmp(relay::kRelayedVariables[r], text + layout::kVariableName,
                                    layout::kVariableNameLength) == 0) {
        found[r] = true;
        directory.relayOffsets[r] = offset;
      }
    }
    std::string name = Text(text + layout::kVariableName, layout::kVariableNameLength);
    if (!seen.emplace(name, true).second) continue;
    if (type < 0 || type > static_cast<std::int32_t>(ValueType::kDouble) || elements < 1 ||
        offset < 0) {
      continue;
    }
    const auto valueType = static_cast<ValueType>(type);
    if (std::int64_t{offset} + std::int64_t{simlink::ValueSize(valueType)} * elements >
        layout.rowLength) {
      continue;
    }
    std::string key = JsonString(name) + ":";
    directory.variables.push_back(
        {std::move(name), valueType, elements, offset,
         Text(text + layout::kVariableUnit, layout::kVariableUnitLength),
         Text(text + layout::kVariableDescription, layout::kVariableDescriptionLength),
         std::move(key)});
  }
  directory.Index();
  return directory;
}

const Directory& RelayDirectory() {
  static const Directory directory = MakeRelayDirectory();
  return directory;
}

void WriteRelayRow(const stream::DataPacket& p, std::vector<std::uint8_t>& row) {
  const std::vector<Variable>& v = RelayDirectory().variables;
  row.resize(static_cast<std::size_t>(RelayDirectory().rowLength));
  Store(row, v[0], static_cast<float>(p.oilTemp));
  Store(row, v[1], static_cast<float>(p.waterTemp));
  Store(row, v[2], p.gear);
  Store(row, v[3], static_cast<float>(p.fuelLevel));
  Store(row, v[4], static_cast<float>(p.rpm));
  Store(row, v[5], static_cast<float>(p.lapDistPct));
  Store(row, v[6], static_cast<float>(p.fuelLevelPct));
  Store(row, v[7], static_cast<float>(p.lapDist));
  Store(row, v[8], p.lap);
  Store(row, v[9], p.raceLaps);
  Store(row, v[10], p.sessionLapsRemain);
  Store(row, v[11], p.sessionTimeRemain);
  Store(row, v[12], static_cast<std::uint8_t>(p.onPitRoad != 0));
  Store(row, v[13], static_cast<float>(p.throttle));
  Store(row, v[14], static_cast<std::uint8_t>(p.isOnTrack != 0));
}

double ReadNumber(std::span<const std::uint8_t> row, const Variable& variable, std::int32_t index) {
  const std::int64_t at = ValueAt(row, variable, index);
  if (at < 0) return std::numeric_limits<double>::quiet_NaN();
  switch (variable.type) {
    case ValueType::kChar:
    case ValueType::kBool:
      return Load<std::uint8_t>(row, at);
    case ValueType::kInt:
      return Load<std::int32_t>(row, at);
    case ValueType::kBitField:
      return Load<std::uint32_t>(row, at);
    case ValueType::kFloat:
      return Load<float>(row, at);
    case ValueType::kDouble:
      return Load<double>(row, at);
  }
  return std::numeric_limits<double>::quiet_NaN();
}

void AppendValue(std::span<const std::uint8_t> row, const Variable& variable, std::string& json) {
  AppendValue(row, variable, variable.count, json);
}

void AppendValue(std::span<const std::uint8_t> row, const Variable& variable, std::int32_t elements,
                 std::string& json) {
  if (variable.count == 1) {
    AppendOne(row, variable, 0, json);
    return;
  }
  json += '[';
  for (std::int32_t i = 0; i < std::min(elements, variable.count); ++i) {
    if (i > 0) json += ',';
    AppendOne(row, variable, i, json);
  }
  json += ']';
}

std::size_t MaxValueLength(ValueType type) {
  switch (type) {
    case ValueType::kChar:
      return 3;  // 255
    case ValueType::kBool:
      return 5;  // false
    case ValueType::kInt:
      return 11;  // -2147483648
    case ValueType::kBitField:
      return 10;  // 4294967295
    case ValueType::kFloat:
      return 15;  // -1.17549435e-38: nine digits, a sign, a point, e-38
    case ValueType::kDouble:
      return 24;  // -2.2250738585072014e-308
  }
  return 24;
}

}  // namespace web
