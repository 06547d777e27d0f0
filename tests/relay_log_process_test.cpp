// relay-log as a real process beside a real Mosquitto that the test starts
// on a free loopback port, with a password file and the team's ACL from
// docs/. Two stand-in bridges publish two cars' laps and stops with QoS 1,
// as relay-mqtt does, while relay-log runs, while it is stopped, and after
// it was killed; a late viewer's retained logs and the CSV export must hold
// every lap exactly once.
#include <gtest/gtest.h>
#include <mosquitto.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <numeric>
#include <string>
#include <vector>

#include "support/mqtt_support.h"
#include "support/process_fixture.h"
#include "support/test_support.h"

namespace {

using nlohmann::json;
using testsupport::ReadFile;
using testsupport::Viewer;
using testsupport::WaitFor;

// One lap as the test publishes it, its numbers as text that JSON and CSV
// both write back unchanged.
struct LapRow {
  std::string car, driverJson, driverCsv, driver;
  int lap;
  std::string time, fuel, sessionTime;

  std::string Message(const std::string& lapTime) const {
    return R"({"type":"lap","session":"81234567/2","lap":)" + std::to_string(lap) +
           R"(,"driver":")" + driverJson + R"(","time":)" + lapTime + R"(,"fuelUsed":)" + fuel +
           R"(,"pit":false,"caution":false,"counted":true,"position":4,"classPosition":2,)"
           R"("incidents":0,"sessionTime":)" +
           sessionTime + "}";
  }
  std::string Csv() const {
    return car + ",81234567/2," + std::to_string(lap) + "," + driverCsv + "," + time + "," + fuel +
           ",false,false,true,4,2,0," + sessionTime + "\r\n";
  }
};

// car42: Sam to lap 8, a fuel stop and a driver swap, then Alex, whose name
// needs quoting in CSV. car7: one driver, a stop for tyres only.
std::vector<LapRow> Race() {
  std::vector<LapRow> laps;
  for (int lap = 1; lap <= 16; ++lap) {
    const std::string time = "118." + std::to_string(101 + lap * 2);
    const std::string fuel = "3.2" + std::to_string(lap % 9 + 1);
    const std::string at = std::to_string(1000 + lap * 118) + ".5";
    if (lap <= 8) {
      laps.push_back({"team/car42", "Sam Driver", "Sam Driver", "Sam Driver", lap, time, fuel, at});
    } else {
      laps.push_back({"team/car42", R"(Alex \"Ace\" Other, Jr.)", R"("Alex ""Ace"" Other, Jr.")",
                      R"(Alex "Ace" Other, Jr.)", lap, time, fuel, at});
    }
    laps.push_back({"team/car7", "Kim Solo", "Kim Solo", "Kim Solo", lap, time, fuel, at});
  }
  return laps;
}

std::string PitMessage(const std::string& driver, const char* fuelAdded) {
  return R"({"type":"pit","session":"81234567/2","lap":8,"driver":")" + driver +
         R"(","pitIn":1950.1,"pitOut":1992.7,"stationary":27.4,"fuelAdded":)" + fuelAdded + "}";
}

class RelayLogProcess : public testsupport::ProcessFixture {
 protected:
  // The simulator's objects are none of this test's business: it runs
  // beside the tests that use them.
  RelayLogProcess() : ProcessFixture("relay-log-process-", false) {}
  static void SetUpTestSuite() { mosquitto_lib_init(); }

