// Passing the telemetry on, and the strategy figures with it.
#include "relay-web/feed.h"

#include <cmath>
#include <string_view>

#include "sessioninfo/query.h"

namespace web {

using Clock = std::chrono::steady_clock;

namespace {

// The session text's value at `path` without its trailing blanks, or empty.
std::string_view Value(std::string_view text, const char* path) {
  const char* start = nullptr;
  std::int32_t length = 0;
  if (!sessioninfo::FindValue(text, path, &start, &length) || length <= 0) return {};
  std::string_view value(start, static_cast<std::size_t>(length));
  while (!value.empty() && (value.back() == ' ' || value.back() == '\r')) value.remove_suffix(1);
  return value;
}

// A whole number read as a double, or `otherwise` when it is none.
std::int32_t Whole(double value, std::int32_t otherwise) {
  if (!(value >= -2147483648.0 && value < 2147483648.0)) return otherwise;
  return static_cast<std::int32_t>(value);
}

}  // namespace

Feed::Feed(boost::asio::io_context& io, WebServer& server, double fuelMarginLaps)
    : server_(server), strategy_(fuelMarginLaps, kDefaultTickRate), heldBack_(io) {}

void Feed::PublishStatus(bool present) {
  if (!present) {
    strategy_.Interrupt();
    SendStrategy(true);
  }
  server_.PublishStatus(present);
}

void Feed::PublishSession(std::string json) { server_.PublishSession(std::move(json)); }

void Feed::PublishSessionText(std::string text) {
  // The simulator rewrites the text within a session (results, drivers
  // joining): only other ids make a new session. The first text only begins
  // one, and a text without the ids tells nothing.
  const std::string_view sessionId = Value(text, "WeekendInfo:SessionID:");
  const std::string_view subSessionId = Value(text, "WeekendInfo:SubSessionID:");
  if (!sessionId.empty() || !subSessionId.empty()) {
    std::string id = std::string(sessionId) + "/" + std::string(subSessionId);
    if (!sessionId_.empty() && id != sessionId_) {
      strategy_.NewSession();
      SendStrategy(true);
    }
    sessionId_ = std::move(id);
  }
  server_.PublishSessionText(std::move(text));
}

void Feed::PublishDirectory(std::shared_ptr<const Directory> directory) {
  directory_ = directory;
  const auto find = [&](const char* name) { return directory_ ? directory_->Find(name) : -1; };
  indices_ = {find("Lap"),
              find("FuelLevel"),
              find("FuelLevelPct"),
              find("LapDistPct"),
              find("OnPitRoad"),
              find("IsOnTrack"),
              find("SessionLapsRemain"),
              find("SessionTimeRemain"),
              find("LapLastLapTime"),
              find("SessionTime"),
              find("SessionFlags"),
              find("SessionNum")};
  server_.PublishDirectory(std::move(directory));
}

void Feed::SetTickRate(double rowsPerSecond) {
  if (!(rowsPerSecond > 0) || !std::isfinite(rowsPerSecond)) return;
  tickRate_ = rowsPerSecond;
  strategy_.SetTickRate(rowsPerSecond);
}

void Feed::PublishRow(std::shared_ptr<const std::string> data, std::span<const std::uint8_t> row,
                      std::int32_t tick) {
  if (directory_ != nullptr) {
    const auto number = [&](int index) {
      return index >= 0 ? ReadNumber(row, directory_->variables[static_cast<std::size_t>(index)])
                        : std::nan("");
    };
    const auto optional = [&](int index) -> std::optional<double> {
      if (index < 0) return std::nullopt;
      return number(index);
    };
    // Another session in the rows (practice to qualifying, say) starts the
    // figures afresh; the same one after the simulator came back does not.
    const double sessionNum = number(indices_.sessionNum);
    if (std::isfinite(sessionNum)) {
      if (haveSessionNum_ && sessionNum != sessionNum_) {
        strategy_.NewSession();
        SendStrategy(true);
      }
      sessionNum_ = sessionNum;
      haveSessionNum_ = true;
    }
    strategy::Row values;
    values.lap = Whole(number(indices_.lap), 0);
    values.fuelLevel = number(indices_.fuelLevel);
    values.fuelLevelPct = number(indices_.fuelLevelPct);
    values.lapDistPct = number(indices_.lapDistPct);
    values.onPitRoad = number(indices_.onPitRoad) != 0;
    values.isOnTrack = number(indices_.isOnTrack) != 0;
    values.sessionLapsRemain = Whole(number(indices_.sessionLapsRemain), strategy::kNoLapLimit);
    values.sessionTimeRemain = number(indices_.sessionTimeRemain);
    values.lapLastLapTime = optional(indices_.lapLastLapTime);
    // Without the simulator's session time (a relay's stream), the rows' own
    // count at the tick rate keeps time: never the wall clock, so a replay
    // at ten times its speed still gives the recorded lap times.
    values.sessionTime =
        indices_.sessionTime >= 0 ? number(indices_.sessionTime) : tick / tickRate_;
    const double flags = number(indices_.sessionFlags);
    if (flags >= 0 && flags < 4294967296.0) values.sessionFlags = static_cast<std::uint32_t>(flags);
    const double seconds = std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
    SendStrategy(strategy_.Feed(values, seconds));
  }
  server_.PublishRow(std::move(data), row, tick);
}

void Feed::SendStrategy(bool now) {
  const strategy::Figures& figures = strategy_.figures();
  const Clock::time_point at = Clock::now();
  if (sent_ && !now) {
    if (!strategy::DifferAtDisplayPrecision(*sent_, figures)) return;
    if (at - sentAt_ < kStrategyInterval) {
      if (!holding_) {
        holding_ = true;
        heldBack_.expires_at(sentAt_ + kStrategyInterval);
        heldBack_.async_wait([this](boost::system::error_code ec) {
          holding_ = false;
          if (!ec) SendStrategy(false);
        });
      }
      return;
    }
  }
  sent_ = figures;
  sentAt_ = at;
  server_.PublishStrategy(StrategyJson(figures));
}

}  // namespace web
