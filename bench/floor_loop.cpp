// The floor loop, written directly against the OS: only the wait goes
// through the platform layer, so that it is the very wait the relay makes.
#include "floor_loop.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "simlink/region.h"
#include "simlink/variable_directory.h"

namespace bench {

namespace {

namespace layout = simlink::layout;

constexpr int kWaitMilliseconds = 16;
// The loop's thread or process name, so that a profile tells it apart.
constexpr char kFloorName[] = "relay-floor";

std::int32_t Word(const platform::RegionView& view, std::int64_t offset) {
  std::int32_t value = 0;
  std::memcpy(&value, view.base + offset, sizeof value);
  return value;
}

std::int32_t TickOfSlot(const platform::RegionView& view, std::int64_t slot) {
  std::atomic_thread_fence(std::memory_order_acquire);
  return Word(view, layout::kSlots + layout::kSlotSize * slot + layout::kSlotTickCount);
}

// Copies the newest row into `floor.row` when it is newer than the last one
// taken. A row rewritten during the copy is copied once more.
bool FetchRow(FloorLoop& floor) {
  const platform::RegionView& view = floor.view;
  const std::int32_t slotCount = Word(view, layout::kSlotCount);
  std::int64_t slot = 0;
  std::int32_t tick = TickOfSlot(view, 0);
  for (std::int64_t i = 1; i < slotCount; ++i) {
    const std::int32_t candidate = TickOfSlot(view, i);
    if (candidate > tick) {
      slot = i;
      tick = candidate;
    }
  }
  if (!floor.haveTick || tick < floor.lastTick) {
    floor.haveTick = true;
    floor.lastTick = tick;
    return false;
  }
  if (tick == floor.lastTick) return false;
  const std::int64_t rowOffset =
      Word(view, layout::kSlots + layout::kSlotSize * slot + layout::kSlotRowOffset);
  if (rowOffset < 0 || rowOffset + static_cast<std::int64_t>(floor.row.size()) >
                           static_cast<std::int64_t>(view.size)) {
    return false;
  }
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::memcpy(floor.row.data(), view.base + rowOffset, floor.row.size());
    const std::int32_t after = TickOfSlot(view, slot);
    if (after == tick) {
      floor.lastTick = tick;
      return true;
    }
    tick = after;
  }
  return false;
}

std::int64_t ThreadCpuNanoseconds() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

// The loop itself. As a thread it ends when `running` is cleared; as a
// process it runs until it is killed, paused between turns.
void Run(FloorLoop* floor) {
  FloorCounters& counters = *floor->counters;
  floor->haveTick = false;
  while (floor->running.load(std::memory_order_relaxed)) {
    if (!FetchRow(*floor)) {
      platform::WaitForNamedEvent(floor->event, kWaitMilliseconds);
      if (!FetchRow(*floor)) continue;
    }
    const std::size_t length = relay::FormatDataPacket(floor->row, floor->offsets, floor->packet);
    for (const int client : floor->clients) {
      const ssize_t sent = send(client, floor->packet, length, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent == static_cast<ssize_t>(length)) continue;
      if (sent >= 0) {
        counters.shortSends.fetch_add(1, std::memory_order_relaxed);
      } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
        counters.blockedSends.fetch_add(1, std::memory_order_relaxed);
      } else {
        counters.failedSends.fetch_add(1, std::memory_order_relaxed);
      }
    }
  }
}

void RunThread(FloorLoop* floor) {
  pthread_setname_np(pthread_self(), kFloorName);
  const std::int64_t cpuStart = ThreadCpuNanoseconds();
  Run(floor);
  floor->threadCpuNanoseconds += ThreadCpuNanoseconds() - cpuStart;
}

}  // namespace

