// What the bridge needs to know about a message of relay-web's feed: its
// "type", which decides the topic, and the pace at which rows go out. The
// texts themselves are passed on as they came.
#pragma once

#include <algorithm>
#include <chrono>
#include <string_view>

namespace mqtt_bridge {

enum class FeedKind { kStatus, kSession, kStrategy, kData, kVars, kOther };

// The kind of a feed text, from its "type" member. relay-web writes "type"
// first ({"type":"data",...}), which is read without parsing, so a row costs
// no allocation; any other layout is parsed. kOther for types the bridge does
// not carry (sessionText, new ones) and for texts that are not a JSON object
// with a string "type".
FeedKind Classify(std::string_view text);

// The topic under the prefix for `kind` ("status", ...); empty for kOther.
std::string_view TopicName(FeedKind kind);

// Spaces rows at most `rate` a second, evenly, with a little slack: a row
// may go out once the next slot is less than an eighth of a period away, so
// rows that arrive at the asked rate with some jitter go out as they come,
// while rows that come faster are held for the next slot. Over any stretch
// no more than `rate` a second go out (plus the one of the slack).
class Pacer {
 public:
  using Clock = std::chrono::steady_clock;

  explicit Pacer(int rate)
      : period_(std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(1)) / rate),
        slack_(period_ / 8) {}

  // True when a row may go out at `now`; the slot is then taken.
  bool Take(Clock::time_point now) {
    if (now < next_ - slack_) return false;
    next_ = std::max(next_, now) + period_;
    return true;
  }
  // From when the next row may go out.
  Clock::time_point NextSlot() const { return next_ - slack_; }

 private:
  Clock::duration period_;
  Clock::duration slack_;
  Clock::time_point next_{};
};

}  // namespace mqtt_bridge
