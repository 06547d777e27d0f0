// What the web benchmark checks in relay-web's WebSocket messages: a quick
// look for the number that matches a message to its row, and full checks of
// a message against what its row must give.
//
// A data message is right when it is a JSON object of type "data" whose
// fifteen values are the numbers the DATA_PACKET's text says (null where the
// text says nan or inf), the two flags as booleans. A vars message is right
// when it is a JSON object of type "vars" with the row's tick and, under
// "values", every variable asked for, each once, with the row's value (an
// array of them for an array), and nothing else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "sim-publisher/publisher.h"

namespace bench {

// The "raceLaps" of a data message: the tick of the row it stands for, as
// the benchmark stamps it; -1 when there is none or it is not a plain
// non-negative integer. Not a JSON parser: this and VarsTickOf only find the
// row a message claims to be, for the checks below to confirm.
std::int64_t StampOf(std::string_view message);
// The "tick" of a message that begins as relay-web's vars messages do; -1
// for any other message.
std::int64_t VarsTickOf(std::string_view message);

// True when `message` is a data message with the values of `dataPacket`.
bool SameValues(std::string_view message, std::string_view dataPacket);

// True when `message` is the vars message of row `tick` for `variables`,
// whose values lie in `row` laid out as the variables say. With
// `unknownAllowed` it may also list names under "unknown" (strings), as the
// first vars message of a socket does for names the directory lacks.
bool SameVars(std::string_view message, std::int64_t tick,
              std::span<const publisher::Variable> variables, std::span<const std::uint8_t> row,
              bool unknownAllowed);

// The standings a run's session text and rows must give: how many cars the
// text lists, and whether the rows have all of them on track.
struct FieldWant {
  std::size_t cars = 0;
  bool onTrack = false;
};

enum class WebKind {
  kSession,
  kSessionText,
  kStrategy,
  kStandings,
  kRelative,
  kRaceLog,
  kConnected,
  kOffline,
  kDamaged
};
// A message that is not a row's: a session message with the values of
// `sessionInfo`, a session-text notice, the fuel figures (each a number or
// null), a status message (connected: the relay is connected or the
// simulator running), the standings (`field`'s cars, each once, in position
// order; on track, each with its gap to the leader), the relative (the
// driver's car once, at gap 0, with at most four cars either side; with the
// field on track, four either side), a lap, pit stop or log of the race log
// (a lap with its number and session, a log with its lists), or kDamaged for
// anything else.
WebKind CheckControl(std::string_view message, std::string_view sessionInfo,
                     const FieldWant& field = {});

}  // namespace bench
