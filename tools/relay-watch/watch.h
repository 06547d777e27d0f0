// relay-watch's loop: connect to the relay, split the stream into messages,
// check each one and show it, and reconnect every second while the relay is
// away.
#pragma once

#include "relay-watch/options.h"

namespace watch {

// Runs until --count messages arrived (true) or Ctrl-C (false).
bool RunWatch(const Options& options);

}  // namespace watch
