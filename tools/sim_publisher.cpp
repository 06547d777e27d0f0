// sim-publisher: plays the simulator's part without the simulator. It lays
// out the shared telemetry region and the data-valid event under the
// simulator's names and publishes a simulated car lapping Spa, or replays a
// telemetry recording the simulator wrote, so the relay and its clients can
// be run, tried and tested anywhere.
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "ibt_file.h"
#include "platform/platform.h"
#include "publisher/publisher.h"
#include "sessioninfo/car_facts.h"
#include "sim_model.h"
#include "simlink/region.h"
#include "terminal.h"

namespace {

constexpr char kUsage[] =
    "Usage: sim-publisher [options]\n"
    "       sim-publisher --ibt FILE [--info] [--speed X] [--loop] [options]\n"
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
    "Replaying a recording (a telemetry file the simulator wrote, often *.ibt):\n"
    "  --ibt FILE              publish FILE's variables, session text and rows, in\n"
    "                          order, at the file's tick rate, then exit\n"
    "  --info                  print what FILE holds (tick rate, variables, rows,\n"
    "                          duration, laps, date, driver, car, shift lights) and exit\n"
    "  --speed X               play at X times the file's rate (0.01 to 100; default 1)\n"
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
  // Replay.
  std::string ibt;
  bool info = false;
  bool loop = false;
  double speed = 1;
  bool speedGiven = false;
  std::string simulatedOnly;  // an option that only the simulated car takes
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
      options->speedGiven = true;
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
  if (options->ibt.empty() && (options->info || options->loop || options->speedGiven)) {
    Fail("--info, --loop and --speed need --ibt FILE (see --help)");
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

// Publishes rows from the simulated car or, given a recording, from its file.
class Session {
 public:
  Session(const Options& options, std::string sessionText, publisher::Layout layout,
          recording::Recording* recording)
      : options_(options),
        text_(std::move(sessionText)),
        layout_(std::move(layout)),
        recording_(recording) {}

  bool Open() {
    std::string error;
    if (!publisher::OpenNamedExclusive(sim_, layout_, text_, &error)) {
      Fail(error);
      return false;
    }
    row_.assign(static_cast<std::size_t>(sim_.layout.rowLength), 0);
    if (recording_ != nullptr) {
      if (!recording::OpenRows(*recording_, &rows_)) {
        Fail(recording_->path + ": cannot be read");
        return false;
      }
    } else {
      simulated::StartSession(model_, simulated::CarFromSessionText(text_.c_str()), options_.seed,
                              options_.rate);
    }
    return true;
  }

  bool ReadFailed() const { return readFailed_; }

  // Rows per second.
  double Rate() const {
    return recording_ != nullptr ? recording_->tickRate * options_.speed : options_.rate;
  }

  void Describe() const {
    sessioninfo::CarFacts facts;
    sessioninfo::ReadCarFacts(text_.c_str(), facts);
    std::string what = "publishing ";
    if (recording_ != nullptr) {
      what += recording_->path + ": " + std::to_string(recording_->wholeRows) + " rows" +
              (options_.loop ? " in a loop" : "") + ", ";
    }
    char line[1400];
    std::snprintf(line, sizeof line,
                  "%g rows/s for %s in %s (shift lights %.0f/%.0f/%.0f/%.0f RPM); "
                  "%d variables, row length %d bytes, %d slots",
                  Rate(), facts.userName, facts.carPath, facts.firstRpm, facts.shiftRpm,
                  facts.lastRpm, facts.blinkRpm, publisher::VariableCount(sim_.layout),
                  sim_.layout.rowLength, sim_.layout.slotCount);
    Say(what + line);
  }

  void Run() {
    // Row k is due at start + k periods, on the monotonic clock: sleeping a
    // period after each row would drift by the time each row takes.
    const double period = 1e9 / Rate();
    const std::int64_t start = platform::MonotonicNanoseconds();
    std::int64_t origin = start;
    std::int64_t due = 0;
    std::size_t action = 0;
    while (!terminal::InterruptRequested()) {
      const double elapsed = static_cast<double>(platform::MonotonicNanoseconds() - start) / 1e9;
      if (options_.duration >= 0 && elapsed >= options_.duration) break;
      while (action < options_.actions.size() && options_.actions[action].at <= elapsed) {
        Perform(options_.actions[action++]);
      }
      if (pauses_ == 0) {
        if (!FillRow()) {
          ended_ = true;
          break;
        }
        publisher::PublishRow(sim_, row_);
        if (recording_ == nullptr) simulated::Step(model_);
        ++published_;
      }
      const std::int64_t published = platform::MonotonicNanoseconds();
      ++due;
      std::int64_t next = origin + static_cast<std::int64_t>(static_cast<double>(due) * period);
      // After a stall (a suspended process, a slow machine) carry on from
      // now instead of publishing the missed rows in a burst.
      if (published - next > 1000000000LL) {
        origin = next = published;
        due = 0;
      }
      // A row that is late still comes at least half a period after the one
      // before: the schedule is caught up over the next rows, and a reader
      // that takes the newest row on each wake-up, as the relay does, misses
      // none of them. (Above 500 rows/s the millisecond sleeps cannot space
      // rows that finely anyway.)
      if (period >= 2e6) next = std::max(next, published + static_cast<std::int64_t>(period / 2));
      const std::int64_t now = platform::MonotonicNanoseconds();
      // In slices, so that Ctrl-C is heard between rows a slow replay
      // publishes seconds apart.
      for (std::int64_t left = next - now; left > 0 && !terminal::InterruptRequested();
           left = next - platform::MonotonicNanoseconds()) {
        platform::SleepMilliseconds(
            static_cast<int>(std::min<std::int64_t>(left + 999999, 100000000) / 1000000));
      }
    }
  }

  void Close() {
    // As the simulator does when it stops: readers see no more rows.
    publisher::SetConnected(sim_.region, false);
    std::string summary =
        (ended_ && !readFailed_ ? "end of the recording after " : "stopped after ") +
        std::to_string(published_) + " rows; status bit cleared; ";
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
  // The next row into row_; false when a recording has no more.
  bool FillRow() {
    if (recording_ == nullptr) {
      simulated::WriteRow(model_, sim_.layout, row_);
      return true;
    }
    if (recording::ReadRow(*recording_, rows_, row_)) return true;
    if (rows_.next < recording_->wholeRows) {
      Fail(recording_->path + ": cannot be read after row " + std::to_string(rows_.next));
      readFailed_ = true;
      return false;
    }
    if (!options_.loop) return false;
    if (!recording::Rewind(*recording_, rows_) || !recording::ReadRow(*recording_, rows_, row_)) {
      Fail(recording_->path + ": cannot be read from its first row again");
      readFailed_ = true;
      return false;
    }
    Say("from the first row again after " + std::to_string(published_) + " rows");
    return true;
  }

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
        if (recording_ != nullptr) {
          recording::Rewind(*recording_, rows_);
        } else {
          simulated::StartSession(model_, model_.car, options_.seed, options_.rate);
        }
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
  publisher::Layout layout_;
  recording::Recording* recording_;
  recording::RowReader rows_;
  bool ended_ = false;
  bool readFailed_ = false;
  publisher::Publisher sim_;
  simulated::Model model_;
  std::vector<std::uint8_t> row_;
  int pauses_ = 0;
  std::int64_t published_ = 0;
};

int Publish(const Options& options, std::string text, publisher::Layout layout,
            recording::Recording* recording) {
  // Timer resolution for steady 60 Hz sleeps on Windows; nothing elsewhere.
  platform::RequestTimerResolution(1);
  terminal::InstallInterruptHandler();
  Session session(options, std::move(text), std::move(layout), recording);
  if (!session.Open()) return 1;
  session.Describe();
  session.Run();
  session.Close();
  terminal::CleanupDone();
  return session.ReadFailed() ? 1 : 0;
}

// --ibt: checks the whole recording before anything is created, so a bad
// file leaves no region behind.
int Replay(const Options& options) {
  recording::Recording file;
  std::string error;
  if (!recording::Open(options.ibt, &file, &error)) {
    Fail(error);
    return 2;
  }
  if (options.info) {
    std::fputs(recording::Describe(file).c_str(), stdout);
    return 0;
  }
  if (file.wholeRows == 0) {
    Fail(file.path + ": no whole rows to replay");
    return 2;
  }
  publisher::Layout layout = publisher::RecordedLayout(file.records, file.rowLength, file.tickRate,
                                                       file.sessionText.size());
  if (publisher::RegionSize(layout) > 2147483647) {
    Fail(file.path + ": too large to replay: its region would need " +
         std::to_string(publisher::RegionSize(layout)) + " bytes, more than 2147483647");
    return 2;
  }
  if (file.wholeRows < file.rowCount) {
    Say(file.path + ": cut short: " + std::to_string(file.wholeRows) + " of " +
        std::to_string(file.rowCount) + " rows are whole; skipping the last " +
        std::to_string(file.rowCount - file.wholeRows));
  }
  return Publish(options, file.sessionText, std::move(layout), &file);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  bool help = false;
  if (!ParseOptions(argc, argv, &options, &help)) return 2;
  if (help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (!options.ibt.empty()) return Replay(options);
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
  publisher::Layout layout = simulated::SessionLayout();
  layout.tickRate = options.rate;
  return Publish(options, std::move(text), std::move(layout), nullptr);
}
