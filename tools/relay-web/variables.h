// The telemetry variables relay-web can send a browser, and their values in
// a row. With the simulator as the source they come from its variable
// records; with a relay as the source they are the fifteen of the relay's
// DATA_PACKET, which relay-web lays out in a row of its own so that both
// sources are read the same way.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "relay-stream/message_parser.h"
#include "relay/messages.h"
#include "simlink/region.h"

namespace web {

using simlink::ValueType;

// "char", "bool", "int", "bitfield", "float" or "double".
const char* TypeName(ValueType type);

struct Variable {
  std::string name;
  ValueType type = ValueType::kFloat;
  std::int32_t count = 1;   // values; above 1 an array
  std::int32_t offset = 0;  // of the first value within a row
  std::string unit;
  std::string description;
  std::string key;  // the name as a JSON member's start: "NAME":
};

// The variables of one layout of the row, in directory order.
struct Directory {
  std::vector<Variable> variables;
  std::int32_t rowLength = 0;
  // Where the fifteen values of a DATA_PACKET lie, found as the relay finds
  // them, so that the data message is the relay's to the byte.
  relay::VariableOffsets relayOffsets{};

  // The first variable called `name`, or -1.
  int Find(std::string_view name) const;
};

// Reads the attached region's variable records. Nothing in a record is
// trusted: a type outside 0 to 5, a count below 1, or values that would
// reach past a row make that variable unavailable, and it is left out.
Directory ReadDirectory(const simlink::TelemetryRegion& region);
// The records' bytes as they stand, so that a changed directory shows as a
// difference; false when they lie outside the mapping.
bool ReadRecordBytes(const simlink::TelemetryRegion& region, std::vector<std::uint8_t>* bytes);

// The relay's fifteen as a directory of relay-web's own row layout, and a
// row of that layout filled from a checked DATA_PACKET.
const Directory& RelayDirectory();
void WriteRelayRow(const stream::DataPacket& packet, std::vector<std::uint8_t>& row);

// Value `index` of `variable` in `row` as a double (a bool as 0 or 1), or
// NaN when it does not lie in the row.
double ReadNumber(std::span<const std::uint8_t> row, const Variable& variable,
                  std::int32_t index = 0);

// Appends `variable`'s value in `row` as JSON: numbers in the shortest form
// that reads back as the same float or double, bools as true or false, chars
// and bit fields as whole numbers, arrays as arrays, and null for values
// that are not finite or do not lie in the row. Appends to `json` without
// allocating once it has the room.
void AppendValue(std::span<const std::uint8_t> row, const Variable& variable, std::string& json);

}  // namespace web
