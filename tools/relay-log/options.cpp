// Parsing relay-log's command line.
#include "relay-log/options.h"

#include <mosquitto.h>
#include <unistd.h>

#include <cstdio>
#include <string_view>

namespace race_log {

const char kUsage[] =
    "Usage: relay-log --topic PATTERN [--topic PATTERN...] [--db FILE]\n"
    "                 [--broker mqtt[s]://HOST[:PORT]] [--username NAME\n"
    "                 [--password-file FILE]] [--cafile FILE] [--client-id ID]\n"
    "       relay-log --export CSV [--db FILE] [--car PREFIX] [--session S]\n"
    "\n"
    "Keeps the team's race log beside the broker. Every lap and pit stop that\n"
    "relay-mqtt publishes under PATTERN (on PREFIX/lap and PREFIX/pit) is stored in\n"
    "an SQLite database, and after each one the car's whole log of its current\n"
    "session (the session of its newest message) is published on PREFIX/log,\n"
    "retained, QoS 1, so a teammate who subscribes at any time gets the whole race:\n"
    "  {\"type\":\"log\",\"session\":...,\"drivers\":[...],\"lapFields\":[...],\n"
    "   \"laps\":[[...],...],\"pitFields\":[...],\"pits\":[[...],...],\"stints\":[...]}\n"
    "A lap is kept once per car, session and lap number, a stop once per car,\n"
    "session, lap and pitIn: one that comes again replaces the stored one. A\n"
    "message that is not a valid lap or stop is skipped (the console names the\n"
    "first fault of each kind).\n"
    "\n"
    "It subscribes with QoS 1 in a session the broker keeps under its client id,\n"
    "so what is published while relay-log is stopped reaches it when it returns.\n"
    "At start and after every reconnect it publishes every car's log again. While\n"
    "the broker is away, reconnects back off from 1 s to 30 s.\n"
    "\n"
    "Options:\n"
    "  --topic PATTERN       the topics to read, an MQTT filter, such as team/#\n"
    "                        or, so that the broker keeps only laps and stops\n"
    "                        while relay-log is away, team/+/lap and team/+/pit\n"
    "                        (give --topic once for each); a car's prefix is the\n"
    "                        topic without its last level\n"
    "  --broker URL          mqtt://HOST[:PORT] (default mqtt://127.0.0.1:1883) or\n"
    "                        mqtts://HOST[:PORT] for TLS (port 8883 by default)\n"
    "  --cafile FILE         with mqtts: trust the CAs in FILE (PEM) instead of the\n"
    "                        system's\n"
    "  --username NAME       log in as NAME; the password is the first line of\n"
    "  --password-file FILE  FILE, or else the environment variable\n"
    "                        RELAY_LOG_PASSWORD\n"
    "  --client-id ID        the MQTT client id, under which the broker keeps the\n"
    "                        session (default relay-log-HOSTNAME); one relay-log\n"
    "                        per id\n"
    "  --db FILE             the SQLite database (default relay-log.sqlite), made\n"
    "                        when missing\n"
    "  --export CSV          write the stored laps to the file CSV (- for the\n"
    "                        standard output) as comma-separated values and exit\n"
    "  --car PREFIX          with --export: only this car's laps\n"
    "  --session S           with --export: only this session's laps\n"
    "  -h, --help            show this text\n"
    "\n"
    "Exit status: 0 after Ctrl-C or SIGTERM, or once exported; 1 when it cannot\n"
    "work (a database it cannot open or write, or a newer relay-log's; an\n"
    "unreadable password or CA file; a CSV file it cannot write); 2 for a bad\n"
    "command line.\n";

namespace {

bool Fail(const std::string& problem) {
  std::fprintf(stderr, "relay-log: %s (see --help)\n", problem.c_str());
  return false;
}

bool CheckPattern(const std::string& pattern) {
  if (pattern.empty() || pattern.size() > 60000 ||
      mosquitto_validate_utf8(pattern.c_str(), static_cast<int>(pattern.size())) !=
          MOSQ_ERR_SUCCESS ||
      mosquitto_sub_topic_check(pattern.c_str()) != MOSQ_ERR_SUCCESS) {
    return Fail("--topic " + pattern +
                ": a pattern is an MQTT topic filter, such as team/# or team/+/lap");
  }
  return true;
}

std::string DefaultClientId() {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') return "relay-log";
  return std::string("relay-log-") + host;
}

}  // namespace

bool ParseOptions(int argc, char** argv, Options* options, bool* help) {
  bool filtered = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "-h" || argument == "--help") {
      *help = true;
      return true;
    }
    static constexpr std::string_view kTakesValue[] = {"--topic", "--db", "--export", "--car",
                                                       "--session"};
    bool known = mqtt_link::IsBrokerOption(argument);
    for (std::string_view name : kTakesValue) known = known || argument == name;
    if (!known) return Fail("unknown argument " + std::string(argument));
    if (i + 1 >= argc) return Fail(std::string(argument) + " needs a value");
    const std::string value = argv[++i];
    std::string problem;
    if (mqtt_link::IsBrokerOption(argument)) {
      if (!mqtt_link::TakeBrokerOption(argument, value, options, &problem)) return Fail(problem);
    } else if (argument == "--topic") {
      options->topics.push_back(value);
    } else if (argument == "--db") {
      options->db = value;
    } else if (argument == "--export") {
      options->exporting = true;
      options->exportTo = value;
    } else if (argument == "--car") {
      options->car = value;
      filtered = true;
    } else {
      options->session = value;
      filtered = true;
    }
  }
  if (options->db.empty()) return Fail("--db needs a file");
  if (options->exporting) {
    // Writes the CSV; the broker's options do not matter.
    if (options->exportTo.empty())
      return Fail("--export needs a file, or - for the standard output");
    return true;
  }
  if (filtered) return Fail("--car and --session are for --export");
  if (options->topics.empty()) return Fail("--topic needs a pattern, such as team/#");
  for (const std::string& pattern : options->topics) {
    if (!CheckPattern(pattern)) return false;
  }
  std::string problem;
  if (!mqtt_link::CheckBrokerOptions(*options, &problem)) return Fail(problem);
  if (options->clientId.empty()) options->clientId = DefaultClientId();
  return true;
}

}  // namespace race_log
