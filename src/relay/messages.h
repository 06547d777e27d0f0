// The two wire messages: DATA_PACKET with fifteen values of one telemetry row,
// and SESSION_INFO with the car's engine-speed thresholds and path.
//
// Messages are plain text with no terminator, line end or length prefix;
// clients find where one begins by its keyword.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "sessioninfo/car_facts.h"

namespace relay {

inline constexpr std::size_t kPacketBufferSize = 1024;
inline constexpr std::size_t kRelayedVariableCount = 15;

// The relayed variables' names, in the order of their DATA_PACKET fields.
extern const std::array<const char*, kRelayedVariableCount> kRelayedVariables;

// Row offsets of the relayed variables, in the same order; -1: not found.
using VariableOffsets = std::array<std::int32_t, kRelayedVariableCount>;

// The engine speed as sent: truncated toward zero, and -2147483648 for a value
// that is not a number or whose truncation is outside the 32-bit range.
std::int32_t TruncateToInt32(double value);

// Write the message into `buffer` and return its length. A value whose offset
// is -1 or whose bytes lie outside `row` is sent as 0.
std::size_t FormatDataPacket(std::span<const std::uint8_t> row, const VariableOffsets& offsets,
                             char (&buffer)[kPacketBufferSize]);
std::size_t FormatSessionInfo(const sessioninfo::CarFacts& facts,
                              char (&buffer)[kPacketBufferSize]);

}  // namespace relay
