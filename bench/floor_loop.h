// The floor: the least a relay has to do per row on this machine, run inside
// the benchmark so that the relay's figures have something to be held
// against. One thread waits on the same data-valid semaphore with the same
// 16 ms bound, takes the newest row from the shared region with the same
// tick-count check, formats the same DATA_PACKET bytes and hands them to each
// of its clients with a plain non-blocking send, in order. It keeps no
// client table, admits nobody while running, and never completes or retries
// a send.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "relay/messages.h"

namespace bench {

struct FloorLoop {
  platform::Mapping* mapping = nullptr;
  platform::RegionView view;
  platform::Event* event = nullptr;
  relay::VariableOffsets offsets{};
  std::vector<std::uint8_t> row;
  std::int32_t lastTick = 0;
  bool haveTick = false;
  char packet[relay::kPacketBufferSize] = {};

  int listener = -1;
  int port = 0;
  std::vector<int> clients;

  std::atomic<bool> running{false};
  std::thread thread;
  // Totals over every run of the loop; read only while it is stopped.
  std::int64_t cpuNanoseconds = 0;
  std::int64_t rowsSent = 0;
  std::int64_t blockedSends = 0;  // the client's buffer was full: it misses the row
  std::int64_t shortSends = 0;    // the network took part of the message
  std::int64_t failedSends = 0;
};

// Attaches to the named region and event the publisher made, resolves the
// relayed variables' offsets and listens on 127.0.0.1 at a free port.
bool OpenFloor(FloorLoop& floor, std::string* error);
// Accepts `count` connections that are already made or on their way, as
// non-blocking sockets with Nagle's algorithm off, as the relay has them.
bool AcceptFloorClients(FloorLoop& floor, std::size_t count, int timeoutMilliseconds);
void CloseFloorClients(FloorLoop& floor);

void StartFloor(FloorLoop& floor);
// Returns once the loop has ended (within one 16 ms wait).
void StopFloor(FloorLoop& floor);

}  // namespace bench
