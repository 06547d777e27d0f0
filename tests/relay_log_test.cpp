// relay-log's work in-process: lap and pit messages through the keeper into
// a real SQLite file, and the log it publishes after each, read back as a
// viewer would; the messages it must skip; and the size of a 24-hour log.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "relay-log/keeper.h"
#include "relay-log/race_log.h"
#include "relay-log/store.h"

namespace {

using nlohmann::json;

// A lap message: `extra` goes in as it is (",\"pit\":true").
std::string LapText(int lap, const std::string& driver, double time, const std::string& extra = "",
                    const std::string& session = "81234567/2") {
  return R"({"type":"lap","session":")" + session + R"(","lap":)" + std::to_string(lap) +
         R"(,"driver":")" + driver + R"(","time":)" + json(time).dump() +
         R"(,"fuelUsed":3.25,"pit":false,"caution":false,"counted":true,"position":4,)"
         R"("classPosition":2,"incidents":0,"sessionTime":)" +
         json(1000.5 + lap * 120).dump() + extra + "}";
}

std::string PitText(int lap, const std::string& driver, const std::string& fuelAdded) {
  return R"({"type":"pit","session":"81234567/2","lap":)" + std::to_string(lap) + R"(,"driver":")" +
         driver + R"(","pitIn":)" + std::to_string(1000 + lap * 120) + R"(,"pitOut":)" +
         std::to_string(1040 + lap * 120) + R"(,"stationary":27.5,"fuelAdded":)" + fuelAdded + "}";
}

// A database file's name, with no file before or after.
struct TemporaryFile {
  TemporaryFile()
      : path((std::filesystem::path(testing::TempDir()) /
              ("relay-log-" + std::to_string(getpid()) + ".sqlite"))
                 .string()) {
    Remove();
  }
  ~TemporaryFile() { Remove(); }
  void Remove() {
    std::error_code ec;
    for (const char* end : {"", "-wal", "-shm"}) std::filesystem::remove(path + end, ec);
  }
  std::string path;
};

// A keeper on a fresh database file, keeping what it publishes and says.
struct Kept {
  Kept() {
    std::string error;
    EXPECT_TRUE(store.Open(file.path, true, &error)) << error;
  }
  race_log::Outcome Take(const std::string& topic, const std::string& payload) {
    std::string error;
    const race_log::Outcome outcome = keeper.Take(topic, payload, &error);
    EXPECT_NE(outcome, race_log::Outcome::kFailed) << error;
    return outcome;
  }

  TemporaryFile file;  // removed once the store has closed it
  race_log::Store store;
  std::vector<std::pair<std::string, std::string>> published;
  std::vector<std::string> said;
  race_log::Keeper keeper{store,
                          [this](const std::string& topic, const std::string& payload) {
                            published.emplace_back(topic, payload);
                            return true;
                          },
                          [this](const std::string& line) { said.push_back(line); }};
};

