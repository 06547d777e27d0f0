// relay-mqtt-bench: a team's worth of relay-mqtt through one local
// Mosquitto. It starts the broker on a free loopback port, serves a
// synthetic relay-web feed of its own (a WebSocket server speaking the
// feed's protocol, one socket per driver, every row stamped with its send
// time and a sequence number, and a new session message every two seconds),
// starts one real relay-mqtt process per driver, and reads every topic with
// the viewers (MQTT clients on one thread). It reports the messages per
// second, the latency from the feed to the viewers, what the broker hop
// alone adds (a stamped reference topic that the benchmark publishes
// itself), the messages lost, and the CPU time and memory of the broker and
// the bridges.
//
// Exit status: 1 when a retained message or a row is lost or a process dies,
// never on timing.
// Boost 1.74's asio/awaitable.hpp uses std::exchange without including it.
// clang-format off
#include <utility>
// clang-format on

#include <mosquitto.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "measure.h"
#include "relay_process.h"
#include "report.h"

namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::int64_t Now() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

// The integer after `"key":` in `text`, or -1.
std::int64_t Field(std::string_view text, std::string_view key) {
  const std::size_t at = text.find(key);
  if (at == std::string_view::npos) return -1;
  std::int64_t value = -1;
  std::from_chars(text.data() + at + key.size(), text.data() + text.size(), value);
  return value;
}

struct Settings {
  int drivers = 20;
  int viewers = 100;
  int rate = 10;
  double seconds = 30;
  bool smoke = false;
};

// ---- The synthetic feed -------------------------------------------------------

// What the feed sent, read by the main thread.
struct FeedCounts {
  explicit FeedCounts(int drivers)
      : lastChange(static_cast<std::size_t>(drivers)),
        firstSeq(static_cast<std::size_t>(drivers)),
        lastSeq(static_cast<std::size_t>(drivers)) {
    for (std::size_t d = 0; d < lastChange.size(); ++d) {
      lastChange[d] = firstSeq[d] = lastSeq[d] = -1;
    }
  }
  std::atomic<std::int64_t> windowStart{0}, windowEnd{0};
  // Per driver: the last session change, and the first and last row sent in
  // the measured window.
  std::vector<std::atomic<std::int64_t>> lastChange, firstSeq, lastSeq;
};

// One driver's socket: rows at the rate the bridge asked for (hz=), each
// {"type":"data",...,"seq":N,"sent":NS}, and a session message every 2 s.
class FeedSession : public std::enable_shared_from_this<FeedSession> {
 public:
  FeedSession(tcp::socket socket, struct FeedCounts* counts)
      : ws_(std::move(socket)), timer_(ws_.get_executor()), counts_(counts) {}

  void Run() {
    http::async_read(ws_.next_layer(), buffer_, request_,
                     [self = shared_from_this()](beast::error_code ec, std::size_t) {
                       if (!ec) self->Accept();
                     });
  }

