// relay-watch: a client of telemetry-relay. It connects, splits the stream
// into messages at their keywords, checks every message and shows what
// arrives, either as a live one-screen dashboard or, with --raw, one message
// per line. When the relay goes away it says so and reconnects every second.
#include <cstdio>

#include "console/terminal.h"
#include "relay-watch/options.h"
#include "relay-watch/watch.h"

int main(int argc, char** argv) {
  watch::Options options;
  bool help = false;
  if (!watch::ParseOptions(argc, argv, &options, &help)) return 2;
  if (help) {
    std::fputs(watch::kUsage, stdout);
    return 0;
  }
  terminal::InstallInterruptHandler();
  const bool counted = watch::RunWatch(options);
  terminal::CleanupDone();
  return counted ? 0 : 130;
}