TEST(RelayLog, DerivesStintsAndPublishesTheWholeLogAfterEachMessage) {
  struct Stint {
    std::string driver;
    int firstLap, lastLap, laps;
  };
  struct Case {
    const char* name;
    std::vector<std::pair<const char*, std::string>> messages;  // (topic end, payload)
    std::vector<int> wantLaps;
    std::vector<Stint> wantStints;
  };
  const std::vector<Case> cases = {
      {"a driver swap between laps",
       {{"lap", LapText(1, "Sam", 118)},
        {"lap", LapText(2, "Sam", 118)},
        {"lap", LapText(3, "Alex", 118)},
        {"lap", LapText(4, "Alex", 118)}},
       {1, 2, 3, 4},
       {{"Sam", 1, 2, 2}, {"Alex", 3, 4, 2}}},
      {"a stop with fuel starts a stint, the driver the same",
       {{"lap", LapText(1, "Sam", 118)},
        {"lap", LapText(2, "Sam", 118)},
        {"pit", PitText(3, "Sam", "41.2")},
        {"lap", LapText(3, "Sam", 150)},
        {"lap", LapText(4, "Sam", 118)}},
       {1, 2, 3, 4},
       {{"Sam", 1, 3, 3}, {"Sam", 4, 4, 1}}},
      {"a stop without fuel, the driver the same, keeps the stint",
       {{"lap", LapText(1, "Sam", 118)},
        {"pit", PitText(1, "Sam", "null")},
        {"lap", LapText(2, "Sam", 118)},
        {"pit", PitText(2, "Sam", "0")},
        {"lap", LapText(3, "Sam", 118)}},
       {1, 2, 3},
       {{"Sam", 1, 3, 3}}},
      {"a stop reported by another driver starts a stint",
       {{"lap", LapText(1, "Sam", 118)},
        {"pit", PitText(1, "Alex", "0")},
        {"lap", LapText(2, "Sam", 118)}},
       {1, 2},
       {{"Sam", 1, 1, 1}, {"Sam", 2, 2, 1}}},
      {"a repeated lap replaces the stored one; arrivals out of order are sorted",
       {{"lap", LapText(2, "Sam", 118)},
        {"lap", LapText(1, "Sam", 118)},
        {"lap", LapText(2, "Sam", 117.5)},
        {"lap", LapText(2, "Sam", 117.5)}},
       {1, 2},
       {{"Sam", 1, 2, 2}}},
      {"a stop before the first lap and one after the last start nothing; a gap is no stint",
       {{"pit", PitText(0, "Sam", "60")},
        {"lap", LapText(1, "Sam", 118)},
        {"lap", LapText(4, "Sam", 118)},
        {"pit", PitText(4, "Sam", "60")}},
       {1, 4},
       {{"Sam", 1, 4, 2}}},
      {"the car's log follows its newest session",
       {{"lap", LapText(1, "Sam", 118, "", "81234567/1")},
        {"lap", LapText(7, "Sam", 118, "", "81234567/2")}},
       {7},
       {{"Sam", 7, 7, 1}}},
  };
  for (const Case& c : cases) {
    Kept kept;
    for (const auto& [end, payload] : c.messages) {
      EXPECT_EQ(kept.Take(std::string("team/car42/") + end, payload), race_log::Outcome::kStored)
          << c.name << ": " << payload;
    }
    ASSERT_EQ(kept.published.size(), c.messages.size()) << c.name;
    EXPECT_EQ(kept.published.back().first, "team/car42/log") << c.name;
    const json log = json::parse(kept.published.back().second);
    std::vector<int> laps;
    for (const json& lap : log["laps"]) laps.push_back(lap[0].get<int>());
    EXPECT_EQ(laps, c.wantLaps) << c.name;
    ASSERT_EQ(log["stints"].size(), c.wantStints.size()) << c.name << ": " << log["stints"];
    for (std::size_t i = 0; i < c.wantStints.size(); ++i) {
      const json& got = log["stints"][i];
      const Stint& want = c.wantStints[i];
      EXPECT_EQ(got["driver"], want.driver) << c.name << " stint " << i;
      EXPECT_EQ(got["firstLap"], want.firstLap) << c.name << " stint " << i;
      EXPECT_EQ(got["lastLap"], want.lastLap) << c.name << " stint " << i;
      EXPECT_EQ(got["laps"], want.laps) << c.name << " stint " << i;
    }
  }
}

