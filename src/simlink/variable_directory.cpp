// The variable directory: a linear search of the region's variable records.
#include "simlink/variable_directory.h"

#include <cstring>

namespace simlink {

std::int32_t OffsetOf(const TelemetryRegion& region, const char* name) {
  if (name == nullptr) return -1;
  const platform::RegionView& view = region.view;
  std::int32_t recordsOffset = 0;
  if (!ReadInt32(view, layout::kVariableRecordsOffset, &recordsOffset)) return -1;
  // The count is read again after every record, as the simulator may be
  // rewriting the header while we search.
  for (std::int64_t i = 0;; ++i) {
    std::int32_t count = 0;
    if (!ReadInt32(view, layout::kVariableCount, &count) || i >= count) return -1;
    const std::int64_t record = recordsOffset + layout::kVariableRecordSize * i;
    char recordName[layout::kVariableNameLength];
    std::int32_t valueOffset = 0;
    if (!ReadBytes(view, record + layout::kVariableName, sizeof recordName, recordName) ||
        !ReadInt32(view, record + layout::kVariableValueOffset, &valueOffset)) {
      return -1;
    }
    // A 32-character name has no terminator; strncmp stops at 32 either way.
    if (std::strncmp(name, recordName, sizeof recordName) == 0) return valueOffset;
  }
}

}  // namespace simlink
