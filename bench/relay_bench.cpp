// relay-bench: measures the real telemetry-relay process against a floor loop
// in the same run, for 1, 10, 100 and 1000 clients: publish-to-receive
// latency at 60 rows/s, rows lost, the highest row rate followed without a
// skipped row, CPU time per row, CPU use while idle, and peak memory.
//
// The relay and the floor never run at once, so that neither takes a CPU the
// other needs while a row is on its way. For each client
// count the relay runs with its clients connected throughout, paused with
// SIGSTOP while the floor has its turn, and the two take turns in rounds so
// that a change in the machine's load during the run falls on both.
//
// With --web it measures relay-web instead (see web_bench.h).
//
// It uses port 6667 and the simulator's fixed object names, so nothing else
// may use them meanwhile; see the README for a private network namespace.
#include <sys/resource.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "clients/client_service.h"
#include "feed.h"
#include "floor_loop.h"
#include "receivers.h"
#include "relay_process.h"
#include "report.h"
#include "web_bench.h"

namespace {

using namespace bench;

constexpr double kDriveRate = 60;         // rows per second, as the simulator publishes
constexpr double kWarmUpRate = 500;       // rows per second while clients are admitted
constexpr std::int64_t kSettleRows = 6;   // published before each measured window
constexpr int kQuietMilliseconds = 1000;  // no data for this long: the rest is lost
constexpr std::int64_t kMinimumStepRows = 30;
constexpr int kRateTries = 3;
// Below this share of the rate asked for, the publisher is what limits.
constexpr double kPublisherShortfall = 0.8;
// A relay that sleeps while idle uses well under 1 % of a CPU; one that spins
// uses all of it.
constexpr double kIdleCeilingPercent = 10;

struct Options {
  Settings settings;
  bool web = false;
  std::string relayPath = RELAY_EXECUTABLE;
  std::string relayWebPath = RELAY_WEB_EXECUTABLE;
  std::string jsonPath;
};

void Usage(std::FILE* to) {
  std::fprintf(
      to,
      "usage: relay-bench [options]\n"
      "  --smoke             a few seconds with 1 and 10 clients (sets the defaults below\n"
      "                      to 1,10 / 1 / 1 / 0.25 / 240 / 1)\n"
      "  --clients N,N,...   client counts (default 1,10,100,1000)\n"
      "  --seconds S         time at 60 rows/s per side and client count (default 30)\n"
      "  --rounds R          turns each side takes in that time (default 10)\n"
      "  --step-seconds S    time per try of a row rate (default 1)\n"
      "  --max-rate R        highest row rate tried (default 15360)\n"
      "  --idle-seconds S    time of each idle measurement (default 10)\n"
      "  --floor process|thread\n"
      "                      run the floor loop in a process of its own, paused between\n"
      "                      its turns as the relay is (the default), or as a thread of\n"
      "                      the benchmark, sharing its address space with the publisher\n"
      "                      and the clients' reader\n"
      "  --relay PATH        the relay executable (default: the one built with this)\n"
      "  --json PATH         also write every figure as JSON\n"
      "  --web               measure relay-web instead: a TCP client of the relay and\n"
      "                      WebSocket clients of relay-web on the same rows at 60 rows/s,\n"
      "                      relay-web reading the relay, then the simulator (in turns with\n"
      "                      the relay, its own turns without and with a 60-car race; alone\n"
      "                      with vars for 1 and 10 clients; and both at once, those two\n"
      "                      with the race) (--clients default 1,10,50, for both\n"
      "                      sources; --seconds default 30 per run and side, 0.5 with\n"
      "                      --smoke, where the vars runs have 4 clients at 15 rows/s;\n"
      "                      --relay, --relay-web and --json apply)\n"
      "  --relay-web PATH    the relay-web executable (default: the one built with this)\n");
}

bool ParseClients(const char* text, std::vector<std::size_t>* clients) {
  clients->clear();
  for (const char* at = text; *at != '\0';) {
    char* end = nullptr;
    const long value = std::strtol(at, &end, 10);
    if (end == at || value < 1 || value > 100000) return false;
    clients->push_back(static_cast<std::size_t>(value));
    at = *end == ',' ? end + 1 : end;
    if (*end != ',' && *end != '\0') return false;
  }
  return !clients->empty();
}

bool ParsePositive(const char* text, double* value) {
  char* end = nullptr;
  *value = std::strtod(text, &end);
  return end != text && *end == '\0' && *value > 0;
}

bool ParseOptions(int argc, char** argv, Options* options) {
  Settings& settings = options->settings;
  // --smoke and --web set every default at once; the other flags adjust
  // whichever set they chose.
  bool smoke = false;
  for (int i = 1; i < argc; ++i) {
    smoke = smoke || std::strcmp(argv[i], "--smoke") == 0;
    options->web = options->web || std::strcmp(argv[i], "--web") == 0;
  }
  if (options->web) {
    settings = {{1, 10, 50}, smoke ? 0.5 : 30.0, 1, 1, 0, 0, smoke};
  } else if (smoke) {
    settings = {{1, 10}, 1, 1, 0.25, 240, 1, true};
  } else {
    settings = {{1, 10, 100, 1000}, 30, 10, 1, 15360, 10, false};
  }
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if (flag == "--smoke" || flag == "--web") continue;
    if (i + 1 >= argc) return false;
    const char* value = argv[++i];
    double number = 0;
    if (flag == "--clients") {
      if (!ParseClients(value, &settings.clients)) return false;
    } else if (flag == "--relay") {
      options->relayPath = value;
    } else if (flag == "--relay-web") {
      options->relayWebPath = value;
    } else if (flag == "--json") {
      options->jsonPath = value;
    } else if (flag == "--floor") {
      if (std::strcmp(value, "thread") != 0 && std::strcmp(value, "process") != 0) return false;
      settings.floorThread = std::strcmp(value, "thread") == 0;
    } else if (!ParsePositive(value, &number)) {
      return false;
    } else if (flag == "--seconds") {
      settings.seconds = number;
    } else if (flag == "--rounds") {
      settings.rounds = static_cast<int>(number);
    } else if (flag == "--step-seconds") {
      settings.stepSeconds = number;
    } else if (flag == "--max-rate") {
      settings.maxRate = number;
    } else if (flag == "--idle-seconds") {
      settings.idleSeconds = number;
    } else {
      return false;
    }
  }
  return settings.rounds >= 1;
}

