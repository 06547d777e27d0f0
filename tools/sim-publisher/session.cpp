// Publishing rows into the named region until done: the simulated car, or a
// recording's rows at the file's own rate, with the timed actions (--pause,
// --restart, --row-length) and the status bit cleared on the way out.
#include "sim-publisher/session.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "console/terminal.h"
#include "platform/platform.h"
#include "relay/messages.h"
#include "sessioninfo/car_facts.h"
#include "sim-publisher/ibt_file.h"
#include "sim-publisher/publisher.h"
#include "sim-publisher/sim_model.h"
#include "simlink/region.h"

namespace simpublisher {

namespace {

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

  bool Failed() const { return readFailed_ || lost_; }

  // Rows per second.
  double Rate() const {
    return (recording_ != nullptr ? recording_->tickRate : options_.rate) * options_.speed;
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
                  "%g rows/s for %s in %s (shift lights %d/%d/%d/%d RPM); "
                  "%d variables, row length %d bytes, %d slots",
                  Rate(), facts.userName, facts.carPath, relay::TruncateToInt32(facts.firstRpm),
                  relay::TruncateToInt32(facts.shiftRpm), relay::TruncateToInt32(facts.lastRpm),
                  relay::TruncateToInt32(facts.blinkRpm), publisher::VariableCount(sim_.layout),
                  sim_.layout.rowLength, sim_.layout.slotCount);
    Say(what + line);
  }

  void Run() {
    // Row k is due at start + k periods, on the monotonic clock: sleeping a
    // period after each row would drift by the time each row takes. The
    // timed actions and the end of --duration come at their own times, not
    // with the next row, so the loop wakes for whichever comes first.
    const double period = 1e9 / Rate();
    const std::int64_t start = platform::MonotonicNanoseconds();
    const auto after = [start](double seconds) {
      return start + static_cast<std::int64_t>(std::ceil(seconds * 1e9));
    };
    const std::int64_t end = options_.duration >= 0 ? after(options_.duration)
                                                    : std::numeric_limits<std::int64_t>::max();
    std::int64_t origin = start;
    std::int64_t due = 0;
    std::int64_t nextRow = start;
    std::size_t action = 0;
    while (!terminal::InterruptRequested()) {
      const std::int64_t now = platform::MonotonicNanoseconds();
      if (now >= end) break;
      while (action < options_.actions.size() && after(options_.actions[action].at) <= now) {
        Perform(options_.actions[action++]);
      }
      if (now >= nextRow) {
        if (pauses_ == 0) {
          if (!FillRow()) {
            ended_ = true;
            break;
          }
          publisher::PublishRow(sim_, row_);
          if (recording_ == nullptr) simulated::Step(model_);
          ++published_;
          if (publisher::Lost(sim_)) {
            Fail(
                "the shared-memory region or the data-valid event was shrunk under the publisher "
                "(another program truncated it); stopping");
            lost_ = true;
            break;
          }
        }
        const std::int64_t published = platform::MonotonicNanoseconds();
        ++due;
        nextRow = origin + static_cast<std::int64_t>(static_cast<double>(due) * period);
        // After a stall (a suspended process, a slow machine) carry on from
        // now instead of publishing the missed rows in a burst.
        if (published - nextRow > 1000000000LL) {
          origin = nextRow = published;
          due = 0;
        }
        // A row that is late still comes at least half a period after the
        // one before: the schedule is caught up over the next rows, and a
        // reader that takes the newest row on each wake-up, as the relay
        // does, misses none of them. (Above 500 rows/s the millisecond
        // sleeps cannot space rows that finely anyway.)
        if (period >= 2e6) {
          nextRow = std::max(nextRow, published + static_cast<std::int64_t>(period / 2));
        }
      }
      std::int64_t wake = std::min(nextRow, end);
      if (action < options_.actions.size()) {
        wake = std::min(wake, after(options_.actions[action].at));
      }
      // In slices, so that Ctrl-C is heard between rows a slow replay
      // publishes seconds apart.
      for (std::int64_t left = wake - platform::MonotonicNanoseconds();
           left > 0 && !terminal::InterruptRequested();
           left = wake - platform::MonotonicNanoseconds()) {
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
  bool lost_ = false;
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
  return session.Failed() ? 1 : 0;
}

}  // namespace

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

int Simulate(const Options& options) {
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

}  // namespace simpublisher
