// The reading thread and the controls the benchmark drives it with.
#include "receivers.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace bench {

namespace {

constexpr int kMaxEvents = 256;
constexpr int kPollMilliseconds = 50;

std::uint64_t Key(int side, std::size_t index) {
  return (static_cast<std::uint64_t>(side) << 32) | static_cast<std::uint64_t>(index);
}

// The DATA_PACKET the relay must send for `tick`, built as the relay builds
// it from the row the feed published.
const std::string& ExpectedData(Receivers& receivers, std::int64_t tick) {
  Receivers::Expected& entry = receivers.expected[static_cast<std::size_t>(tick) % 16];
  if (entry.tick != tick) {
    char packet[relay::kPacketBufferSize];
    entry.text = ExpectedDataPacket(*receivers.feed, tick, receivers.row, packet);
    entry.tick = tick;
  }
  return entry.text;
}

// Counts one whole message of `client`, received at `now`.
void Take(Receivers& receivers, int side, std::size_t index, const Message& message,
          std::int64_t now) {
  Receiver& client = receivers.clients[side][index];
  client.receivedAny = true;
  static const Window kNoWindow;
  const Window& window = side == receivers.windowSide ? receivers.window : kNoWindow;
  switch (message.kind) {
    case MessageKind::kData: {
      const std::int64_t tick = TickOf(message.text);
      if (tick < 0 || message.text != ExpectedData(receivers, tick)) {
        ++receivers.faults[side].corrupt;
        return;
      }
      if (!CountData(client.tally, window, tick) || !receivers.timeWindow ||
          side != receivers.windowSide) {
        return;
      }
      const std::int64_t latency = now - PublishTime(*receivers.feed, tick);
      Latencies& latencies = receivers.latencies[side];
      if (index == 0) latencies.first.push_back(latency);
      if (index + 1 == receivers.clients[side].size()) latencies.last.push_back(latency);
      latencies.all.push_back(latency);
      return;
    }
    case MessageKind::kSessionInfo:
      if (message.text != receivers.expectedSessionInfo) {
        ++receivers.faults[side].corrupt;
        return;
      }
      CountSessionInfo(client.tally);
      return;
    case MessageKind::kGarbage:
      ++receivers.faults[side].corrupt;
      return;
    case MessageKind::kIncomplete:
      return;
  }
}

void Parse(Receivers& receivers, int side, std::size_t index, std::int64_t now) {
  Receiver& client = receivers.clients[side][index];
  std::string_view rest = client.carry;
  for (;;) {
    const Message message = NextMessage(rest);
    if (message.kind == MessageKind::kIncomplete) break;
    rest.remove_prefix(message.text.size());
    Take(receivers, side, index, message, now);
  }
  // A SESSION_INFO is only known to be whole when the next message begins;
  // one that is exactly the expected text is taken at once, so that a window
  // ending on it is not held up until the next row.
  if (rest == receivers.expectedSessionInfo) {
    Take(receivers, side, index, {MessageKind::kSessionInfo, rest}, now);
    rest = {};
  }
  client.carry.erase(0, client.carry.size() - rest.size());
}

void Drain(Receivers& receivers, int side, std::size_t index) {
  Receiver& client = receivers.clients[side][index];
  if (client.closed) return;
  for (;;) {
    const ssize_t received = recv(client.fd, receivers.scratch, sizeof receivers.scratch, 0);
    if (received > 0) {
      const std::int64_t now = platform::MonotonicNanoseconds();
      receivers.bytes[side] += received;
      client.carry.append(receivers.scratch, static_cast<std::size_t>(received));
      Parse(receivers, side, index, now);
      continue;
    }
    if (received < 0 && errno == EINTR) continue;
    if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    client.closed = true;
    ++receivers.faults[side].closed;
    epoll_ctl(receivers.epoll, EPOLL_CTL_DEL, client.fd, nullptr);
    return;
  }
}

void Read(Receivers* receivers) {
  epoll_event events[kMaxEvents];
  while (receivers->running.load(std::memory_order_relaxed)) {
    const int ready = epoll_wait(receivers->epoll, events, kMaxEvents, kPollMilliseconds);
    if (ready <= 0) continue;
    std::lock_guard lock(receivers->mutex);
    for (int i = 0; i < ready; ++i) {
      const int side = static_cast<int>(events[i].data.u64 >> 32);
      const auto index = static_cast<std::size_t>(events[i].data.u64 & 0xffffffffu);
      if (index < receivers->clients[side].size()) Drain(*receivers, side, index);
    }
  }
}

}  // namespace

bool StartReceivers(Receivers& receivers, const Feed& feed, std::string* error) {
  receivers.feed = &feed;
  receivers.row.assign(feed.row.size(), 0);
  receivers.expectedSessionInfo = ExpectedSessionInfo();
  receivers.epoll = epoll_create1(EPOLL_CLOEXEC);
  if (receivers.epoll < 0) {
    *error = std::string("epoll_create1: ") + std::strerror(errno);
    return false;
  }
  receivers.running.store(true);
  receivers.thread = std::thread(Read, &receivers);
  return true;
}

