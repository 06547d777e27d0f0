// Reading a feed message's type.
#include "relay-mqtt/feed_message.h"

#include <nlohmann/json.hpp>

namespace mqtt_bridge {

namespace {

struct Named {
  std::string_view type;
  FeedKind kind;
};
constexpr Named kKinds[] = {
    {"status", FeedKind::kStatus},     {"session", FeedKind::kSession},
    {"strategy", FeedKind::kStrategy}, {"data", FeedKind::kData},
    {"vars", FeedKind::kVars},         {"standings", FeedKind::kStandings},
    {"relative", FeedKind::kRelative}, {"lap", FeedKind::kLap},
    {"pit", FeedKind::kPit},
};

FeedKind KindOf(std::string_view type) {
  for (const Named& named : kKinds) {
    if (named.type == type) return named.kind;
  }
  return FeedKind::kOther;
}

}  // namespace

FeedKind Classify(std::string_view text) {
  // relay-web's own layout: {"type":"NAME", or {"type":"NAME"} with a NAME
  // that needs no escapes.
  constexpr std::string_view kStart = "{\"type\":\"";
  if (text.starts_with(kStart)) {
    const std::string_view rest = text.substr(kStart.size());
    const std::size_t quote = rest.find_first_of("\"\\");
    if (quote != std::string_view::npos && rest[quote] == '"' && quote + 1 < rest.size() &&
        (rest[quote + 1] == ',' || rest[quote + 1] == '}')) {
      return KindOf(rest.substr(0, quote));
    }
  }
  // Anything else: spaces, another order, escapes.
  const nlohmann::json parsed = nlohmann::json::parse(text, nullptr, false);
  if (!parsed.is_object()) return FeedKind::kOther;
  const auto type = parsed.find("type");
  if (type == parsed.end() || !type->is_string()) return FeedKind::kOther;
  return KindOf(type->get_ref<const std::string&>());
}

std::string_view TopicName(FeedKind kind) {
  for (const Named& named : kKinds) {
    if (named.kind == kind) return named.type;
  }
  return {};
}

}  // namespace mqtt_bridge
