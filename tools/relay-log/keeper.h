// relay-log's work on each message from the broker: which topics it takes
// (PREFIX/lap and PREFIX/pit; its own PREFIX/log and everything else under
// the pattern pass by), the checks, the store, and the car's whole log
// published after each change. relay-log runs it on the broker link's
// network thread, so that a message is on disk before the broker hears that
// it arrived.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>

#include "relay-log/store.h"

namespace race_log {

enum class TopicKind { kLap, kPit, kOther };

// What `topic` carries, and for a lap or pit topic the car's prefix: the
// topic without its last level (team/car42/lap is car team/car42).
TopicKind Classify(std::string_view topic, std::string* car);

enum class Outcome {
  kStored,   // stored, and the car's log published
  kSkipped,  // a lap or pit topic, but not a valid message
  kIgnored,  // not a lap or pit topic
  kFailed,   // the store failed: nothing more can be kept
};

// After the first skipped message of each kind has been shown, further
// skipped messages are counted, and the count shown at most this often.
inline constexpr std::chrono::seconds kSkipReportInterval{60};

class Keeper {
 public:
  // Publishes `payload` on `topic`, retained, QoS 1; false when it cannot
  // (the broker is away: every log goes again after the reconnect).
  using Publish = std::function<bool(const std::string& topic, const std::string& payload)>;
  // One line for the console.
  using Say = std::function<void(const std::string& line)>;

  Keeper(Store& store, Publish publish, Say say);

  // One message; with kFailed, `error` says what the store could not do.
  Outcome Take(const std::string& topic, std::string_view payload, std::string* error);

  // Every car's log for its current session: at start, and after each
  // reconnect, for a broker that lost its retained messages.
  bool PublishAll(std::string* error);

 private:
  bool PublishCar(const std::string& car, const std::string& session, std::string* error);
  void Skipped(const std::string& topic, const std::string& problem);

  Store& store_;
  Publish publish_;
  Say say_;
  std::map<std::string, std::string> sessions_;  // the session shown for each car
  std::set<std::string> faultsShown_;
  long skippedUnshown_ = 0;
  std::chrono::steady_clock::time_point skipShownAt_;
};

}  // namespace race_log