void StopReceivers(Receivers& receivers) {
  if (!receivers.thread.joinable()) return;
  receivers.running.store(false);
  receivers.thread.join();
  for (int side = 0; side < kSides; ++side) Disconnect(receivers, side);
  close(receivers.epoll);
}

bool Connect(Receivers& receivers, int side, int port, std::size_t count, int timeoutMilliseconds,
             std::string* error) {
  const std::string service = std::to_string(port);
  const std::int64_t deadline =
      platform::MonotonicNanoseconds() + std::int64_t{timeoutMilliseconds} * 1000000;
  for (std::size_t i = 0; i < count; ++i) {
    platform::Socket socket = platform::ConnectTcp("127.0.0.1", service.c_str());
    while (socket == platform::kInvalidSocket && i == 0 &&
           platform::MonotonicNanoseconds() < deadline) {
      platform::SleepMilliseconds(10);
      socket = platform::ConnectTcp("127.0.0.1", service.c_str());
    }
    if (socket == platform::kInvalidSocket) {
      *error = "cannot connect client " + std::to_string(i) + " to 127.0.0.1:" + service + ": " +
               std::strerror(errno);
      return false;
    }
    const int fd = static_cast<int>(socket);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    std::lock_guard lock(receivers.mutex);
    Receiver& client = receivers.clients[side].emplace_back();
    client.fd = fd;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = Key(side, receivers.clients[side].size() - 1);
    if (epoll_ctl(receivers.epoll, EPOLL_CTL_ADD, fd, &event) != 0) {
      *error = std::string("epoll_ctl: ") + std::strerror(errno);
      return false;
    }
  }
  return true;
}

void Disconnect(Receivers& receivers, int side) {
  std::lock_guard lock(receivers.mutex);
  for (Receiver& client : receivers.clients[side]) {
    if (!client.closed) epoll_ctl(receivers.epoll, EPOLL_CTL_DEL, client.fd, nullptr);
    close(client.fd);
  }
  receivers.clients[side].clear();
  receivers.faults[side] = {};
  receivers.latencies[side] = {};
}

std::size_t ClientsServed(Receivers& receivers, int side) {
  std::lock_guard lock(receivers.mutex);
  std::size_t served = 0;
  for (const Receiver& client : receivers.clients[side]) served += client.receivedAny ? 1 : 0;
  return served;
}

void OpenWindow(Receivers& receivers, int side, Window window, bool time) {
  std::lock_guard lock(receivers.mutex);
  for (Receiver& client : receivers.clients[side]) OpenWindow(client.tally);
  receivers.windowSide = side;
  receivers.window = window;
  receivers.timeWindow = time;
}

bool WaitWhileBytesFlow(int quietMilliseconds,
                        const std::function<bool(std::int64_t* bytes)>& caughtUp) {
  std::int64_t lastBytes = -1;
  std::int64_t lastChange = 0;
  for (;;) {
    std::int64_t bytes = 0;
    if (caughtUp(&bytes)) return true;
    const std::int64_t now = platform::MonotonicNanoseconds();
    if (bytes != lastBytes) {
      lastBytes = bytes;
      lastChange = now;
    } else if (now - lastChange > std::int64_t{quietMilliseconds} * 1000000) {
      return false;
    }
    platform::SleepMilliseconds(1);
  }
}

bool WaitCaughtUp(Receivers& receivers, int side, std::int64_t tick, int quietMilliseconds) {
  return WaitWhileBytesFlow(quietMilliseconds, [&](std::int64_t* bytes) {
    std::lock_guard lock(receivers.mutex);
    *bytes = receivers.bytes[side];
    return std::all_of(
        receivers.clients[side].begin(), receivers.clients[side].end(),
        [tick](const Receiver& client) { return client.closed || CaughtUp(client.tally, tick); });
  });
}

WindowCounts CloseWindow(Receivers& receivers) {
  std::lock_guard lock(receivers.mutex);
  WindowCounts counts;
  for (Receiver& client : receivers.clients[receivers.windowSide]) {
    CloseWindow(client.tally, receivers.window);
    counts.delivered += client.tally.delivered;
    counts.missing += client.tally.missing;
  }
  receivers.window = {};
  receivers.timeWindow = false;
  return counts;
}

SideFaults Faults(Receivers& receivers, int side) {
  std::lock_guard lock(receivers.mutex);
  SideFaults faults = receivers.faults[side];
  for (const Receiver& client : receivers.clients[side])
    faults.outOfOrder += client.tally.outOfOrder;
  return faults;
}

Latencies TakeLatencies(Receivers& receivers, int side) {
  std::lock_guard lock(receivers.mutex);
  Latencies taken = std::move(receivers.latencies[side]);
  receivers.latencies[side] = {};
  return taken;
}

}  // namespace bench
