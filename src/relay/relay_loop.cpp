// The relay loop.
#include "relay/relay_loop.h"

#include <algorithm>
#include <cstdio>

#include "simlink/variable_directory.h"

namespace relay {

namespace {

constexpr int kTimerResolutionMilliseconds = 16;

void PrintClientConnected(std::uint32_t clientNumber) {
  char line[48];
  std::snprintf(line, sizeof line, "\n Client %d connected", static_cast<int>(clientNumber));
  platform::ConsoleWrite(line);
}

// Sizes the row buffer to the header's row length and re-reads the car facts.
// The buffer is filled by the next fetch; this turn sends nothing.
void MakeRowBuffer(Relay& relay) {
  relay.rowSize = simlink::Header(relay.region).rowLength;
  // The fetch that reported this row checked that it fits the mapping, but
  // the header may have changed since; never size the buffer past the mapping.
  const auto bytes =
      std::clamp<std::int64_t>(relay.rowSize, 0, static_cast<std::int64_t>(relay.region.view.size));
  relay.row.emplace();
  relay.row->bytes.assign(static_cast<std::size_t>(bytes), 0);
  platform::ConsoleWrite("\n Connected to sim...");
  sessioninfo::ReadCarFacts(simlink::SessionInfoArea(relay.region), relay.facts);
  platform::ConsoleWrite(relay.facts.userName);
  platform::ConsoleWrite("\n");
}

// Looks every relayed variable up afresh, and remembers where.
void ResolveOffsets(Relay& relay, const simlink::RegionHeader& header) {
  for (std::size_t i = 0; i < kRelayedVariableCount; ++i) {
    relay.records[i] = simlink::FindVariable(relay.region, kRelayedVariables[i]);
    relay.offsets[i] = relay.records[i].offset;
  }
  relay.resolvedVariableCount = header.variableCount;
  relay.resolvedRecordsOffset = header.variableRecordsOffset;
  relay.resolvedRowLength = header.rowLength;
}

// True while the offsets still describe the simulator's layout: a few header
// fields and one record per variable found, no search. A variable not found
// stays unfound until the header or one of those records changes.
bool OffsetsHold(const Relay& relay, const simlink::RegionHeader& header) {
  if (header.variableCount != relay.resolvedVariableCount ||
      header.variableRecordsOffset != relay.resolvedRecordsOffset ||
      header.rowLength != relay.resolvedRowLength) {
    return false;
  }
  for (std::size_t i = 0; i < kRelayedVariableCount; ++i) {
    if (relay.records[i].index >= 0 &&
        !simlink::RecordUnchanged(relay.region, header.variableRecordsOffset, relay.records[i],
                                  kRelayedVariables[i])) {
      return false;
    }
  }
  return true;
}

}  // namespace

void SetUp(Relay& relay, const char* port) {
  clients::OpenListener(relay.clients, port);
  platform::RequestTimerResolution(kTimerResolutionMilliseconds);
  platform::ConsoleWrite("Waiting for iRacing...");
}

void RunTurn(Relay& relay) {
  if (!simlink::WaitForRow(relay.region, relay.row ? &*relay.row : nullptr)) return;

  const simlink::RegionHeader header = simlink::Header(relay.region);
  if (clients::AdmitClient(relay.clients, relay.nextClientNumber)) {
    PrintClientConnected(relay.nextClientNumber);
    ++relay.nextClientNumber;
    relay.sessionInfoCounter = kSessionInfoRestart;
    ResolveOffsets(relay, header);
  }

  if (!relay.row || header.rowLength != relay.rowSize) {
    MakeRowBuffer(relay);
    return;
  }
  if (clients::ClientCount(relay.clients) == 0) return;

  relay.sessionInfoCounter += kSessionInfoStep;
  std::size_t length = 0;
  if (relay.sessionInfoCounter > kSessionInfoDue) {
    relay.sessionInfoCounter = 0;
    length = FormatSessionInfo(relay.facts, relay.packet);
  } else {
    if (!OffsetsHold(relay, header)) ResolveOffsets(relay, header);
    length = FormatDataPacket(relay.row->bytes, relay.offsets, relay.packet);
  }
  clients::Broadcast(relay.clients, relay.packet, length);
}

}  // namespace relay
