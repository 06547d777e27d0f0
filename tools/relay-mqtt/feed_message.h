// What the bridge needs to know about a message of relay-web's feed: its
// "type", which decides the topic, and the pace at which rows go out. The
// texts themselves are passed on as they came.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <string_view>

namespace mqtt_bridge {

enum class FeedKind {
  kStatus,
  kSession,
  kStrategy,
  kStandings,
  kData,
  kVars,
  kRelative,
  kLap,
  kPit,
  kOther
};

// The kind of a feed text, from its "type" member. relay-web writes "type"
// first ({"type":"data",...}), which is read without parsing, so a row costs
// no allocation; any other layout is parsed. kOther for types the bridge does
// not carry (sessionText, log, new ones) and for texts that are not a JSON object
// with a string "type".
FeedKind Classify(std::string_view text);

// The topic under the prefix for `kind` ("status", ...); empty for kOther.
std::string_view TopicName(FeedKind kind);

// Spaces rows at most `rate` a second, evenly, looking back only at rows
// that really went out (never at a schedule of its own, which a feed at the
// same rate but another phase would fall behind of for good):
// - a row that is the first since the last went out may go seven eighths of
//   a period after it, so rows that come at the rate go out as they come,
//   and a late one delays the next by its lateness less an eighth of a
//   period at most, the one after by an eighth less again;
// - a row that follows others since the last (the feed is faster than the
//   rate) may go a whole period after it, so such rows go out evenly;
// - and never `rate` rows within a second (less an eighth of a period).
// A row that may not go yet is held until it may, and replaced by a newer
// one meanwhile.
class Pacer {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr int kMaxRate = 60;

  explicit Pacer(int rate)
      : rate_(std::clamp(rate, 1, kMaxRate)),
        period_(std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(1)) / rate_),
        slack_(period_ / 8) {}

  // A new row at `now`: true when it may go out now (it is then counted as
  // sent); otherwise it is held, replacing any held before it.
  bool Offer(Clock::time_point now) {
    ++offered_;
    if (now < HeldUntil()) return false;
    Sent(now);
    return true;
  }
  // When the held row may go out.
  Clock::time_point HeldUntil() const {
    const Clock::duration gap = offered_ > 1 ? period_ : period_ - slack_;
    return std::max(last_ + gap, sent_[oldest_] + std::chrono::seconds(1) - slack_);
  }
  // The held row went out at `now` (no earlier than HeldUntil()).
  void Sent(Clock::time_point now) {
    sent_[oldest_] = now;
    oldest_ = (oldest_ + 1) % static_cast<std::size_t>(rate_);
    last_ = now;
    offered_ = 0;
  }

 private:
  int rate_;
  Clock::duration period_;
  Clock::duration slack_;
  int offered_ = 0;  // rows offered since the last went out
  Clock::time_point last_{};
  // When the last `rate_` rows went out; sent_[oldest_] is the earliest.
  std::array<Clock::time_point, kMaxRate> sent_{};
  std::size_t oldest_ = 0;
};

}  // namespace mqtt_bridge
