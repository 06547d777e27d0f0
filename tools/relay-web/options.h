// relay-web's command line.
#pragma once

#include <cstddef>
#include <string>

#include "relay-web/web_feed.h"
#include "relay-web/web_server.h"

namespace web {

struct Options {
  bool relay = false;  // read a relay; otherwise the simulator on this machine
  std::string relayHost = "127.0.0.1";
  std::string relayPort = "6667";
  std::string listenAddress = "0.0.0.0";
  unsigned short listenPort = 8667;
  double fuelMargin = 0.5;                      // laps of fuel beyond the finish, in the strategy
  std::size_t perClient = kDefaultPerClient;    // connections one client address may hold
  std::size_t maxMessage = kDefaultMaxMessage;  // bytes of one vars message
};

inline constexpr double kMaxFuelMarginLaps = 10;

extern const char kUsage[];

// Parses the command line; false (with a message printed) when it is wrong.
bool ParseOptions(int argc, char** argv, Options* options, bool* help);

}  // namespace web
