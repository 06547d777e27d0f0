// Parsing relay-watch's command line.
#include "relay-watch/options.h"

#include <charconv>
#include <cstdio>
#include <string_view>
#include <vector>

namespace watch {

const char kUsage[] =
    "Usage: relay-watch [--raw] [--count N] [HOST] [PORT]\n"
    "\n"
    "Connects to telemetry-relay at HOST:PORT (default 127.0.0.1 6667), checks every\n"
    "message it receives (field counts, numbers) and shows them on a live dashboard:\n"
    "gear, RPM and shift lights from the SESSION_INFO thresholds, temperatures, fuel,\n"
    "laps, time remaining, pit road and on-track flags, the car path, messages per\n"
    "second and malformed messages. When the relay goes away it reconnects every\n"
    "second until it is back. Ctrl-C quits.\n"
    "\n"
    "Options:\n"
    "  --raw        print each message on its own line instead of the dashboard;\n"
    "               connection news and malformed messages are reported on stderr\n"
    "  --count N    exit after N messages (exit status 0)\n"
    "  -h, --help   show this text\n"
    "\n"
    "Exit status: 0 after --count messages, 130 after Ctrl-C, 2 for a bad command line.\n";

bool ParseOptions(int argc, char** argv, Options* options, bool* help) {
  std::vector<std::string_view> positional;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "-h" || argument == "--help") {
      *help = true;
      return true;
    }
    if (argument == "--raw") {
      options->raw = true;
    } else if (argument == "--count") {
      const std::string_view value = i + 1 < argc ? argv[++i] : "";
      const char* end = value.data() + value.size();
      const auto parsed = std::from_chars(value.data(), end, options->count);
      if (parsed.ec != std::errc() || parsed.ptr != end || options->count < 1) {
        std::fprintf(stderr, "relay-watch: --count needs a whole number of messages, 1 or more\n");
        return false;
      }
    } else if (argument.starts_with("-")) {
      std::fprintf(stderr, "relay-watch: unknown option %s (see --help)\n", argv[i]);
      return false;
    } else {
      positional.push_back(argument);
    }
  }
  if (positional.size() > 2) {
    std::fprintf(stderr, "relay-watch: too many arguments (see --help)\n");
    return false;
  }
  if (!positional.empty()) options->host = std::string(positional[0]);
  if (positional.size() == 2) {
    int port = 0;
    const std::string_view text = positional[1];
    const auto parsed = std::from_chars(text.data(), text.data() + text.size(), port);
    if (parsed.ec != std::errc() || parsed.ptr != text.data() + text.size() || port < 1 ||
        port > 65535) {
      std::fprintf(stderr, "relay-watch: the port must be a number from 1 to 65535\n");
      return false;
    }
    options->port = std::string(text);
  }
  return true;
}

}  // namespace watch
