// The telemetry variables relay-web can send a browser, and their values in
// a row. With the simulator as the source they come from its variable
// records; with a relay as the source they are the fifteen of the relay's
// DATA_PACKET, which relay-web lays out in a row of its own so that both
// sources are read the same way.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
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

// Hashes names for lookups by std::string_view without a string made.
struct NameHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view name) const {
    return std::hash<std::string_view>{}(name);
  }
};

// The variables of one layout of the row, in directory order.
struct Directory {
  std::vector<Variable> variables;
  std::int32_t rowLength = 0;
  // Where the fifteen values of a DATA_PACKET lie, found as the relay finds
  // them, so that the data message is the relay's to the byte.
  relay::VariableOffsets relayOffsets{};
  // Each name's place in `variables`, once Index() has built it.
  std::unordered_map<std::string, int, NameHash, std::equal_to<>> byName;

  // Builds the lookup by name, once the variables are in place.
  void Index();
  // The variable called `name`, or -1: by the lookup once built, otherwise
  // by a search.
  int Find(std::string_view name) const;
};

// A layout of the simulator's row as its header and records give it: what
// tells one layout from another.
struct RegionLayout {
  std::int32_t variableCount = 0;
  std::int32_t recordsOffset = 0;
  std::int32_t rowLength = 0;
  std::vector<std::uint8_t> records;  // the records' bytes
};

// Reads the attached region's layout, records taken twice until two reads
// agree (the simulator may be rewriting them). False when the header does
// not fit the mapping (a row length of 0 or less or longer than the mapping,
// a negative count, records outside the mapping), which is no simulator, or
// when the records did not hold still.
bool ReadLayout(const simlink::TelemetryRegion& region, RegionLayout* layout);
// True when the region's header and records are still `layout`'s: three
// header fields compared and the records' bytes with memcmp. Allocates
// nothing; for every row.
bool SameLayout(const simlink::TelemetryRegion& region, const RegionLayout& layout);
// The variables of `layout`'s records. Nothing in a record is trusted: a
// type outside 0 to 5, a count below 1, or values that would reach past a
// row make that variable unavailable, and it is left out. A name given to
// more than one record is the first record's, as in the relay's lookups.
Directory MakeDirectory(const RegionLayout& layout);

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
// The same for an array's first `elements` values only (at most its count).
void AppendValue(std::span<const std::uint8_t> row, const Variable& variable, std::int32_t elements,
                 std::string& json);
// The most characters one value of `type` takes in JSON (a float's or
// double's shortest form, null included).
std::size_t MaxValueLength(ValueType type);

}  // namespace web
