// relay-log's command line; the broker's part of it is mqtt-link's, the
// same as relay-mqtt's.
#pragma once

#include <string>
#include <vector>

#include "mqtt-link/broker_options.h"

namespace race_log {

// The broker's options (brokerHost, tls, username, clientId, ...), and
// relay-log's own.
struct Options : mqtt_link::BrokerOptions {
  std::vector<std::string> topics;      // the subscriptions' patterns
  std::string db = "relay-log.sqlite";  // the database
  bool exporting = false;               // --export: write the CSV and exit
  std::string exportTo;                 // the CSV file, "-" for standard output
  std::string car;                      // --car: the export's one car
  std::string session;                  // --session: the export's one session
};

extern const char kUsage[];
// The environment variable the password is read from without --password-file.
inline constexpr char kPasswordVariable[] = "RELAY_LOG_PASSWORD";

// Parses the command line; false (with one line printed) when it is wrong.
// Without --client-id, the client id is "relay-log-" and the host's name.
bool ParseOptions(int argc, char** argv, Options* options, bool* help);

}  // namespace race_log
