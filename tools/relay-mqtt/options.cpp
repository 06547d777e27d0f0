// Parsing relay-mqtt's command line.
#include "relay-mqtt/options.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "mqtt-link/mqtt_codec.h"

namespace mqtt_bridge {

const char kUsage[] =
    "Usage: relay-mqtt --topic PREFIX [--broker URL] [--web URL]\n"
    "                  [--rate HZ] [--username NAME [--password-file FILE]]\n"
    "                  [--cafile FILE] [--client-id ID]\n"
    "       relay-mqtt --write-page DIR\n"
    "\n"
    "Reads relay-web's WebSocket feed and publishes it to an MQTT broker, so that\n"
    "teammates elsewhere see the telemetry. Each feed message is published as it\n"
    "came, under PREFIX:\n"
    "  PREFIX/status, PREFIX/session, PREFIX/strategy   retained, QoS 1, when they\n"
    "                            change and again after every reconnect\n"
    "  PREFIX/standings          retained, QoS 0, the newest, at most once a second,\n"
    "                            and again after every reconnect\n"
    "  PREFIX/data, PREFIX/vars, PREFIX/relative   QoS 0, the newest row, at most\n"
    "                            HZ a second\n"
    "  PREFIX/lap, PREFIX/pit    QoS 1, not retained: every lap and pit stop\n"
    "                            relay-web sends, in order (held while the broker\n"
    "                            is away, up to 2000)\n"
    "  PREFIX/bridge             retained: online, or offline (also the broker's\n"
    "                            last will when the bridge dies or loses its link)\n"
    "While relay-web is away PREFIX/status says {\"type\":\"status\",\"source\":\n"
    "\"relay-web\",\"relay-web\":\"offline\"} and the bridge retries every second; while\n"
    "the broker is away rows are dropped, and reconnects back off from 1 s to 30 s.\n"
    "\n"
    "Options:\n"
    "  --topic PREFIX        topic prefix, such as team/car42 (required to bridge)\n"
    "  --broker URL          on Linux: mqtt://HOST[:PORT] (default\n"
    "                        mqtt://127.0.0.1:1883) or mqtts://HOST[:PORT] for TLS\n"
    "                        (port 8883 by default); on Windows, the broker's\n"
    "                        WebSocket listener (no default): ws://HOST[:PORT][/PATH]\n"
    "                        (port 80) or wss://HOST[:PORT][/PATH] for TLS (port 443)\n"
    "  --cafile FILE         with mqtts or wss: trust the CAs in FILE (PEM) instead\n"
    "                        of the system's (on Windows, its certificate store)\n"
    "  --username NAME       log in as NAME; the password is the first line of\n"
    "  --password-file FILE  FILE, or else the environment variable\n"
    "                        RELAY_MQTT_PASSWORD\n"
    "  --client-id ID        the MQTT client id (default: one made up per run)\n"
    "  --web URL             relay-web's feed (default ws://127.0.0.1:8667/ws); its\n"
    "                        query may ask for vars=NAME,... and hz=N; without hz\n"
    "                        the bridge asks for hz=HZ\n"
    "  --rate HZ             rows a second on PREFIX/data, PREFIX/vars and\n"
    "                        PREFIX/relative, 1 to 60 (default 10)\n"
    "  --write-page DIR      write the dashboard page (DIR/index.html) and the\n"
    "                        browser's MQTT library (DIR/mqtt.min.js), then exit\n"
    "  -h, --help            show this text\n"
    "\n"
    "Exit status: 0 after Ctrl-C or SIGTERM (having published offline), 1 when it\n"
    "cannot work (unreadable password or CA file, page not written), 2 for a bad\n"
    "command line.\n";

namespace {

bool Fail(const std::string& problem) {
  std::fprintf(stderr, "relay-mqtt: %s (see --help)\n", problem.c_str());
  return false;
}

// A prefix every topic can be built on: no wildcards, no empty end, UTF-8.
bool CheckTopic(const std::string& topic) {
  if (topic.empty()) return Fail("--topic needs a prefix, such as team/car42");
  if (topic.find_first_of("+#") != std::string::npos || topic.ends_with('/') ||
      topic.size() > 60000 || !mqtt_codec::IsText(topic)) {
    return Fail("--topic " + topic +
                ": a prefix is UTF-8 text without + or # that does not end in /");
  }
  return true;
}

}  // namespace

bool ParseFeedUrl(const std::string& url, int rate, FeedAddress* address, std::string* problem) {
  using mqtt_link::ParseNumber;
  using mqtt_link::SplitAuthority;
  std::string_view rest = url;
  *problem = "--web needs ws://HOST[:PORT][/PATH][?QUERY]";
  if (!rest.starts_with("ws://")) return false;
  rest.remove_prefix(5);
  const std::size_t targetAt = rest.find_first_of("/?");
  std::string_view host, port;
  if (!SplitAuthority(rest.substr(0, targetAt), &host, &port)) return false;
  int number = 0;
  if (!port.empty() && !ParseNumber(port, 1, 65535, &number)) {
    *problem = "relay-web's port must be a number from 1 to 65535";
    return false;
  }
  address->host = std::string(host);
  address->port = port.empty() ? "80" : std::string(port);
  std::string target(targetAt == std::string_view::npos ? "/" : rest.substr(targetAt));
  if (target.starts_with('?')) target.insert(0, 1, '/');
  if (target.find_first_of(" \r\n#") != std::string::npos) return false;
  // The query's parameters, as relay-web reads them.
  const std::size_t queryAt = target.find('?');
  bool hasHz = false;
  address->wantsVars = false;
  if (queryAt != std::string::npos) {
    std::string_view query = std::string_view(target).substr(queryAt + 1);
    while (!query.empty()) {
      const std::string_view pair = query.substr(0, query.find('&'));
      query.remove_prefix(std::min(query.size(), pair.size() + 1));
      if (pair.starts_with("hz=")) hasHz = true;
      if (pair.starts_with("vars=") && pair.size() > 5) address->wantsVars = true;
    }
  }
  if (!hasHz) {
    target += queryAt == std::string::npos ? '?' : '&';
    if (target.ends_with("?&")) target.pop_back();
    target += "hz=" + std::to_string(rate);
  }
  address->target = std::move(target);
  return true;
}

bool ParseOptions(int argc, char** argv, Options* options, bool* help) {
  std::string webUrl = "ws://127.0.0.1:8667/ws";
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "-h" || argument == "--help") {
      *help = true;
      return true;
    }
    static constexpr std::string_view kTakesValue[] = {"--topic", "--web", "--rate",
                                                       "--write-page"};
    bool known = mqtt_link::IsBrokerOption(argument);
    for (std::string_view name : kTakesValue) known = known || argument == name;
    if (!known) return Fail("unknown argument " + std::string(argument));
    if (i + 1 >= argc) return Fail(std::string(argument) + " needs a value");
    const std::string value = argv[++i];
    std::string problem;
    if (mqtt_link::IsBrokerOption(argument)) {
      if (!mqtt_link::TakeBrokerOption(argument, value, options, &problem)) return Fail(problem);
    } else if (argument == "--topic") {
      options->topic = value;
    } else if (argument == "--web") {
      webUrl = value;
    } else if (argument == "--rate") {
      if (!mqtt_link::ParseNumber(value, 1, 60, &options->rate)) {
        return Fail("--rate needs a whole number of rows a second from 1 to 60");
      }
    } else {
      options->pageDir = value;
    }
  }
  if (!options->pageDir.empty()) return true;  // writes the page; nothing else matters
  if (!CheckTopic(options->topic)) return false;
  std::string problem;
  if (!mqtt_link::CheckBrokerOptions(*options, &problem)) return Fail(problem);
  if (!ParseFeedUrl(webUrl, options->rate, &options->feed, &problem)) return Fail(problem);
  return true;
}

}  // namespace mqtt_bridge