  void SetUp() override {
    dir_ = std::filesystem::path(testing::TempDir()) /
           ("relay-log-process-" + std::to_string(getpid()));
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    const std::string d = dir_.string();
    ASSERT_EQ(std::system(("cd " + d +
                           " && mosquitto_passwd -c -b passwords car42 pit"
                           " && mosquitto_passwd -b passwords car7 pit7"
                           " && mosquitto_passwd -b passwords relay-log keep"
                           " && mosquitto_passwd -b passwords viewer look >/dev/null 2>&1")
                              .c_str()),
              0);
    std::ofstream(d + "/relay-log.pw") << "keep\n";
    port_ = testsupport::FreePort();
    std::ofstream(d + "/broker.conf")
        << (geteuid() == 0 ? "user root\n" : "") << "per_listener_settings false\n"
        << "allow_anonymous false\npassword_file " << d << "/passwords\n"
        << "acl_file " SOURCE_DIR "/docs/mosquitto/acl\npersistence false\n"
        << "listener " << port_ << " 127.0.0.1\n";
    Start("broker", "/usr/sbin/mosquitto", {"-c", d + "/broker.conf"});
    ASSERT_TRUE(WaitFor([&] { return Output("broker").find(" running") != std::string::npos; }))
        << Output("broker");
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  std::string Db() const { return (dir_ / "race.sqlite").string(); }
  void StartLog() {
    Start("log", RELAY_LOG_EXECUTABLE,
          {"--broker", "mqtt://127.0.0.1:" + std::to_string(port_), "--topic", "team/+/lap",
           "--topic", "team/+/pit", "--username", "relay-log", "--password-file",
           (dir_ / "relay-log.pw").string(), "--db", Db(), "--client-id", "relay-log-test"});
  }
  // relay-log connected `times` times in all its runs so far.
  bool Connected(int times) {
    return WaitFor([&] {
      const std::string output = Output("log");
      return testsupport::Occurrences(output, "connected to the broker at") >=
             static_cast<std::size_t>(times);
    });
  }

  std::filesystem::path dir_;
  unsigned short port_ = 0;
};

// The laps of a log message: lap number -> the lap's array.
std::map<int, json> LapsOf(const std::string& text) {
  std::map<int, json> laps;
  const json log = json::parse(text, nullptr, false);
  if (log.is_discarded()) return laps;
  for (const json& lap : log["laps"]) laps[lap[0].get<int>()] = lap;
  return laps;
}

TEST_F(RelayLogProcess, KeepsEveryLapOnceAcrossStopsAndCrashes) {
  const std::vector<LapRow> race = Race();
  Viewer car42(port_, "car42", "pit", "");
  Viewer car7(port_, "car7", "pit7", "");
  Viewer watcher(port_, "viewer", "look", "team/+/log");
  ASSERT_TRUE(WaitFor([&] { return car42.Connected() && car7.Connected(); }));
  int published = 0;
  const auto publish = [&](int from, int to) {
    for (const LapRow& row : race) {
      if (row.lap < from || row.lap > to) continue;
      (row.car == "team/car42" ? car42 : car7)
          .Publish(row.car + "/lap", row.Message(row.time), false);
      ++published;
      if (row.lap == 8 && row.car == "team/car42") {
        car42.Publish("team/car42/pit", PitMessage("Sam Driver", "41.2"), false);
        ++published;
      } else if (row.lap == 8) {
        car7.Publish("team/car7/pit", PitMessage("Kim Solo", "null"), false);
        ++published;
      }
    }
  };
  const auto acknowledged = [&] { return car42.Acknowledged() + car7.Acknowledged(); };
  // The newest log of both cars holds laps 1 to `last`.
  const auto logsReach = [&](int last) {
    return WaitFor([&] {
      return LapsOf(watcher.Last("team/car42/log")).size() == static_cast<std::size_t>(last) &&
             LapsOf(watcher.Last("team/car7/log")).size() == static_cast<std::size_t>(last);
    });
  };

  // Running: laps 1 to 5, lap 3 of car42 again with another time (it
  // replaces the first), and a message that is not a lap.
  StartLog();
  ASSERT_TRUE(Connected(1)) << Output("log");
  publish(1, 5);
  car42.Publish("team/car42/lap", race[4].Message("125.5"), false);  // car42's lap 3
  car42.Publish("team/car42/lap", R"({"type":"lap","lap":"twelve"})", false);
  ASSERT_TRUE(logsReach(5)) << Output("log");
  EXPECT_TRUE(WaitFor([&] { return LapsOf(watcher.Last("team/car42/log"))[3][2] == 125.5; }));
  car42.Publish("team/car42/lap", race[4].Message(race[4].time), false);  // and back

  // Stopped: laps 6 to 10 and the stops wait at the broker.
  ASSERT_TRUE(AskToStop("log"));
  ASSERT_EQ(Finish("log", 10000), 0) << Output("log");
  const std::string firstRun = Output("log");
  publish(6, 10);
  ASSERT_TRUE(WaitFor([&] { return acknowledged() == published + 3; }));
  StartLog();
  ASSERT_TRUE(Connected(1)) << Output("log");
  ASSERT_TRUE(logsReach(10)) << Output("log");

  // Running again: laps 11 to 13, and lap 12 twice (a bridge that
  // reconnected); then killed, and laps 14 to 16 wait for the next run.
  publish(11, 13);
  car7.Publish("team/car7/lap", race[23].Message(race[23].time), false);  // car7's lap 12
  ASSERT_TRUE(logsReach(13)) << Output("log");
  Kill("log");
  publish(14, 16);
  StartLog();
  ASSERT_TRUE(logsReach(16)) << Output("log");

  // A viewer who comes now gets both cars' whole logs, retained: every lap
  // once, as published (lap 3 as it was last sent), and the stints.
  Viewer late(port_, "viewer", "look", "team/+/log");
  for (const char* car : {"team/car42", "team/car7"}) {
    ASSERT_TRUE(WaitFor([&] { return !late.On(std::string(car) + "/log").empty(); })) << car;
    const std::vector<testsupport::Received> got = late.On(std::string(car) + "/log");
    EXPECT_TRUE(got.front().retained) << car;
    const json log = json::parse(got.back().payload);
    EXPECT_EQ(log["type"], "log");
    EXPECT_EQ(log["session"], "81234567/2");
    std::vector<int> numbers;
    for (const json& lap : log["laps"]) {
      numbers.push_back(lap[0].get<int>());
      const LapRow& row = *std::find_if(race.begin(), race.end(), [&](const LapRow& r) {
        return r.car == car && r.lap == lap[0].get<int>();
      });
      EXPECT_EQ(log["drivers"][lap[1].get<int>()], row.driver) << car << " lap " << row.lap;
      EXPECT_EQ(lap[2].dump(), row.time) << car << " lap " << row.lap;
      EXPECT_EQ(lap[3].dump(), row.fuel) << car << " lap " << row.lap;
      EXPECT_EQ(lap[10].dump(), row.sessionTime) << car << " lap " << row.lap;
    }
    std::vector<int> want(16);
    std::iota(want.begin(), want.end(), 1);
    EXPECT_EQ(numbers, want) << car;
    EXPECT_EQ(log["pits"].size(), 1u) << car;
  }
  const json car42Stints = json::parse(late.Last("team/car42/log"))["stints"];
  ASSERT_EQ(car42Stints.size(), 2u) << car42Stints;
  EXPECT_EQ(car42Stints[0]["driver"], "Sam Driver");
  EXPECT_EQ(car42Stints[0]["lastLap"], 8);
  EXPECT_EQ(car42Stints[1]["driver"], R"(Alex "Ace" Other, Jr.)");
  EXPECT_EQ(car42Stints[1]["firstLap"], 9);
  EXPECT_EQ(car42Stints[1]["laps"], 8);
  const json car7Stints = json::parse(late.Last("team/car7/log"))["stints"];
  ASSERT_EQ(car7Stints.size(), 1u) << car7Stints;
  EXPECT_EQ(car7Stints[0]["laps"], 16);

  // The console said what was skipped, once.
  EXPECT_EQ(testsupport::Occurrences(firstRun, "skipped a message on team/car42/lap: "), 1u)
      << firstRun;

  // The export, while relay-log runs: every lap once, by car and lap.
  Start("export", RELAY_LOG_EXECUTABLE, {"--db", Db(), "--export", (dir_ / "laps.csv").string()});
  ASSERT_EQ(Finish("export"), 0) << Output("export");
  std::string want =
      "car,session,lap,driver,time,fuelUsed,pit,caution,counted,position,classPosition,"
      "incidents,sessionTime\r\n";
  for (const char* car : {"team/car42", "team/car7"}) {
    for (const LapRow& row : race) want += row.car == car ? row.Csv() : "";
  }
  EXPECT_EQ(ReadFile((dir_ / "laps.csv").string()), want);
  Start("one", RELAY_LOG_EXECUTABLE,
        {"--db", Db(), "--export", "-", "--car", "team/car7", "--session", "81234567/2"});
  ASSERT_EQ(Finish("one"), 0) << Output("one");
  EXPECT_EQ(testsupport::Occurrences(Output("one"), "team/car7,"), 16u) << Output("one");
  EXPECT_EQ(testsupport::Occurrences(Output("one"), "team/car42,"), 0u) << Output("one");
}

TEST_F(RelayLogProcess, RefusesADatabaseItCannotUseWithOneLine) {
  const std::string d = dir_.string();
  std::ofstream(d + "/text.sqlite") << "not a database, but long enough to look like a file\n";
  sqlite3* newer = nullptr;
  ASSERT_EQ(sqlite3_open((d + "/newer.sqlite").c_str(), &newer), SQLITE_OK);
  ASSERT_EQ(
      sqlite3_exec(newer, "CREATE TABLE t (x); PRAGMA user_version = 2", nullptr, nullptr, nullptr),
      SQLITE_OK);
  sqlite3_close(newer);
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open((d + "/other.sqlite").c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "CREATE TABLE laps (x)", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(other);

  const std::vector<std::string> keep = {"--broker", "mqtt://127.0.0.1:" + std::to_string(port_),
                                         "--topic", "team/#", "--db"};
  struct Case {
    std::vector<std::string> arguments;
    int status;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{d + "/missing/race.sqlite"},
       1,
       "relay-log: cannot open the database " + d + "/missing/race.sqlite: unable to open"},
      {{d + "/text.sqlite"},
       1,
       "relay-log: cannot open the database " + d + "/text.sqlite: file is not a database"},
      {{d + "/newer.sqlite"},
       1,
       "relay-log: " + d +
           "/newer.sqlite is the database of a newer relay-log (schema version 2; this one "
           "knows 1)"},
      {{d + "/other.sqlite"},
       1,
       "relay-log: " + d + "/other.sqlite is not relay-log's database (it holds other tables)"},
      {{d + "/newer.sqlite", "--export", "-"}, 1, "relay-log: " + d + "/newer.sqlite is the"},
      {{d + "/none.sqlite", "--export", "-"}, 1, "relay-log: cannot open the database"},
      {{d + "/race.sqlite", "--car", "team/car42"},
       2,
       "relay-log: --car and --session are for --export"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> arguments = keep;
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    Start("bad", RELAY_LOG_EXECUTABLE, arguments);
    EXPECT_EQ(Finish("bad", 10000), c.status) << c.arguments[0];
    const std::string output = Output("bad");
    EXPECT_TRUE(output.starts_with(c.message)) << output;
    EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << output;
  }
  // Refused, and not altered.
  sqlite3* check = nullptr;
  ASSERT_EQ(sqlite3_open((d + "/newer.sqlite").c_str(), &check), SQLITE_OK);
  sqlite3_stmt* version = nullptr;
  sqlite3_prepare_v2(check, "PRAGMA user_version", -1, &version, nullptr);
  ASSERT_EQ(sqlite3_step(version), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int(version, 0), 2);
  sqlite3_finalize(version);
  sqlite3_close(check);
}

}  // namespace
