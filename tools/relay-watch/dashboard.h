// relay-watch's one-screen dashboard: what the last messages said, drawn with
// ANSI escape sequences. Rendering is a pure function of the state, so it is
// tested without a terminal.
#pragma once

#include <cstdint>
#include <string>

#include "relay-stream/message_parser.h"

namespace watch {

// What the relay's stream said, as the stream reader parsed it.
using stream::DataPacket;
using stream::SessionInfo;

inline constexpr int kShiftLights = 10;

struct DashboardState {
  std::string endpoint;  // "127.0.0.1:6667"
  std::string status;    // the connection, in words
  bool haveData = false;
  DataPacket data;
  bool haveSession = false;
  SessionInfo session;
  double messagesPerSecond = 0;
  std::int64_t messages = 0;
  std::int64_t malformed = 0;
  std::string lastProblem;  // why the last malformed message was rejected
};

// How many of `lights` shift lights are lit at `rpm`: none below the first
// threshold, then one more for each equal step up to the last threshold,
// where all are lit. None when the thresholds are not known (yet).
int LitLights(std::int32_t rpm, const SessionInfo& session, int lights = kShiftLights);
// What the lights say beyond how many are lit.
enum class ShiftCue { kNone, kShift, kBlink };
ShiftCue Cue(std::int32_t rpm, const SessionInfo& session);

// Seconds as h:mm:ss ("--:--:--" for a value that is not a finite, non-negative number).
std::string FormatClock(double seconds);
// "R", "N" or the gear's number.
std::string FormatGear(std::int32_t gear);

// One full frame for a terminal `columns` wide. `blinkOn` is the phase of the
// blinking shift lights. Starts at the top left and clears what it does not
// cover, so frames are simply written one after another.
std::string RenderDashboard(const DashboardState& state, int columns, bool blinkOn);

}  // namespace watch
