// Parsing relay-web's command line.
#include "relay-web/options.h"

#include <charconv>
#include <cstdio>
#include <string_view>

namespace web {

const char kUsage[] =
    "Usage: relay-web [--relay HOST[:PORT]] [--listen [ADDRESS:]PORT] [--fuel-margin LAPS]\n"
    "                 [--per-client N] [--max-message BYTES]\n"
    "\n"
    "Serves the simulator's telemetry to browsers: open http://THIS-MACHINE:8667/ on a\n"
    "phone, tablet or computer on the same network.\n"
    "\n"
    "Without --relay it reads the simulator on this machine directly (its shared\n"
    "memory, as telemetry-relay does), with every variable the simulator publishes;\n"
    "it waits for the simulator to start and follows it when it stops and starts.\n"
    "With --relay it reads telemetry-relay's stream (from another machine, say): the\n"
    "fifteen values the relay sends, reconnecting every second while it is away.\n"
    "\n"
    "Options:\n"
    "  --relay HOST[:PORT]       read the relay at HOST (port 6667 unless given)\n"
    "  --listen [ADDRESS:]PORT   where to serve (default 0.0.0.0:8667, every IPv4\n"
    "                            address); ADDRESS is a numeric IPv4 or IPv6 address\n"
    "                            ([::1]:8667), PORT 0 picks a free port\n"
    "  --fuel-margin LAPS        fuel for this many laps more than the finish needs\n"
    "                            in the strategy figures (0 to 10; default 0.5)\n"
    "  --per-client N            connections one client address may hold at once,\n"
    "                            HTTP and WebSocket together (1 to 65535; default 16);\n"
    "                            raise it when many browsers come through one proxy\n"
    "  --max-message BYTES       the most one vars message, or the vars of one\n"
    "                            /api/latest, may take (65536 to 67108864; default\n"
    "                            1048576, what relay-mqtt reads); see Limits\n"
    "  -h, --help                show this text\n"
    "\n"
    "Endpoints (HTTP GET only; anything else is 404):\n"
    "  /             the dashboard page (built in; needs no internet)\n"
    "  /ws           the WebSocket feed: JSON text messages\n"
    "                  {\"type\":\"status\",\"source\":\"simulator\",\"simulator\":\"running\"|\n"
    "                   \"not running\"} or {\"type\":\"status\",\"source\":\"relay\",\n"
    "                   \"relay\":\"connected\"|\"offline\"}\n"
    "                  {\"type\":\"session\",\"firstRpm\":N,\"lastRpm\":N,\"shiftRpm\":N,\n"
    "                   \"blinkRpm\":N,\"carPath\":\"...\"}\n"
    "                  {\"type\":\"data\",\"oilTemp\":N,\"waterTemp\":N,\"gear\":N,\n"
    "                   \"fuelLevel\":N,\"rpm\":N,\"lapDistPct\":N,\"fuelLevelPct\":N,\n"
    "                   \"lapDist\":N,\"lap\":N,\"raceLaps\":N,\"sessionLapsRemain\":N,\n"
    "                   \"sessionTimeRemain\":N,\"onPitRoad\":BOOL,\"throttle\":N,\n"
    "                   \"isOnTrack\":BOOL}  (the relay's values, with its digits)\n"
    "                  {\"type\":\"vars\",\"tick\":T,\"values\":{NAME:VALUE,...}}  with\n"
    "                   ?vars=NAME,NAME,... (or vars=*): that row's values of those\n"
    "                   variables; names the source lacks are listed once in\n"
    "                   \"unknown\" on the first vars message. With vars=*, arrays\n"
    "                   of more than 64 values send their first 64 and are named\n"
    "                   with their whole count in \"truncated\":{NAME:COUNT,...};\n"
    "                   variables that might not fit --max-message are left out\n"
    "                   from the first such on, their number in \"omitted\":N\n"
    "                  {\"type\":\"sessionText\",\"update\":N}  the session text changed\n"
    "                  {\"type\":\"strategy\",\"fuelPerLap\":L,\"fuelPerLapMax\":L,\n"
    "                   \"lapsCounted\":N,\"lastLapFuel\":L,\"lastLapTime\":S,\"avgLapTime\":S,\n"
    "                   \"tank\":L,\"lapsOfFuel\":N,\"lapsToGo\":N,\"fuelToFinish\":L,\n"
    "                   \"fuelToAdd\":L,\"stops\":N,\"fuelMargin\":N}  (null until known),\n"
    "                   when a lap ends and at most once a second when a figure\n"
    "                   changes (see Strategy below)\n"
    "                  {\"type\":\"standings\",\"sessionTime\":S,\"sessionType\":\"Race\",\n"
    "                   \"cars\":[{\"carIdx\":N,\"number\",\"name\",\"team\",\"class\",\n"
    "                   \"classColor\",\"position\":N,\"classPosition\":N,\n"
    "                   \"officialPosition\":N,\"lapsCompleted\":N,\"lapDistPct\":F,\n"
    "                   \"gapToLeader\":S,\"lapsDown\":N,\"interval\":S,\n"
    "                   \"gapToClassLeader\":S,\"lastLap\":S,\"bestLap\":S,\n"
    "                   \"onPitRoad\":BOOL,\"inWorld\":BOOL,\"pitStops\":N,\n"
    "                   \"isPlayer\":BOOL},...]}  and\n"
    "                  {\"type\":\"relative\",\"sessionTime\":S,\"cars\":[{\"carIdx\":N,\n"
    "                   \"number\",\"name\",\"class\",...,\"gap\":S,\"laps\":N,\n"
    "                   \"onPitRoad\":BOOL,\"isPlayer\":BOOL},...]}  at most 4 times\n"
    "                   a second each, reading the simulator only (see Standings)\n"
    "                  {\"type\":\"lap\",\"session\":\"SUB/NUM\",\"lap\":N,\"driver\":\"...\",\n"
    "                   \"time\":S,\"fuelUsed\":L,\"pit\":BOOL,\"caution\":BOOL,\n"
    "                   \"counted\":BOOL,\"position\":N,\"classPosition\":N,\"incidents\":N,\n"
    "                   \"sessionTime\":S}\n"
    "                  {\"type\":\"pit\",\"session\":\"...\",\"lap\":N,\"driver\":\"...\",\n"
    "                   \"pitIn\":S,\"pitOut\":S,\"stationary\":S,\"fuelAdded\":L}\n"
    "                  {\"type\":\"log\",\"session\":\"...\",\"laps\":[LAP...],\"pits\":[PIT...]}\n"
    "                   the race log, reading the simulator only (see Race log)\n"
    "                ?hz=N (1 to 60): at most N rows a second, evenly spaced.\n"
    "                A new socket gets the current state and the newest row at once;\n"
    "                a browser that is behind gets the newest row, never a backlog.\n"
    "                Laps and stops are events: each socket gets every one, in order.\n"
    "  /api/latest   {\"status\":{...},\"session\":{...}|null,\"data\":{...}|null,\n"
    "                 \"strategy\":{...}|null,\"standings\":{...}|null,\n"
    "                 \"relative\":{...}|null} (and \"vars\":{...} with ?vars=, with\n"
    "                 \"truncated\" and \"omitted\" as in the vars message)\n"
    "  /api/standings  {\"standings\":{...}|null,\"relative\":{...}|null}\n"
    "  /api/laps     the race log message as it stands (not with --relay)\n"
    "  /api/vars     the variables: [{\"name\",\"type\",\"count\",\"unit\",\"description\"}]\n"
    "  /api/session  the simulator's session text (YAML; not with --relay)\n"
    "\n"
    "Strategy: a lap ends when Lap rises by one. It counts if relay-web saw all of it,\n"
    "on track and off pit road, taking no fuel, for 10 s or more, with no yellow or\n"
    "caution flag (where the source has the flags). A jump or fall of Lap, or rows\n"
    "stopping for 3 s, ends a lap uncounted; Lap falling to 1 or less, or a new\n"
    "session (another SessionNum in the rows, or other WeekendInfo SessionID or\n"
    "SubSessionID in the session text; other changes of the text are none),\n"
    "starts afresh. A lap's fuel is its first row's level less its\n"
    "last; its time the simulator's LapLastLapTime, else the session time or the\n"
    "rows counted at the tick rate (never the wall clock). Once three laps count, one\n"
    "more than 15 % from the median of the last five is left out as an outlier\n"
    "(three such in a row that agree replace them: the pace changed). fuelPerLap is\n"
    "the mean of the last five counted laps, fuelPerLapMax their most; tank = fuel\n"
    "level / fuel percent (at the highest percent seen, 5 % or more); lapsOfFuel =\n"
    "fuel / fuelPerLap; lapsToGo = laps remaining - lap fraction in a lap-limited\n"
    "session, ceil(fraction + time remaining / avgLapTime) - fraction in a timed\n"
    "one (the smaller with both); fuelToFinish = (lapsToGo + margin) x fuelPerLap;\n"
    "fuelToAdd = what that needs beyond the fuel in the car; stops = fuelToAdd / tank,\n"
    "rounded up.\n"
    "\n"
    "Standings (reading the simulator; a relay's stream has no per-car values): the\n"
    "cars of the session text's driver list but the pace car and spectators; a car\n"
    "not in the world comes last, without gaps. In a race the order is by distance\n"
    "run (laps completed + lap fraction), live; officialPosition is the simulator's\n"
    "own, which changes only at the line (0: none). In other sessions it is by best\n"
    "lap, cars without one last, and the gaps are differences of best laps. Time is\n"
    "the simulator's SessionTime, never the wall clock. relay-web keeps, per car,\n"
    "when it passed each of 400 points around the lap (interpolated between rows);\n"
    "gapToLeader is the time since the leader last passed the place where this car\n"
    "is now, lapsDown the whole laps between them; interval the same to the car one\n"
    "place ahead, gapToClassLeader to the class leader. Until that car has passed\n"
    "the place since relay-web started, the gap is the distance between them at its\n"
    "class's estimated lap time. relative: the driver's car and up to 4 cars ahead\n"
    "and 4 behind on track (within half a lap), the furthest ahead first; gap is\n"
    "the time since the car ahead passed the driver's place, or minus the time\n"
    "since the driver passed the place of the car behind; laps +1 for a car a lap\n"
    "or more ahead in the race, -1 for one a lap or more behind. pitStops counts\n"
    "entries to pit road seen this session; lastLap and bestLap are null until the\n"
    "simulator gives them. Another SessionNum, or other session ids in the text,\n"
    "starts afresh; a changed driver list does not.\n"
    "\n"
    "Race log (reading the simulator: a relay's stream has no session ids, driver or\n"
    "session time, so --relay sends no lap, pit or log messages): a lap message\n"
    "for each lap that ends with Lap rising by one, once its time is settled (as\n"
    "the strategy's: LapLastLapTime taken, or 2 s after the line); lap is the Lap\n"
    "that ended, session WeekendInfo SubSessionID/SessionNum, driver the UserName\n"
    "of DriverInfo DriverCarIdx; fuelUsed null for a lap not seen whole or that\n"
    "took fuel; counted whether the strategy averaged it; pit and caution whether\n"
    "any of its rows was on pit road or under a yellow or caution flag; position\n"
    "and classPosition PlayerCarPosition and PlayerCarClassPosition when the time\n"
    "is settled (null for 0); incidents the rise of PlayerCarMyIncidentCount since\n"
    "the last lap's (null for a lap not seen whole); sessionTime SessionTime at\n"
    "the line. A pit message when the car leaves pit road: lap the Lap it came onto\n"
    "pit road on, pitIn and pitOut the SessionTime when OnPitRoad rose and fell,\n"
    "stationary the time with PlayerCarInPitStall set (or, without it, under\n"
    "0.5 m/s Speed), fuelAdded the largest rise of FuelLevel in the stop. A stop\n"
    "must be seen to begin; one under way when the simulator stops or the session\n"
    "ends is sent then, with pitOut null. A new socket gets the session's log as\n"
    "one log message (its newest 2000 laps and 200 stops), then each new lap and\n"
    "stop; a new session (as for the strategy) starts a new, empty log, sent to\n"
    "every socket. Without a SubSessionID or the driver's name, nothing is sent.\n"
    "\n"
    "Limits: 16 connections from one client address (--per-client; its own\n"
    "connection waiting longest for the client gives way, else the new one is\n"
    "closed); 64 WebSocket clients (the next gets 503, unless one has taken\n"
    "nothing for 2 s: the one stalled longest is dropped for it); 128 HTTP\n"
    "connections (the one waiting longest for a request, or for an answer to be\n"
    "taken for 2 s or more, is closed for a new one); requests up to 16 KiB of\n"
    "header (8 KiB and 512 distinct names of vars) and no body (else 400 and the\n"
    "connection is closed); a vars message of at most --max-message bytes; a\n"
    "first request within 5 s, idle HTTP connections close after 30 s, and one\n"
    "whose answer the client takes none of for 5 s is closed; a WebSocket client\n"
    "whose messages have not been taken for 10 s, or that has not answered a ping\n"
    "for 30 s, is dropped. relay-web reads and writes no files.\n"
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
    if (argument == "--per-client") {
      std::size_t count = 0;
      const std::string_view value = i + 1 < argc ? argv[++i] : "";
      const auto parsed = std::from_chars(value.data(), value.data() + value.size(), count);
      if (value.empty() || parsed.ec != std::errc() || parsed.ptr != value.data() + value.size() ||
          count < 1 || count > kMaxPerClient) {
        return Fail("--per-client needs a number of connections from 1 to 65535");
      }
      options->perClient = count;
      continue;
    }
    const bool relay = argument == "--relay";
    const bool margin = argument == "--fuel-margin";
    const bool maxMessage = argument == "--max-message";
    if (!relay && !margin && !maxMessage && argument != "--listen") {
      std::fprintf(stderr, "relay-web: unknown argument %s (see --help)\n", argv[i]);
      return false;
    }
    if (i + 1 >= argc) {
      return Fail(relay        ? "--relay needs HOST[:PORT]"
                  : margin     ? "--fuel-margin needs a number of laps"
                  : maxMessage ? "--max-message needs a number of bytes"
                               : "--listen needs [ADDRESS:]PORT");
    }
    const std::string_view value = argv[++i];
    if (maxMessage) {
      std::size_t bytes = 0;
      const auto parsed = std::from_chars(value.data(), value.data() + value.size(), bytes);
      if (parsed.ec != std::errc() || parsed.ptr != value.data() + value.size() ||
          bytes < kMinMaxMessage || bytes > kMaxMaxMessage) {
        return Fail("--max-message needs a number of bytes from 65536 to 67108864");
      }
      options->maxMessage = bytes;
      continue;
    }
    if (margin) {
      double laps = 0;
      const auto parsed = std::from_chars(value.data(), value.data() + value.size(), laps);
      if (parsed.ec != std::errc() || parsed.ptr != value.data() + value.size() || !(laps >= 0) ||
          laps > kMaxFuelMarginLaps) {
        return Fail("--fuel-margin needs a number of laps from 0 to 10");
      }
      options->fuelMargin = laps;
      continue;
    }
    std::string_view host, port;
    SplitHostPort(value, !relay, &host, &port);
    unsigned short number = 0;
    if (relay) {
      if (host.empty()) return Fail("--relay needs a host name or address");
      if (!port.empty() && !ParsePort(port, 1, &number)) {
        return Fail("the relay's port must be a number from 1 to 65535");
      }
      options->relay = true;
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
