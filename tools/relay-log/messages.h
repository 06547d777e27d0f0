// The lap and pit messages relay-web sends at each lap end and pit stop,
// which relay-mqtt publishes on PREFIX/lap and PREFIX/pit, read strictly:
// a message that is not exactly one of them is refused with the reason, and
// never reaches the store.
//
//   {"type":"lap","session":"81234567/2","lap":12,"driver":"Sam Driver",
//    "time":118.204,"fuelUsed":3.31,"pit":false,"caution":false,
//    "counted":true,"position":4,"classPosition":2,"incidents":0,
//    "sessionTime":1834.52}
//   {"type":"pit","session":"81234567/2","lap":13,"driver":"Sam Driver",
//    "pitIn":1950.10,"pitOut":1992.70,"stationary":27.4,"fuelAdded":41.2}
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace race_log {

// A lap or pit message is a few hundred bytes; anything this long is not one.
inline constexpr std::size_t kMaxMessage = 4096;
inline constexpr std::size_t kMaxSession = 100;  // bytes
inline constexpr std::size_t kMaxDriver = 200;   // bytes

struct Lap {
  std::string session;  // "SubSessionID/SessionNum"
  int lap = 0;          // the lap that ended
  std::string driver;
  std::optional<double> time;      // seconds
  std::optional<double> fuelUsed;  // litres
  bool pit = false;
  bool caution = false;
  bool counted = false;  // averaged by relay-web's strategy module
  std::optional<int> position;
  std::optional<int> classPosition;
  std::optional<int> incidents;       // the rise over the lap
  std::optional<double> sessionTime;  // seconds, at the lap's end
};

struct Pit {
  std::string session;
  int lap = 0;  // the lap the car entered pit road on
  std::string driver;
  double pitIn = 0;                  // session seconds
  std::optional<double> pitOut;      // session seconds
  std::optional<double> stationary;  // seconds
  std::optional<double> fuelAdded;   // litres
};

// Reads `text` as a lap message into `lap`. Empty when it is one; else what
// is wrong with it, in the same words for the same fault whatever the values
// ("\"lap\" is not a whole number from 0 to 100000"), so that a caller can
// tell one kind of fault from another. Fields it does not know are ignored;
// the optional ones may be null or left out.
std::string ReadLap(std::string_view text, Lap* lap);
// The same for a pit message.
std::string ReadPit(std::string_view text, Pit* pit);

}  // namespace race_log
