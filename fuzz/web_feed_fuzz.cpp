// relay-web's JSON feed over any stream: the framer splits the bytes, the
// message checks read each message, and every DATA_PACKET they accept
// becomes DataJson, every SESSION_INFO SessionJson; StatusJson and
// LatestJson wrap them as GET /api/latest does.
//
// Input: the stream's bytes. Checked: every text is valid JSON (a browser's
// JSON.parse takes it), and a data message's numbers are the packet's own
// (null for nan and the infinities).
#include <cmath>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "relay-stream/message_parser.h"
#include "relay-stream/stream_framer.h"
#include "relay-web/variables.h"
#include "relay-web/web_feed.h"

namespace {

// The data message's `key` against the packet's value.
bool Same(const nlohmann::json& data, const char* key, double value) {
  const nlohmann::json& field = data.at(key);
  if (!std::isfinite(value)) return field.is_null();
  if (!field.is_number()) return false;
  const double got = field.get<double>();
  return got == value || std::fabs(got - value) <= 1e-12 * std::fabs(value);
}

void CheckData(std::string_view message, const stream::DataPacket& d, std::string& json) {
  web::DataJson(message, json);
  FUZZ_CHECK(nlohmann::json::accept(json));
  const nlohmann::json data = nlohmann::json::parse(json);
  FUZZ_CHECK(data.at("type") == "data");
  FUZZ_CHECK(Same(data, "oilTemp", d.oilTemp) && Same(data, "waterTemp", d.waterTemp) &&
             Same(data, "gear", d.gear) && Same(data, "fuelLevel", d.fuelLevel) &&
             Same(data, "rpm", d.rpm) && Same(data, "lapDistPct", d.lapDistPct) &&
             Same(data, "fuelLevelPct", d.fuelLevelPct) && Same(data, "lapDist", d.lapDist) &&
             Same(data, "lap", d.lap) && Same(data, "raceLaps", d.raceLaps) &&
             Same(data, "sessionLapsRemain", d.sessionLapsRemain) &&
             Same(data, "sessionTimeRemain", d.sessionTimeRemain) &&
             Same(data, "throttle", d.throttle));
  // Any spelling of zero is a clear flag.
  FUZZ_CHECK(data.at("onPitRoad") == (d.onPitRoad != 0) &&
             data.at("isOnTrack") == (d.isOnTrack != 0));
  // The same row as the relay source's vars message: every value JSON.
  std::vector<std::uint8_t> row;
  web::WriteRelayRow(d, row);
  const web::Directory& relay = web::RelayDirectory();
  std::vector<int> all(relay.variables.size());
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<int>(i);
  std::string vars;
  web::VarsJson(d.lap, row, relay, all, R"("unknown":["x"])", vars);
  FUZZ_CHECK(nlohmann::json::accept(vars));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  stream::StreamFramer framer;
  std::vector<std::string_view> messages;
  framer.Feed(bytes, messages);
  framer.Finish(messages);

  std::string session, json;
  for (const std::string_view message : messages) {
    const stream::ParsedMessage parsed = stream::ParseMessage(message);
    if (parsed.kind == stream::MessageKind::kDataPacket) {
      CheckData(message, parsed.data, json);
    } else if (parsed.kind == stream::MessageKind::kSessionInfo) {
      session = web::SessionJson(parsed.session);
      FUZZ_CHECK(nlohmann::json::accept(session));
    }
  }
  for (const web::Source source : {web::Source::kRelay, web::Source::kSimulator}) {
    for (const bool present : {true, false}) {
      const std::string status = web::StatusJson(source, present);
      FUZZ_CHECK(nlohmann::json::accept(status));
      FUZZ_CHECK(nlohmann::json::accept(
          web::LatestJson({.status = status, .session = session, .data = json, .values = "{}"})));
      FUZZ_CHECK(nlohmann::json::accept(web::LatestJson({.status = status})));
    }
  }
  return 0;
}