TEST(RelayLog, WritesTheLogMessageCompactly) {
  // The whole text, once: the format viewers read. The means take counted
  // laps only (lap 3, the in-lap, is not), rounded to a thousandth.
  Kept kept;
  kept.Take("team/car42/lap", LapText(1, "Sam", 118.2));
  kept.Take("team/car42/lap", LapText(2, "Sam", 118.1, R"(,"fuelUsed":3.3,"position":null)"));
  kept.Take("team/car42/lap",
            LapText(3, "Sam", 150, R"(,"fuelUsed":null,"pit":true,"counted":false)"));
  kept.Take("team/car42/pit", PitText(3, "Sam", "41.2"));
  kept.Take("team/car42/lap", LapText(4, R"(Alex \"Ace\" Other)", 119));
  EXPECT_EQ(
      kept.published.back().second,
      R"({"type":"log","session":"81234567/2","drivers":["Sam","Alex \"Ace\" Other"],)"
      R"("lapFields":["lap","driver","time","fuelUsed","pit","caution","counted","position",)"
      R"("classPosition","incidents","sessionTime"],"laps":[)"
      R"([1,0,118.2,3.25,false,false,true,4,2,0,1120.5],)"
      R"([2,0,118.1,3.3,false,false,true,null,2,0,1240.5],)"
      R"([3,0,150.0,null,true,false,false,4,2,0,1360.5],)"
      R"([4,1,119.0,3.25,false,false,true,4,2,0,1480.5]],)"
      R"("pitFields":["lap","driver","pitIn","pitOut","stationary","fuelAdded"],)"
      R"("pits":[[3,0,1360.0,1400.0,27.5,41.2]],"stints":[)"
      R"({"driver":"Sam","firstLap":1,"lastLap":3,"laps":3,"avgLap":118.15,"fuelPerLap":3.275},)"
      R"({"driver":"Alex \"Ace\" Other","firstLap":4,"lastLap":4,"laps":1,"avgLap":119.0,)"
      R"("fuelPerLap":3.25}]})");
}

TEST(RelayLog, SkipsMalformedMessagesWithOneLineForEachKindOfFault) {
  struct Case {
    std::string topic;
    std::string payload;
    std::string fault;  // in the console line; empty: passed by without a word
  };
  const std::string lap = "team/car42/lap", pit = "team/car42/pit";
  const std::vector<Case> cases = {
      {lap, "nonsense", "not JSON"},
      {lap, R"({"type":"lap","lap":1e999})", "not JSON"},
      {lap, "[1,2]", "not a JSON object"},
      {lap, PitText(3, "Sam", "1"), R"("type" is not "lap")"},
      {lap, R"({"type":"lap","lap":3,"driver":"Sam"})", R"(no "session")"},
      {lap, R"({"type":"lap","session":"s","driver":"Sam"})", R"(no "lap")"},
      {lap, R"({"type":"lap","session":"s","lap":3})", R"(no "driver")"},
      {lap, LapText(-1, "Sam", 118), R"("lap" is not a whole number from 0 to 100000)"},
      {lap, R"({"type":"lap","session":"s","lap":12.5,"driver":"Sam"})", R"("lap" is not a whole)"},
      {lap, R"({"type":"lap","session":"s","lap":"12","driver":"Sam"})", R"("lap" is not a whole)"},
      {lap, LapText(3, "", 118), R"("driver" is not text of 1 to 200 bytes)"},
      {lap, LapText(3, "Sam\\nDriver", 118), R"("driver" is not text)"},
      {lap, LapText(3, "Sam", 118, R"(,"session":null)"), R"("session" is not text)"},
      {lap, LapText(3, "Sam", -2), R"("time" is not null or a number above 0 up to 86400)"},
      {lap, LapText(3, "Sam", 0), R"("time" is not null or a number above 0)"},
      {lap, LapText(3, "Sam", 118, R"(,"time":"fast")"), R"("time" is not null or a number)"},
      {lap, LapText(3, "Sam", 118, R"(,"fuelUsed":5000)"), R"("fuelUsed" is not null or)"},
      {lap, LapText(3, "Sam", 118, R"(,"pit":"no")"), R"("pit" is not true or false)"},
      {lap, LapText(3, "Sam", 118, R"(,"position":0)"), R"("position" is not null or a whole)"},
      {lap, LapText(3, "Sam", 118, R"(,"incidents":-1)"), R"("incidents" is not null or a)"},
      {lap, LapText(3, "Sam", 118, ",\"pad\":\"" + std::string(5000, 'x') + "\""),
       "longer than 4096 bytes"},
      {pit, R"({"type":"pit","session":"s","lap":3,"driver":"Sam"})", R"(no "pitIn")"},
      {pit, R"({"type":"pit","session":"s","lap":3,"driver":"Sam","pitIn":50,"pitOut":40})",
       R"("pitOut" is before "pitIn")"},
      {pit, LapText(3, "Sam", 118), R"("type" is not "pit")"},
      // Not lap or pit topics: relay-log's own logs, relay-mqtt's others.
      {"team/car42/log", LapText(3, "Sam", 118), ""},
      {"team/car42/data", "nonsense", ""},
      {"lap", LapText(3, "Sam", 118), ""},
  };
  Kept kept;
  for (int round = 0; round < 2; ++round) {
    for (const Case& c : cases) {
      const std::size_t lines = kept.said.size();
      const race_log::Outcome outcome = kept.Take(c.topic, c.payload);
      if (c.fault.empty()) {
        EXPECT_EQ(outcome, race_log::Outcome::kIgnored) << c.topic;
        EXPECT_EQ(kept.said.size(), lines) << c.topic;
        continue;
      }
      EXPECT_EQ(outcome, race_log::Outcome::kSkipped) << c.payload.substr(0, 100);
      // The first of its kind is shown, with the topic; never a second one.
      const bool shown = kept.said.size() > lines;
      if (shown) {
        EXPECT_NE(kept.said.back().find(c.topic + ": " + c.fault), std::string::npos)
            << kept.said.back() << "\nwanted: " << c.fault;
      }
      bool kindShownBefore = false;
      for (std::size_t i = 0; i < lines; ++i) {
        kindShownBefore = kindShownBefore || kept.said[i].find(c.fault) != std::string::npos;
      }
      EXPECT_NE(shown, kindShownBefore) << c.payload.substr(0, 100);
    }
  }
  long laps = 0, pits = 0, cars = 0;
  std::string error;
  ASSERT_TRUE(kept.store.Count(&laps, &pits, &cars, &error)) << error;
  EXPECT_EQ(laps + pits + cars, 0) << "nothing stored";
  EXPECT_TRUE(kept.published.empty());
}