bool OpenFloor(FloorLoop& floor, std::string* error) {
  void* shared = mmap(nullptr, sizeof(FloorCounters), PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (shared == MAP_FAILED) {
    *error = std::string("the floor cannot map its counters: ") + std::strerror(errno);
    return false;
  }
  floor.counters = new (shared) FloorCounters;
  floor.mapping = platform::OpenNamedMapping(simlink::kMappingName);
  if (floor.mapping == nullptr || !platform::MapWholeView(floor.mapping, &floor.view)) {
    *error = "the floor cannot map the telemetry region";
    return false;
  }
  floor.event = platform::OpenNamedEvent(simlink::kDataValidEventName);
  if (floor.event == nullptr) {
    *error = "the floor cannot open the data-valid event";
    return false;
  }
  simlink::TelemetryRegion region;
  simlink::AttachView(region, floor.view);
  const std::int32_t rowLength = simlink::Header(region).rowLength;
  if (rowLength <= 0) {
    *error = "the telemetry region has no row length";
    return false;
  }
  // The loop reads the header's slots without checking them each time; the
  // publisher never changes their number, so checking once here is enough.
  const std::int32_t slotCount = simlink::Header(region).slotCount;
  if (slotCount < 1 ||
      layout::kSlots + layout::kSlotSize * slotCount > static_cast<std::int64_t>(floor.view.size)) {
    *error = "the telemetry region's slots do not fit it";
    return false;
  }
  floor.row.assign(static_cast<std::size_t>(rowLength), 0);
  for (std::size_t i = 0; i < relay::kRelayedVariableCount; ++i) {
    floor.offsets[i] = simlink::OffsetOf(region, relay::kRelayedVariables[i]);
  }

  floor.listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t addressLength = sizeof address;
  if (floor.listener < 0 ||
      bind(floor.listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(floor.listener, SOMAXCONN) != 0 ||
      getsockname(floor.listener, reinterpret_cast<sockaddr*>(&address), &addressLength) != 0) {
    *error = std::string("the floor cannot listen on 127.0.0.1: ") + std::strerror(errno);
    return false;
  }
  floor.port = ntohs(address.sin_port);
  return true;
}

bool AcceptFloorClients(FloorLoop& floor, std::size_t count, int timeoutMilliseconds) {
  const std::int64_t deadline =
      platform::MonotonicNanoseconds() + std::int64_t{timeoutMilliseconds} * 1000000;
  while (floor.clients.size() < count) {
    const int client = accept4(floor.listener, nullptr, nullptr, SOCK_NONBLOCK);
    if (client >= 0) {
      int on = 1;
      setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      floor.clients.push_back(client);
      continue;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
    if (platform::MonotonicNanoseconds() > deadline) return false;
    pollfd entry{floor.listener, POLLIN, 0};
    poll(&entry, 1, 10);
  }
  return true;
}

void CloseFloorClients(FloorLoop& floor) {
  if (floor.process.pid > 0) {
    floor.cpuOfEndedProcesses += CpuNanoseconds(floor.process.pid, floor.process.pid);
    EndRelay(floor.process);
  }
  for (const int client : floor.clients) close(client);
  floor.clients.clear();
}

bool StartFloor(FloorLoop& floor, std::string* error) {
  if (!floor.ownProcess) {
    floor.running.store(true);
    floor.thread = std::thread(RunThread, &floor);
    return true;
  }
  if (floor.process.pid > 0) {
    ResumeRelay(floor.process);
    return true;
  }
  floor.running.store(true);
  const pid_t pid = fork();
  if (pid < 0) {
    *error = std::string("cannot fork the floor's process: ") + std::strerror(errno);
    return false;
  }
  if (pid == 0) {
    // Only this thread lives on in the child; the loop needs nothing of the
    // benchmark's other threads.
    pthread_setname_np(pthread_self(), kFloorName);
    Run(&floor);
    _exit(0);
  }
  floor.process.pid = pid;
  return true;
}

bool StopFloor(FloorLoop& floor) {
  if (floor.ownProcess) return floor.process.pid <= 0 || PauseRelay(floor.process);
  if (!floor.thread.joinable()) return true;
  floor.running.store(false);
  floor.thread.join();
  return true;
}

std::int64_t FloorCpuNanoseconds(const FloorLoop& floor) {
  if (!floor.ownProcess) return floor.threadCpuNanoseconds;
  std::int64_t total = floor.cpuOfEndedProcesses;
  if (floor.process.pid > 0) total += CpuNanoseconds(floor.process.pid, floor.process.pid);
  return total;
}

}  // namespace bench
