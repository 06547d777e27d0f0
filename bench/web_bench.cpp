// Running relay-web's benchmark, judging its goals and rendering the results.
#include "web_bench.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
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
// Turns each of the relay and relay-web takes at the event, per run.
constexpr int kRounds = 10;

// The goals relay-web is held to, on loopback at 60 rows/s. Reading the
// relay:
constexpr double kAddedP50GoalMicroseconds = 300;
constexpr double kAddedP99GoalMicroseconds = 1000;
constexpr std::size_t kLossGoalClients = 50;  // loses nothing with this many
constexpr std::size_t kCpuGoalClients = 10;   // uses under kCpuGoalPercent with this many
constexpr double kCpuGoalPercent = 2;
// Reading the simulator:
constexpr double kDirectAddedP50GoalMicroseconds = 50;
constexpr std::size_t kDirectGoalClients = 10;
// What the standings of the field may cost, with kDirectGoalClients:
// relay-web's CPU time a row, and the data message's p50 latency, over its
// turns without the field.
constexpr double kStandingsCpuGoalMicroseconds = 30;
constexpr double kStandingsP50GoalMicroseconds = 20;
// With vars=*:
constexpr std::size_t kVarsClients = 10;
constexpr double kVarsCpuGoalPercent = 5;
// With --smoke: fewer browsers and rows, so that a build with sanitizers,
// many times slower at building, sending and checking 37 KB messages, still
// keeps up.
constexpr std::size_t kSmokeVarsClients = 4;
constexpr double kSmokeVarsRate = 15;

std::string ClientsName(std::size_t clients) {
  return std::to_string(clients) + (clients == 1 ? " WebSocket client" : " WebSocket clients");
}

std::size_t VarsClients(const WebSettings& settings) {
  return settings.smoke ? kSmokeVarsClients : kVarsClients;
}

double VarsRate(const WebSettings& settings) {
  return settings.smoke ? kSmokeVarsRate : kDriveRate;
}

std::string AtRate(double rate) { return " at " + Format("%g", rate) + " rows/s"; }

// The column of a run in its table.
std::string RunName(const WebRun& run) {
  std::string name = ClientsName(run.clients);
  if (run.subscriptions == 1) name += ", vars=*";
  if (run.subscriptions > 1) {
    name += ", every name, " + std::to_string(run.subscriptions) + " subscriptions";
  }
  if (run.source == WebSource::kSimulator && run.readers == Readers::kBoth) {
    name += ", both waiting at once";
  }
  if (run.source == WebSource::kSimulator && !run.field) name += ", no field";
  return name;
}

// The run in progress messages and faults.
std::string FullName(const WebRun& run) {
  return std::string(run.source == WebSource::kRelay ? "reading the relay, "
                                                     : "reading the simulator, ") +
         RunName(run);
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
  const std::int64_t messages = count.relayDelivered + count.webDelivered + count.varsDelivered;
  return messages > 0 ? static_cast<double>(count.readerCpuNanoseconds) / 1000.0 /
                            static_cast<double>(messages)
                      : -1;
}

void Progress(const std::string& text) {
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
}

