// relay-mqtt's routing and pacing, in-process: the spellings and timings
// the process test cannot choose.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "relay-mqtt/feed_message.h"
#include "relay-mqtt/options.h"

namespace {

using mqtt_bridge::FeedKind;
using namespace std::chrono_literals;

TEST(MqttBridge, RoutesByTheTypeWhereverItStands) {
  struct Case {
    std::string text;
    FeedKind want;
    std::string topic;
  };
  const std::vector<Case> cases = {
      {R"({"type":"data","rpm":1})", FeedKind::kData, "data"},
      {R"({"type":"vars","tick":3,"values":{}})", FeedKind::kVars, "vars"},
      {R"({"type":"status","source":"simulator","simulator":"running"})", FeedKind::kStatus,
       "status"},
      {R"({"type":"session"})", FeedKind::kSession, "session"},
      {R"({"type":"strategy","fuel":1})", FeedKind::kStrategy, "strategy"},
      {R"({"type":"standings","cars":[{"carIdx":3}]})", FeedKind::kStandings, "standings"},
      {R"({"type":"relative","cars":[{"type":"data"}]})", FeedKind::kRelative, "relative"},
      {R"({"type":"lap","session":"81234567/2","lap":12})", FeedKind::kLap, "lap"},
      {R"({"type":"pit","session":"81234567/2","lap":13})", FeedKind::kPit, "pit"},
      {R"({"type":"log","laps":[{"type":"lap"}],"pits":[]})", FeedKind::kOther, ""},
      {R"({"type":"sessionText","update":4})", FeedKind::kOther, ""},
      {R"({"type":"datax"})", FeedKind::kOther, ""},
      // Not relay-web's layout: parsed.
      {R"( { "rpm":1, "type" : "data" })", FeedKind::kData, "data"},
      {R"({"cars":[{"type":"data"}],"type":"relative"})", FeedKind::kRelative, "relative"},
      {R"({"type":"d\u0061ta"})", FeedKind::kData, "data"},
      {R"({"type":"data")", FeedKind::kOther, ""},
      {"", FeedKind::kOther, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(mqtt_bridge::Classify(c.text), c.want) << c.text;
    EXPECT_EQ(mqtt_bridge::TopicName(c.want), c.topic) << c.text;
  }
}

TEST(MqttBridge, PacesRowsToTheRateAndForgivesALateRow) {
  // Rows offered every `every` for 10 s, every tenth of them `late`: how
  // many go out, the closest two, and the longest a row is held.
  struct Case {
    int rate;
    std::chrono::microseconds every, late;
    int wantSent;
    std::chrono::microseconds wantLongestHold;
  };
  const std::vector<Case> cases = {
      {10, 16667us, 0us, 100, 16667us},       // 60 rows/s paced to 10: each held less than a row
      {7, 16667us, 0us, 70, 16667us},         // a rate that is no divisor of 60
      {60, 16667us, 0us, 600, 0us},           // rows at the rate all go at once
      {10, 100000us, 40000us, 100, 27500us},  // a late row delays the next by 40 - 12.5 ms
      {10, 100000us, 120000us, 90, 20000us},  // later than the next: that one is replaced
      {10, 80000us, 0us, 101, 80000us},       // too fast: rows wait, some are replaced
      {10, 98000us, 0us, 102, 98000us},       // a little fast: the same, more slowly
  };
  for (const Case& c : cases) {
    mqtt_bridge::Pacer pacer(c.rate);
    const auto start = mqtt_bridge::Pacer::Clock::time_point() + 1h;
    int sent = 0;
    std::chrono::microseconds closest = 1h, longestHold = 0us, last = -1h;
    std::vector<std::chrono::microseconds> arrivals;
    // A stream keeps its order: rows behind a late one come with it.
    for (int i = 0; i * c.every < 10s; ++i) {
      arrivals.push_back(i * c.every + (i % 10 == 5 ? c.late : 0us));
      if (i > 0) arrivals.back() = std::max(arrivals.back(), arrivals[arrivals.size() - 2]);
    }
    for (std::size_t i = 0; i < arrivals.size(); ++i) {
      const std::chrono::microseconds next = i + 1 < arrivals.size() ? arrivals[i + 1] : 10s;
      std::chrono::microseconds at = arrivals[i];
      if (!pacer.Offer(start + at)) {
        // Held, unless the next row comes first.
        at = std::chrono::ceil<std::chrono::microseconds>(pacer.HeldUntil() - start);
        if (at >= next) continue;
        pacer.Sent(start + at);
      }
      longestHold = std::max(longestHold, at - arrivals[i]);
      closest = std::min(closest, at - last);
      last = at;
      ++sent;
    }
    const std::string name = std::to_string(c.rate) + " a second, a row every " +
                             std::to_string(c.every.count()) + " us";
    EXPECT_NEAR(sent, c.wantSent, 1) << name;
    EXPECT_LE(longestHold, c.wantLongestHold) << name;
    EXPECT_GE(closest, std::chrono::microseconds(1000000 / c.rate * 7 / 8)) << name;
  }
}

TEST(MqttBridge, AsksRelayWebForTheRateUnlessTheUrlDoes) {
  struct Case {
    std::string url;
    std::string host, port, target;
    bool vars;
  };
  const std::vector<Case> cases = {
      {"ws://127.0.0.1:8667/ws", "127.0.0.1", "8667", "/ws?hz=10", false},
      {"ws://rig/ws?vars=Speed,Yaw", "rig", "80", "/ws?vars=Speed,Yaw&hz=10", true},
      {"ws://rig:1/ws?hz=30&vars=", "rig", "1", "/ws?hz=30&vars=", false},
      {"ws://[::1]:8667?", "::1", "8667", "/?hz=10", false},
  };
  for (const Case& c : cases) {
    mqtt_bridge::FeedAddress address;
    std::string problem;
    ASSERT_TRUE(mqtt_bridge::ParseFeedUrl(c.url, 10, &address, &problem)) << c.url;
    EXPECT_EQ(address.host, c.host) << c.url;
    EXPECT_EQ(address.port, c.port) << c.url;
    EXPECT_EQ(address.target, c.target) << c.url;
    EXPECT_EQ(address.wantsVars, c.vars) << c.url;
  }
}

}  // namespace
