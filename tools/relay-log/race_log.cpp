// Stints and the log message.
#include "relay-log/race_log.h"

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>

namespace race_log {

namespace {

// Keys in the order written, "type" first as in every message of ours.
using json = nlohmann::ordered_json;

json OrNull(const std::optional<double>& value) { return value ? json(*value) : json(nullptr); }
json OrNull(const std::optional<int>& value) { return value ? json(*value) : json(nullptr); }

std::optional<double> Mean(double sum, int count) {
  if (count == 0) return std::nullopt;
  return std::round(sum / count * 1000) / 1000;
}

}  // namespace

std::vector<Stint> Stints(const CarLog& log) {
  std::vector<Stint> stints;
  // The sums behind the last stint's means.
  double timeSum = 0, fuelSum = 0;
  int timed = 0, fuelled = 0;
  const auto close = [&] {
    if (stints.empty()) return;
    stints.back().avgLap = Mean(timeSum, timed);
    stints.back().fuelPerLap = Mean(fuelSum, fuelled);
    timeSum = fuelSum = 0;
    timed = fuelled = 0;
  };
  std::size_t nextPit = 0;
  const Lap* previous = nullptr;
  for (const Lap& lap : log.laps) {
    bool fresh = previous == nullptr || lap.driver != previous->driver;
    // The stops between the previous lap and this one; those before the
    // first lap start nothing.
    for (; nextPit < log.pits.size() && log.pits[nextPit].lap < lap.lap; ++nextPit) {
      const Pit& stop = log.pits[nextPit];
      if (previous != nullptr && stop.lap >= previous->lap &&
          (stop.fuelAdded.value_or(0) > 0 || stop.driver != previous->driver)) {
        fresh = true;
      }
    }
    if (fresh) {
      close();
      stints.push_back({lap.driver, lap.lap, lap.lap, 0, std::nullopt, std::nullopt});
    }
    Stint& stint = stints.back();
    stint.lastLap = lap.lap;
    ++stint.laps;
    if (lap.counted && lap.time) {
      timeSum += *lap.time;
      ++timed;
    }
    if (lap.counted && lap.fuelUsed) {
      fuelSum += *lap.fuelUsed;
      ++fuelled;
    }
    previous = &lap;
  }
  close();
  return stints;
}

std::string LogMessage(const CarLog& log) {
  std::vector<std::string> drivers;
  const auto index = [&drivers](const std::string& driver) {
    const auto found = std::find(drivers.begin(), drivers.end(), driver);
    if (found != drivers.end()) return static_cast<int>(found - drivers.begin());
    drivers.push_back(driver);
    return static_cast<int>(drivers.size() - 1);
  };
  json laps = json::array();
  for (const Lap& lap : log.laps) {
    laps.push_back({lap.lap, index(lap.driver), OrNull(lap.time), OrNull(lap.fuelUsed), lap.pit,
                    lap.caution, lap.counted, OrNull(lap.position), OrNull(lap.classPosition),
                    OrNull(lap.incidents), OrNull(lap.sessionTime)});
  }
  json pits = json::array();
  for (const Pit& pit : log.pits) {
    pits.push_back({pit.lap, index(pit.driver), pit.pitIn, OrNull(pit.pitOut),
                    OrNull(pit.stationary), OrNull(pit.fuelAdded)});
  }
  json stints = json::array();
  for (const Stint& stint : Stints(log)) {
    json entry;
    entry["driver"] = stint.driver;
    entry["firstLap"] = stint.firstLap;
    entry["lastLap"] = stint.lastLap;
    entry["laps"] = stint.laps;
    entry["avgLap"] = OrNull(stint.avgLap);
    entry["fuelPerLap"] = OrNull(stint.fuelPerLap);
    stints.push_back(std::move(entry));
  }
  json message;
  message["type"] = "log";
  message["session"] = log.session;
  message["drivers"] = drivers;
  message["lapFields"] = {"lap",           "driver",    "time",       "fuelUsed",
                          "pit",           "caution",   "counted",    "position",
                          "classPosition", "incidents", "sessionTime"};
  message["laps"] = std::move(laps);
  message["pitFields"] = {"lap", "driver", "pitIn", "pitOut", "stationary", "fuelAdded"};
  message["pits"] = std::move(pits);
  message["stints"] = std::move(stints);
  // Text from a database edited by hand may not be UTF-8: replaced, not
  // thrown over.
  return message.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace race_log
