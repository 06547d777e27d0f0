// The floor: the least a relay has to do per row on this machine, run inside
// the benchmark so that the relay's figures have something to be held
// against. One thread waits on the same data-valid semaphore with the same
// 16 ms bound, takes the newest row from the shared region with the same
// tick-count check, formats the same DATA_PACKET bytes and hands them to each
// of its clients with a plain non-blocking send, in order. It keeps no
// client table, admits nobody while running, and never completes or retries
// a send.
//
// By default the loop runs in a process of its own, forked from the
// benchmark once its clients are accepted and paused with SIGSTOP between
// its turns, exactly as the relay is: any relay is a process apart from the
// simulator and from its clients. As a thread of the benchmark (--floor
// thread) it shares an address space with the publisher and the reading
// thread, so the scheduler switches between them without changing address
// spaces; on a quiet machine that makes it cheaper than any relay can be.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "relay/messages.h"
#include "relay_process.h"

namespace bench {

// What the loop counts, in memory shared with its process.
struct FloorCounters {
  std::atomic<std::int64_t> blockedSends{0};  // the client's buffer was full: it misses the row
  std::atomic<std::int64_t> shortSends{0};    // the network took part of the message
  std::atomic<std::int64_t> failedSends{0};
};

struct FloorLoop {
  bool ownProcess = true;
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

  // As a process: forked at the first start after its clients were
  // accepted, ended when they are closed.
  RelayProcess process{-1, "the floor", ""};
  std::int64_t cpuOfEndedProcesses = 0;
  // As a thread.
  std::atomic<bool> running{false};
  std::thread thread;
  std::int64_t threadCpuNanoseconds = 0;
  // Totals over every run of the loop; read only while it is stopped.
  FloorCounters* counters = nullptr;
};

// Attaches to the named region and event the publisher made, resolves the
// relayed variables' offsets and listens on 127.0.0.1 at a free port.
bool OpenFloor(FloorLoop& floor, std::string* error);
// Accepts `count` connections that are already made or on their way, as
// non-blocking sockets with Nagle's algorithm off, as the relay has them.
bool AcceptFloorClients(FloorLoop& floor, std::size_t count, int timeoutMilliseconds);
// Ends the loop's process, if any, and closes the clients.
void CloseFloorClients(FloorLoop& floor);

// Starts or resumes the loop; false when its process could not be made.
bool StartFloor(FloorLoop& floor, std::string* error);
// Returns once the loop has stopped: its process is seen stopped, or its
// thread has ended (within one 16 ms wait). False when the process did not
// stop.
bool StopFloor(FloorLoop& floor);
// CPU time of the loop over every run so far.
std::int64_t FloorCpuNanoseconds(const FloorLoop& floor);

}  // namespace bench
