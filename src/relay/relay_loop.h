// The relay's one loop: wait for the next telemetry row, admit at most one
// waiting client, keep the row buffer matched to the simulator's row length,
// and send every client one message per new row: a DATA_PACKET, or on a
// countdown a SESSION_INFO.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "clients/client_service.h"
#include "relay/messages.h"
#include "sessioninfo/car_facts.h"
#include "simlink/region.h"
#include "simlink/variable_directory.h"

namespace relay {

// The countdown to the next SESSION_INFO: an admission sets it to
// kSessionInfoRestart, each sending turn adds kSessionInfoStep, and the turn
// that takes it past kSessionInfoDue sends SESSION_INFO and sets it to 0.
inline constexpr std::int32_t kSessionInfoRestart = 9500;
inline constexpr std::int32_t kSessionInfoStep = 16;
inline constexpr std::int32_t kSessionInfoDue = 10000;

// Everything the loop keeps; it lives as long as the process.
struct Relay {
  simlink::TelemetryRegion region;
  clients::ClientService clients;
  sessioninfo::CarFacts facts;
  std::optional<simlink::RowBuffer> row;
  std::int32_t rowSize = 0;  // the header's row length when `row` was made
  std::uint32_t nextClientNumber = 0;
  std::int32_t sessionInfoCounter = 0;
  VariableOffsets offsets{};
  // Where `offsets` were found, for the check on every row that the
  // simulator's layout has not changed since: each variable's record (index
  // -1: not found), and the header fields that place the records and size
  // the rows, as they were then.
  std::array<simlink::VariableRecord, kRelayedVariableCount> records{};
  std::int32_t resolvedVariableCount = 0;
  std::int32_t resolvedRecordsOffset = 0;
  std::int32_t resolvedRowLength = 0;
  char packet[kPacketBufferSize] = {};
};

// Opens the listener on `port` (ending the process if that fails), asks for a
// 16 ms timer resolution and prints "Waiting for iRacing...".
void SetUp(Relay& relay, const char* port);
// One turn of the loop: at most one new row, one admission and one broadcast.
// The variables' offsets are looked up when a client is admitted, and again
// before a DATA_PACKET whenever the layout changed since (the header's
// variable count, records offset or row length, or the record a variable
// was found in no longer naming it at the same offset): a simulator that
// restarts with another layout is followed from its first row on.
void RunTurn(Relay& relay);

}  // namespace relay