void Progress(const std::string& text) {
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
}

// Each client count needs its relay clients, the floor's clients and the
// floor's ends of them in this process.
bool RaiseDescriptorLimit(std::size_t clients, std::string* error) {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
  const rlim_t needed = 3 * clients + 64;
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < needed) {
    *error = std::to_string(clients) + " clients need " + std::to_string(needed) +
             " open files; the limit is " + std::to_string(limit.rlim_cur) + " (ulimit -n)";
    return false;
  }
  return true;
}

struct Bench {
  Options options;
  Feed feed;
  Receivers receivers;
  FloorLoop floor;
  RelayProcess relay;
  Results results;
  std::string error;
};

std::int64_t SideCpu(Bench& bench, int side) {
  if (side == kFloorSide) return FloorCpuNanoseconds(bench.floor);
  return CpuNanoseconds(bench.relay.pid, bench.relay.pid);
}

bool Activate(Bench& bench, int side) {
  if (side == kFloorSide) return StartFloor(bench.floor, &bench.error);
  if (!RelayAlive(bench.relay, &bench.error)) return false;
  ResumeRelay(bench.relay);
  return true;
}

bool Deactivate(Bench& bench, int side) {
  if (side == kFloorSide) {
    if (StopFloor(bench.floor)) return true;
    bench.error = "the floor's process did not stop on SIGSTOP";
    return false;
  }
  if (!RelayAlive(bench.relay, &bench.error)) return false;
  if (!PauseRelay(bench.relay)) {
    bench.error = "the relay did not stop on SIGSTOP";
    return false;
  }
  return true;
}

struct WindowResult {
  WindowCounts counts;
  double achieved = 0;
};

// Publishes `rows` rows at `rate` as one window of `side` and waits for them
// to arrive.
WindowResult RunWindow(Bench& bench, int side, double rate, std::int64_t rows, bool time) {
  const std::int64_t first = NextTick(bench.feed);
  const Window window{first, first + rows - 1};
  OpenWindow(bench.receivers, side, window, time);
  WindowResult result;
  result.achieved = Publish(bench.feed, rate, rows);
  WaitCaughtUp(bench.receivers, side, window.last, kQuietMilliseconds);
  result.counts = CloseWindow(bench.receivers);
  return result;
}

// One side's turn at 60 rows/s: a few rows to settle, then a timed window.
bool RunLatencyTurn(Bench& bench, int side, std::int64_t rows, SideResult* result) {
  const std::int64_t cpuBefore = SideCpu(bench, side);
  if (!Activate(bench, side)) return false;
  Publish(bench.feed, kDriveRate, kSettleRows);
  WaitCaughtUp(bench.receivers, side, NextTick(bench.feed) - 1, kQuietMilliseconds);
  const WindowResult window = RunWindow(bench, side, kDriveRate, rows, true);
  if (!Deactivate(bench, side)) return false;
  result->cpuNanoseconds += SideCpu(bench, side) - cpuBefore;
  result->rows += kSettleRows + rows;
  result->delivered += window.counts.delivered;
  result->missing += window.counts.missing;
  return true;
}

