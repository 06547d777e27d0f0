// sim-publisher: plays the simulator's part without the simulator. It lays
// out the shared telemetry region and the data-valid event under the
// simulator's names and publishes a simulated car lapping Spa, so the relay
// and its clients can be run, tried and tested anywhere.
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "publisher/publisher.h"
#include "sessioninfo/car_facts.h"
#include "sim_model.h"
#include "simlink/region.h"
#include "terminal.h"

namespace {

constexpr char kUsage[] =
    "Usage: sim-publisher [options]\n"
    "\n"
    "Plays the simulator's part: creates the shared telemetry region and the data-valid\n"
    "event under the simulator's names and publishes a simulated car lapping Spa (speed,\n"
    "RPM through the gears, fuel, temperatures, laps, pit stops) until Ctrl-C. Start\n"
    "telemetry-relay alongside it, and a client such as relay-watch.\n"
    "\n"
    "Options:\n"
    "  --rate HZ               rows per second (1 to 1000; default 60)\n"
    "  --duration SECONDS      stop by itself after this long (default: run until Ctrl-C)\n"
    "  --seed N                seed for the driver's lap-to-lap variations (default 1);\n"
    "                          the same seed and rate give the same values\n"
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
    "--pause, --restart and --row-length may be given several times; AT counts from\n"
    "the start, in seconds (fractions allowed).\n"
    "\n"
    "On exit, Ctrl-C included, the status bit is cleared as the simulator clears it\n"
    "when it stops; the region and the event stay in place for the next publisher.\n"
    "Only one publisher runs at a time: a second one exits with status 1.\n";

enum class ActionKind { kPause, kResume, kRestart, kRowLength };

struct Action {
  double at = 0;
  ActionKind kind = ActionKind::kPause;
  std::int32_t rowLength = 0;
};

struct Options {
  int rate = 60;
  double duration = -1;
  std::uint64_t seed = 1;
  std::string sessionFile;
  bool remove = false;
  std::vector<Action> actions;
};

void Say(const std::string& text) {
  platform::ConsoleWrite(("sim-publisher: " + text + "\n").c_str());
}

void Fail(const std::string& text) {
  std::fprintf(stderr, "sim-publisher: %s\n", text.c_str());
  std::fflush(stderr);
}

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
bool ParseOptions(int argc, char** argv, Options* options, bool* help) {
  const std::size_t regionBytes = publisher::kNamedRegionSize;
  for (int i = 1; i < argc; ++i) {
    const std::string_view option = argv[i];
    if (option == "-h" || option == "--help") {
      *help = true;
      return true;
    }
    if (option == "--remove") {
      options->remove = true;
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
    if (option == "--rate") {
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
  // Actions at the same moment keep their command-line order.
  std::stable_sort(options->actions.begin(), options->actions.end(),
                   [](const Action& a, const Action& b) { return a.at < b.at; });
  return true;
}

bool ReadSessionFile(const std::string& path, std::string* text) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  std::stringstream contents;
  contents << file.rdbuf();
  *text = contents.str();
  return !file.bad();
}

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f s", seconds);
  return text;
}

class Session {
 public:
  Session(const Options& options, std::string sessionText)
      : options_(options), text_(std::move(sessionText)) {}

  bool Open() {
    std::string error;
    if (!publisher::OpenNamedExclusive(sim_, simulated::SessionLayout(), text_, &error)) {
      Fail(error);
      return false;
    }
    row_.assign(static_cast<std::size_t>(sim_.layout.rowLength), 0);
    simulated::StartSession(model_, simulated::CarFromSessionText(text_.c_str()), options_.seed,
                            options_.rate);
    return true;
  }

  void Describe() const {
    sessioninfo::CarFacts facts;
    sessioninfo::ReadCarFacts(text_.c_str(), facts);
    char line[1400];
    std::snprintf(line, sizeof line,
                  "publishing %d rows/s for %s in %s (shift lights %.0f/%.0f/%.0f/%.0f RPM); "
                  "%zu variables, row length %d bytes, %d slots",
                  options_.rate, facts.userName, facts.carPath, facts.firstRpm, facts.shiftRpm,
                  facts.lastRpm, facts.blinkRpm, sim_.layout.variables.size(),
                  sim_.layout.rowLength, sim_.layout.slotCount);
    Say(line);
  }

  void Run() {
    const std::int64_t period = 1000000000LL / options_.rate;
    const std::int64_t start = platform::MonotonicNanoseconds();
    std::int64_t next = start;
    std::size_t action = 0;
    while (!terminal::InterruptRequested()) {
      const double elapsed = static_cast<double>(platform::MonotonicNanoseconds() - start) / 1e9;
      if (options_.duration >= 0 && elapsed >= options_.duration) break;
      while (action < options_.actions.size() && options_.actions[action].at <= elapsed) {
        Perform(options_.actions[action++]);
      }
      if (pauses_ == 0) {
        simulated::WriteRow(model_, sim_.layout, row_);
        publisher::PublishRow(sim_, row_);
        simulated::Step(model_);
        ++published_;
      }
      next += period;
      const std::int64_t now = platform::MonotonicNanoseconds();
      // After a stall (a suspended process, a slow machine) carry on from
      // now instead of publishing the missed rows in a burst.
      if (now - next > 1000000000LL) next = now;
      if (next > now)
        platform::SleepMilliseconds(static_cast<int>((next - now + 999999) / 1000000));
    }
  }

  void Close() {
    // As the simulator does when it stops: readers see no more rows.
    publisher::SetConnected(sim_.region, false);
    std::string summary =
        "stopped after " + std::to_string(published_) + " rows; status bit cleared; ";
    if (options_.remove) {
      platform::RemoveNamedMapping(simlink::kMappingName);
      platform::RemoveNamedEvent(simlink::kDataValidEventName);
      summary += "region and event removed";
    } else {
      summary += "region and event left in place";
    }
    Say(summary);
    publisher::Close(sim_);
  }

 private:
  void Perform(const Action& action) {
    switch (action.kind) {
      case ActionKind::kPause:
        if (pauses_++ == 0) publisher::SetConnected(sim_.region, false);
        Say("paused at " + Seconds(action.at) + " after " + std::to_string(published_) +
            " rows: status bit cleared");
        break;
      case ActionKind::kResume:
        if (--pauses_ == 0) publisher::SetConnected(sim_.region, true);
        Say("resumed at " + Seconds(action.at) + ": status bit set");
        break;
      case ActionKind::kRestart:
        if (!publisher::Restart(sim_, text_)) {
          Fail("restart failed: the session text does not fit the region");
          break;
        }
        if (pauses_ > 0) publisher::SetConnected(sim_.region, false);
        simulated::StartSession(model_, model_.car, options_.seed, options_.rate);
        Say("restarted at " + Seconds(action.at) + ": tick count and session begin anew");
        break;
      case ActionKind::kRowLength:
        if (!publisher::ChangeRowLength(sim_, action.rowLength)) {
          Fail("cannot change the row length to " + std::to_string(action.rowLength) +
               " bytes: four slots of it do not fit the region");
          break;
        }
        row_.assign(static_cast<std::size_t>(action.rowLength), 0);
        Say("row length changed at " + Seconds(action.at) + " to " +
            std::to_string(action.rowLength) + " bytes");
        break;
    }
  }

  const Options& options_;
  std::string text_;
  publisher::Publisher sim_;
  simulated::Model model_;
  std::vector<std::uint8_t> row_;
  int pauses_ = 0;
  std::int64_t published_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  Options options;
  bool help = false;
  if (!ParseOptions(argc, argv, &options, &help)) return 2;
  if (help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  std::string text = simulated::SessionText();
  if (!options.sessionFile.empty() && !ReadSessionFile(options.sessionFile, &text)) {
    Fail("cannot read the session file " + options.sessionFile);
    return 1;
  }
  const auto capacity = static_cast<std::size_t>(simulated::SessionLayout().sessionInfoCapacity);
  if (text.size() >= capacity) {
    Fail("the session file " + options.sessionFile +
         " is too large: " + std::to_string(text.size()) + " bytes, the region holds at most " +
         std::to_string(capacity - 1));
    return 1;
  }
  if (text.find('\0') != std::string::npos) {
    Fail("the session file " + options.sessionFile + " contains a NUL byte");
    return 1;
  }
  // Timer resolution for steady 60 Hz sleeps on Windows; nothing elsewhere.
  platform::RequestTimerResolution(1);
  terminal::InstallInterruptHandler();
  Session session(options, std::move(text));
  if (!session.Open()) return 1;
  session.Describe();
  session.Run();
  session.Close();
  terminal::CleanupDone();
  return 0;
}
