// What the web benchmark checks in relay-web's WebSocket messages: a quick
// look for the "lap" value that matches a data message to its row, and full
// checks of a message against the relay message it stands for.
//
// A data message is right when it is a JSON object of type "data" whose
// fifteen values are the numbers the DATA_PACKET's text says (null where the
// text says nan or inf), the two flags as booleans.
#pragma once

#include <cstdint>
#include <string_view>

namespace bench {

// The integer after the first `"lap":` in `message`; -1 when there is none or
// it is not a plain non-negative integer. Not a JSON parser: it only finds
// the row a message claims to be, for the checks below to confirm.
std::int64_t LapOf(std::string_view message);

// True when `message` is a data message with the values of `dataPacket`.
bool SameValues(std::string_view message, std::string_view dataPacket);

enum class WebKind { kSession, kConnected, kOffline, kDamaged };
// A message that is not data: a session message with the values of
// `sessionInfo`, a status message, or kDamaged for anything else.
WebKind CheckControl(std::string_view message, std::string_view sessionInfo);

}  // namespace bench
