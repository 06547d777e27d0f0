// relay-web's benchmark: the real relay and relay-web as child processes, a
// TCP client of the relay and WebSocket clients of relay-web reading the
// same rows at 60 rows/s. relay-web reads the relay (--relay) with 1, 10 and
// 50 browsers; then the simulator's region itself, taking turns with the
// relay at the event, with 1, 10 and 50 browsers, relay-web's own turns
// alternating without and with a race of 60 cars in the per-car arrays
// (whose standings and relative it works out and sends 4 times a second);
// then alone, with every variable in each row's vars message, for 1 browser
// and for 10 on 1, 2 and 10 subscriptions of the same variables; and last
// beside the relay with both waiting on the event at once, those two with
// the 60 cars. It reports
// publish-to-receive latency side by side, messages lost and damaged,
// relay-web's CPU time (all its threads) and peak memory, and whether
// relay-web meets its goals.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "measure.h"
#include "report.h"
#include "web_clients.h"

namespace bench {

struct WebSettings {
  std::vector<std::size_t> clients;  // WebSocket clients per run of each source
  double seconds = 0;                // at 60 rows/s, per run
  bool smoke = false;
  std::string relayPath, webPath;
};

// Where relay-web reads: the relay's stream, or the simulator's region.
enum class WebSource { kRelay, kSimulator };

// How the relay and relay-web share the simulator's data-valid event, which
// (like the simulator's auto-reset event) wakes one waiter per signal.
enum class Readers {
  kBoth,     // both run throughout (reading the relay, relay-web never waits on it)
  kTurns,    // they take turns, the other stopped (SIGSTOP): each gets every signal
  kWebAlone  // the relay is stopped once the clients are connected
};

struct WebRun {
  WebSource source = WebSource::kRelay;
  std::size_t clients = 0;
  // Vars subscriptions among the browsers: 0, none asks for vars; 1, all ask
  // for vars=*; more, each asks for every variable by name and a name of its
  // own that picks one of that many subscriptions (the same values, built
  // once per subscription).
  std::size_t subscriptions = 0;
  Readers readers = Readers::kBoth;
  double rate = 60;  // rows per second
  // The rows carry the field and the session text lists it (see feed.h);
  // otherwise the default text's three drivers, none of them on track.
  // Where relay-web reads the simulator in turns with the relay, it starts
  // without and its turns alternate (see Measure).
  bool field = false;
};

struct WebCountResult {
  WebRun run;
  std::size_t clients = 0;
  LatencySummary relay, web;         // the relay's client; every WebSocket client together
  LatencySummary webFirst, webLast;  // the WebSocket clients relay-web serves first and last
  LatencySummary vars;               // every WebSocket client's vars messages
  LatencySummary standingsRows;      // data messages sent after the standings
  std::int64_t rows = 0;             // published in the timed window
  std::int64_t relayDelivered = 0, relayMissing = 0;
  std::int64_t webDelivered = 0, webMissing = 0;  // client-messages
  std::int64_t varsDelivered = 0, varsMissing = 0, varsBytes = 0;
  std::int64_t standingsDelivered = 0, relativeDelivered = 0;  // client-messages
  VarsChecks varsChecks;
  // relay-web's CPU time over its windows, and their length.
  std::int64_t cpuNanoseconds = 0, wallNanoseconds = 0;
  std::int64_t peakKilobytes = -1;        // relay-web's VmHWM at the end
  std::int64_t readerCpuNanoseconds = 0;  // the benchmark's reading thread, over the window
  std::int64_t unstampedReads = 0;        // timed by the reader instead of the kernel
  ClientFaults relayFaults, webFaults;
};

struct WebResults {
  Machine machine;
  std::string loadBefore, loadAfter;  // /proc/loadavg
  WebSettings settings;
  std::string cpuSource;
  // The feed's variables.
  std::size_t variables = 0, arrays = 0;
  std::int32_t rowLength = 0;
  std::vector<WebCountResult> counts;
  std::int64_t lateRows = 0;
  std::vector<std::string> goals;   // one line per goal: met, or by how much missed
  std::vector<std::string> notes;   // what the run showed that is no goal
  std::vector<std::string> faults;  // what makes the run fail, in words
};

// How many times relay-web built a row's vars message for `clients`
// browsers on one subscription, from its CPU time per row with them on 1, 2
// and `clients` subscriptions of the same variables (so sending the same
// bytes): built once per subscription, the run on `clients` costs
// `clients` - 2 builds more than the run on 2, which gives one build's cost
// (in `*build`, µs). NaN when that is too small to be a build (25 µs), as
// when every browser's message is built anyway and the three cost the same
// give or take their noise.
double BuildsPerRow(double one, double two, double all, std::size_t clients, double* build);

// Runs every run. 0 when nothing was lost or damaged, 1 when something was
// (see results->faults), 2 when the run could not be made (see *error).
int RunWeb(const WebSettings& settings, WebResults* results, std::string* error);

std::string WebMarkdownReport(const WebResults& results);
std::string WebJsonReport(const WebResults& results);

}  // namespace bench
