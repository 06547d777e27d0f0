// Parsing sim-publisher's command line.
#include "sim-publisher/options.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <string_view>

#include "console/printable.h"
#include "platform/platform.h"
#include "sim-publisher/publisher.h"
#include "sim-publisher/sim_model.h"

namespace simpublisher {

const char kUsage[] =
    "Usage: sim-publisher [options]\n"
    "       sim-publisher --ibt FILE [--info] [--speed X] [--loop] [options]\n"
    "\n"
    "Plays the simulator's part: creates the shared telemetry region and the data-valid\n"
    "event under the simulator's names and publishes a simulated race at Spa until\n"
    "Ctrl-C: the driver's car (speed, RPM through the gears, fuel, temperatures, lap\n"
    "times and the delta to the best lap, position, incidents, pit stops) in a field of\n"
    "twelve in two classes, GT3 (laps of about 1:56 to 2:02) and GT4 (2:13 to 2:20),\n"
    "with every car's lap, place, gaps and pit stops in the per-car arrays. The 20-lap\n"
    "race starts from the pits with 12 to 16 litres; a racing lap takes about 1:58 and\n"
    "uses about 3.3 litres, so the car stops for fuel after three or four laps. The\n"
    "first of the other cars stands in its pit stall some 80 s in; the leader laps\n"
    "the last GT4 within three minutes. Start relay-web (or telemetry-relay and a\n"
    "client such as relay-watch) alongside it.\n"
    "\n"
    "Options:\n"
    "  --rate HZ               rows per second (1 to 1000; default 60)\n"
    "  --duration SECONDS      stop by itself after this long (default: run until Ctrl-C)\n"
    "  --seed N                seed for the lap-to-lap variations of the driver and the\n"
    "                          field (default 1); the same seed and rate give the\n"
    "                          same values\n"
    "  --session-file PATH     publish the session text in PATH instead of the built-in\n"
    "                          one; the car's red line, shift RPM, idle RPM and tank size\n"
    "                          are taken from it where it gives them\n"
    "  --pause AT,FOR          at AT seconds clear the status bit and publish nothing for\n"
    "                          FOR seconds, then set it again and carry on, as the\n"
    "                          simulator does when it stops and resumes\n"
    "  --restart AT            at AT seconds start over as a restarted simulator: the\n"
    "                          region is laid out again, the tick count begins anew\n"
    "                          and so does the session\n"
    "  --row-length AT,BYTES   at AT seconds change the row length to BYTES (the relay\n"
    "                          notices and reads the session anew)\n"
    "  --remove                on exit also delete the shared-memory region and the event\n"
    "                          (POSIX; Windows deletes them with their last handle). A\n"
    "                          relay still attached to them must then be restarted.\n"
    "  -h, --help              show this text\n"
    "\n"
    "Replaying a recording (a telemetry file the simulator wrote, often *.ibt):\n"
    "  --ibt FILE              publish FILE's variables, session text and rows, in\n"
    "                          order, at the file's tick rate, then exit\n"
    "  --info                  print what FILE holds (tick rate, variables, rows,\n"
    "                          duration, laps, date, driver, car, shift lights) and exit\n"
    "  --speed X               play at X times the file's rate (0.01 to 100; default 1)\n"
    "                          (without --ibt: the simulated car at X times the pace,\n"
    "                          X times --rate rows a second, so the demo's first laps\n"
    "                          go by in a minute at --speed 5)\n"
    "  --loop                  after the last row start over from the first, tick\n"
    "                          counts still rising, until Ctrl-C or --duration\n"
    "With --ibt, --duration, --pause, --restart (the recording starts over too) and\n"
    "--remove work as above; --rate, --seed, --session-file and --row-length do not\n"
    "apply (the file gives them) and are refused. A file that is not a usable\n"
    "recording (too short, a tick rate or row length of 0 or less, records, text or\n"
    "rows outside the file) is refused with exit status 2 and nothing is published.\n"
    "A file cut short while recording replays its whole rows.\n"
    "\n"
    "--pause, --restart and --row-length may be given several times; AT counts from\n"
    "the start, in seconds (fractions allowed).\n"
    "\n"
    "On exit, Ctrl-C included, the status bit is cleared as the simulator clears it\n"
    "when it stops; the region and the event stay in place for the next publisher.\n"
    "Only one publisher runs at a time: a second one exits with status 1.\n"
    "\n"
    "Exit status: 0 when done, 1 when the region or the event cannot be set up or a\n"
    "recording cannot be read to its end, 2 for a wrong command line or a bad\n"
    "recording.\n";

// The lines carry text from recordings and session files (a user name, a car
// path, a file name), shown escaped so that none of it acts on the terminal.
void Say(const std::string& text) {
  platform::ConsoleWrite(("sim-publisher: " + terminal::Printable(text) + "\n").c_str());
}

void Fail(const std::string& text) {
  std::fprintf(stderr, "sim-publisher: %s\n", terminal::Printable(text).c_str());
  std::fflush(stderr);
}

namespace {

template <typename T>
bool ParseNumber(std::string_view text, T* value) {
  const char* end = text.data() + text.size();
  const auto result = std::from_chars(text.data(), end, *value);
  return result.ec == std::errc() && result.ptr == end;
}

bool ParseSeconds(std::string_view text, double* seconds) {
  return ParseNumber(text, seconds) && *seconds >= 0 && *seconds < 1e7;
}

// "A,B" into its two halves.
bool SplitPair(std::string_view text, std::string_view* first, std::string_view* second) {
  const std::size_t comma = text.find(',');
  if (comma == std::string_view::npos) return false;
  *first = text.substr(0, comma);
  *second = text.substr(comma + 1);
  return true;
}

// Parses the command line; false (with a message printed) when it is wrong.
}  // namespace

bool ParseOptions(int argc, char** argv, Options* options, bool* help) {
  const std::size_t regionBytes = publisher::kNamedRegionSize;
  for (int i = 1; i < argc; ++i) {
    const std::string_view option = argv[i];
    if (option == "-h" || option == "--help") {
      *help = true;
      return true;
    }
    if (option == "--remove" || option == "--info" || option == "--loop") {
      (option == "--remove" ? options->remove
       : option == "--info" ? options->info
                            : options->loop) = true;
      continue;
    }
    if (i + 1 >= argc) {
      Fail("unknown option or missing value: " + std::string(option) + " (see --help)");
      return false;
    }
    const std::string_view value = argv[++i];
    auto bad = [&](const char* wanted) {
      Fail(std::string(option) + " " + std::string(value) + ": expected " + wanted);
      return false;
    };
    if (option == "--rate" || option == "--seed" || option == "--session-file" ||
        option == "--row-length") {
      options->simulatedOnly = std::string(option);
    }
    if (option == "--ibt") {
      options->ibt = std::string(value);
    } else if (option == "--speed") {
      if (!ParseNumber(value, &options->speed) || !(options->speed >= 0.01) ||
          options->speed > 100) {
        return bad("a speed factor from 0.01 to 100");
      }
    } else if (option == "--rate") {
      if (!ParseNumber(value, &options->rate) || options->rate < 1 || options->rate > 1000) {
        return bad("a whole number of rows per second from 1 to 1000");
      }
    } else if (option == "--duration") {
      if (!ParseSeconds(value, &options->duration)) return bad("a number of seconds");
    } else if (option == "--seed") {
      if (!ParseNumber(value, &options->seed)) return bad("a whole number");
    } else if (option == "--session-file") {
      options->sessionFile = std::string(value);
    } else if (option == "--pause") {
      std::string_view at, length;
      double start = 0, seconds = 0;
      if (!SplitPair(value, &at, &length) || !ParseSeconds(at, &start) ||
          !ParseSeconds(length, &seconds) || seconds <= 0) {
        return bad("AT,FOR in seconds, such as 5,2");
      }
      options->actions.push_back({start, ActionKind::kPause, 0});
      options->actions.push_back({start + seconds, ActionKind::kResume, 0});
    } else if (option == "--restart") {
      double at = 0;
      if (!ParseSeconds(value, &at)) return bad("a number of seconds");
      options->actions.push_back({at, ActionKind::kRestart, 0});
    } else if (option == "--row-length") {
      std::string_view at, bytes;
      double start = 0;
      std::int32_t rowLength = 0;
      if (!SplitPair(value, &at, &bytes) || !ParseSeconds(at, &start) ||
          !ParseNumber(bytes, &rowLength) || rowLength < 1) {
        return bad("AT,BYTES, such as 5,2048");
      }
      publisher::Layout changed = simulated::SessionLayout();
      changed.rowLength = rowLength;
      if (publisher::RegionSize(changed) > regionBytes) {
        return bad("a row length whose four slots fit the 1 MiB region");
      }
      options->actions.push_back({start, ActionKind::kRowLength, rowLength});
    } else {
      Fail("unknown option " + std::string(option) + " (see --help)");
      return false;
    }
  }
  if (options->ibt.empty() && (options->info || options->loop)) {
    Fail("--info and --loop need --ibt FILE (see --help)");
    return false;
  }
  if (!options->ibt.empty() && !options->simulatedOnly.empty()) {
    Fail(options->simulatedOnly +
         " does not apply to --ibt: the recording gives the rate, the values and the session "
         "text (--speed scales the rate)");
    return false;
  }
  // Actions at the same moment keep their command-line order.
  std::stable_sort(options->actions.begin(), options->actions.end(),
                   [](const Action& a, const Action& b) { return a.at < b.at; });
  return true;
}

}  // namespace simpublisher
