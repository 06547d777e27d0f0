// relay-mqtt's routing and pacing, in-process: the spellings and timings
// the process test cannot choose.
#include <gtest/gtest.h>

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
  };
  const std::vector<Case> cases = {
      {R"({"type":"data","rpm":1})", FeedKind::kData},
      {R"({"type":"vars","tick":3,"values":{}})", FeedKind::kVars},
      {R"({"type":"status","source":"simulator","simulator":"running"})", FeedKind::kStatus},
      {R"({"type":"session"})", FeedKind::kSession},
      {R"({"type":"strategy","fuel":1})", FeedKind::kStrategy},
      {R"({"type":"sessionText","update":4})", FeedKind::kOther},
      {R"({"type":"datax"})", FeedKind::kOther},
      // Not relay-web's layout: parsed.
      {R"( { "rpm":1, "type" : "data" })", FeedKind::kData},
      {R"({"type":"d\u0061ta"})", FeedKind::kData},
      {R"({"type":"data")", FeedKind::kOther},
      {R"({"type":5})", FeedKind::kOther},
      {R"(["type","data"])", FeedKind::kOther},
      {"", FeedKind::kOther},
  };
  for (const Case& c : cases) EXPECT_EQ(mqtt_bridge::Classify(c.text), c.want) << c.text;
}

TEST(MqttBridge, PacesRowsToTheRateWithAnEighthOfSlack) {
  // Rows offered at `every`, for 10 s: how many go out, and the closest two.
  struct Case {
    int rate;
    std::chrono::microseconds every;
    int wantSent;
  };
  const std::vector<Case> cases = {
      {10, 16667us, 100},  // 60 rows/s paced to 10
      {60, 16667us, 600},  // rows at the rate all go
      {10, 98000us, 102},  // a little early each time: the slack, then waits
      {10, 80000us, 100},  // too early: every row past the slack waits
      {7, 16667us, 70},
  };
  for (const Case& c : cases) {
    mqtt_bridge::Pacer pacer(c.rate);
    const auto start = mqtt_bridge::Pacer::Clock::time_point() + 1h;
    int sent = 0;
    std::chrono::microseconds closest = 1h;
    std::chrono::microseconds last = -1h;
    for (std::chrono::microseconds t = 0us; t < 10s; t += c.every) {
      // A held row goes at its slot, before the next arrives.
      auto now = start + t;
      if (!pacer.Take(now)) {
        if (pacer.NextSlot() >= start + t + c.every) continue;  // replaced by the next
        now = pacer.NextSlot();
        ASSERT_TRUE(pacer.Take(now));
      }
      const auto at = std::chrono::duration_cast<std::chrono::microseconds>(now - start);
      closest = std::min(closest, at - last);
      last = at;
      ++sent;
    }
    EXPECT_NEAR(sent, c.wantSent, 1) << c.rate << " per s, a row every " << c.every.count();
    EXPECT_GE(closest, std::chrono::microseconds(1000000 / c.rate * 7 / 8) - 1us) << c.rate;
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
