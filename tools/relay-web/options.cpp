// Parsing relay-web's command line.
#include "relay-web/options.h"

#include <charconv>
#include <cstdio>
#include <string_view>

namespace web {

const char kUsage[] =
    "Usage: relay-web [--relay HOST[:PORT]] [--listen [ADDRESS:]PORT]\n"
    "\n"
    "Connects to telemetry-relay and serves its telemetry to browsers: open\n"
    "http://THIS-MACHINE:8667/ on a phone, tablet or computer on the same network.\n"
    "While the relay is away it reconnects every second.\n"
    "\n"
    "Options:\n"
    "  --relay HOST[:PORT]       the relay to read (default 127.0.0.1:6667)\n"
    "  --listen [ADDRESS:]PORT   where to serve (default 0.0.0.0:8667, every IPv4\n"
    "                            address); ADDRESS is a numeric IPv4 or IPv6 address\n"
    "                            ([::1]:8667), PORT 0 picks a free port\n"
    "  -h, --help                show this text\n"
    "\n"
    "Endpoints (HTTP GET only; anything else is 404):\n"
    "  /             the dashboard page (built in; needs no internet)\n"
    "  /ws           the WebSocket feed: JSON text messages\n"
    "                  {\"type\":\"status\",\"relay\":\"connected\"|\"offline\"}\n"
    "                  {\"type\":\"session\",\"firstRpm\":N,\"lastRpm\":N,\"shiftRpm\":N,\n"
    "                   \"blinkRpm\":N,\"carPath\":\"...\"}\n"
    "                  "
    "{\"type\":\"data\",\"oilTemp\":N,\"waterTemp\":N,\"gear\":N,\"fuelLevel\":N,\n"
    "                   \"rpm\":N,\"lapDistPct\":N,\"fuelLevelPct\":N,\"lapDist\":N,\"lap\":N,\n"
    "                   \"raceLaps\":N,\"sessionLapsRemain\":N,\"sessionTimeRemain\":N,\n"
    "                   \"onPitRoad\":BOOL,\"throttle\":N,\"isOnTrack\":BOOL}\n"
    "                numbers as the relay wrote them; nan and infinities are null.\n"
    "                A new socket gets the status, the last session message and the\n"
    "                newest data at once; then every status change, every new session\n"
    "                message and each row. A browser that is behind gets the newest\n"
    "                row, never a backlog.\n"
    "  /api/latest   {\"status\":{...},\"session\":{...}|null,\"data\":{...}|null}\n"
    "\n"
    "Limits: 64 WebSocket clients (the next gets 503); requests up to 8 KiB of\n"
    "header and no body (else 400 and the connection is closed); idle HTTP\n"
    "connections close after 30 s; a WebSocket client whose messages have not been\n"
    "taken for 10 s, or that has not answered a ping for 30 s, is dropped.\n"
    "relay-web reads and writes no files.\n"
    "\n"
    "Exit status: 1 when the listening address cannot be opened (port taken, not\n"
    "a local address), 2 for a bad command line; otherwise it runs until stopped.\n";

namespace {

// A port number from `lowest` to 65535.
bool ParsePort(std::string_view text, unsigned lowest, unsigned short* port) {
  unsigned value = 0;
  const auto parsed = std::from_chars(text.data(), text.data() + text.size(), value);
  if (parsed.ec != std::errc() || parsed.ptr != text.data() + text.size() || value < lowest ||
      value > 65535) {
    return false;
  }
  *port = static_cast<unsigned short>(value);
  return true;
}

// Splits "HOST:PORT", "[V6]:PORT", "HOST" or, with `portOnly`, "PORT". An
// address with more than one ":" and no brackets is a bare IPv6 address.
void SplitHostPort(std::string_view text, bool portOnly, std::string_view* host,
                   std::string_view* port) {
  if (text.starts_with('[')) {
    const std::size_t close = text.find(']');
    if (close != std::string_view::npos) {
      *host = text.substr(1, close - 1);
      const std::string_view rest = text.substr(close + 1);
      *port = rest.starts_with(':') ? rest.substr(1) : rest;
      return;
    }
  }
  const std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos || text.find(':') != colon) {
    (portOnly && colon == std::string_view::npos ? *port : *host) = text;
    return;
  }
  *host = text.substr(0, colon);
  *port = text.substr(colon + 1);
}

bool Fail(const char* problem) {
  std::fprintf(stderr, "relay-web: %s (see --help)\n", problem);
  return false;
}

}  // namespace

bool ParseOptions(int argc, char** argv, Options* options, bool* help) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "-h" || argument == "--help") {
      *help = true;
      return true;
    }
    const bool relay = argument == "--relay";
    if (!relay && argument != "--listen") {
      std::fprintf(stderr, "relay-web: unknown argument %s (see --help)\n", argv[i]);
      return false;
    }
    if (i + 1 >= argc)
      return Fail(relay ? "--relay needs HOST[:PORT]" : "--listen needs [ADDRESS:]PORT");
    const std::string_view value = argv[++i];
    std::string_view host, port;
    SplitHostPort(value, !relay, &host, &port);
    unsigned short number = 0;
    if (relay) {
      if (host.empty()) return Fail("--relay needs a host name or address");
      if (!port.empty() && !ParsePort(port, 1, &number)) {
        return Fail("the relay's port must be a number from 1 to 65535");
      }
      options->relayHost = std::string(host);
      if (!port.empty()) options->relayPort = std::string(port);
    } else {
      if (!ParsePort(port, 0, &number)) {
        return Fail("--listen needs [ADDRESS:]PORT, PORT a number from 0 to 65535");
      }
      if (!host.empty()) options->listenAddress = std::string(host);
      options->listenPort = number;
    }
  }
  return true;
}

}  // namespace web
