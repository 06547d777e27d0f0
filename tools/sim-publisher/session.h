// Publishing: the simulated car, or the rows of a recording, into the named
// region and event until done, interrupted or out of rows.
#pragma once

#include "sim-publisher/options.h"

namespace simpublisher {

// --ibt FILE: checks the whole recording before anything is created, then
// describes it (--info) or replays it. Returns the exit status.
int Replay(const Options& options);
// The simulated car lapping Spa. Returns the exit status.
int Simulate(const Options& options);

}  // namespace simpublisher
