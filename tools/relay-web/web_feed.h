// The feed relay-web gives browsers: each checked relay message as one JSON
// text. Numbers are the relay's own digits (a "90.50" in the DATA_PACKET is
// 90.50 in the JSON), values that are not finite are null, and the two flags
// are booleans.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "relay-stream/message_parser.h"
#include "relay-web/strategy.h"

namespace web {

struct Directory;

// Where relay-web's telemetry comes from: a relay's stream, or the
// simulator's shared memory on this machine.
enum class Source { kRelay, kSimulator };

// Room for the longest data message, so one reserve covers every row.
inline constexpr std::size_t kDataJsonCapacity = 1024;

// Writes {"type":"data",...} for `message`, a DATA_PACKET that
// stream::ParseMessage accepted, into `json` (replacing its contents).
void DataJson(std::string_view message, std::string& json);

// {"type":"session","firstRpm":..,"lastRpm":..,"shiftRpm":..,"blinkRpm":..,
// "carPath":".."}. The car path is 8-bit text: bytes that are not UTF-8
// become U+FFFD, so the message is always valid JSON.
std::string SessionJson(const stream::SessionInfo& session);

// {"type":"status","source":"relay","relay":"connected"|"offline"} or
// {"type":"status","source":"simulator","simulator":"running"|"not running"}.
std::string StatusJson(Source source, bool present);

// {"type":"sessionText","update":N}: the session text has changed.
std::string SessionTextJson(std::int64_t update);

// 8-bit text as UTF-8: what is valid UTF-8 stays as it is, and any other
// byte is taken as the Latin-1 character of that number.
std::string ToUtf8(std::string_view text);
// `text` as a quoted JSON string (after ToUtf8).
std::string JsonString(std::string_view text);

// GET /api/vars: [{"name","type","count","unit","description"}, ...] in
// directory order.
std::string DirectoryJson(const Directory& directory);

// Writes {"type":"vars","tick":T,"values":{NAME:VALUE,...}} into `json`
// (replacing its contents) for the directory's variables numbered in
// `variables`; `unknown`, when not empty, is appended as a further member
// (`"unknown":[...]`, made by UnknownJson). Allocates nothing once `json`
// has the room.
void VarsJson(std::int32_t tick, std::span<const std::uint8_t> row, const Directory& directory,
              std::span<const int> variables, std::string_view unknown, std::string& json);
// `"unknown":["NAME",...]`, or empty when `names` is.
std::string UnknownJson(std::span<const std::string> names);
// The values object alone, {NAME:VALUE,...}, for GET /api/latest?vars=.
std::string ValuesJson(std::span<const std::uint8_t> row, const Directory& directory,
                       std::span<const int> variables);

// {"type":"strategy","fuelPerLap":..,...,"lapsCounted":N,"fuelMargin":..}:
// the fuel figures, each null until it can be computed.
std::string StrategyJson(const strategy::Figures& figures);

// The snapshot of GET /api/latest: {"status":STATUS,"session":SESSION,
// "data":DATA,"strategy":STRATEGY} from texts made by the functions above
// (an empty one becomes null), and "vars":VALUES at the end when `values`
// (made by ValuesJson) is not empty.
std::string LatestJson(std::string_view status, std::string_view session, std::string_view data,
                       std::string_view strategy, std::string_view values);

}  // namespace web
