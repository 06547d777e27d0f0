// The variable directory: a linear search of the region's variable records.
#include "simlink/variable_directory.h"

#include <cstring>

namespace simlink {

namespace {

// Record `index`'s name and value offset; false when it lies outside the view.
bool ReadRecord(const platform::RegionView& view, std::int32_t recordsOffset, std::int64_t index,
                char (&name)[layout::kVariableNameLength], std::int32_t* valueOffset) {
  const std::int64_t record = recordsOffset + layout::kVariableRecordSize * index;
  return ReadBytes(view, record + layout::kVariableName, sizeof name, name) &&
         ReadInt32(view, record + layout::kVariableValueOffset, valueOffset);
}

}  // namespace

VariableRecord FindVariable(const TelemetryRegion& region, const char* name) {
  if (name == nullptr) return {};
  const platform::RegionView& view = region.view;
  std::int32_t recordsOffset = 0;
  if (!ReadInt32(view, layout::kVariableRecordsOffset, &recordsOffset)) return {};
  // The count is read again after every record, as the simulator may be
  // rewriting the header while we search.
  for (std::int32_t i = 0;; ++i) {
    std::int32_t count = 0;
    if (!ReadInt32(view, layout::kVariableCount, &count) || i >= count) return {};
    char recordName[layout::kVariableNameLength];
    std::int32_t valueOffset = 0;
    if (!ReadRecord(view, recordsOffset, i, recordName, &valueOffset)) return {};
    // A 32-character name has no terminator; strncmp stops at 32 either way.
    if (std::strncmp(name, recordName, sizeof recordName) == 0) return {i, valueOffset};
  }
}

std::int32_t OffsetOf(const TelemetryRegion& region, const char* name) {
  return FindVariable(region, name).offset;
}

bool RecordUnchanged(const TelemetryRegion& region, std::int32_t recordsOffset,
                     VariableRecord record, const char* name) {
  char recordName[layout::kVariableNameLength];
  std::int32_t valueOffset = 0;
  return record.index >= 0 &&
         ReadRecord(region.view, recordsOffset, record.index, recordName, &valueOffset) &&
         valueOffset == record.offset && std::strncmp(name, recordName, sizeof recordName) == 0;
}

}  // namespace simlink