// One try of `side` at `rate`: a few rows to settle, then a window of about
// `stepSeconds`. True when every client got every row of the window whole.
bool TryRate(Bench& bench, int side, double rate, double* achieved, bool* passed) {
  const auto rows = std::max<std::int64_t>(
      kMinimumStepRows, static_cast<std::int64_t>(rate * bench.options.settings.stepSeconds));
  if (!Activate(bench, side)) return false;
  Publish(bench.feed, rate, kSettleRows);
  WaitCaughtUp(bench.receivers, side, NextTick(bench.feed) - 1, kQuietMilliseconds);
  const SideFaults before = Faults(bench.receivers, side);
  const WindowResult window = RunWindow(bench, side, rate, rows, false);
  const SideFaults after = Faults(bench.receivers, side);
  if (!Deactivate(bench, side)) return false;
  *achieved = window.achieved;
  *passed = window.counts.missing == 0 && after.corrupt == before.corrupt &&
            after.closed == before.closed;
  return true;
}

// The highest rate at which every client gets every row, for both sides: a
// ladder of rates from 60 rows/s up in steps of a third of an octave, each
// rung tried by the relay and the floor in turn (so that both meet the
// machine in the same state), until each has failed a rung. A rung is
// failed when it loses rows in kRateTries tries in a row: on a shared machine
// one stall of a few milliseconds loses a row at any high rate.
//
// A side also stops, with "at least" its last rate, when it passes but the
// publisher fell well short of the rate asked for, and at the ceiling.
bool SearchRates(Bench& bench, CountResult* count) {
  bool stopped[kSides] = {false, false};
  const double ceiling = bench.options.settings.maxRate;
  for (int rung = 0;; ++rung) {
    const double rate = std::round(kDriveRate * std::pow(2.0, rung / 3.0));
    if (stopped[kRelaySide] && stopped[kFloorSide]) break;
    if (rate > ceiling * 1.0001) {
      for (int side = 0; side < kSides; ++side) {
        RateResult& result = count->side[side].rate;
        if (!stopped[side] && result.achieved > 0) result.atLeast = true;
      }
      break;
    }
    const int order[2] = {rung % 2 == 0 ? kRelaySide : kFloorSide,
                          rung % 2 == 0 ? kFloorSide : kRelaySide};
    for (const int side : order) {
      if (stopped[side]) continue;
      RateResult& result = count->side[side].rate;
      bool passed = false;
      double achieved = 0;
      for (int attempt = 0; attempt < kRateTries && !passed; ++attempt) {
        if (!TryRate(bench, side, rate, &achieved, &passed)) return false;
      }
      result.steps.push_back(std::to_string(static_cast<long>(rate)) +
                             (passed ? ":pass" : ":fail"));
      if (!passed) {
        stopped[side] = true;
        continue;
      }
      result.nominal = rate;
      result.achieved = achieved;
      if (achieved < kPublisherShortfall * rate) {
        result.atLeast = true;
        stopped[side] = true;
      }
    }
  }
  return true;
}

// Connects the clients of both sides and lets the relay admit its own: it
// takes one per new row, so rows are published until each has had a message.
bool ConnectClients(Bench& bench, std::size_t clients) {
  if (!StartRelay(bench.relay, bench.options.relayPath, &bench.error) ||
      !Connect(bench.receivers, kRelaySide, std::atoi(clients::kPort), clients, 5000,
               &bench.error) ||
      !Connect(bench.receivers, kFloorSide, bench.floor.port, clients, 5000, &bench.error)) {
    return false;
  }
  if (!AcceptFloorClients(bench.floor, clients, 10000)) {
    bench.error = "the floor could not accept its clients";
    return false;
  }
  const std::int64_t deadline = platform::MonotonicNanoseconds() +
                                (10000 + 50 * static_cast<std::int64_t>(clients)) * 1000000;
  while (ClientsServed(bench.receivers, kRelaySide) < clients) {
    if (!RelayAlive(bench.relay, &bench.error)) return false;
    if (platform::MonotonicNanoseconds() > deadline) {
      bench.error = "the relay admitted only " +
                    std::to_string(ClientsServed(bench.receivers, kRelaySide)) + " of " +
                    std::to_string(clients) + " clients";
      return false;
    }
    Publish(bench.feed, kWarmUpRate, 25);
  }
  // Past the SESSION_INFO that follows the last admission.
  Publish(bench.feed, kWarmUpRate, 40);
  WaitCaughtUp(bench.receivers, kRelaySide, NextTick(bench.feed) - 1, kQuietMilliseconds);
  return Deactivate(bench, kRelaySide);
}

