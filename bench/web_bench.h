// relay-web's benchmark: the real relay and relay-web as child processes, a
// TCP client of the relay and 1, 10 and 50 WebSocket clients of relay-web
// reading the same rows at 60 rows/s. It reports publish-to-receive latency
// side by side, messages lost and damaged, relay-web's CPU time (all its
// threads) and peak memory, and whether relay-web meets its goals.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "measure.h"
#include "report.h"
#include "web_clients.h"

namespace bench {

struct WebSettings {
  std::vector<std::size_t> clients;  // WebSocket clients per run
  double seconds = 0;                // at 60 rows/s, per client count
  bool smoke = false;
  std::string relayPath, webPath;
};

struct WebCountResult {
  std::size_t clients = 0;
  LatencySummary relay, web;         // the relay's client; every WebSocket client together
  LatencySummary webFirst, webLast;  // the WebSocket clients relay-web serves first and last
  std::int64_t rows = 0;             // published in the timed window
  std::int64_t relayDelivered = 0, relayMissing = 0;
  std::int64_t webDelivered = 0, webMissing = 0;  // client-messages
  // relay-web's CPU time over the window, and the window's length.
  std::int64_t cpuNanoseconds = 0, wallNanoseconds = 0;
  std::int64_t peakKilobytes = -1;        // relay-web's VmHWM at the end
  std::int64_t readerCpuNanoseconds = 0;  // the benchmark's reading thread, over the window
  std::int64_t unstampedReads = 0;        // timed by the reader instead of the kernel
  ClientFaults relayFaults, webFaults;
};

struct WebResults {
  Machine machine;
  WebSettings settings;
  std::string cpuSource;
  std::vector<WebCountResult> counts;
  std::int64_t lateRows = 0;
  std::vector<std::string> goals;   // one line per goal: met, or by how much missed
  std::vector<std::string> faults;  // what makes the run fail, in words
};

// Runs every client count. 0 when nothing was lost or damaged, 1 when
// something was (see results->faults), 2 when the run could not be made
// (see *error).
int RunWeb(const WebSettings& settings, WebResults* results, std::string* error);

std::string WebMarkdownReport(const WebResults& results);
std::string WebJsonReport(const WebResults& results);

}  // namespace bench
