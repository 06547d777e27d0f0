// The relay's one loop: wait for the next telemetry row, admit at most one
// waiting client, keep the row buffer matched to the simulator's row length,
// and send every client one message per new row: a DATA_PACKET, or on a
// countdown a SESSION_INFO.
#pragma once

#include <cstdint>
#include <optional>

#include "clients/client_service.h"
#include "relay/messages.h"
#include "sessioninfo/car_facts.h"
#include "simlink/region.h"

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
  char packet[kPacketBufferSize] = {};
};

// Opens the listener on `port` (ending the process if that fails), asks for a
// 16 ms timer resolution and prints "Waiting for iRacing...".
void SetUp(Relay& relay, const char* port);
// One turn of the loop: at most one new row, one admission and one broadcast.
void RunTurn(Relay& relay);

}  // namespace relay
