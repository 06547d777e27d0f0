// Rows whose every relayed value derives from the row's tick count and the
// publisher's generation, for the fault tests: a message copied from a row
// that was being rewritten mixes the values of two ticks and matches neither.
// Every value is exact in binary, so the expected text needs no rounding.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "sim-publisher/publisher.h"

namespace testsupport {

// Fills the relayed variables of `row` for `tick` of publisher `generation`.
void FillTickRow(std::span<std::uint8_t> row, const publisher::Layout& layout, std::int32_t tick,
                 std::int32_t generation);
// The DATA_PACKET the relay must send for that row.
std::string TickPacket(std::int32_t tick, std::int32_t generation);

}  // namespace testsupport
