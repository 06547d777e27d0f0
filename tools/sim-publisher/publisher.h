// Plays the simulator's part: lays a telemetry region out (header, variable
// records, session text, row slots), writes rows into it, raises their tick
// counts and signals the data-valid event. Shared by the tests, the simulated
// publisher and the benchmarks.
//
// The named objects are never removed on exit: a restarted publisher reuses
// them, as the simulator's own objects outlive it while a relay holds them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "simlink/region.h"

namespace publisher {

// Smallest size of the named mapping the publisher creates (larger when a
// layout needs more); an existing one is reused at whatever size it has.
inline constexpr std::size_t kNamedRegionSize = 1 << 20;

// The records' value types, from the region's own format.
using simlink::ValueSize;
using simlink::ValueType;

struct Variable {
  std::string name{};
  ValueType type = ValueType::kFloat;
  std::int32_t count = 1;     // array length
  std::int32_t offset = 0;    // within a row
  std::string unit{};         // at most 32 bytes are written
  std::string description{};  // at most 64 bytes are written
};

struct Layout {
  std::int32_t slotCount = 3;
  std::int32_t rowLength = 0;
  std::int32_t tickRate = 60;  // rows per second, as the header tells readers
  std::int32_t sessionInfoOffset = 112;
  std::int32_t sessionInfoCapacity = 512 * 1024;
  std::vector<Variable> variables;
  // Variable records taken verbatim (144 bytes each) from a recording; when
  // present they are written instead of records made from `variables`.
  std::vector<std::uint8_t> records;
};

// Lays `variables` out back to back from row offset 0, as the simulator packs
// them (so values sit at unaligned offsets), and returns the layout with a
// row length of at least `minimumRowLength`.
Layout PackedLayout(std::vector<Variable> variables, std::int32_t slotCount,
                    std::int32_t minimumRowLength);
// A layout the size of a real session's: 3 slots, 323 variables of which 60
// are arrays of 64 values (one per car), a row of 15,986 bytes, the relayed
// values at unaligned offsets.
Layout DefaultLayout();
// A session text with a driver list, in the simulator's style.
std::string DefaultSessionText();

// The layout of a recording's region: its verbatim variable records, its row
// length and tick rate, room for a session text of `sessionTextLength` bytes
// and its NUL, and three row slots. Check RegionSize before laying it out: a
// layout beyond 2^31 - 1 bytes cannot be described by the header's offsets.
Layout RecordedLayout(std::vector<std::uint8_t> records, std::int32_t rowLength,
                      std::int32_t tickRate, std::size_t sessionTextLength);

std::int32_t VariableCount(const Layout& layout);
std::int32_t VariableRecordsOffset(const Layout& layout);
std::int32_t RowOffset(const Layout& layout, std::int32_t slot);
// Bytes a region needs for `layout`, counted in 64 bits so that a layout too
// large for the header's 32-bit offsets shows as more than 2^31 - 1.
std::uint64_t RegionSize(const Layout& layout);
// The row offset of `name`, or -1.
std::int32_t OffsetOf(const Layout& layout, std::string_view name);

// Writes the header, records, session text and empty slots, with every tick
// count 0 and the status bit clear. False when the region is too small or
// the text does not fit.
bool WriteLayout(std::span<std::uint8_t> region, const Layout& layout,
                 std::string_view sessionText);
// Replaces the session text; false when it does not fit.
bool WriteSessionText(std::span<std::uint8_t> region, const Layout& layout,
                      std::string_view sessionText);
void SetConnected(std::span<std::uint8_t> region, bool connected);

// Stores a value in a row at its variable's offset (element `index` of an
// array); does nothing for a name the layout lacks.
void SetFloat(std::span<std::uint8_t> row, const Layout& layout, std::string_view name, float value,
              std::int32_t index = 0);
void SetDouble(std::span<std::uint8_t> row, const Layout& layout, std::string_view name,
               double value);
void SetInt(std::span<std::uint8_t> row, const Layout& layout, std::string_view name,
            std::int32_t value, std::int32_t index = 0);
void SetBool(std::span<std::uint8_t> row, const Layout& layout, std::string_view name, bool value);
// Stores `values` as the first elements of the array `name`, with one look-up
// for them all; values beyond the array's length or the row's end are left
// out.
void SetFloats(std::span<std::uint8_t> row, const Layout& layout, std::string_view name,
               std::span<const float> values);
void SetInts(std::span<std::uint8_t> row, const Layout& layout, std::string_view name,
             std::span<const std::int32_t> values);
void SetBools(std::span<std::uint8_t> row, const Layout& layout, std::string_view name,
              std::span<const bool> values);

struct Publisher {
  std::span<std::uint8_t> region;
  Layout layout;
  std::int32_t tickCount = 0;
  platform::Event* event = nullptr;  // none for an in-memory region
};

// Creates (or reuses) the named mapping and event, lays `layout` out and sets
// the status bit. A mapping it creates has kNamedRegionSize bytes or what the
// layout needs, if more; a reused one that is too small is left untouched.
// False with `error` set on failure.
bool OpenNamed(Publisher& publisher, const Layout& layout, std::string_view sessionText,
               std::string* error);
// True once the named region or event was shrunk under the publisher by
// another program (on POSIX, truncated): its writes since went to pages of
// its own that no reader sees (see platform::RegionLost).
bool Lost(const Publisher& publisher);
// Releases the publisher's handle on the event. The region and the named
// objects stay, so a relay attached to them keeps its view.
void Close(Publisher& publisher);

// The lock a publisher holds while it feeds the named objects.
inline constexpr char kPublisherLockName[] = "Local\\TelemetryRelayPublisher";
// How long OpenNamedExclusive watches a reused region for a live writer.
inline constexpr int kLiveWriterWatchMilliseconds = 250;

// OpenNamed for a publisher that must be the only one: first claims
// kPublisherLockName for the life of the process, and refuses to touch a
// region it reuses while that region's tick counts are still moving (a
// writer without the lock, such as the simulator itself). False with `error`
// set, and nothing written, when another publisher is running or when one of
// the names is taken by another user's object (platform::ForeignObject).
bool OpenNamedExclusive(Publisher& publisher, const Layout& layout, std::string_view sessionText,
                        std::string* error);
// Lays `layout` out in memory the caller owns (tests), status bit set.
bool OpenInMemory(Publisher& publisher, std::span<std::uint8_t> region, const Layout& layout,
                  std::string_view sessionText);

// The tick count a slot holds while PublishRow rewrites it.
inline constexpr std::int32_t kRewritingTickCount = -2147483647 - 1;

// Writes `row` into the next slot, raises that slot's tick count to the next
// tick and signals the event. While the row is being written the slot's tick
// count is kRewritingTickCount, so a reader copying that slot sees the change.
// After the tick count 2^31 - 1 the count starts over at 1 with every other
// slot's count 0, as after Restart.
void PublishRow(Publisher& publisher, std::span<const std::uint8_t> row);
// Writes a new header row length (a layout change) with the current records;
// false when the slots would no longer fit the region.
bool ChangeRowLength(Publisher& publisher, std::int32_t rowLength);
// Starts over as a restarted simulator does: the status bit goes clear, the
// current layout and `sessionText` are laid out again with every tick count
// 0, the status bit is set, and the next row published has tick count 1.
// False, with the status bit left clear, when the text does not fit.
bool Restart(Publisher& publisher, std::string_view sessionText);

}  // namespace publisher