void Disconnect(Bench& bench) {
  EndRelay(bench.relay);
  Disconnect(bench.receivers, kRelaySide);
  Disconnect(bench.receivers, kFloorSide);
  CloseFloorClients(bench.floor);
}

bool RunCount(Bench& bench, std::size_t clients, CountResult* count) {
  const Settings& settings = bench.options.settings;
  count->clients = clients;
  const std::string name = std::to_string(clients) + (clients == 1 ? " client" : " clients");
  Progress(name + ": connecting");
  if (!ConnectClients(bench, clients)) return false;

  const auto rowsPerTurn = std::max<std::int64_t>(
      1, static_cast<std::int64_t>(settings.seconds * kDriveRate / settings.rounds));
  for (int round = 0; round < settings.rounds; ++round) {
    Progress(name + ": latency round " + std::to_string(round + 1) + " of " +
             std::to_string(settings.rounds));
    // Alternate who goes first, so neither always follows the other.
    const int order[2] = {round % 2 == 0 ? kRelaySide : kFloorSide,
                          round % 2 == 0 ? kFloorSide : kRelaySide};
    for (const int side : order) {
      if (!RunLatencyTurn(bench, side, rowsPerTurn, &count->side[side])) return false;
    }
  }
  for (int side = 0; side < kSides; ++side) {
    Latencies latencies = TakeLatencies(bench.receivers, side);
    count->side[side].first = Summarise(latencies.first);
    count->side[side].last = Summarise(latencies.last);
    count->side[side].all = Summarise(latencies.all);
  }
  Progress(name + ": highest row rate");
  if (!SearchRates(bench, count)) return false;
  count->relayPeakKilobytes = PeakResidentKilobytes(bench.relay.pid);
  for (int side = 0; side < kSides; ++side) {
    count->side[side].faults = Faults(bench.receivers, side);
  }
  FloorCounters& floorCounters = *bench.floor.counters;
  count->side[kFloorSide].floorBlockedSends = floorCounters.blockedSends.exchange(0);
  count->side[kFloorSide].floorShortSends = floorCounters.shortSends.exchange(0);
  count->side[kFloorSide].floorFailedSends = floorCounters.failedSends.exchange(0);
  Disconnect(bench);
  return true;
}

// The relay's share of one CPU over `seconds`, in percent.
bool MeasureIdle(Bench& bench, double seconds, double* percent) {
  const std::int64_t before = CpuNanoseconds(bench.relay.pid, bench.relay.pid);
  const std::int64_t start = platform::MonotonicNanoseconds();
  platform::SleepMilliseconds(static_cast<int>(seconds * 1000));
  const std::int64_t after = CpuNanoseconds(bench.relay.pid, bench.relay.pid);
  const std::int64_t elapsed = platform::MonotonicNanoseconds() - start;
  if (!RelayAlive(bench.relay, &bench.error)) return false;
  *percent = 100.0 * static_cast<double>(after - before) / static_cast<double>(elapsed);
  return true;
}

// The relay with no simulator at all, then with one that has laid out its
// region and publishes nothing. Leaves the feed open.
bool RunIdle(Bench& bench) {
  const double seconds = bench.options.settings.idleSeconds;
  CloseFeed(bench.feed);  // no objects: the relay retries attaching every 16 ms
  Progress("idle relay, no publisher");
  if (!StartRelay(bench.relay, bench.options.relayPath, &bench.error)) return false;
  platform::SleepMilliseconds(200);
  if (!MeasureIdle(bench, seconds, &bench.results.idleAbsentPercent)) return false;
  Progress("idle relay, silent publisher");
  if (!OpenFeed(bench.feed, &bench.error)) return false;
  platform::SleepMilliseconds(200);
  if (!MeasureIdle(bench, seconds, &bench.results.idleSilentPercent)) return false;
  EndRelay(bench.relay);
  return true;
}

