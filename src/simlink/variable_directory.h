// Finds a telemetry variable's offset within a row by its name, with a linear
// search of the region's variable records.
#pragma once

#include <cstdint>

#include "simlink/region.h"

namespace simlink {

// The value offset of the first record whose name equals `name` in its first
// 32 characters (strncmp with a limit of 32), or -1 when there is none.
std::int32_t OffsetOf(const TelemetryRegion& region, const char* name);

}  // namespace simlink