 private:
  void Accept() {
    // /ws/DRIVER?hz=N
    const std::string_view target(request_.target().data(), request_.target().size());
    driver_ = static_cast<int>(Field(target, "/ws/"));
    const std::int64_t hz = Field(target, "hz=");
    period_ = std::chrono::nanoseconds(1000000000 / (hz > 0 ? hz : 60));
    ws_.text(true);
    ws_.async_accept(request_, [self = shared_from_this()](beast::error_code ec) {
      if (ec) return;
      self->Send(R"({"type":"status","relay":"connected"})");
      self->next_ = Clock::now() + self->period_;
      self->Tick();
    });
  }
  void Tick() {
    timer_.expires_at(next_);
    timer_.async_wait([self = shared_from_this()](beast::error_code ec) {
      if (ec) return;
      self->next_ += self->period_;
      if (self->writing_) {
        ++self->skipped_;  // the bridge did not take the last one yet
      } else {
        const std::int64_t now = Now();
        if (now - self->lastSession_ >= 2000000000) {
          self->lastSession_ = now;
          self->Send(R"({"type":"session","firstRpm":5500,"lastRpm":7100,"shiftRpm":6900,)"
                     R"("blinkRpm":7250,"carPath":"car)" +
                     std::to_string(self->driver_) + R"(","change":)" +
                     std::to_string(self->changes_) + "}");
          if (self->driver_ >= 0 &&
              static_cast<std::size_t>(self->driver_) < self->counts_->lastChange.size()) {
            self->counts_->lastChange[static_cast<std::size_t>(self->driver_)] = self->changes_;
          }
          ++self->changes_;
        }
        const auto d = static_cast<std::size_t>(self->driver_);
        if (now >= self->counts_->windowStart && now < self->counts_->windowEnd &&
            d < self->counts_->firstSeq.size()) {
          if (self->counts_->firstSeq[d] < 0) self->counts_->firstSeq[d] = self->seq_;
          self->counts_->lastSeq[d] = self->seq_;
        }
        self->Send(R"({"type":"data","oilTemp":90.50,"waterTemp":85.25,"gear":3,)"
                   R"("fuelLevel":42.70,"rpm":6543,"lapDistPct":0.50,"fuelLevelPct":0.38,)"
                   R"("lapDist":1234.50,"lap":4,"raceLaps":3,"sessionLapsRemain":12,)"
                   R"("sessionTimeRemain":1800.00,"onPitRoad":false,"throttle":1.00,)"
                   R"("isOnTrack":true,"seq":)" +
                   std::to_string(self->seq_++) + R"(,"sent":)" + std::to_string(now) + "}");
      }
      self->Tick();
    });
  }
  void Send(std::string text) {
    queue_.push_back(std::move(text));
    if (writing_) return;
    WriteNext();
  }
  void WriteNext() {
    if (queue_.empty()) return;
    writing_ = true;
    ws_.async_write(net::buffer(queue_.front()),
                    [self = shared_from_this()](beast::error_code ec, std::size_t) {
                      self->writing_ = false;
                      self->queue_.erase(self->queue_.begin());
                      if (!ec) self->WriteNext();
                    });
  }

  websocket::stream<tcp::socket> ws_;
  beast::flat_buffer buffer_;
  http::request<http::empty_body> request_;
  net::steady_timer timer_;
  FeedCounts* counts_;
  std::vector<std::string> queue_;
  Clock::time_point next_;
  std::chrono::nanoseconds period_{};
  std::int64_t seq_ = 0, changes_ = 0, lastSession_ = 0, skipped_ = 0;
  int driver_ = -1;
  bool writing_ = false;
};

class Feed {
 public:
  explicit Feed(int drivers)
      : counts(drivers), acceptor_(io_, {net::ip::make_address("127.0.0.1"), 0}) {
    Accept();
    thread_ = std::thread([this] { io_.run(); });
  }
  ~Feed() {
    io_.stop();
    thread_.join();
  }
  unsigned short Port() const { return acceptor_.local_endpoint().port(); }

  FeedCounts counts;

 private:
  void Accept() {
    acceptor_.async_accept([this](beast::error_code ec, tcp::socket socket) {
      if (!ec) {
        socket.set_option(tcp::no_delay(true));
        std::make_shared<FeedSession>(std::move(socket), &counts)->Run();
      }
      Accept();
    });
  }

  net::io_context io_;
  tcp::acceptor acceptor_;
  std::thread thread_;
};

// ---- The viewers --------------------------------------------------------------

struct Tally {
  std::vector<std::int64_t> latencies;   // feed -> viewer, rows sent in the window
  std::vector<std::int64_t> reference;   // benchmark -> broker -> viewer
  std::vector<std::vector<int>> copies;  // [driver][seq]: viewers that got the row
  std::int64_t delivered = 0;            // every message any viewer got
  std::int64_t sessionGaps = 0;
  std::int64_t windowStart = 0, windowEnd = 0;
};

struct Viewer {
  mosquitto* client = nullptr;
  Tally* tally = nullptr;
  std::vector<std::int64_t> lastChange;  // per driver
};

void OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
  auto* viewer = static_cast<Viewer*>(self);
  Tally& tally = *viewer->tally;
  const std::int64_t now = Now();
  ++tally.delivered;
  const std::string_view topic(message->topic);
  const std::string_view text(static_cast<const char*>(message->payload),
                              static_cast<std::size_t>(message->payloadlen));
  const std::int64_t sent = Field(text, "\"sent\":");
  const bool inWindow = sent >= tally.windowStart && sent < tally.windowEnd;
  if (topic == "bench/reference") {
    if (inWindow) tally.reference.push_back(now - sent);
  } else if (topic.ends_with("/data")) {
    if (inWindow) tally.latencies.push_back(now - sent);
    const auto driver = static_cast<std::size_t>(Field(topic, "bench/car"));
    const std::int64_t seq = Field(text, "\"seq\":");
    if (driver < tally.copies.size() && seq >= 0) {
      std::vector<int>& copies = tally.copies[driver];
      if (copies.size() <= static_cast<std::size_t>(seq))
        copies.resize(static_cast<std::size_t>(seq) + 64);
      ++copies[static_cast<std::size_t>(seq)];
    }
  } else if (topic.ends_with("/session")) {
    // Every change of every car, in order: a retained QoS 1 topic loses none.
    const auto driver = static_cast<std::size_t>(Field(topic, "bench/car"));
    const std::int64_t change = Field(text, "\"change\":");
    if (driver < viewer->lastChange.size() && change >= 0) {
      std::int64_t& last = viewer->lastChange[driver];
      if (last >= 0 && change > last + 1) tally.sessionGaps += change - last - 1;
      last = std::max(last, change);
    }
  }
}

bool ConnectViewer(Viewer& viewer, int port, const std::string& id, int drivers) {
  viewer.client = mosquitto_new(id.c_str(), true, &viewer);
  viewer.lastChange.assign(static_cast<std::size_t>(drivers), -1);
  mosquitto_message_callback_set(viewer.client, &OnMessage);
  mosquitto_int_option(viewer.client, MOSQ_OPT_TCP_NODELAY, 1);
  return mosquitto_connect(viewer.client, "127.0.0.1", port, 60) == MOSQ_ERR_SUCCESS &&
         mosquitto_subscribe(viewer.client, nullptr, "bench/#", 1) == MOSQ_ERR_SUCCESS;
}

// Runs every client's network side for `duration` on this thread, and
// publishes the stamped reference topic `rate` times a second.
void Pump(std::vector<Viewer>& viewers, mosquitto* reference, int rate, Clock::duration duration) {
  const Clock::time_point end = Clock::now() + duration;
  Clock::time_point nextReference = Clock::now();
  std::vector<pollfd> fds(viewers.size() + 1);
  Clock::time_point nextMisc = Clock::now();
  while (Clock::now() < end) {
    for (std::size_t i = 0; i < fds.size(); ++i) {
      mosquitto* client = i < viewers.size() ? viewers[i].client : reference;
      fds[i] = {mosquitto_socket(client),
                static_cast<short>(POLLIN | (mosquitto_want_write(client) ? POLLOUT : 0)), 0};
    }
    const auto wait = std::min(nextReference, end) - Clock::now();
    poll(fds.data(), fds.size(),
         std::max(0, static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wait).count())));
    for (std::size_t i = 0; i < fds.size(); ++i) {
      mosquitto* client = i < viewers.size() ? viewers[i].client : reference;
      // One packet per call: read until the socket is empty.
      if (fds[i].revents & (POLLIN | POLLERR | POLLHUP)) {
        for (int n = 0; n < 256; ++n) {
          errno = 0;
          if (mosquitto_loop_read(client, 1) != MOSQ_ERR_SUCCESS || errno == EAGAIN) break;
        }
      }
      if (fds[i].revents & POLLOUT) mosquitto_loop_write(client, 64);
    }
    if (Clock::now() >= nextReference) {
      nextReference += std::chrono::nanoseconds(1000000000 / rate);
      const std::string text = "{\"sent\":" + std::to_string(Now()) + "}";
      mosquitto_publish(reference, nullptr, "bench/reference", static_cast<int>(text.size()),
                        text.data(), 0, false);
    }
    if (Clock::now() >= nextMisc) {
      nextMisc = Clock::now() + 1s;
      for (Viewer& viewer : viewers) mosquitto_loop_misc(viewer.client);
      mosquitto_loop_misc(reference);
    }
  }
}

std::int64_t ResidentKilobytes(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(file, line)) {
    if (line.starts_with("VmRSS:")) return std::stoll(line.substr(6));
  }
  return -1;
}