std::string LoadAverage() {
  std::ifstream file("/proc/loadavg");
  std::string one, five, fifteen;
  file >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

// The path each browser opens.
std::vector<std::string> Targets(const WebRun& run, const publisher::Layout& layout) {
  std::string names;
  for (const publisher::Variable& variable : layout.variables) names += variable.name + ",";
  std::vector<std::string> targets;
  for (std::size_t i = 0; i < run.clients; ++i) {
    if (run.subscriptions == 0) {
      targets.emplace_back("/ws");
    } else if (run.subscriptions == 1) {
      targets.emplace_back("/ws?vars=*");
    } else {
      // The same variables; the name the directory lacks picks the
      // subscription.
      targets.push_back("/ws?vars=" + names + "NoSuchVariable" +
                        std::to_string(i % run.subscriptions));
    }
  }
  return targets;
}

struct Run {
  Feed& feed;
  const WebSettings& settings;
  const WebRun& what;
  RelayProcess relay;
  RelayProcess web;
  WebClients* clients = nullptr;
  std::string* error;
  // Between rows: the benchmark reads what has arrived (see web_clients.h).
  std::function<void()> drain = [this] { ReadArrived(*clients); };
};

// relay-web reading the simulator in turns with the relay: its turns
// alternate without and with the field.
bool ComparesField(const WebRun& run) {
  return run.source == WebSource::kSimulator && run.readers == Readers::kTurns;
}

bool BothAlive(Run& run) {
  return RelayAlive(run.relay, run.error) && RelayAlive(run.web, run.error);
}

// Starts the relay and relay-web and connects every client. The relay
// admits one client per new row, so rows are published until each client
// has had one.
bool Connect(Run& run) {
  if (!StartRelay(run.relay, run.settings.relayPath, run.error) ||
      !ConnectRelayClient(*run.clients, kRelayPort, kConnectMilliseconds, run.error)) {
    return false;
  }
  // Every browser connects from 127.0.0.1: more than relay-web lets one
  // client address hold by default.
  std::vector<std::string> arguments = {"--listen", std::string("127.0.0.1:") + kWebPort,
                                        "--per-client", "100"};
  if (run.what.source == WebSource::kRelay) {
    arguments.insert(arguments.begin(), {"--relay", std::string("127.0.0.1:") + kRelayPort});
  }
  if (!StartRelay(run.web, run.settings.webPath, run.error, arguments)) return false;
  if (!ConnectWebSockets(*run.clients, kWebPort, Targets(run.what, run.feed.sim.layout),
                         kConnectMilliseconds, run.error)) {
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
  WaitWebCaughtUp(*run.clients, NextTick(run.feed) - 1, kQuietMilliseconds, {});
  return BothAlive(run);
}

// Gives the event to `sides` alone where the two take turns: the other
// process is stopped. Both go on where they were.
bool GiveTurn(Run& run, Sides sides) {
  for (const auto& [process, on] : {std::pair{&run.relay, sides.relay}, {&run.web, sides.web}}) {
    if (on) {
      ResumeRelay(*process);
    } else if (!PauseRelay(*process)) {
      *run.error = process->name + " did not stop on SIGSTOP";
      return false;
    }
  }
  return true;
}

// What one timed window gave: its figures, and where relay-web had the turn
// its CPU time and length.
struct Turn {
  WebWindow window;
  std::int64_t rows = 0, cpuNanoseconds = 0, wallNanoseconds = 0, readerCpuNanoseconds = 0;
};

// A few rows to settle, then one timed window of `rows` rows at `sides`.
Turn RunWindow(Run& run, Sides sides, std::int64_t rows) {
  Publish(run.feed, run.what.rate, kSettleRows, run.drain);
  WaitWebCaughtUp(*run.clients, NextTick(run.feed) - 1, kQuietMilliseconds, sides);
  const std::int64_t first = NextTick(run.feed);
  OpenWebWindow(*run.clients, {first, first + rows - 1}, sides);
  const std::int64_t cpuBefore = ProcessCpuNanoseconds(run.web.pid);
  const std::int64_t readerBefore = ReaderCpuNanoseconds(*run.clients);
  const std::int64_t start = platform::MonotonicNanoseconds();
  Publish(run.feed, run.what.rate, rows, run.drain);
  WaitWebCaughtUp(*run.clients, first + rows - 1, kQuietMilliseconds, sides);
  Turn turn;
  if (sides.web) {
    turn.wallNanoseconds = platform::MonotonicNanoseconds() - start;
    turn.cpuNanoseconds = ProcessCpuNanoseconds(run.web.pid) - cpuBefore;
    turn.rows = rows;
  }
  turn.readerCpuNanoseconds = ReaderCpuNanoseconds(*run.clients) - readerBefore;
  turn.window = CloseWebWindow(*run.clients);
  return turn;
}

// Adds `turn` to `result`, and its window to `total`.
void AddTurn(const Turn& turn, WebWindow* total, WebCountResult* result) {
  AddWindow(*total, turn.window);
  result->rows += turn.rows;
  result->cpuNanoseconds += turn.cpuNanoseconds;
  result->wallNanoseconds += turn.wallNanoseconds;
  result->readerCpuNanoseconds += turn.readerCpuNanoseconds;
}

// Puts the field on track or takes it off under the running relay-web, which
// looks at the session text once a second: rows are published until every
// browser has had the notice of the new text. The rows change before the
// text when the field comes on, after it when it goes, so that while
// relay-web still has the old text its standings are the old text's drivers
// (the default text's three are in the field too).
bool SwitchField(Run& run, bool field) {
  if (run.feed.field == field) return true;
  if (field) run.feed.field = true;
  const std::int64_t notices = TextNotices(*run.clients);
  ExpectField(*run.clients, field);
  WriteFieldText(run.feed, field);
  const std::int64_t deadline = platform::MonotonicNanoseconds() + std::int64_t{5000} * 1000000;
  while (TextNotices(*run.clients) <= notices) {
    if (!RelayAlive(run.web, run.error)) return false;
    if (platform::MonotonicNanoseconds() > deadline) {
      *run.error = "relay-web sent no notice of the new session text within 5 s";
      return false;
    }
    // A row at the run's rate, the clients read halfway between rows.
    const int half = static_cast<int>(500 / run.what.rate);
    platform::SleepMilliseconds(half);
    run.drain();
    platform::SleepMilliseconds(half);
    Publish(run.feed, run.what.rate, 1);
  }
  run.feed.field = field;
  return true;
}

// Adds `after` less `before` to `into`.
void AddFaults(ClientFaults& into, const ClientFaults& after, const ClientFaults& before) {
  into.damaged += after.damaged - before.damaged;
  into.outOfOrder += after.outOfOrder - before.outOfOrder;
  into.closed += after.closed - before.closed;
  into.offline += after.offline - before.offline;
}

// Measures `run`. Where relay-web reads the simulator in turns with the
// relay, `withField` (when given) gets relay-web's turns with the field and
// `result` those without, in alternate turns of the same process; the
// relay's turns count for both.
bool Measure(Run& run, WebCountResult* result, WebCountResult* withField) {
  result->run = run.what;
  result->clients = run.what.clients;
  if (withField != nullptr) {
    withField->run = run.what;
    withField->run.field = true;
    withField->clients = run.what.clients;
  }
  // A run of both kinds goes by the name of its turns with the field.
  const std::string name = FullName(withField != nullptr ? withField->run : run.what);
  Progress(name + ": connecting");
  if (!Connect(run)) return false;
  const auto rows =
      std::max<std::int64_t>(1, static_cast<std::int64_t>(run.settings.seconds * run.what.rate));
  WebWindow window, fieldWindow;
  ClientFaults fieldFaults;  // what relay-web's clients saw in its turns with the field
  switch (run.what.readers) {
    case Readers::kBoth:
      Progress(name + ": " + Format("%g", run.settings.seconds) + " s" + AtRate(run.what.rate));
      AddTurn(RunWindow(run, {}, rows), &window, result);
      break;
    case Readers::kWebAlone:
      Progress(name + ": " + Format("%g", run.settings.seconds) + " s" + AtRate(run.what.rate) +
               ", the relay stopped");
      if (!GiveTurn(run, {false, true})) return false;
      AddTurn(RunWindow(run, {false, true}, rows), &window, result);
      break;
    case Readers::kTurns: {
      const int rounds = run.settings.smoke ? 1 : kRounds;
      const std::int64_t turn = std::max<std::int64_t>(1, rows / rounds);
      for (int round = 0; round < rounds; ++round) {
        Progress(name + ": round " + std::to_string(round + 1) + " of " + std::to_string(rounds) +
                 ", the relay and relay-web in turn" +
                 (withField != nullptr ? ", without and with the field" : ""));
        // Who goes first alternates, so that neither always follows the
        // other; relay-web's turn with the field, where there is one, comes
        // between the relay's and its turn without, so that the field is
        // switched once a round.
        struct Step {
          Sides sides;
          bool field;
        };
        std::vector<Step> steps = {{{true, false}, false}, {{false, true}, false}};
        if (withField != nullptr) steps.push_back({{false, true}, true});
        if (round % 2 != 0) std::reverse(steps.begin(), steps.end());
        for (const Step& step : steps) {
          if (!GiveTurn(run, step.sides)) return false;
          const ClientFaults before = WebSocketFaults(*run.clients);
          if (step.sides.web && withField != nullptr && !SwitchField(run, step.field)) {
            return false;
          }
          const Turn made = RunWindow(run, step.sides, turn);
          if (step.field) AddFaults(fieldFaults, WebSocketFaults(*run.clients), before);
          if (step.sides.web) {
            AddTurn(made, step.field ? &fieldWindow : &window, step.field ? withField : result);
          } else {
            AddTurn(made, &window, result);
            if (withField != nullptr) AddTurn(made, &fieldWindow, withField);
          }
        }
      }
      GiveTurn(run, {});
      break;
    }
  }
  const std::int64_t unstamped = UnstampedReads(*run.clients);
  const std::int64_t peak = PeakResidentKilobytes(run.web.pid);
  if (!BothAlive(run)) return false;
  const ClientFaults relayFaults = RelayClientFaults(*run.clients);
  const ClientFaults webFaults = WebSocketFaults(*run.clients);
  const VarsChecks varsChecks = VarsChecked(*run.clients);
  for (const auto& [into, from] : {std::pair{result, &window}, {withField, &fieldWindow}}) {
    if (into == nullptr) continue;
    into->unstampedReads = unstamped;
    into->peakKilobytes = peak;
    into->relay = Summarise(from->relayLatencies);
    into->web = Summarise(from->webLatencies);
    into->webFirst = Summarise(from->firstWebLatencies);
    into->webLast = Summarise(from->lastWebLatencies);
    into->vars = Summarise(from->varsLatencies);
    into->standingsRows = Summarise(from->standingsRowLatencies);
    into->relayDelivered = from->relayDelivered;
    into->relayMissing = from->relayMissing;
    into->webDelivered = from->webDelivered;
    into->webMissing = from->webMissing;
    into->varsDelivered = from->varsDelivered;
    into->varsMissing = from->varsMissing;
    into->varsBytes = from->varsBytes;
    into->standingsDelivered = from->standingsDelivered;
    into->relativeDelivered = from->relativeDelivered;
  }
  // The clients' faults over the run, those of the turns with the field
  // apart.
  result->relayFaults = relayFaults;
  result->webFaults = webFaults;
  result->varsChecks = varsChecks;
  if (withField != nullptr) {
    withField->webFaults = fieldFaults;
    AddFaults(result->webFaults, ClientFaults{}, fieldFaults);
  }
  return true;
}

// Runs `what` on its own processes and clients. Reading the simulator in
// turns, relay-web's turns alternate without and with the field, into
// `result` and `withField`; otherwise `withField` is left alone.
bool RunOne(Feed& feed, const WebSettings& settings, const WebRun& what, WebCountResult* result,
            WebCountResult* withField, std::string* error) {
  Run run{feed, settings, what, {}, {}, nullptr, error};
  run.web.name = "relay-web";
  run.web.port = kWebPort;
  const bool compare = ComparesField(what);
  UseField(feed, what.field);
  run.clients = OpenWebClients(feed, what.source == WebSource::kSimulator, error);
  const bool measured =
      run.clients != nullptr && Measure(run, result, compare ? withField : nullptr);
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

// relay-web reading the simulator while the relay waits on the event too.
bool Contended(const WebRun& run) {
  return run.source == WebSource::kSimulator && run.readers == Readers::kBoth;
}

using Counts = std::vector<WebCountResult>;

// The runs of one table: of `source`, with vars or without, contended or
// not.
Counts Table(const WebResults& results, WebSource source, bool vars, bool contended) {
  Counts table;
  for (const WebCountResult& count : results.counts) {
    if (count.run.source == source && (count.run.subscriptions > 0) == vars &&
        Contended(count.run) == contended) {
      table.push_back(count);
    }
  }
  return table;
}

const WebCountResult* Find(const WebResults& results, WebSource source, std::size_t clients,
                           std::size_t subscriptions, bool field) {
  for (const WebCountResult& count : results.counts) {
    if (count.run.source == source && count.clients == clients &&
        count.run.subscriptions == subscriptions && count.run.field == field &&
        !Contended(count.run)) {
      return &count;
    }
  }
  return nullptr;
}

// A latency goal over every run reading the relay: met, or by how much the
// worst misses it.
std::string LatencyGoal(const WebResults& results, const char* name,
                        std::int64_t LatencySummary::*field, double goal) {
  const WebCountResult* worst = nullptr;
  for (const WebCountResult& count : results.counts) {
    if (count.run.source != WebSource::kRelay) continue;
    if (worst == nullptr || AddedMicroseconds(count, field) > AddedMicroseconds(*worst, field)) {
      worst = &count;
    }
  }
  const std::string head =
      "relay-web reading the relay adds at most " + Format("%.0f", goal) + " µs at " + name;
  if (worst == nullptr) return head + ": not measured";
  const double added = AddedMicroseconds(*worst, field);
  const std::string at = Format("%+.1f", added) + " µs with " + ClientsName(worst->clients);
  if (added <= goal) return head + ": met (at most " + at + ")";
  return head + ": MISSED by " + Format("%.1f", added - goal) + " µs (" + at + ")";
}

std::string CpuGoal(const std::string& head, const WebCountResult* count, double goal) {
  if (count == nullptr) return head + ": not measured";
  const std::string used = Format("%.2f", CpuPercent(*count)) + " %";
  if (CpuPercent(*count) < goal) return head + ": met (" + used + ")";
  return head + ": MISSED by " + Format("%.2f", CpuPercent(*count) - goal) +
         " percentage points (" + used + ")";
}

void CollectFaults(WebResults& results) {
  for (const WebCountResult& count : results.counts) {
    const std::string at = std::string(" ").append(FullName(count.run));
    // The event wakes every reader, so even with both waiting at once a
    // lost row is a fault.
    if (count.relayMissing != 0) {
      results.faults.push_back("the relay's own client lost " + std::to_string(count.relayMissing) +
                               " rows" + AtRate(count.run.rate) + at);
    }
    if (count.webMissing != 0 || count.varsMissing != 0) {
      results.faults.push_back("relay-web lost " + std::to_string(count.webMissing) + " data and " +
                               std::to_string(count.varsMissing) + " vars client-messages" +
                               AtRate(count.run.rate) + at);
    }
    if (AnyFault(count.relayFaults)) {
      results.faults.push_back("the relay's client saw " + Faults(count.relayFaults) + at);
    }
    if (AnyFault(count.webFaults)) {
      results.faults.push_back("relay-web's clients saw " + Faults(count.webFaults) + at);
    }
    // With vars only they are timed (see web_clients.cpp), and the relay is
    // stopped.
    const bool timed = count.run.subscriptions == 0 ? count.relay.count != 0 && count.web.count != 0
                                                    : count.vars.count != 0;
    if (!timed) results.faults.push_back("no latency was measured" + at);
  }
}

// See BuildsPerRow.
std::string OnceGoal(const WebResults& results) {
  const std::string head =
      "relay-web builds a row's vars message once per subscription, not once per browser";
  const std::size_t clients = VarsClients(results.settings);
  const WebCountResult* one = Find(results, WebSource::kSimulator, clients, 1, true);
  const WebCountResult* two = Find(results, WebSource::kSimulator, clients, 2, true);
  const WebCountResult* all = Find(results, WebSource::kSimulator, clients, clients, true);
  if (one == nullptr || two == nullptr || all == nullptr) return head + ": not measured";
  double build = 0;
  const double builds = BuildsPerRow(CpuPerRowMicroseconds(*one), CpuPerRowMicroseconds(*two),
                                     CpuPerRowMicroseconds(*all), clients, &build);
  if (std::isnan(builds)) {
    return head + ": MISSED (" + std::to_string(clients) + " subscriptions cost " +
           Format("%+.1f", build) + " µs a row each beyond 2: no build to tell)";
  }
  // Nearer one build than one per browser.
  const bool once = builds < (1.0 + static_cast<double>(clients)) / 2.0;
  return head + (once ? ": met (about " : ": MISSED (about ") + Format("%.1f", builds) +
         " builds a row for " + ClientsName(clients) + " on one subscription, at " +
         Format("%.1f", build) + " µs each)";
}

// relay-web's turns with the field against its turns without, with
// kDirectGoalClients: what the standings cost it a row, in CPU time and in
// the data message's latency. The rows the standings go ahead of (one in
// fifteen) are told, not judged: their data message waits for the
// standings to be worked out and written to every browser.
std::string StandingsGoal(const WebResults& results) {
  const std::string head =
      "the standings and relative of a 60-car field cost relay-web reading the simulator at most " +
      Format("%.0f", kStandingsCpuGoalMicroseconds) + " µs of CPU a row and add at most " +
      Format("%.0f", kStandingsP50GoalMicroseconds) + " µs to the data message at p50, with " +
      ClientsName(kDirectGoalClients);
  const WebCountResult* with = Find(results, WebSource::kSimulator, kDirectGoalClients, 0, true);
  const WebCountResult* without =
      Find(results, WebSource::kSimulator, kDirectGoalClients, 0, false);
  if (with == nullptr || without == nullptr) return head + ": not measured";
  const auto micros = [](std::int64_t nanoseconds) {
    return static_cast<double>(nanoseconds) / 1000.0;
  };
  const double cpu = CpuPerRowMicroseconds(*with) - CpuPerRowMicroseconds(*without);
  const double p50 = micros(with->web.p50 - without->web.p50);
  const double rows = micros(with->standingsRows.p50 - without->standingsRows.p50);
  const std::string figures = Format("%+.1f", cpu) + " µs of CPU, " + Format("%+.1f", p50) +
                              " µs at p50; " + Format("%+.1f", rows) +
                              " µs at p50 on the rows the standings go ahead of";
  const bool met = cpu <= kStandingsCpuGoalMicroseconds && p50 <= kStandingsP50GoalMicroseconds;
  return head + (met ? ": met (" : ": MISSED (") + figures + ")";
}

void JudgeGoals(WebResults& results) {
  results.goals.push_back(
      LatencyGoal(results, "p50", &LatencySummary::p50, kAddedP50GoalMicroseconds));
  results.goals.push_back(
      LatencyGoal(results, "p99", &LatencySummary::p99, kAddedP99GoalMicroseconds));

  const std::string lossHead = "relay-web reading the relay loses nothing at 60 rows/s with " +
                               ClientsName(kLossGoalClients);
  if (const WebCountResult* count = Find(results, WebSource::kRelay, kLossGoalClients, 0, false);
      count == nullptr) {
    results.goals.push_back(lossHead + ": not measured");
  } else if (count->webMissing == 0) {
    results.goals.push_back(lossHead + ": met (0 of " + std::to_string(count->webDelivered) +
                            " lost)");
  } else {
    results.goals.push_back(lossHead + ": MISSED by " + std::to_string(count->webMissing) +
                            " messages lost");
  }
  results.goals.push_back(
      CpuGoal("relay-web reading the relay uses under " + Format("%.0f", kCpuGoalPercent) +
                  " % of a core at 60 rows/s with " + ClientsName(kCpuGoalClients),
              Find(results, WebSource::kRelay, kCpuGoalClients, 0, false), kCpuGoalPercent));

  // Reading the simulator, with the field: the data message no later than
  // the relay's own.
  const std::string directHead =
      "relay-web reading the simulator of a 60-car race gets a row's "
      "data message to " +
      ClientsName(kDirectGoalClients) + " at most " +
      Format("%.0f", kDirectAddedP50GoalMicroseconds) +
      " µs after the relay's own client gets its DATA_PACKET, at p50";
  if (const WebCountResult* count =
          Find(results, WebSource::kSimulator, kDirectGoalClients, 0, true);
      count == nullptr) {
    results.goals.push_back(directHead + ": not measured");
  } else {
    const double added = AddedMicroseconds(*count, &LatencySummary::p50);
    const std::string by = Format("%+.1f", added) + " µs";
    results.goals.push_back(directHead +
                            (added <= kDirectAddedP50GoalMicroseconds
                                 ? ": met (" + by + ")"
                                 : ": MISSED by " +
                                       Format("%.1f", added - kDirectAddedP50GoalMicroseconds) +
                                       " µs (" + by + ")"));
  }

  results.goals.push_back(StandingsGoal(results));

  // vars=*: its CPU, nothing lost, the JSON built once per subscription.
  const std::size_t varsClients = VarsClients(results.settings);
  const WebCountResult* shared = Find(results, WebSource::kSimulator, varsClients, 1, true);
  results.goals.push_back(CpuGoal("relay-web sends vars=*" + AtRate(VarsRate(results.settings)) +
                                      " to " + ClientsName(varsClients) + " with under " +
                                      Format("%.0f", kVarsCpuGoalPercent) + " % of a core",
                                  shared, kVarsCpuGoalPercent));
  const std::string varsLossHead = "relay-web loses no vars=* message" +
                                   AtRate(VarsRate(results.settings)) + " to " +
                                   ClientsName(varsClients);
  if (shared == nullptr) {
    results.goals.push_back(varsLossHead + ": not measured");
  } else {
    const std::string counted = std::to_string(shared->varsMissing) + " of " +
                                std::to_string(shared->varsDelivered + shared->varsMissing) +
                                " lost, " + std::to_string(shared->webFaults.damaged) + " damaged";
    results.goals.push_back(varsLossHead +
                            (shared->varsMissing == 0 && shared->webFaults.damaged == 0
                                 ? ": met (" + counted + ")"
                                 : ": MISSED (" + counted + ")"));
  }
  results.goals.push_back(OnceGoal(results));
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

const char* ReadersName(Readers readers) {
  switch (readers) {
    case Readers::kBoth:
      return "both at once";
    case Readers::kTurns:
      return "in turns";
    case Readers::kWebAlone:
      return "relay-web alone";
  }
  return "";
}

void AppendHeader(std::string& out, const Counts& counts) {
  AppendMarkdownHeader(out, counts, [](const WebCountResult& count) { return RunName(count.run); });
}

// The last rows of either table: what the run cost relay-web and the
// benchmark's reader.
void AppendCostRows(std::string& out, const Counts& counts, const std::string& cpuUseTitle) {
  const auto row = [&](const std::string& title, auto cell) {
    AppendMarkdownRow(out, title, counts, cell);
  };
  row("relay-web CPU time per row (µs)",
      [](const WebCountResult& count) { return Format("%.1f", CpuPerRowMicroseconds(count)); });
  row(cpuUseTitle, [](const WebCountResult& count) { return Format("%.2f", CpuPercent(count)); });
  row("relay-web peak resident memory (MiB)", [](const WebCountResult& count) {
    return count.peakKilobytes < 0
               ? std::string("-")
               : Format("%.1f", static_cast<double>(count.peakKilobytes) / 1024.0);
  });
  row("the benchmark's reader, CPU per message (µs)", [](const WebCountResult& count) {
    return Format("%.1f", ReaderMicrosecondsPerMessage(count));
  });
}

struct Stat {
  const char* name;
  std::int64_t LatencySummary::*field;
};

// The table of runs that time data messages: latency side by side, loss,
// damage, relay-web's CPU and memory, the reader's cost.
void AppendDataTable(std::string& out, const Counts& counts) {
  AppendHeader(out, counts);
  const auto row = [&](const std::string& title, auto cell) {
    AppendMarkdownRow(out, title, counts, cell);
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
  row("p50 / p99 latency of the rows the standings go ahead of (µs)",
      [](const WebCountResult& count) {
        return count.standingsRows.count == 0
                   ? std::string("-")
                   : Micros(count.standingsRows.p50) + " / " + Micros(count.standingsRows.p99);
      });
  row("standings / relative messages per browser a second", [](const WebCountResult& count) {
    const double seconds = static_cast<double>(count.wallNanoseconds) / 1e9 *
                           static_cast<double>(std::max<std::size_t>(1, count.clients));
    if (count.standingsDelivered + count.relativeDelivered == 0 || seconds <= 0) {
      return std::string("-");
    }
    return Format("%.2f", static_cast<double>(count.standingsDelivered) / seconds) + " / " +
           Format("%.2f", static_cast<double>(count.relativeDelivered) / seconds);
  });
  AppendCostRows(out, counts, "relay-web CPU use at 60 rows/s (% of a core)");
}

// The vars runs: the vars messages' latency, size, loss and checks, and
// what they cost relay-web.
void AppendVarsTable(std::string& out, const Counts& counts) {
  AppendHeader(out, counts);
  const auto row = [&](const std::string& title, auto cell) {
    AppendMarkdownRow(out, title, counts, cell);
  };
  row("vars message p50 / p99 / max latency (µs)", [](const WebCountResult& count) {
    return Micros(count.vars.p50) + " / " + Micros(count.vars.p99) + " / " + Micros(count.vars.max);
  });
  row("vars message size (bytes)", [](const WebCountResult& count) {
    return count.varsDelivered > 0 ? std::to_string(count.varsBytes / count.varsDelivered)
                                   : std::string("-");
  });
  row("vars / data messages lost", [](const WebCountResult& count) {
    return std::to_string(count.varsMissing) + " of " +
           std::to_string(count.varsDelivered + count.varsMissing) + " / " +
           std::to_string(count.webMissing) + " of " +
           std::to_string(count.webDelivered + count.webMissing);
  });
  row("damaged messages",
      [](const WebCountResult& count) { return std::to_string(count.webFaults.damaged); });
  row("vars messages checked value by value / as the same bytes", [](const WebCountResult& count) {
    return std::to_string(count.varsChecks.whole) + " / " + std::to_string(count.varsChecks.same);
  });
  AppendCostRows(out, counts, "relay-web CPU use (% of a core)");
}

}  // namespace

double BuildsPerRow(double one, double two, double all, std::size_t clients, double* build) {
  // Some four thousand values take longer than this to write (6 ns each),
  // and more than a few runs' noise divided among the builds.
  constexpr double kLeastBuildMicroseconds = 25;
  *build = (all - two) / (static_cast<double>(clients) - 2.0);
  if (clients <= 2 || *build < kLeastBuildMicroseconds) return std::nan("");
  return 2.0 - (two - one) / *build;
}

int RunWeb(const WebSettings& settings, WebResults* results, std::string* error) {
  results->machine = DescribeMachine();
  results->loadBefore = LoadAverage();
  results->settings = settings;
  results->cpuSource = CpuSource();
  Feed feed;
  if (!OpenFeed(feed, error)) return 2;
  feed.everyValue = true;
  const publisher::Layout& layout = feed.sim.layout;
  results->variables = layout.variables.size();
  results->arrays = static_cast<std::size_t>(
      std::count_if(layout.variables.begin(), layout.variables.end(),
                    [](const publisher::Variable& variable) { return variable.count > 1; }));
  results->rowLength = layout.rowLength;

  std::vector<WebRun> runs;
  for (const std::size_t clients : settings.clients) {
    runs.push_back({WebSource::kRelay, clients, 0, Readers::kBoth});
  }
  // Without the field and with it, in alternate turns (see Measure).
  for (const std::size_t clients : settings.clients) {
    runs.push_back({WebSource::kSimulator, clients, 0, Readers::kTurns});
  }
  const std::size_t varsClients = VarsClients(settings);
  const double varsRate = VarsRate(settings);
  for (const std::size_t subscriptions : {std::size_t{1}, std::size_t{2}, varsClients}) {
    if (subscriptions == 1) {
      runs.push_back({WebSource::kSimulator, 1, 1, Readers::kWebAlone, varsRate, true});
    }
    runs.push_back(
        {WebSource::kSimulator, varsClients, subscriptions, Readers::kWebAlone, varsRate, true});
  }
  runs.push_back({WebSource::kSimulator, 1, 0, Readers::kBoth, kDriveRate, true});

  bool measured = true;
  for (const WebRun& run : runs) {
    WebCountResult result, withField;
    measured = RunOne(feed, settings, run, &result, &withField, error);
    results->counts.push_back(result);
    if (ComparesField(run)) results->counts.push_back(withField);
    if (!measured) break;
  }
  results->lateRows = feed.lateRows;
  results->loadAfter = LoadAverage();
  publisher::Close(feed.sim);
  CloseFeed(feed);
  if (!measured) return 2;
  CollectFaults(*results);
  JudgeGoals(*results);
  return results->faults.empty() ? 0 : 1;
}

std::string WebMarkdownReport(const WebResults& results) {
  std::string out;
  out += "Machine: " + std::to_string(results.machine.processors) + " CPUs, " +
         results.machine.model + ", " + results.machine.kernel + "; load average " +
         results.loadBefore + " before, " + results.loadAfter + " after\n";
  out += "relay-web: 60 rows/s for " + Format("%g", results.settings.seconds) +
         " s per run (and side, where the relay and relay-web take turns); every row is timed "
         "from publish to its arrival (the kernel's receive time) at a TCP client of the relay "
         "and at every WebSocket client of relay-web. Cells are relay / relay-web (what "
         "relay-web adds); relay-web's figures are over all its clients' messages.\n";

  out += "\nReading the relay (--relay), both running throughout:\n\n";
  AppendDataTable(out, Table(results, WebSource::kRelay, false, false));

  out +=
      "\nReading the simulator: the relay and relay-web take turns (the other stopped with "
      "SIGSTOP, so that neither takes a CPU the other needs while a row is on its way), " +
      std::to_string(results.settings.smoke ? 1 : kRounds) +
      " turns each; relay-web's figures are from its turns, the relay's from its own. Each "
      "client count runs without the field (\"no field\": the default session text's " +
      std::to_string(kDefaultDrivers) + " drivers, none on track), then with it: a race of " +
      std::to_string(kFieldCars) +
      " cars in two classes going round in the per-car arrays, the session text listing their "
      "drivers and the pace car, whose standings and relative relay-web works out from every "
      "row and sends every 250 ms:\n\n";
  AppendDataTable(out, Table(results, WebSource::kSimulator, false, false));

  out += "\nReading the simulator of the " + std::to_string(kFieldCars) +
         "-car race alone (the relay stopped), with every variable (" +
         std::to_string(results.variables) + " variables, " + std::to_string(results.arrays) +
         " of them arrays; a row of " + std::to_string(results.rowLength) +
         " bytes) in a vars message per row, at " + Format("%g", VarsRate(results.settings)) +
         " rows/s. Only the vars messages are timed: a row's data and vars messages reach a "
         "browser together.\n\n";
  AppendVarsTable(out, Table(results, WebSource::kSimulator, true, false));

  out += "\nReading the simulator of the " + std::to_string(kFieldCars) +
         "-car race with the relay waiting on the event at the same time, one signal per row:\n\n";
  AppendDataTable(out, Table(results, WebSource::kSimulator, false, true));

  for (const std::string& note : results.notes) out += "\n" + note + "\n";
  for (const WebCountResult& count : results.counts) {
    if (count.unstampedReads == 0) continue;
    out += "\n" + FullName(count.run) + ": " + std::to_string(count.unstampedReads) +
           " reads came without a kernel receive time and were timed when they returned.\n";
  }
  out += "\nGoals:\n";
  for (const std::string& goal : results.goals) out += "- " + goal + "\n";
  return out;
}

std::string WebJsonReport(const WebResults& results) {
  nlohmann::ordered_json counts = nlohmann::ordered_json::array();
  for (const WebCountResult& count : results.counts) {
    counts.push_back({{"source", count.run.source == WebSource::kRelay ? "relay" : "simulator"},
                      {"websocket_clients", count.clients},
                      {"vars_subscriptions", count.run.subscriptions},
                      {"readers", ReadersName(count.run.readers)},
                      {"rows_per_second", count.run.rate},
                      {"field_cars", count.run.field ? kFieldCars : 0},
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
                        {"vars_latency", JsonLatency(count.vars)},
                        {"latency_rows_after_standings", JsonLatency(count.standingsRows)},
                        {"vars_delivered", count.varsDelivered},
                        {"vars_lost", count.varsMissing},
                        {"vars_bytes", count.varsBytes},
                        {"vars_checked_whole", count.varsChecks.whole},
                        {"vars_checked_same_bytes", count.varsChecks.same},
                        {"standings_received", count.standingsDelivered},
                        {"relative_received", count.relativeDelivered},
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
                                         {"kernel", results.machine.kernel},
                                         {"load_average_before", results.loadBefore},
                                         {"load_average_after", results.loadAfter}}},
                                       {"settings",
                                        {{"websocket_clients", results.settings.clients},
                                         {"seconds_at_60", results.settings.seconds},
                                         {"smoke", results.settings.smoke}}},
                                       {"cpu_source", results.cpuSource},
                                       {"directory",
                                        {{"variables", results.variables},
                                         {"arrays", results.arrays},
                                         {"row_length", results.rowLength}}},
                                       {"late_rows", results.lateRows},
                                       {"counts", counts},
                                       {"goals", results.goals},
                                       {"notes", results.notes},
                                       {"faults", results.faults}};
  return json.dump(2) + "\n";
}

}  // namespace bench
