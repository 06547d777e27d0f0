// The relay's attachment to the simulator's shared telemetry: the region's
// layout, the bounds-checked reads every other part uses on it, and the
// fetch that notices a newly published row and copies it without tearing.
//
// The region is written by another process at any moment, and nothing in it
// is trusted: every read is checked against the size of the mapping, and a
// read that does not fit gives no row, no text or -1 instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace simlink {

inline constexpr char kMappingName[] = "Local\\IRSDKMemMapFileName";
inline constexpr char kDataValidEventName[] = "Local\\IRSDKDataValidEvent";

// Byte offsets of the header fields the relay reads, and of the records.
namespace layout {
inline constexpr std::int64_t kStatus = 4;
inline constexpr std::int64_t kSessionInfoOffset = 20;
inline constexpr std::int64_t kVariableCount = 24;
inline constexpr std::int64_t kVariableRecordsOffset = 28;
inline constexpr std::int64_t kSlotCount = 32;
inline constexpr std::int64_t kRowLength = 36;
inline constexpr std::int64_t kSlots = 48;
inline constexpr std::int64_t kSlotSize = 16;
// The header with room for four slots: a mapping smaller than this is no
// region (a reader does not map it).
inline constexpr std::int64_t kHeaderSize = kSlots + 4 * kSlotSize;
inline constexpr std::int64_t kSlotTickCount = 0;
inline constexpr std::int64_t kSlotRowOffset = 4;
inline constexpr std::int64_t kVariableRecordSize = 144;
inline constexpr std::int64_t kVariableValueOffset = 4;
inline constexpr std::int64_t kVariableName = 16;
inline constexpr std::int64_t kVariableNameLength = 32;
inline constexpr std::int32_t kStatusConnected = 1;

// Fields the relay itself never reads, for the other readers and writers of
// the region: the header's rows per second, and the rest of a variable
// record (its value type, its element count, and two NUL-padded texts that
// have no NUL when full).
inline constexpr std::int64_t kTickRate = 8;
inline constexpr std::int64_t kVariableType = 0;
inline constexpr std::int64_t kVariableElements = 8;
inline constexpr std::int64_t kVariableDescription = 48;
inline constexpr std::int64_t kVariableDescriptionLength = 64;
inline constexpr std::int64_t kVariableUnit = 112;
inline constexpr std::int64_t kVariableUnitLength = 32;
}  // namespace layout

// The value types a variable record numbers at kVariableType.
enum class ValueType : std::int32_t { kChar, kBool, kInt, kBitField, kFloat, kDouble };

// Bytes one value of the type takes in a row.
constexpr std::int32_t ValueSize(ValueType type) {
  switch (type) {
    case ValueType::kChar:
    case ValueType::kBool:
      return 1;
    case ValueType::kDouble:
      return 8;
    default:
      return 4;
  }
}

// No row taken yet: any tick count the simulator publishes is lower.
inline constexpr std::int32_t kNoTickCount = 2147483647;

// The relay's private copy of one telemetry row.
struct RowBuffer {
  std::vector<std::uint8_t> bytes;
};

// Reads `length` bytes at `offset` of `view` into `out`; false, and nothing
// read, when any of them lies outside the view.
bool ReadBytes(const platform::RegionView& view, std::int64_t offset, std::int64_t length,
               void* out);
// A little-endian signed 32-bit field at `offset`; false when out of bounds.
bool ReadInt32(const platform::RegionView& view, std::int64_t offset, std::int32_t* value);

struct TelemetryRegion {
  platform::Mapping* mapping = nullptr;
  bool viewHeld = false;
  platform::RegionView view;
  platform::Event* event = nullptr;
  bool attached = false;
  std::int32_t lastTickCount = kNoTickCount;
  // Called after each copy of a row, before its tick count is checked again.
  // Lets a test rewrite the slot mid-copy; null otherwise.
  void (*afterRowCopy)(void* context) = nullptr;
  void* afterRowCopyContext = nullptr;
};

// A snapshot of the header fields, each 0 when it cannot be read.
struct RegionHeader {
  std::int32_t status = 0;
  std::int32_t sessionInfoOffset = 0;
  std::int32_t variableCount = 0;
  std::int32_t variableRecordsOffset = 0;
  std::int32_t slotCount = 0;
  std::int32_t rowLength = 0;
};

// Treats `view` as an attached region: what attaching produces, and how
// tests lay a region out in memory (with no event: waits return at once).
void AttachView(TelemetryRegion& region, platform::RegionView view);

// Opens whatever of mapping, view and event is still missing. A mapping too
// small for the header is closed again, so that the next attempt opens the
// name anew.
bool Attach(TelemetryRegion& region);
// True when a row newer than the last one taken was found and, when `row` is
// given, copied into it.
//
// A region or event shrunk under the reader (on POSIX, another process
// truncated the object) reads as zeros from then on: the status bit clear, as
// when the simulator is not publishing (see platform::MappingLost). Each
// fetch then opens the name anew, and once the object has a header's size
// again the reader lets go of the lost one and reads the new one.
bool FetchNewRow(TelemetryRegion& region, RowBuffer* row);
// Copies the newest row in the region into `row` whatever tick counts were
// seen before, so that a reader can show the newest row at once (FetchNewRow
// passes over the first row it sees after attaching), and takes its tick
// count as the last one seen: the next FetchNewRow reports only newer rows.
// The copy is checked against the slot's tick count as FetchNewRow checks
// it. False, and `region` untouched, when the status bit is clear, no slot
// holds a row yet (every tick count 0 or below), the row does not fit the
// mapping, or the slot was rewritten during each copy.
bool CopyNewestRow(TelemetryRegion& region, RowBuffer& row);
// FetchNewRow, and when that finds nothing, one 16 ms wait on the event and a
// second FetchNewRow. Sleeps 16 ms while the simulator is absent.
bool WaitForRow(TelemetryRegion& region, RowBuffer* row);
// The NUL-terminated session text inside the region, or nullptr when not
// attached or when the text has no NUL before the end of the mapping.
const char* SessionInfoText(const TelemetryRegion& region);
// The bytes from the session text's start to the end of the mapping (at most
// 2^31 - 1 of them, so a scan's 32-bit counters cannot overflow), or an empty
// view when not attached, when the offset lies outside the mapping, or when
// no NUL ends the text before the end of the mapping (no text). The text
// ends at its first NUL in them. The simulator may rewrite the text while it
// is read, so a NUL found once may be gone a moment later: readers scan with
// this view's end as a second bound instead of trusting the NUL alone.
std::string_view SessionInfoArea(const TelemetryRegion& region);
RegionHeader Header(const TelemetryRegion& region);

}  // namespace simlink