TEST(RelayLog, KeepsA24HourRaceLogUnder256KiB) {
  // Some 700 laps of 2 minutes with every value given, 30 stops, six
  // drivers with long names.
  race_log::CarLog log;
  log.session = "812345678/2";
  const std::vector<std::string> drivers = {"Alexandra Konstantinopoulou-Villeneuve",
                                            "Maximilian Oberhauser-Schwarzenegger",
                                            "Jean-Christophe Delacroix-Beaumont",
                                            "Sebastián Fernández de la Cruz",
                                            "Oluwaseun Adebayo-Okonkwo",
                                            "Kristjan Sigurðsson Thorvaldsen"};
  for (int lap = 1; lap <= 720; ++lap) {
    race_log::Lap entry;
    entry.session = log.session;
    entry.lap = lap;
    entry.driver = drivers[static_cast<std::size_t>((lap - 1) / 120)];
    entry.time = 118.123 + (lap % 97) * 0.011;
    entry.fuelUsed = 3.3125 + (lap % 13) * 0.0137;
    entry.pit = lap % 24 == 0;
    entry.counted = lap % 24 != 0;
    entry.position = 12 + lap % 17;
    entry.classPosition = 3 + lap % 7;
    entry.incidents = lap % 5;
    entry.sessionTime = 120.456 + lap * 119.7731;
    log.laps.push_back(entry);
    if (lap % 24 == 0) {
      log.pits.push_back({log.session, lap, entry.driver, *entry.sessionTime - 50.123,
                          *entry.sessionTime - 8.456, 27.431, 41.237});
    }
  }
  const std::string text = race_log::LogMessage(log);
  std::printf("a 24-hour log of %zu laps and %zu stops: %zu bytes\n", log.laps.size(),
              log.pits.size(), text.size());
  EXPECT_LT(text.size(), 256u * 1024);
  const json parsed = json::parse(text);
  EXPECT_EQ(parsed["laps"].size(), 720u);
  EXPECT_EQ(parsed["pits"].size(), 30u);
  EXPECT_EQ(parsed["stints"].size(), 30u) << "a stint after each fuel stop; drivers change at them";
}

}  // namespace
