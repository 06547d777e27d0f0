// The clients of the soak run (scripts/soak.sh): two healthy readers that
// check every message they receive, and a steady churn of clients that read
// and leave, reset their connections, stall without reading, or send without
// pause. Runs against the relay on 127.0.0.1:6667, fed by
// relay_fault_publisher, for the given number of seconds.
//
//   relay_soak_clients <seconds>
//
// Prints what the readers received and exits with status 1 when a reader
// got a message that is not whole or not one row's, lost its connection, or
// missed a message the other reader got.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "clients/client_service.h"
#include "platform/platform.h"
#include "support/test_support.h"
#include "support/tick_rows.h"

namespace {

constexpr int kSessionInfoTick = -1;

std::int64_t NowMilliseconds() { return platform::MonotonicNanoseconds() / 1000000; }

// A healthy reader: splits its stream at the keywords and checks each
// message as a whole one arrives.
struct Reader {
  int fd = -1;
  std::string pending;     // bytes of the message not yet complete
  std::vector<int> ticks;  // each message in order; kSessionInfoTick for SESSION_INFO
  long bad = 0;
  bool lost = false;

  void Check(std::string_view message) {
    if (message.starts_with("SESSION_INFO")) {
      if (message != testsupport::kDefaultSessionInfo) ++bad;
      ticks.push_back(kSessionInfoTick);
      return;
    }
    const auto tick = static_cast<int>(testsupport::Field(message, 9));
    if (message != testsupport::TickPacket(tick, 1)) ++bad;
    ticks.push_back(tick);
  }

  void Read() {
    char buffer[16384];
    const ssize_t got = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
      lost = true;
      return;
    }
    if (got < 0) return;
    pending.append(buffer, static_cast<std::size_t>(got));
    // Every message but the last one seen is complete.
    std::size_t start = 0;
    for (;;) {
      const std::size_t next = NextKeyword(start + 1);
      if (next == std::string::npos) break;
      Check(std::string_view(pending).substr(start, next - start));
      start = next;
    }
    pending.erase(0, start);
  }

  std::size_t NextKeyword(std::size_t from) const {
    const std::size_t data = pending.find("DATA_PACKET", from);
    const std::size_t info = pending.find("SESSION_INFO", from);
    return data < info ? data : info;
  }
};

enum class Kind { kReadThenClose, kReset, kStall, kChatter, kConnectAndClose };

struct Churner {
  int fd;
  Kind kind;
  std::int64_t end;
};

int Connect(int receiveBuffer = 0) {
  const auto socket = platform::ConnectTcp("127.0.0.1", clients::kPort, receiveBuffer);
  return socket == platform::kInvalidSocket ? -1 : static_cast<int>(socket);
}

void Reset(int fd) {
  linger hard{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  close(fd);
}

void Discard(int fd) {
  char buffer[16384];
  while (recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: relay_soak_clients <seconds>\n");
    return 2;
  }
  const std::int64_t start = NowMilliseconds();
  const std::int64_t end = start + std::atoll(argv[1]) * 1000;

  Reader readers[2];
  for (Reader& reader : readers) {
    reader.fd = Connect();
    if (reader.fd < 0) {
      std::fprintf(stderr, "relay_soak_clients: cannot connect to 127.0.0.1:%s\n", clients::kPort);
      return 1;
    }
    platform::SleepMilliseconds(500);  // admitted in this order
  }

  std::deque<Churner> churners;
  long made = 0;
  std::int64_t nextChurn = NowMilliseconds();
  const std::string junk(16384, 'z');
  while (NowMilliseconds() < end) {
    const std::int64_t now = NowMilliseconds();
    if (now >= nextChurn) {
      nextChurn = now + 100;
      const auto kind = static_cast<Kind>(made % 5);
      const int fd = Connect(kind == Kind::kStall ? 2048 : 0);
      if (fd >= 0) {
        ++made;
        const int life = kind == Kind::kStall ? 5000 : kind == Kind::kChatter ? 2000 : 300;
        churners.push_back({fd, kind, now + (kind == Kind::kConnectAndClose ? 0 : life)});
      }
    }
    for (auto it = churners.begin(); it != churners.end();) {
      if (it->kind == Kind::kReadThenClose) Discard(it->fd);
      if (it->kind == Kind::kChatter) {
        send(it->fd, junk.data(), junk.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        Discard(it->fd);
      }
      if (now < it->end) {
        ++it;
        continue;
      }
      if (it->kind == Kind::kReset) {
        Reset(it->fd);
      } else {
        close(it->fd);
      }
      it = churners.erase(it);
    }
    pollfd polls[2] = {{readers[0].fd, POLLIN, 0}, {readers[1].fd, POLLIN, 0}};
    poll(polls, 2, 5);
    for (int i = 0; i < 2; ++i) {
      if (polls[i].revents != 0) readers[i].Read();
    }
    if (readers[0].lost || readers[1].lost) break;
  }
  for (const Churner& churner : churners) close(churner.fd);

  // Over the stretch both read, the readers got the same messages: the later
  // one's first message is found in the earlier one's stream, and from there
  // on the two agree.
  const std::vector<int>& early = readers[0].ticks;
  const std::vector<int>& late = readers[1].ticks;
  const auto from = late.empty() ? early.end() : std::find(early.begin(), early.end(), late[0]);
  const auto overlap = std::min(early.end() - from, static_cast<std::ptrdiff_t>(late.size()));
  const bool same = from != early.end() && std::equal(late.begin(), late.begin() + overlap, from);
  std::printf("churn connections: %ld in %lld s\n", made,
              static_cast<long long>((NowMilliseconds() - start) / 1000));
  bool ok = same;
  for (int i = 0; i < 2; ++i) {
    const Reader& reader = readers[i];
    std::printf("reader %d: %zu messages, %ld not whole or not one row's%s\n", i,
                reader.ticks.size(), reader.bad, reader.lost ? ", connection lost" : "");
    ok = ok && reader.bad == 0 && !reader.lost && !reader.ticks.empty();
  }
  std::printf("the readers got %s messages where both read\n", same ? "the same" : "DIFFERENT");
  return ok ? 0 : 1;
}
