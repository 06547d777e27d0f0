// The feed relay-web gives browsers: each checked relay message as one JSON
// text. Numbers are the relay's own digits (a "90.50" in the DATA_PACKET is
// 90.50 in the JSON), values that are not finite are null, and the two flags
// are booleans.
#pragma once

#include <string>
#include <string_view>

#include "relay-stream/message_parser.h"

namespace web {

// Room for the longest data message, so one reserve covers every row.
inline constexpr std::size_t kDataJsonCapacity = 1024;

// Writes {"type":"data",...} for `message`, a DATA_PACKET that
// stream::ParseMessage accepted, into `json` (replacing its contents).
void DataJson(std::string_view message, std::string& json);

// {"type":"session","firstRpm":..,"lastRpm":..,"shiftRpm":..,"blinkRpm":..,
// "carPath":".."}. The car path is 8-bit text: bytes that are not UTF-8
// become U+FFFD, so the message is always valid JSON.
std::string SessionJson(const stream::SessionInfo& session);

// {"type":"status","relay":"connected"} or "offline".
std::string StatusJson(bool connected);

// The snapshot of GET /api/latest: {"status":STATUS,"session":SESSION,
// "data":DATA}, from texts made by the functions above; an empty session or
// data text becomes null.
std::string LatestJson(std::string_view status, std::string_view session, std::string_view data);

}  // namespace web
