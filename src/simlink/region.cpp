// Attaching to the simulator's region, noticing new rows by their tick
// counts and copying them without tearing.
#include "simlink/region.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>

namespace simlink {

namespace {

constexpr int kWaitMilliseconds = 16;
constexpr int kCopyAttempts = 2;

std::int64_t SlotField(std::int64_t slot, std::int64_t field) {
  return layout::kSlots + layout::kSlotSize * slot + field;
}

// The simulator rewrites these words from its own process; the fence keeps
// the compiler from reusing a value read before the row copy.
bool ReadTickCount(const platform::RegionView& view, std::int64_t slot, std::int32_t* tick) {
  std::atomic_thread_fence(std::memory_order_acquire);
  return ReadInt32(view, SlotField(slot, layout::kSlotTickCount), tick);
}

// The slot with the highest tick count; equal counts keep the lower index.
bool ChooseNewestSlot(const platform::RegionView& view, std::int64_t* chosen) {
  *chosen = 0;
  for (std::int64_t i = 1;; ++i) {
    std::int32_t slotCount = 0;
    if (!ReadInt32(view, layout::kSlotCount, &slotCount)) return false;
    if (i >= slotCount) return true;
    std::int32_t candidate = 0;
    std::int32_t best = 0;
    if (!ReadTickCount(view, i, &candidate) || !ReadTickCount(view, *chosen, &best)) return false;
    if (candidate > best) *chosen = i;
  }
}

// One copy of the slot's row into `row`. A row length that has grown past the
// buffer copies what fits: the caller notices the new length after this fetch
// and remakes its buffer, which it could not if no row were ever reported.
bool CopyRow(const platform::RegionView& view, std::int64_t slot, RowBuffer& row) {
  std::int32_t rowLength = 0;
  std::int32_t rowOffset = 0;
  if (!ReadInt32(view, layout::kRowLength, &rowLength) ||
      !ReadInt32(view, SlotField(slot, layout::kSlotRowOffset), &rowOffset) || rowLength <= 0 ||
      rowOffset < 0) {
    return false;
  }
  const auto length =
      std::min<std::int64_t>(rowLength, static_cast<std::int64_t>(row.bytes.size()));
  // The whole row must lie in the mapping even when only part of it is copied.
  if (static_cast<std::int64_t>(rowOffset) + rowLength > static_cast<std::int64_t>(view.size)) {
    return false;
  }
  // An empty buffer (made while the header's row length read 0 or less) has
  // no storage, and memcpy must not be handed a null pointer even for 0 bytes.
  if (length > 0) {
    std::memcpy(row.bytes.data(), view.base + rowOffset, static_cast<std::size_t>(length));
  }
  return true;
}

// Without a buffer nothing is copied, but a row that could not be copied is
// not reported either, so the caller never sizes a buffer from a bogus row.
bool RowFits(const platform::RegionView& view, std::int64_t slot) {
  std::int32_t rowLength = 0;
  std::int32_t rowOffset = 0;
  return ReadInt32(view, layout::kRowLength, &rowLength) &&
         ReadInt32(view, SlotField(slot, layout::kSlotRowOffset), &rowOffset) && rowLength > 0 &&
         rowOffset >= 0 &&
         static_cast<std::int64_t>(rowOffset) + rowLength <= static_cast<std::int64_t>(view.size);
}

constexpr std::size_t kHeaderBytes = static_cast<std::size_t>(layout::kHeaderSize);

// The region or event was shrunk under this reader and now reads as zeros.
// Opens the name anew and, when the object there is whole again, lets go of
// the lost one for it; until then the lost one stays, reading as a
// simulator that is not publishing.
void ReplaceLost(TelemetryRegion& region) {
  if (platform::MappingLost(region.mapping)) {
    platform::Mapping* mapping = platform::OpenNamedMapping(kMappingName);
    platform::RegionView view;
    if (mapping != nullptr && platform::MapWholeView(mapping, &view, kHeaderBytes)) {
      platform::CloseNamedMapping(region.mapping, &region.view);
      region.mapping = mapping;
      region.view = view;
      region.lastTickCount = kNoTickCount;
    } else if (mapping != nullptr) {
      platform::CloseNamedMapping(mapping, &view);
    }
  }
  if (platform::EventLost(region.event)) {
    if (platform::Event* event = platform::OpenNamedEvent(kDataValidEventName)) {
      platform::CloseNamedEvent(region.event);
      region.event = event;
    }
  }
}

}  // namespace

bool ReadBytes(const platform::RegionView& view, std::int64_t offset, std::int64_t length,
               void* out) {
  const auto size = static_cast<std::int64_t>(view.size);
  if (view.base == nullptr || offset < 0 || length < 0 || offset > size || length > size - offset) {
    return false;
  }
  std::memcpy(out, view.base + offset, static_cast<std::size_t>(length));
  return true;
}

bool ReadInt32(const platform::RegionView& view, std::int64_t offset, std::int32_t* value) {
  return ReadBytes(view, offset, sizeof *value, value);
}

void AttachView(TelemetryRegion& region, platform::RegionView view) {
  region.view = view;
  region.viewHeld = true;
  region.attached = true;
  region.lastTickCount = kNoTickCount;
}

bool Attach(TelemetryRegion& region) {
  if (region.mapping == nullptr) {
    region.lastTickCount = kNoTickCount;
    region.mapping = platform::OpenNamedMapping(kMappingName);
    if (region.mapping == nullptr) return region.attached = false;
  }
  if (!region.viewHeld) {
    region.lastTickCount = kNoTickCount;
    region.viewHeld = platform::MapWholeView(region.mapping, &region.view, kHeaderBytes);
    if (!region.viewHeld) {
      // Too small for now. The next attempt opens the name anew, whatever
      // object it then holds.
      platform::CloseNamedMapping(region.mapping, &region.view);
      region.mapping = nullptr;
      return region.attached = false;
    }
  }
  if (region.event == nullptr) {
    region.lastTickCount = kNoTickCount;
    region.event = platform::OpenNamedEvent(kDataValidEventName);
    if (region.event == nullptr) return region.attached = false;
  }
  return region.attached = true;
}

bool FetchNewRow(TelemetryRegion& region, RowBuffer* row) {
  if (!region.attached && !Attach(region)) return false;
  if (platform::MappingLost(region.mapping) || platform::EventLost(region.event)) {
    ReplaceLost(region);
  }
  const platform::RegionView& view = region.view;

  std::int32_t status = 0;
  if (!ReadInt32(view, layout::kStatus, &status)) return false;
  if ((status & layout::kStatusConnected) == 0) {
    region.lastTickCount = kNoTickCount;
    return false;
  }

  std::int64_t slot = 0;
  std::int32_t tick = 0;
  if (!ChooseNewestSlot(view, &slot) || !ReadTickCount(view, slot, &tick)) return false;

  if (region.lastTickCount > tick) {
    // First sighting after attaching or a pause, or a count started anew.
    region.lastTickCount = tick;
    return false;
  }
  if (region.lastTickCount == tick) return false;

  if (row == nullptr) {
    if (!RowFits(view, slot)) return false;
    region.lastTickCount = tick;
    return true;
  }
  std::int32_t expected = tick;
  for (int attempt = 0; attempt < kCopyAttempts; ++attempt) {
    if (!CopyRow(view, slot, *row)) return false;
    if (region.afterRowCopy != nullptr) region.afterRowCopy(region.afterRowCopyContext);
    std::int32_t after = 0;
    if (!ReadTickCount(view, slot, &after)) return false;
    // Shrunk during the copy: part of the row may be the zeros put in its
    // place.
    if (platform::MappingLost(region.mapping)) return false;
    if (after == expected) {
      region.lastTickCount = after;
      return true;
    }
    // Rewritten during the copy. Try once more only if the slot now holds a
    // newer row: a count that went back is a restart or a slot being
    // rewritten, and its row is not new by the rules above.
    if (after <= region.lastTickCount) return false;
    expected = after;
  }
  return false;
}

bool CopyNewestRow(TelemetryRegion& region, RowBuffer& row) {
  if (!region.attached) return false;
  const platform::RegionView& view = region.view;
  std::int32_t status = 0;
  if (!ReadInt32(view, layout::kStatus, &status) || (status & layout::kStatusConnected) == 0) {
    return false;
  }
  for (int attempt = 0; attempt < kCopyAttempts; ++attempt) {
    std::int64_t slot = 0;
    std::int32_t tick = 0;
    if (!ChooseNewestSlot(view, &slot) || !ReadTickCount(view, slot, &tick) || tick <= 0 ||
        !CopyRow(view, slot, row)) {
      return false;
    }
    if (region.afterRowCopy != nullptr) region.afterRowCopy(region.afterRowCopyContext);
    std::int32_t after = 0;
    if (!ReadTickCount(view, slot, &after)) return false;
    if (after == tick) {
      region.lastTickCount = tick;
      return true;
    }
  }
  return false;
}

bool WaitForRow(TelemetryRegion& region, RowBuffer* row) {
  if (!region.attached && !Attach(region)) {
    platform::SleepMilliseconds(kWaitMilliseconds);
    return false;
  }
  if (FetchNewRow(region, row)) return true;
  platform::WaitForNamedEvent(region.event, kWaitMilliseconds);
  return FetchNewRow(region, row);
}

std::string_view SessionInfoArea(const TelemetryRegion& region) {
  if (!region.attached) return {};
  std::int32_t offset = 0;
  if (!ReadInt32(region.view, layout::kSessionInfoOffset, &offset) || offset < 0 ||
      static_cast<std::size_t>(offset) >= region.view.size) {
    return {};
  }
  const std::size_t size =
      std::min<std::size_t>(region.view.size - static_cast<std::size_t>(offset),
                            std::numeric_limits<std::int32_t>::max());
  const std::string_view area(reinterpret_cast<const char*>(region.view.base + offset), size);
  // A text that runs to the end of the mapping without its NUL is no text:
  // reading it anyway would take car facts from bytes the simulator never
  // finished writing.
  if (area.find('\0') == std::string_view::npos) return {};
  return area;
}

const char* SessionInfoText(const TelemetryRegion& region) {
  const std::string_view area = SessionInfoArea(region);
  return area.empty() ? nullptr : area.data();
}

RegionHeader Header(const TelemetryRegion& region) {
  RegionHeader header;
  const platform::RegionView& view = region.view;
  ReadInt32(view, layout::kStatus, &header.status);
  ReadInt32(view, layout::kSessionInfoOffset, &header.sessionInfoOffset);
  ReadInt32(view, layout::kVariableCount, &header.variableCount);
  ReadInt32(view, layout::kVariableRecordsOffset, &header.variableRecordsOffset);
  ReadInt32(view, layout::kSlotCount, &header.slotCount);
  ReadInt32(view, layout::kRowLength, &header.rowLength);
  return header;
}

}  // namespace simlink
