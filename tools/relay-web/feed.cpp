// Passing the telemetry on, and the strategy figures with it.
#include "relay-web/feed.h"

#include <cmath>
#include <string_view>
#include <type_traits>

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
    : server_(server),
      strategy_(fuelMarginLaps, kDefaultTickRate),
      standingsHeldBack_(io),
      heldBack_(io) {}

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
    if (!sessionId_.empty() && id != sessionId_) NewSession();
    sessionId_ = std::move(id);
  }
  // The drivers may change within a session (joining, leaving, swapping):
  // the list is read anew, and the cars' histories go on.
  standings::Field field = standings::ReadField(text);
  drivers_ = DriverMembersJson(field);
  standings_.SetField(std::move(field));
  haveField_ = true;
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
  carIndices_ = {
      find("PlayerCarIdx"),        find("CarIdxLapCompleted"), find("CarIdxLapDistPct"),
      find("CarIdxTrackSurface"),  find("CarIdxOnPitRoad"),    find("CarIdxPosition"),
      find("CarIdxClassPosition"), find("CarIdxLastLapTime"),  find("CarIdxBestLapTime")};
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
      if (haveSessionNum_ && sessionNum != sessionNum_) NewSession();
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
    UpdateStandings(row);
  }
  server_.PublishRow(std::move(data), row, tick);
}

void Feed::NewSession() {
  strategy_.NewSession();
  SendStrategy(true);
  standings_.NewSession();
}

void Feed::UpdateStandings(std::span<const std::uint8_t> row) {
  // Only the simulator's own rows carry the per-car arrays, and the drivers
  // come from its session text: a relay's stream gives neither.
  if (!haveField_ || carIndices_.lapDistPct < 0 || carIndices_.lapCompleted < 0) return;
  const auto& variables = directory_->variables;
  const auto number = [&](int index) {
    return index >= 0 ? ReadNumber(row, variables[static_cast<std::size_t>(index)]) : std::nan("");
  };
  // Each car's value of one array; cars past the array's end get `otherwise`.
  const auto each = [&](int index, auto& values, auto otherwise) {
    const Variable* variable = index >= 0 ? &variables[static_cast<std::size_t>(index)] : nullptr;
    const std::int32_t count = variable != nullptr ? variable->count : 0;
    for (std::int32_t car = 0; car < standings::kMaxCars; ++car) {
      const double value = car < count ? ReadNumber(row, *variable, car) : std::nan("");
      using Value = std::decay_t<decltype(values[0])>;
      if constexpr (std::is_same_v<Value, bool>) {
        values[static_cast<std::size_t>(car)] = value == value && value != 0;
      } else if constexpr (std::is_same_v<Value, double>) {
        values[static_cast<std::size_t>(car)] = value == value ? value : otherwise;
      } else {
        values[static_cast<std::size_t>(car)] = Whole(value, otherwise);
      }
    }
  };
  standings::Row& values = standingsRow_;
  values.sessionTime = number(indices_.sessionTime);
  values.sessionNum = Whole(number(indices_.sessionNum), 0);
  values.playerCarIdx = Whole(number(carIndices_.playerCarIdx), -1);
  each(carIndices_.lapCompleted, values.lapCompleted, 0);
  each(carIndices_.lapDistPct, values.lapDistPct, -1.0);
  // Without the track surfaces, a car with a lap distance is in the world.
  if (carIndices_.trackSurface >= 0) {
    each(carIndices_.trackSurface, values.trackSurface, -1);
  } else {
    for (std::size_t car = 0; car < values.trackSurface.size(); ++car) {
      values.trackSurface[car] = values.lapDistPct[car] >= 0 ? 3 : -1;
    }
  }
  each(carIndices_.onPitRoad, values.onPitRoad, false);
  each(carIndices_.position, values.position, 0);
  each(carIndices_.classPosition, values.classPosition, 0);
  each(carIndices_.lastLapTime, values.lastLapTime, -1.0);
  each(carIndices_.bestLapTime, values.bestLapTime, -1.0);
  if (!std::isfinite(values.sessionTime)) return;
  standings_.Feed(values);

  if (Clock::now() - standingsSentAt_ >= kStandingsInterval) return SendStandings();
  if (standingsHolding_) return;
  standingsHolding_ = true;
  standingsHeldBack_.expires_at(standingsSentAt_ + kStandingsInterval);
  standingsHeldBack_.async_wait(
      WithMemory(standingsTimerMemory_, [this](boost::system::error_code ec) {
        standingsHolding_ = false;
        if (!ec) SendStandings();
      }));
}

void Feed::SendStandings() {
  standingsSentAt_ = Clock::now();
  standings_.Compute(table_);
  const std::shared_ptr<std::string> standingsJson = standingsBuffers_.Free();
  StandingsJson(table_, drivers_, *standingsJson);
  server_.PublishStandings(standingsJson);
  standings_.ComputeRelative(relative_);
  const std::shared_ptr<std::string> relativeJson = relativeBuffers_.Free();
  RelativeJson(relative_, drivers_, *relativeJson);
  server_.PublishRelative(relativeJson);
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