// What makes the run fail: the relay kept a CPU busy while idle, lost rows at
// 60 rows/s where the floor lost none, or sent a damaged message or broke a
// connection at any rate.
// Where the floor lost rows at 60 rows/s too, the machine could not carry that
// many clients at all: that is noted with the table instead.
void CollectFaults(Results& results) {
  for (const double idle : {results.idleAbsentPercent, results.idleSilentPercent}) {
    if (idle > kIdleCeilingPercent) {
      results.faults.push_back("the relay used " + std::to_string(idle) +
                               " % of a CPU while idle: it should sleep, not spin");
    }
  }
  for (const CountResult& count : results.counts) {
    const std::string at = " with " + std::to_string(count.clients) + " clients";
    const SideResult& relay = count.side[kRelaySide];
    const SideResult& floor = count.side[kFloorSide];
    if (floor.missing != 0) {
      results.notes.push_back("With " + std::to_string(count.clients) +
                              " clients the floor lost rows at 60 rows/s too (" +
                              std::to_string(floor.missing) + " client-rows, the relay " +
                              std::to_string(relay.missing) +
                              "): the machine could not carry that many clients then.");
    } else if (relay.missing != 0) {
      results.faults.push_back("the relay lost " + std::to_string(relay.missing) +
                               " client-rows at 60 rows/s" + at);
    }
    if (relay.faults.corrupt != 0 || relay.faults.outOfOrder != 0 || relay.faults.closed != 0) {
      results.faults.push_back("the relay sent " + std::to_string(relay.faults.corrupt) +
                               " damaged messages, " + std::to_string(relay.faults.outOfOrder) +
                               " out of order and closed " + std::to_string(relay.faults.closed) +
                               " connections" + at);
    }
    if (relay.first.count == 0 || floor.first.count == 0) {
      results.faults.push_back("no latency was measured" + at);
    }
  }
}

int Run(Bench& bench) {
  const Settings& settings = bench.options.settings;
  std::size_t most = 0;
  for (const std::size_t clients : settings.clients) most = std::max(most, clients);
  if (!RaiseDescriptorLimit(most, &bench.error)) return 2;
  bench.results.machine = DescribeMachine();
  bench.results.settings = settings;
  bench.results.cpuSource = CpuSource();
  bench.floor.ownProcess = !settings.floorThread;

  if (!RunIdle(bench) || !StartReceivers(bench.receivers, bench.feed, &bench.error) ||
      !OpenFloor(bench.floor, &bench.error)) {
    return 2;
  }
  for (const std::size_t clients : settings.clients) {
    CountResult& count = bench.results.counts.emplace_back();
    if (!RunCount(bench, clients, &count)) return 2;
  }
  bench.results.lateRows = bench.feed.lateRows;
  CollectFaults(bench.results);
  return bench.results.faults.empty() ? 0 : 1;
}

// relay-web's run: one table, relay and relay-web side by side.
int RunWebBench(const Options& options) {
  const WebSettings settings{options.settings.clients, options.settings.seconds,
                             options.settings.smoke, options.relayPath, options.relayWebPath};
  static WebResults results;
  std::string error;
  const int status = RunWeb(settings, &results, &error);
  if (status == 2) {
    std::fprintf(stderr, "relay-bench: %s\n", error.c_str());
    return 2;
  }
  std::fputs(WebMarkdownReport(results).c_str(), stdout);
  for (const std::string& fault : results.faults) {
    std::fprintf(stderr, "relay-bench: FAULT: %s\n", fault.c_str());
  }
  if (!options.jsonPath.empty()) {
    std::ofstream json(options.jsonPath);
    json << WebJsonReport(results);
    if (!json) {
      std::fprintf(stderr, "relay-bench: cannot write %s\n", options.jsonPath.c_str());
      return 2;
    }
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  static Bench bench;
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    Usage(stdout);
    return 0;
  }
  if (!ParseOptions(argc, argv, &bench.options)) {
    Usage(stderr);
    return 2;
  }
  if (bench.options.web) return RunWebBench(bench.options);
  const int status = Run(bench);
  EndRelay(bench.relay);
  StopFloor(bench.floor);
  CloseFloorClients(bench.floor);
  StopReceivers(bench.receivers);
  CloseFeed(bench.feed);
  if (status == 2) {
    std::fprintf(stderr, "relay-bench: %s\n", bench.error.c_str());
    return 2;
  }
  std::fputs(MarkdownReport(bench.results).c_str(), stdout);
  for (const std::string& fault : bench.results.faults) {
    std::fprintf(stderr, "relay-bench: FAULT: %s\n", fault.c_str());
  }
  if (!bench.options.jsonPath.empty()) {
    std::ofstream json(bench.options.jsonPath);
    json << JsonReport(bench.results);
    if (!json) {
      std::fprintf(stderr, "relay-bench: cannot write %s\n", bench.options.jsonPath.c_str());
      return 2;
    }
  }
  return status;
}
