// A car's race log for one session: its laps and pit stops as stored, the
// stints derived from them, and the log message relay-log publishes on
// PREFIX/log. Standard C++ and nlohmann/json only, so tests drive it with
// plain records.
//
// Stints are derived, never stored: the first lap starts one, and so does
// each lap whose driver is not the previous lap's, or that follows a pit
// stop (on the previous lap or later) that added fuel or was reported by
// another driver than the previous lap's. A stop with neither, such as tyres
// only, or a drive-through, keeps the stint.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "relay-log/messages.h"

namespace race_log {

struct CarLog {
  std::string session;
  std::vector<Lap> laps;  // by lap number, one each
  std::vector<Pit> pits;  // by lap, then pitIn
};

struct Stint {
  std::string driver;
  int firstLap = 0;
  int lastLap = 0;
  int laps = 0;  // stored laps from firstLap to lastLap
  // The means over the stint's counted laps that have a time, and a fuel
  // figure, rounded to a thousandth; absent when there are none.
  std::optional<double> avgLap;
  std::optional<double> fuelPerLap;
};

std::vector<Stint> Stints(const CarLog& log);

// The PREFIX/log message:
//   {"type":"log","session":"81234567/2","drivers":["Sam Driver",...],
//    "lapFields":["lap","driver","time","fuelUsed","pit","caution","counted",
//                 "position","classPosition","incidents","sessionTime"],
//    "laps":[[12,0,118.204,3.31,false,false,true,4,2,0,1834.52],...],
//    "pitFields":["lap","driver","pitIn","pitOut","stationary","fuelAdded"],
//    "pits":[[13,0,1950.1,1992.7,27.4,41.2],...],
//    "stints":[{"driver":"Sam Driver","firstLap":1,"lastLap":13,"laps":13,
//               "avgLap":118.5,"fuelPerLap":3.3},...]}
// Each lap and stop is an array in the order its fields list names, with
// the driver as an index into "drivers" (so a 24-hour race stays well under
// 256 KiB); absent values are null.
std::string LogMessage(const CarLog& log);

}  // namespace race_log
