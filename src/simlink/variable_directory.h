// Finds a telemetry variable's offset within a row by its name, with a linear
// search of the region's variable records.
#pragma once

#include <cstdint>

#include "simlink/region.h"

namespace simlink {

// Where a variable was found: the index of its record among the records and
// its value offset within a row; both -1 when it was not found.
struct VariableRecord {
  std::int32_t index = -1;
  std::int32_t offset = -1;
};

// The first record whose name equals `name` in its first 32 characters
// (strncmp with a limit of 32).
VariableRecord FindVariable(const TelemetryRegion& region, const char* name);
// FindVariable's value offset, or -1 when there is none.
std::int32_t OffsetOf(const TelemetryRegion& region, const char* name);
// True when record `record.index` of the records at `recordsOffset` still
// names `name` and gives the value offset `record.offset`: two small reads,
// for checking on every row that a variable found earlier has not moved.
bool RecordUnchanged(const TelemetryRegion& region, std::int32_t recordsOffset,
                     VariableRecord record, const char* name);

}  // namespace simlink
