// Running relay-web's benchmark, judging its goals and rendering the results.
#include "web_bench.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <nlohmann/json.hpp>

#include "feed.h"
#include "relay_process.h"
#include "report.h"

namespace bench {

namespace {

constexpr double kDriveRate = 60;         // rows per second, as the simulator publishes
constexpr double kWarmUpRate = 500;       // rows per second while clients are admitted
constexpr std::int64_t kSettleRows = 6;   // published before the measured window
constexpr int kQuietMilliseconds = 1000;  // no data for this long: the rest is lost
constexpr int kConnectMilliseconds = 5000;
constexpr const char* kRelayPort = "6667";
constexpr const char* kWebPort = "8667";

// The goals relay-web is held to, on loopback at 60 rows/s.
constexpr double kAddedP50GoalMicroseconds = 300;
constexpr double kAddedP99GoalMicroseconds = 1000;
constexpr std::size_t kLossGoalClients = 50;  // loses nothing with this many
constexpr std::size_t kCpuGoalClients = 10;   // uses under kCpuGoalPercent with this many
constexpr double kCpuGoalPercent = 2;

std::string ClientsName(std::size_t clients) {
  return std::to_string(clients) + (clients == 1 ? " WebSocket client" : " WebSocket clients");
}

double AddedMicroseconds(const WebCountResult& count, std::int64_t LatencySummary::*field) {
  return static_cast<double>(count.web.*field - count.relay.*field) / 1000.0;
}

double CpuPerRowMicroseconds(const WebCountResult& count) {
  return count.rows > 0
             ? static_cast<double>(count.cpuNanoseconds) / 1000.0 / static_cast<double>(count.rows)
             : -1;
}

double CpuPercent(const WebCountResult& count) {
  return count.wallNanoseconds > 0 ? 100.0 * static_cast<double>(count.cpuNanoseconds) /
                                         static_cast<double>(count.wallNanoseconds)
                                   : -1;
}

// The reader's CPU time per message it took in the window, from either side.
double ReaderMicrosecondsPerMessage(const WebCountResult& count) {
  const std::int64_t messages = count.relayDelivered + count.webDelivered;
  return messages > 0 ? static_cast<double>(count.readerCpuNanoseconds) / 1000.0 /
                            static_cast<double>(messages)
                      : -1;
}

void Progress(const std::string& text) {
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
}

struct Run {
  Feed& feed;
  const WebSettings& settings;
  RelayProcess relay;
  RelayProcess web;
  WebClients* clients = nullptr;
  std::string* error;
  // Between rows: the benchmark reads what has arrived (see web_clients.h).
  std::function<void()> drain = [this] { ReadArrived(*clients); };
};

bool BothAlive(Run& run) {
  return RelayAlive(run.relay, run.error) && RelayAlive(run.web, run.error);
}

// Starts the relay and relay-web and connects every client. The relay
// admits one client per new row, so rows are published until each client
// has had one.
bool Connect(Run& run, std::size_t count) {
  if (!StartRelay(run.relay, run.settings.relayPath, run.error) ||
      !ConnectRelayClient(*run.clients, kRelayPort, kConnectMilliseconds, run.error)) {
    return false;
  }
  const std::vector<std::string> arguments = {"--relay", std::string("127.0.0.1:") + kRelayPort,
                                              "--listen", std::string("127.0.0.1:") + kWebPort};
  if (!StartRelay(run.web, run.settings.webPath, run.error, arguments)) return false;
  if (!ConnectWebSockets(*run.clients, kWebPort, count, kConnectMilliseconds, run.error)) {
    BothAlive(run);  // a process that ended says more than the refused connection
    return false;
  }
  const std::int64_t deadline = platform::MonotonicNanoseconds() + std::int64_t{10000} * 1000000;
  while (!AllServed(*run.clients)) {
    if (!BothAlive(run)) return false;
    if (platform::MonotonicNanoseconds() > deadline) {
      *run.error = "not every client received a row within 10 s";
      return false;
    }
    Publish(run.feed, kWarmUpRate, 25, run.drain);
  }
  // Past the SESSION_INFO that follows the last admission, then settled at
  // the measured rate.
  Publish(run.feed, kWarmUpRate, 40, run.drain);
  WaitWebCaughtUp(*run.clients, NextTick(run.feed) - 1, kQuietMilliseconds);
  Publish(run.feed, kDriveRate, kSettleRows, run.drain);
  WaitWebCaughtUp(*run.clients, NextTick(run.feed) - 1, kQuietMilliseconds);
  return BothAlive(run);
}

bool Measure(Run& run, std::size_t count, WebCountResult* result) {
  result->clients = count;
  Progress(ClientsName(count) + ": connecting");
  if (!Connect(run, count)) return false;
  Progress(ClientsName(count) + ": " + Format("%g", run.settings.seconds) + " s at 60 rows/s");

  result->rows =
      std::max<std::int64_t>(1, static_cast<std::int64_t>(run.settings.seconds * kDriveRate));
  const std::int64_t first = NextTick(run.feed);
  OpenWebWindow(*run.clients, {first, first + result->rows - 1});
  const std::int64_t cpuBefore = ProcessCpuNanoseconds(run.web.pid);
  const std::int64_t readerBefore = ReaderCpuNanoseconds(*run.clients);
  const std::int64_t start = platform::MonotonicNanoseconds();
  Publish(run.feed, kDriveRate, result->rows, run.drain);
  WaitWebCaughtUp(*run.clients, first + result->rows - 1, kQuietMilliseconds);
  result->wallNanoseconds = platform::MonotonicNanoseconds() - start;
  result->cpuNanoseconds = ProcessCpuNanoseconds(run.web.pid) - cpuBefore;
  result->readerCpuNanoseconds = ReaderCpuNanoseconds(*run.clients) - readerBefore;
  result->unstampedReads = UnstampedReads(*run.clients);
  WebWindow window = CloseWebWindow(*run.clients);
  result->peakKilobytes = PeakResidentKilobytes(run.web.pid);
  if (!BothAlive(run)) return false;

  result->relay = Summarise(window.relayLatencies);
  result->web = Summarise(window.webLatencies);
  result->webFirst = Summarise(window.firstWebLatencies);
  result->webLast = Summarise(window.lastWebLatencies);
  result->relayDelivered = window.relayDelivered;
  result->relayMissing = window.relayMissing;
  result->webDelivered = window.webDelivered;
  result->webMissing = window.webMissing;
  result->relayFaults = RelayClientFaults(*run.clients);
  result->webFaults = WebSocketFaults(*run.clients);
  return true;
}

bool RunCount(Feed& feed, const WebSettings& settings, std::size_t count, WebCountResult* result,
              std::string* error) {
  Run run{feed, settings, {}, {}, nullptr, error};
  run.web.name = "relay-web";
  run.web.port = kWebPort;
  run.clients = OpenWebClients(feed, error);
  const bool measured = run.clients != nullptr && Measure(run, count, result);
  CloseWebClients(run.clients);
  EndRelay(run.web);
  EndRelay(run.relay);
  return measured;
}

std::string Faults(const ClientFaults& faults) {
  return std::to_string(faults.damaged) + " damaged, " + std::to_string(faults.outOfOrder) +
         " out of order, " + std::to_string(faults.closed) + " connections closed, " +
         std::to_string(faults.offline) + " \"offline\" status messages";
}

bool AnyFault(const ClientFaults& faults) {
  return faults.damaged != 0 || faults.outOfOrder != 0 || faults.closed != 0 || faults.offline != 0;
}

// A latency goal over every client count: met, or by how much the worst
// count misses it.
std::string LatencyGoal(const WebResults& results, const char* name,
                        std::int64_t LatencySummary::*field, double goal) {
  const WebCountResult* worst = nullptr;
  for (const WebCountResult& count : results.counts) {
    if (worst == nullptr || AddedMicroseconds(count, field) > AddedMicroseconds(*worst, field)) {
      worst = &count;
    }
  }
  const std::string head = "relay-web adds at most " + Format("%.0f", goal) + " µs at " + name;
  if (worst == nullptr) return head + ": not measured";
  const double added = AddedMicroseconds(*worst, field);
  const std::string at = Format("%+.1f", added) + " µs with " + ClientsName(worst->clients);
  if (added <= goal) return head + ": met (at most " + at + ")";
  return head + ": MISSED by " + Format("%.1f", added - goal) + " µs (" + at + ")";
}

const WebCountResult* CountOf(const WebResults& results, std::size_t clients) {
  for (const WebCountResult& count : results.counts) {
    if (count.clients == clients) return &count;
  }
  return nullptr;
}

void Judge(WebResults& results) {
  for (const WebCountResult& count : results.counts) {
    const std::string at = " with " + ClientsName(count.clients);
    if (count.relayMissing != 0) {
      results.faults.push_back("the relay's own client lost " + std::to_string(count.relayMissing) +
                               " rows at 60 rows/s" + at);
    }
    if (count.webMissing != 0) {
      results.faults.push_back("relay-web lost " + std::to_string(count.webMissing) +
                               " client-messages at 60 rows/s" + at);
    }
    if (AnyFault(count.relayFaults)) {
      results.faults.push_back("the relay's client saw " + Faults(count.relayFaults) + at);
    }
    if (AnyFault(count.webFaults)) {
      results.faults.push_back("relay-web's clients saw " + Faults(count.webFaults) + at);
    }
    if (count.relay.count == 0 || count.web.count == 0) {
      results.faults.push_back("no latency was measured" + at);
    }
  }

  results.goals.push_back(
      LatencyGoal(results, "p50", &LatencySummary::p50, kAddedP50GoalMicroseconds));
  results.goals.push_back(
      LatencyGoal(results, "p99", &LatencySummary::p99, kAddedP99GoalMicroseconds));

  const std::string lossHead =
      "relay-web loses nothing at 60 rows/s with " + ClientsName(kLossGoalClients);
  if (const WebCountResult* count = CountOf(results, kLossGoalClients); count == nullptr) {
    results.goals.push_back(lossHead + ": not measured");
  } else if (count->webMissing == 0) {
    results.goals.push_back(lossHead + ": met (0 of " + std::to_string(count->webDelivered) +
                            " lost)");
  } else {
    results.goals.push_back(lossHead + ": MISSED by " + std::to_string(count->webMissing) +
                            " messages lost");
  }

  const std::string cpuHead = "relay-web uses under " + Format("%.0f", kCpuGoalPercent) +
                              " % of a core at 60 rows/s with " + ClientsName(kCpuGoalClients);
  if (const WebCountResult* count = CountOf(results, kCpuGoalClients); count == nullptr) {
    results.goals.push_back(cpuHead + ": not measured");
  } else if (CpuPercent(*count) < kCpuGoalPercent) {
    results.goals.push_back(cpuHead + ": met (" + Format("%.2f", CpuPercent(*count)) + " %)");
  } else {
    results.goals.push_back(cpuHead + ": MISSED by " +
                            Format("%.2f", CpuPercent(*count) - kCpuGoalPercent) +
                            " percentage points (" + Format("%.2f", CpuPercent(*count)) + " %)");
  }
}

nlohmann::ordered_json JsonLatency(const LatencySummary& summary) {
  return {{"count", summary.count},
          {"p50_ns", summary.p50},
          {"p99_ns", summary.p99},
          {"p99_9_ns", summary.p999},
          {"max_ns", summary.max}};
}

nlohmann::ordered_json JsonFaults(const ClientFaults& faults) {
  return {{"damaged", faults.damaged},
          {"out_of_order", faults.outOfOrder},
          {"connections_closed", faults.closed},
          {"offline_status", faults.offline}};
}

}  // namespace

int RunWeb(const WebSettings& settings, WebResults* results, std::string* error) {
  results->machine = DescribeMachine();
  results->settings = settings;
  results->cpuSource = CpuSource();
  Feed feed;
  if (!OpenFeed(feed, error)) return 2;
  bool measured = true;
  for (const std::size_t clients : settings.clients) {
    if (!RunCount(feed, settings, clients, &results->counts.emplace_back(), error)) {
      measured = false;
      break;
    }
  }
  results->lateRows = feed.lateRows;
  publisher::Close(feed.sim);
  CloseFeed(feed);
  if (!measured) return 2;
  Judge(*results);
  return results->faults.empty() ? 0 : 1;
}

std::string WebMarkdownReport(const WebResults& results) {
  std::string out;
  out += "Machine: " + std::to_string(results.machine.processors) + " CPUs, " +
         results.machine.model + ", " + results.machine.kernel + "\n";
  out += "relay-web: 60 rows/s for " + Format("%g", results.settings.seconds) +
         " s per client count; every row is timed from publish to its arrival (the kernel's "
         "receive time) at a TCP client of the relay and at every WebSocket client of "
         "relay-web in the same run. Cells are relay / relay-web (what relay-web adds); "
         "relay-web's figures are over all its clients' messages.\n\n";
  AppendMarkdownHeader(out, results.counts,
                       [](const WebCountResult& count) { return ClientsName(count.clients); });
  const auto row = [&](const std::string& title, auto cell) {
    AppendMarkdownRow(out, title, results.counts, cell);
  };
  struct Stat {
    const char* name;
    std::int64_t LatencySummary::*field;
  };
  for (const Stat stat : {Stat{"p50", &LatencySummary::p50}, Stat{"p99", &LatencySummary::p99},
                          Stat{"max", &LatencySummary::max}}) {
    row(std::string(stat.name) + " latency (µs)", [&](const WebCountResult& count) {
      return Micros(count.relay.*stat.field) + " / " + Micros(count.web.*stat.field) + " (" +
             Format("%+.1f", AddedMicroseconds(count, stat.field)) + ")";
    });
  }
  for (const Stat stat : {Stat{"p50", &LatencySummary::p50}, Stat{"p99", &LatencySummary::p99}}) {
    row("first / last WebSocket client served, " + std::string(stat.name) + " latency (µs)",
        [&](const WebCountResult& count) {
          return Micros(count.webFirst.*stat.field) + " / " + Micros(count.webLast.*stat.field);
        });
  }
  row("messages lost at 60 rows/s", [](const WebCountResult& count) {
    return std::to_string(count.relayMissing) + " of " +
           std::to_string(count.relayDelivered + count.relayMissing) + " / " +
           std::to_string(count.webMissing) + " of " +
           std::to_string(count.webDelivered + count.webMissing);
  });
  row("damaged messages", [](const WebCountResult& count) {
    return std::to_string(count.relayFaults.damaged) + " / " +
           std::to_string(count.webFaults.damaged);
  });
  row("relay-web CPU time per row (µs)",
      [](const WebCountResult& count) { return Format("%.1f", CpuPerRowMicroseconds(count)); });
  row("relay-web CPU use at 60 rows/s (% of a core)",
      [](const WebCountResult& count) { return Format("%.2f", CpuPercent(count)); });
  row("relay-web peak resident memory (MiB)", [](const WebCountResult& count) {
    return count.peakKilobytes < 0
               ? std::string("-")
               : Format("%.1f", static_cast<double>(count.peakKilobytes) / 1024.0);
  });
  out += "\nThe benchmark's one reading thread used";
  for (std::size_t i = 0; i < results.counts.size(); ++i) {
    const WebCountResult& count = results.counts[i];
    out += (i == 0 ? " " : ", ") + Format("%.1f", ReaderMicrosecondsPerMessage(count)) +
           " µs of CPU per message with " + ClientsName(count.clients);
  }
  out += ".\n";
  for (const WebCountResult& count : results.counts) {
    if (count.unstampedReads == 0) continue;
    out += "With " + ClientsName(count.clients) + ", " + std::to_string(count.unstampedReads) +
           " reads came without a kernel receive time and were timed when they returned.\n";
  }
  out += "\nGoals:\n";
  for (const std::string& goal : results.goals) out += "- " + goal + "\n";
  return out;
}

std::string WebJsonReport(const WebResults& results) {
  nlohmann::ordered_json counts = nlohmann::ordered_json::array();
  for (const WebCountResult& count : results.counts) {
    counts.push_back({{"websocket_clients", count.clients},
                      {"rows", count.rows},
                      {"relay",
                       {{"latency", JsonLatency(count.relay)},
                        {"delivered", count.relayDelivered},
                        {"lost", count.relayMissing},
                        {"faults", JsonFaults(count.relayFaults)}}},
                      {"relay_web",
                       {{"latency_all_clients", JsonLatency(count.web)},
                        {"latency_first_client", JsonLatency(count.webFirst)},
                        {"latency_last_client", JsonLatency(count.webLast)},
                        {"delivered", count.webDelivered},
                        {"lost", count.webMissing},
                        {"faults", JsonFaults(count.webFaults)},
                        {"cpu_ns", count.cpuNanoseconds},
                        {"wall_ns", count.wallNanoseconds},
                        {"cpu_ns_per_row", CpuPerRowMicroseconds(count) * 1000.0},
                        {"cpu_percent", CpuPercent(count)},
                        {"peak_rss_kib", count.peakKilobytes}}},
                      {"reader_cpu_ns_per_message", ReaderMicrosecondsPerMessage(count) * 1000.0},
                      {"unstamped_reads", count.unstampedReads}});
  }
  const nlohmann::ordered_json json = {{"machine",
                                        {{"processors", results.machine.processors},
                                         {"model", results.machine.model},
                                         {"kernel", results.machine.kernel}}},
                                       {"settings",
                                        {{"websocket_clients", results.settings.clients},
                                         {"seconds_at_60", results.settings.seconds},
                                         {"smoke", results.settings.smoke}}},
                                       {"cpu_source", results.cpuSource},
                                       {"late_rows", results.lateRows},
                                       {"counts", counts},
                                       {"goals", results.goals},
                                       {"faults", results.faults}};
  return json.dump(2) + "\n";
}

}  // namespace bench
