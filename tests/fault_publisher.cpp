// A publisher for the fault tests and the soak script: lays the default
// region out on the simulator's named objects and publishes rows whose every
// relayed value derives from the tick count (support/tick_rows.h), until it
// is killed.
//
//   relay_fault_publisher <generation> <pause in microseconds> [slots] [burst]
//
// The generation goes into every row, so a restarted publisher's rows can be
// told from its predecessor's. Rows go out `burst` at a time (default 1),
// back to back, with the pause after each burst: a burst rewrites the slots
// as fast as memory allows, so the relay's copies overlap rewrites, while the
// pauses keep the relay's message rate within what a client reads.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "sim-publisher/publisher.h"
#include "support/tick_rows.h"

int main(int argc, char** argv) {
  if (argc < 3 || argc > 5) {
    std::fprintf(stderr,
                 "usage: relay_fault_publisher <generation> <pause in microseconds> [slots] "
                 "[burst]\n");
    return 2;
  }
  const int generation = std::atoi(argv[1]);
  const int pause = std::atoi(argv[2]);
  publisher::Layout layout = publisher::DefaultLayout();
  if (argc >= 4) layout.slotCount = std::atoi(argv[3]);
  const int burst = argc >= 5 ? std::atoi(argv[4]) : 1;

  publisher::Publisher sim;
  std::string error;
  if (!publisher::OpenNamed(sim, layout, publisher::DefaultSessionText(), &error)) {
    std::fprintf(stderr, "relay_fault_publisher: %s\n", error.c_str());
    return 1;
  }
  std::printf("publishing generation %d\n", generation);
  std::fflush(stdout);

  std::vector<std::uint8_t> row(static_cast<std::size_t>(layout.rowLength));
  for (;;) {
    for (int i = 0; i < burst; ++i) {
      testsupport::FillTickRow(row, layout, sim.tickCount + 1, generation);
      publisher::PublishRow(sim, row);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(pause));
  }
}
