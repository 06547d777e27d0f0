// sim-publisher: plays the simulator's part without the simulator. It lays
// out the shared telemetry region and the data-valid event under the
// simulator's names and publishes a simulated car lapping Spa, or replays a
// telemetry recording the simulator wrote, so the relay and its clients can
// be run, tried and tested anywhere.
#include <cstdio>

#include "sim-publisher/options.h"
#include "sim-publisher/session.h"

int main(int argc, char** argv) {
  simpublisher::Options options;
  bool help = false;
  if (!simpublisher::ParseOptions(argc, argv, &options, &help)) return 2;
  if (help) {
    std::fputs(simpublisher::kUsage, stdout);
    return 0;
  }
  return options.ibt.empty() ? simpublisher::Simulate(options) : simpublisher::Replay(options);
}
