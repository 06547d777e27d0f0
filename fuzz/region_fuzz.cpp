// The telemetry region over arbitrary bytes of arbitrary size: the fetch of a
// new row (with and without a row buffer, of any size), the header, the
// session text and the variable directory, and a DATA_PACKET formatted from
// whatever was fetched. Between the copies of a fetch the input may rewrite
// up to two 32-bit words of the region, as a simulator writing concurrently
// would: slot tick counts, row offsets, the row length, anything.
//
// Input: the region's bytes, then a trailer (see Trailer). Checked: nothing
// outside the region or the row buffer is read or written; a reported row is
// newer than the last one taken, and what was copied is the row a slot held
// under that tick count when it was copied; texts and messages stay within
// bounds.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "relay/messages.h"
#include "sessioninfo/car_facts.h"
#include "simlink/region.h"
#include "simlink/variable_directory.h"

namespace {

// The input's last kTrailerSize bytes, little-endian: the last tick count
// taken (4 bytes), the row buffer's size (2), and two rewrites, each a region
// offset (2) and the 32-bit value to write there (4).
constexpr std::size_t kTrailerSize = 18;

struct Rewrite {
  std::uint16_t offset = 0;
  std::int32_t value = 0;
};

struct Trailer {
  std::int32_t lastTickCount = 0;
  std::uint16_t rowBufferSize = 0;
  Rewrite rewrites[2];
};

Trailer ReadTrailer(const std::uint8_t (&bytes)[kTrailerSize]) {
  Trailer trailer;
  std::memcpy(&trailer.lastTickCount, bytes, 4);
  std::memcpy(&trailer.rowBufferSize, bytes + 4, 2);
  for (std::size_t i = 0; i < 2; ++i) {
    std::memcpy(&trailer.rewrites[i].offset, bytes + 6 + 6 * i, 2);
    std::memcpy(&trailer.rewrites[i].value, bytes + 8 + 6 * i, 4);
  }
  return trailer;
}

struct Rewriter {
  std::uint8_t* region;
  std::size_t size;
  const Trailer* trailer;
  int next = 0;
  std::vector<std::uint8_t> atCopy;  // the region as the last copy saw it
};

// Runs after each copy of a row, before its tick count is read again.
void RewriteDuringCopy(void* context) {
  auto* rewriter = static_cast<Rewriter*>(context);
  rewriter->atCopy.assign(rewriter->region, rewriter->region + rewriter->size);
  if (rewriter->next >= 2) return;
  const Rewrite& rewrite = rewriter->trailer->rewrites[rewriter->next++];
  if (std::size_t{rewrite.offset} + sizeof rewrite.value > rewriter->size) return;
  std::memcpy(rewriter->region + rewrite.offset, &rewrite.value, sizeof rewrite.value);
}

// Whether some slot of `region` holds tick count `tick` and, at its row
// offset, the bytes of `row` (as many as the header's row length gives, or
// fewer when the row buffer is shorter).
bool HeldUnderTick(const std::vector<std::uint8_t>& region, std::int32_t tick,
                   const std::vector<std::uint8_t>& row) {
  const platform::RegionView view{region.data(), region.size()};
  std::int32_t rowLength = 0, slotTick = 0, rowOffset = 0;
  simlink::ReadInt32(view, simlink::layout::kRowLength, &rowLength);
  const auto length = std::clamp<std::int64_t>(rowLength, 0, static_cast<std::int64_t>(row.size()));
  for (std::int64_t slot = simlink::layout::kSlots;
       simlink::ReadInt32(view, slot, &slotTick) && simlink::ReadInt32(view, slot + 4, &rowOffset);
       slot += simlink::layout::kSlotSize) {
    if (slotTick == tick && rowOffset >= 0 &&
        rowOffset + length <= static_cast<std::int64_t>(region.size()) &&
        std::equal(row.begin(), row.begin() + length, region.begin() + rowOffset)) {
      return true;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::size_t regionSize = size > kTrailerSize ? size - kTrailerSize : 0;
  std::uint8_t tail[kTrailerSize] = {};
  std::memcpy(tail, data + regionSize, size - regionSize);
  const Trailer trailer = ReadTrailer(tail);
  const auto memory = fuzzsupport::ExactCopy(data, regionSize, false);
  auto* base = reinterpret_cast<std::uint8_t*>(memory.get());

  simlink::TelemetryRegion region;
  simlink::AttachView(region, {base, regionSize});
  simlink::Header(region);

  region.lastTickCount = trailer.lastTickCount;
  if (simlink::FetchNewRow(region, nullptr)) {
    FUZZ_CHECK(region.lastTickCount > trailer.lastTickCount);
  }

  Rewriter rewriter{base, regionSize, &trailer, 0, {}};
  region.afterRowCopy = RewriteDuringCopy;
  region.afterRowCopyContext = &rewriter;
  region.lastTickCount = trailer.lastTickCount;
  simlink::RowBuffer row{std::vector<std::uint8_t>(trailer.rowBufferSize)};
  if (simlink::FetchNewRow(region, &row)) {
    FUZZ_CHECK(region.lastTickCount > trailer.lastTickCount);
    FUZZ_CHECK(HeldUnderTick(rewriter.atCopy, region.lastTickCount, row.bytes));
  }

  if (const char* text = simlink::SessionInfoText(region)) {
    FUZZ_CHECK(text >= memory.get() && text < memory.get() + regionSize);
    const auto left = static_cast<std::size_t>(memory.get() + regionSize - text);
    FUZZ_CHECK(std::memchr(text, '\0', left) != nullptr);
  }
  const std::string_view area = simlink::SessionInfoArea(region);
  if (!area.empty()) {
    FUZZ_CHECK(area.data() >= memory.get() &&
               area.data() + area.size() == memory.get() + regionSize);
  }
  sessioninfo::CarFacts facts;
  sessioninfo::ReadCarFacts(area, facts);

  relay::VariableOffsets offsets{};
  for (std::size_t i = 0; i < relay::kRelayedVariableCount; ++i) {
    offsets[i] = simlink::OffsetOf(region, relay::kRelayedVariables[i]);
  }
  char packet[relay::kPacketBufferSize];
  FUZZ_CHECK(relay::FormatDataPacket(row.bytes, offsets, packet) < relay::kPacketBufferSize);
  FUZZ_CHECK(relay::FormatSessionInfo(facts, packet) < relay::kPacketBufferSize);
  return 0;
}