unsigned short FreePort() {
  net::io_context io;
  tcp::acceptor acceptor(io, {net::ip::make_address("127.0.0.1"), 0});
  return acceptor.local_endpoint().port();
}

bool ParseSettings(int argc, char** argv, Settings* settings) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    const auto number = [&](auto* value) {
      if (i + 1 >= argc) return false;
      const std::string_view text = argv[++i];
      return std::from_chars(text.data(), text.data() + text.size(), *value).ec == std::errc();
    };
    bool ok = true;
    if (argument == "--smoke") {
      settings->smoke = true;
      settings->drivers = 3;
      settings->viewers = 5;
      settings->seconds = 3;
    } else if (argument == "--drivers") {
      ok = number(&settings->drivers) && settings->drivers > 0;
    } else if (argument == "--viewers") {
      ok = number(&settings->viewers) && settings->viewers > 0;
    } else if (argument == "--seconds") {
      ok = number(&settings->seconds) && settings->seconds > 0;
    } else if (argument == "--rate") {
      ok = number(&settings->rate) && settings->rate >= 1 && settings->rate <= 60;
    } else {
      ok = false;
    }
    if (!ok) {
      std::fprintf(stderr,
                   "usage: relay-mqtt-bench [--drivers N] [--viewers N] [--rate HZ] "
                   "[--seconds S] [--smoke]\n");
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  if (!ParseSettings(argc, argv, &settings)) return 2;
  const Clock::time_point began = Clock::now();
  // Every viewer and bridge is a socket; the default limit of 1024 is near.
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  setrlimit(RLIMIT_NOFILE, &files);
  mosquitto_lib_init();

  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("relay-mqtt-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const unsigned short port = FreePort();
  std::ofstream(dir / "broker.conf")
      << (geteuid() == 0 ? "user root\n" : "") << "allow_anonymous true\npersistence false\n"
      << "max_queued_messages 10000\nset_tcp_nodelay true\nlistener " << port << " 127.0.0.1\n";
  std::vector<std::string> faults;
  std::string error;
  bench::RelayProcess broker{-1, "mosquitto", std::to_string(port)};
  if (!bench::StartRelay(broker, "/usr/sbin/mosquitto", &error,
                         {"-c", (dir / "broker.conf").string()})) {
    std::fprintf(stderr, "relay-mqtt-bench: %s\n", error.c_str());
    return 1;
  }
  std::this_thread::sleep_for(500ms);

  Feed feed(settings.drivers);
  Tally tally;
  tally.copies.resize(static_cast<std::size_t>(settings.drivers));
  std::vector<Viewer> viewers(static_cast<std::size_t>(settings.viewers));
  for (std::size_t i = 0; i < viewers.size(); ++i) {
    viewers[i].tally = &tally;
    if (!ConnectViewer(viewers[i], port, "viewer-" + std::to_string(i), settings.drivers)) {
      std::fprintf(stderr, "relay-mqtt-bench: viewer %zu cannot connect to mosquitto\n", i);
      return 1;
    }
  }
  mosquitto* reference = mosquitto_new("reference", true, nullptr);
  mosquitto_int_option(reference, MOSQ_OPT_TCP_NODELAY, 1);
  mosquitto_connect(reference, "127.0.0.1", port, 60);

  std::vector<bench::RelayProcess> bridges(static_cast<std::size_t>(settings.drivers));
  for (std::size_t d = 0; d < bridges.size(); ++d) {
    bridges[d].name = "relay-mqtt " + std::to_string(d);
    if (!bench::StartRelay(
            bridges[d], RELAY_MQTT_EXECUTABLE, &error,
            {"--topic", "bench/car" + std::to_string(d), "--broker",
             "mqtt://127.0.0.1:" + std::to_string(port), "--web",
             "ws://127.0.0.1:" + std::to_string(feed.Port()) + "/ws/" + std::to_string(d), "--rate",
             std::to_string(settings.rate)})) {
      std::fprintf(stderr, "relay-mqtt-bench: %s\n", error.c_str());
      return 1;
    }
  }
  // Warm-up: every bridge connected and its rows flowing.
  Pump(viewers, reference, settings.rate, 3s);

  // The measured window: rows sent during it, then a second to drain.
  const auto window =
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(settings.seconds));
  std::vector<std::int64_t> bridgeCpu(bridges.size()), bridgeRss(bridges.size());
  for (std::size_t d = 0; d < bridges.size(); ++d) {
    bridgeCpu[d] = bench::ProcessCpuNanoseconds(bridges[d].pid);
    bridgeRss[d] = ResidentKilobytes(bridges[d].pid);
  }
  const std::int64_t brokerCpu = bench::ProcessCpuNanoseconds(broker.pid);
  const std::int64_t selfCpu = bench::ProcessCpuNanoseconds(getpid());
  const std::int64_t deliveredBefore = tally.delivered;
  tally.windowStart = Now();
  tally.windowEnd = tally.windowStart + std::chrono::nanoseconds(window).count();
  feed.counts.windowStart = tally.windowStart;
  feed.counts.windowEnd = tally.windowEnd;
  Pump(viewers, reference, settings.rate, window);
  const double brokerPercent =
      100.0 * static_cast<double>(bench::ProcessCpuNanoseconds(broker.pid) - brokerCpu) /
      static_cast<double>(std::chrono::nanoseconds(window).count());
  const double selfPercent = 100.0 *
                             static_cast<double>(bench::ProcessCpuNanoseconds(getpid()) - selfCpu) /
                             static_cast<double>(std::chrono::nanoseconds(window).count());
  const std::int64_t delivered = tally.delivered - deliveredBefore;
  double bridgeMeanPercent = 0, bridgeMaxPercent = 0;
  std::int64_t peakKb = 0, rssStartMax = 0, rssEndMax = 0;
  for (std::size_t d = 0; d < bridges.size(); ++d) {
    const std::int64_t cpu = bench::ProcessCpuNanoseconds(bridges[d].pid);
    if (cpu < 0) {
      faults.push_back(bridges[d].name + " died");
      continue;
    }
    const double percent = 100.0 * static_cast<double>(cpu - bridgeCpu[d]) /
                           static_cast<double>(std::chrono::nanoseconds(window).count());
    bridgeMeanPercent += percent / static_cast<double>(bridges.size());
    bridgeMaxPercent = std::max(bridgeMaxPercent, percent);
    peakKb = std::max(peakKb, bench::PeakResidentKilobytes(bridges[d].pid));
    rssStartMax = std::max(rssStartMax, bridgeRss[d]);
    rssEndMax = std::max(rssEndMax, ResidentKilobytes(bridges[d].pid));
  }
  // Every session change sent so far must reach every viewer, after a
  // second to drain.
  std::vector<std::int64_t> lastChange;
  std::int64_t changes = 0;
  for (const auto& change : feed.counts.lastChange) {
    lastChange.push_back(change);
    changes += change + 1;
  }
  Pump(viewers, reference, settings.rate, 1s);
  for (const Viewer& viewer : viewers) {
    for (std::size_t d = 0; d < lastChange.size(); ++d) {
      tally.sessionGaps += std::max<std::int64_t>(0, lastChange[d] - viewer.lastChange[d]);
    }
  }

  // Every viewer should have every row the feed sent in the window. A row
  // that no viewer got was passed over by its bridge, which keeps only the
  // newest when rows come closer than its pacing allows (the feed's sending
  // thread was held up, or the bridge's); one that some viewers got and
  // others not was lost after the broker.
  std::int64_t rowsSent = 0, passedOver = 0, lostAfterBroker = 0;
  for (std::size_t d = 0; d < tally.copies.size(); ++d) {
    for (std::int64_t seq = feed.counts.firstSeq[d]; seq >= 0 && seq <= feed.counts.lastSeq[d];
         ++seq) {
      ++rowsSent;
      const std::vector<int>& copies = tally.copies[d];
      const int got =
          static_cast<std::size_t>(seq) < copies.size() ? copies[static_cast<std::size_t>(seq)] : 0;
      if (got == 0) ++passedOver;
      lostAfterBroker += got > 0 ? settings.viewers - got : 0;
    }
  }
  const std::int64_t rowsWanted = rowsSent * settings.viewers;
  if (lostAfterBroker > 0) {
    faults.push_back(std::to_string(lostAfterBroker) + " viewer-rows lost after the broker");
  }
  if (tally.sessionGaps > 0) {
    faults.push_back(std::to_string(tally.sessionGaps) + " retained session changes lost");
  }
  std::string alive;
  if (!bench::RelayAlive(broker, &alive)) faults.push_back(alive);

  const bench::LatencySummary endToEnd = bench::Summarise(tally.latencies);
  const bench::LatencySummary hop = bench::Summarise(tally.reference);
  const bench::Machine machine = bench::DescribeMachine();
  std::string load;
  std::getline(std::ifstream("/proc/loadavg"), load);
  const double seconds = settings.seconds;
  std::printf("Machine: %ld CPUs, %s, %s\n", machine.processors, machine.model.c_str(),
              machine.kernel.c_str());
  std::printf(
      "relay-mqtt-bench: %d drivers' relay-mqtt at %d rows/s each, %d viewers subscribed to "
      "bench/#, one mosquitto; %.0f s measured\n",
      settings.drivers, settings.rate, settings.viewers, seconds);
  std::printf("Load average at the end (/proc/loadavg): %s\n\n", load.substr(0, 14).c_str());
  std::printf("| | |\n|---|---|\n");
  std::printf("| rows sent by the feed (messages/s) | %.0f |\n",
              static_cast<double>(rowsSent) / seconds);
  std::printf("| messages delivered to the viewers (messages/s) | %.0f |\n",
              static_cast<double>(delivered) / seconds);
  std::printf("| feed -> viewer latency, p50 / p99 / max (ms) | %.2f / %.2f / %.2f |\n",
              static_cast<double>(endToEnd.p50) / 1e6, static_cast<double>(endToEnd.p99) / 1e6,
              static_cast<double>(endToEnd.max) / 1e6);
  std::printf("| broker hop alone, p50 / p99 / max (ms) | %.2f / %.2f / %.2f |\n",
              static_cast<double>(hop.p50) / 1e6, static_cast<double>(hop.p99) / 1e6,
              static_cast<double>(hop.max) / 1e6);
  std::printf("| rows passed over by the bridges for a newer one (of %lld) | %lld |\n",
              static_cast<long long>(rowsSent), static_cast<long long>(passedOver));
  std::printf("| rows lost after the broker (of %lld viewer-rows) | %lld |\n",
              static_cast<long long>(rowsWanted), static_cast<long long>(lostAfterBroker));
  std::printf("| retained session changes lost (of %lld, at every viewer) | %lld |\n",
              static_cast<long long>(changes), static_cast<long long>(tally.sessionGaps));
  std::printf("| mosquitto CPU (%% of a core) | %.1f |\n", brokerPercent);
  std::printf("| relay-mqtt CPU, mean / highest bridge (%% of a core) | %.2f / %.2f |\n",
              bridgeMeanPercent, bridgeMaxPercent);
  std::printf("| relay-mqtt resident memory, largest bridge at start / end (MiB) | %.1f / %.1f |\n",
              static_cast<double>(rssStartMax) / 1024, static_cast<double>(rssEndMax) / 1024);
  std::printf("| relay-mqtt peak resident memory, largest bridge (MiB) | %.1f |\n",
              static_cast<double>(peakKb) / 1024);
  std::printf("| the benchmark's viewers and feed (%% of a core) | %.1f |\n\n", selfPercent);
  std::printf("Goals:\n- the broker hop adds under 2 ms at p99: %s (%.2f ms)\n",
              hop.p99 < 2000000 ? "met" : "missed", static_cast<double>(hop.p99) / 1e6);
  std::printf("- nothing retained is lost: %s\n", tally.sessionGaps == 0 ? "met" : "missed");
  std::printf("The run took %.1f s.\n",
              std::chrono::duration<double>(Clock::now() - began).count());

  for (bench::RelayProcess& bridge : bridges) bench::EndRelay(bridge);
  bench::EndRelay(broker);
  for (Viewer& viewer : viewers) mosquitto_destroy(viewer.client);
  mosquitto_destroy(reference);
  mosquitto_lib_cleanup();
  std::filesystem::remove_all(dir);
  for (const std::string& fault : faults)
    std::printf("relay-mqtt-bench: fault: %s\n", fault.c_str());
  return faults.empty() ? 0 : 1;
}
