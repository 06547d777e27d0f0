// The feed relay-web gives browsers: each checked relay message as one JSON
// text. Numbers are the relay's own digits (a "90.50" in the DATA_PACKET is
// 90.50 in the JSON), values that are not finite are null, and the two flags
// are booleans.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "relay-stream/message_parser.h"
#include "relay-web/pit_stops.h"
#include "relay-web/standings.h"
#include "relay-web/strategy.h"

namespace web {

struct Directory;

// Where relay-web's telemetry comes from: a relay's stream, or the
// simulator's shared memory on this machine.
enum class Source { kRelay, kSimulator };

// Room for the longest data message, so one reserve covers every row.
inline constexpr std::size_t kDataJsonCapacity = 1024;

// The most bytes one vars message (and the vars part of /api/latest) takes
// unless --max-message says otherwise, and the range --max-message allows.
// relay-mqtt reads messages of up to 1 MiB. The least leaves room for the
// longest list of unknown names a request may give.
inline constexpr std::size_t kDefaultMaxMessage = 1024 * 1024;
inline constexpr std::size_t kMinMaxMessage = 64 * 1024;
inline constexpr std::size_t kMaxMaxMessage = 64 * 1024 * 1024;
// With vars=*, arrays longer than this many values are cut to their first
// ones. The simulator's per-car arrays have 64 and stay whole.
inline constexpr std::int32_t kMaxArrayValuesInAll = 64;

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

// Which of a request's variables a message of at most a given size carries,
// and how many values of each: worked out once per layout from the types
// and counts alone, so that the same variables go out with every row.
struct VarsPlan {
  std::vector<int> variables;        // the directory's numbers, in order
  std::vector<std::int32_t> values;  // how many values of each are written
  std::string truncated;             // "truncated":{NAME:COUNT,...}, or empty
  std::size_t omitted = 0;           // the request's last ones, left out
};
// Plans the vars message of `variables` in at most `maxBytes`, of which
// `reserved` go to members of the caller's (the unknown names). With
// `cutArrays` (vars=*), arrays of more than kMaxArrayValuesInAll values are
// cut to their first ones and named in "truncated" with their whole count.
// Variables follow in the order asked for until the next one might not fit;
// it and those after it are left out and counted in "omitted".
VarsPlan PlanVars(const Directory& directory, std::span<const int> variables, bool cutArrays,
                  std::size_t maxBytes, std::size_t reserved);
// {"type":"vars","tick":T,"values":{...}} as `plan` has it, then
// "truncated":{...} and "omitted":N when the plan has them, then `unknown`.
// Allocates nothing once `json` has the room.
void VarsJson(std::int32_t tick, std::span<const std::uint8_t> row, const Directory& directory,
              const VarsPlan& plan, std::string_view unknown, std::string& json);
// `"unknown":["NAME",...]`, or empty when `names` is.
std::string UnknownJson(std::span<const std::string> names);
// The values object alone, {NAME:VALUE,...}, for GET /api/latest?vars=.
std::string ValuesJson(std::span<const std::uint8_t> row, const Directory& directory,
                       std::span<const int> variables);
std::string ValuesJson(std::span<const std::uint8_t> row, const Directory& directory,
                       const VarsPlan& plan);
// The plan's notes as members: "truncated":{...},"omitted":N, each only
// when there is something to say; empty when neither is.
std::string PlanNotes(const VarsPlan& plan);

// {"type":"strategy","fuelPerLap":..,...,"lapsCounted":N,"fuelMargin":..}:
// the fuel figures, each null until it can be computed.
std::string StrategyJson(const strategy::Figures& figures);

// Room for a standings message of a full field, so one reserve covers it.
inline constexpr std::size_t kStandingsJsonCapacity = 48 * 1024;

// Each car's members of the standings and relative messages that come from
// the driver list ("number","name","team","class","classColor"), made once
// per session text.
using DriverMembers = std::array<std::string, standings::kMaxCars>;
DriverMembers DriverMembersJson(const standings::Field& field);

// {"type":"standings","sessionTime":..,"sessionType":..,"cars":[...]} and
// {"type":"relative","sessionTime":..,"cars":[...]}, written into `json`
// (replacing its contents). Times are in seconds to the millisecond, null
// when unknown. Allocate nothing once `json` has the room.
void StandingsJson(const standings::Table& table, const DriverMembers& drivers, std::string& json);
void RelativeJson(const standings::Relative& relative, const DriverMembers& drivers,
                  std::string& json);

// The race log's messages: the player's laps and pit stops. `session` is
// "SubSessionID/SessionNum", `driver` the player's UserName (8-bit text, as
// ToUtf8 has it). Times and litres are written to the thousandth; a value
// the simulator cannot have given (a lap time of 0 or less, say) is null.
struct LapMessage {
  std::string_view session;
  std::string_view driver;
  strategy::LapRecord record;
  std::optional<std::int32_t> position;       // PlayerCarPosition, from 1
  std::optional<std::int32_t> classPosition;  // PlayerCarClassPosition, from 1
  std::optional<std::int32_t> incidents;      // the rise over the lap
};
// {"type":"lap","session":..,"lap":N,"driver":..,"time":..,"fuelUsed":..,
// "pit":..,"caution":..,"counted":..,"position":..,"classPosition":..,
// "incidents":..,"sessionTime":..}
std::string LapJson(const LapMessage& lap);
// {"type":"pit","session":..,"lap":N,"driver":..,"pitIn":..,"pitOut":..,
// "stationary":..,"fuelAdded":..}
std::string PitJson(std::string_view session, std::string_view driver, const pits::Stop& stop);
// {"type":"log","session":..,"laps":[LAP,...],"pits":[PIT,...]}: the lap
// and pit messages given, as they are, in the order given; the session is
// null when empty.
std::string LogJson(std::string_view session, std::span<const std::string_view> laps,
                    std::span<const std::string_view> pits);

// The parts of GET /api/latest, each a JSON text made by the functions
// above; an empty one becomes null.
struct LatestParts {
  std::string_view status, session, data, strategy, standings, relative;
  std::string_view values;  // from ValuesJson, or empty for no "vars"
  std::string_view notes;   // from PlanNotes, or empty
};
// {"status":..,"session":..,"data":..,"strategy":..,"standings":..,
// "relative":..}, then "vars":VALUES when there are values and the notes
// when there are any.
std::string LatestJson(const LatestParts& parts);

}  // namespace web
