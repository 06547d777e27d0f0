// Reading variable records and writing values as JSON.
#include "relay-web/variables.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "relay-web/web_feed.h"
#include "simlink/variable_directory.h"

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

int Directory::Find(std::string_view name) const {
  for (std::size_t i = 0; i < variables.size(); ++i) {
    if (variables[i].name == name) return static_cast<int>(i);
  }
  return -1;
}

Directory ReadDirectory(const simlink::TelemetryRegion& region) {
  Directory directory;
  const simlink::RegionHeader header = simlink::Header(region);
  directory.rowLength = header.rowLength;
  for (std::size_t i = 0; i < relay::kRelayedVariableCount; ++i) {
    directory.relayOffsets[i] = simlink::OffsetOf(region, relay::kRelayedVariables[i]);
  }
  for (std::int64_t i = 0; i < header.variableCount; ++i) {
    const std::int64_t record = header.variableRecordsOffset + layout::kVariableRecordSize * i;
    std::uint8_t bytes[layout::kVariableRecordSize];
    // Records past the end of the mapping: the directory ends there.
    if (!simlink::ReadBytes(region.view, record, sizeof bytes, bytes)) break;
    std::int32_t type = 0, offset = 0, count = 0;
    std::memcpy(&type, bytes + layout::kVariableType, sizeof type);
    std::memcpy(&offset, bytes + layout::kVariableValueOffset, sizeof offset);
    std::memcpy(&count, bytes + layout::kVariableElements, sizeof count);
    if (type < 0 || type > static_cast<std::int32_t>(ValueType::kDouble) || count < 1 ||
        offset < 0) {
      continue;
    }
    const auto valueType = static_cast<ValueType>(type);
    if (std::int64_t{offset} + std::int64_t{simlink::ValueSize(valueType)} * count >
        header.rowLength) {
      continue;
    }
    const char* text = reinterpret_cast<const char*>(bytes);
    std::string name = Text(text + layout::kVariableName, layout::kVariableNameLength);
    std::string key = JsonString(name) + ":";
    directory.variables.push_back(
        {std::move(name), valueType, count, offset,
         Text(text + layout::kVariableUnit, layout::kVariableUnitLength),
         Text(text + layout::kVariableDescription, layout::kVariableDescriptionLength),
         std::move(key)});
  }
  return directory;
}

bool ReadRecordBytes(const simlink::TelemetryRegion& region, std::vector<std::uint8_t>* bytes) {
  const simlink::RegionHeader header = simlink::Header(region);
  const std::int64_t length = std::int64_t{header.variableCount} * layout::kVariableRecordSize;
  if (length < 0 || static_cast<std::uint64_t>(length) > region.view.size) return false;
  bytes->resize(static_cast<std::size_t>(length));
  return simlink::ReadBytes(region.view, header.variableRecordsOffset, length, bytes->data());
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
  if (variable.count == 1) {
    AppendOne(row, variable, 0, json);
    return;
  }
  json += '[';
  for (std::int32_t i = 0; i < variable.count; ++i) {
    if (i > 0) json += ',';
    AppendOne(row, variable, i, json);
  }
  json += ']';
}

}  // namespace web
