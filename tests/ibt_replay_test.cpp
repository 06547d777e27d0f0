// sim-publisher --ibt replays a telemetry recording written here byte by byte
// in the simulator's file layout, through the real relay on 127.0.0.1:6667
// and the simulator's fixed object names.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "simlink/region.h"
#include "support/process_fixture.h"
#include "support/recording_file.h"
#include "support/test_support.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

using testsupport::ReadFile;
using testsupport::WaitFor;

// ---- A recording in the simulator's file layout -----------------------------

using testsupport::kBool;
using testsupport::kDouble;
using testsupport::kFloat;
using testsupport::kInt;

// Row r's value of each variable: multiples of 0.25, so "%.2f" has no tie to
// round. The fifteen relayed variables among others, not in the relay's order,
// packed from a one-byte value on so that most sit at unaligned offsets.
const std::vector<testsupport::RecordedVariable> kColumns = {
    {"IsOnTrack", kBool, 1, "", "", [](int r, int) -> double { return r % 3 != 0; }},
    {"SessionTime", kDouble, 1, "", "", [](int r, int) -> double { return r; }},
    {"OilTemp", kFloat, 1, "", "", [](int r, int) { return 90 + r * 0.25; }},
    {"Gear", kInt, 1, "", "", [](int r, int) -> double { return r % 7 - 1; }},
    {"WaterTemp", kFloat, 1, "", "", [](int r, int) { return 80 + (r % 40) * 0.5; }},
    {"RPM", kFloat, 1, "", "", [](int r, int) { return 2000 + r * 10 + 0.75; }},
    {"FuelLevel", kFloat, 1, "", "", [](int r, int) { return 60 - r * 0.25; }},
    {"Speed", kFloat, 1, "", "", [](int r, int) { return r * 0.5; }},
    {"LapDistPct", kFloat, 1, "", "", [](int r, int) { return (r % 4) * 0.25; }},
    {"FuelLevelPct", kFloat, 1, "", "", [](int r, int) { return (r % 3) * 0.25; }},
    {"LapDist", kFloat, 1, "", "", [](int r, int) { return r * 12.5; }},
    {"Lap", kInt, 1, "", "", [](int r, int) -> double { return r / 60 + 1; }},
    {"RaceLaps", kInt, 1, "", "", [](int r, int) -> double { return r / 60; }},
    {"SessionLapsRemain", kInt, 1, "", "", [](int r, int) -> double { return 1000 - r; }},
    {"SessionTimeRemain", kDouble, 1, "", "", [](int r, int) { return 3600 - r * 0.5; }},
    {"OnPitRoad", kBool, 1, "", "", [](int r, int) -> double { return r % 50 < 5; }},
    {"Throttle", kFloat, 1, "", "", [](int r, int) { return (r % 5) * 0.25; }},
};
const std::string kSessionText =
    "---\n"
    "WeekendInfo:\n"
    " TrackName: spa\n"
    "DriverInfo:\n"
    " DriverCarIdx: 1\n"
    " DriverCarSLFirstRPM: 6100.000\n"
    " DriverCarSLShiftRPM: 7700.000\n"
    " DriverCarSLLastRPM: 7900.000\n"
    " DriverCarSLBlinkRPM: 8050.000\n"
    " Drivers:\n"
    " - CarIdx: 0\n"
    "   UserName: Pace Car\n"
    "   CarPath: safety pcporsche911cup\n"
    " - CarIdx: 1\n"
    "   UserName: Recorded Driver\n"
    "   CarPath: test car gt\n"
    "...\n";
const std::string kSessionInfo = "SESSION_INFO;6100;7900;7700;8050;test car gt";

// The DATA_PACKET the relay must send for row r, spelled out field by field.
std::string ExpectedPacket(int r) {
  char text[512];
  std::snprintf(text, sizeof text,
                "DATA_PACKET;%.2f;%.2f;%d;%.2f;%d;%.2f;%.2f;%.2f;%d;%d;%d;%.2f;%d;%.2f;%d;",
                90 + r * 0.25, 80 + (r % 40) * 0.5, r % 7 - 1, 60 - r * 0.25, 2000 + r * 10,
                (r % 4) * 0.25, (r % 3) * 0.25, r * 12.5, r / 60 + 1, r / 60, 1000 - r,
                3600 - r * 0.5, r % 50 < 5 ? 1 : 0, (r % 5) * 0.25, r % 3 != 0 ? 1 : 0);
  return text;
}

void Put32(Bytes& file, std::size_t at, std::int32_t value) {
  std::memcpy(file.data() + at, &value, sizeof value);
}

// `rows` whole rows of kColumns, the disk header counting `countedRows`, and
// `partial` bytes of one more row.
Bytes MakeRecording(int rows, int countedRows, std::size_t partial,
                    const std::string& sessionText = kSessionText, int tickRate = 60) {
  return testsupport::WriteRecording({kColumns, rows, tickRate, sessionText, countedRows, partial});
}

// Checks that `messages` are rows first, first + 1, ... (counted modulo
// `rows`), none skipped, with the SESSION_INFO in the place of the 32nd, as the
// relay sends it shortly after a client joins.
void ExpectConsecutiveRows(const std::vector<std::string>& messages, int rows, int lastRow) {
  ASSERT_GT(messages.size(), 40u);
  int first = -1;
  for (int r = 0; r < 60 && first < 0; ++r) {
    if (messages[0] == ExpectedPacket(r)) first = r;
  }
  ASSERT_GE(first, 0) << "the first message is none of the first second's rows: " << messages[0];
  for (std::size_t i = 0; i < messages.size(); ++i) {
    const int r = static_cast<int>((first + i) % rows);
    ASSERT_EQ(messages[i], i == 31 ? kSessionInfo : ExpectedPacket(r)) << "message " << i;
  }
  if (lastRow >= 0) {
    EXPECT_EQ((first + messages.size() - 1) % rows, std::size_t(lastRow))
        << "the last row is missing";
  }
}

class IbtReplay : public testsupport::ProcessFixture {
 protected:
  IbtReplay() : ProcessFixture("ibt-replay-") {}
  ~IbtReplay() override {
    for (const std::string& path : files_) std::remove(path.c_str());
  }

  std::string File(const std::string& name, const Bytes& bytes) {
    files_.push_back(testing::TempDir() + "ibt-replay-" + name + ".ibt");
    testsupport::WriteFile(files_.back(), bytes);
    return files_.back();
  }
  // Runs sim-publisher to its end; its exit status.
  int Publisher(const std::vector<std::string>& arguments) {
    Start("publisher", SIM_PUBLISHER_EXECUTABLE, arguments);
    return Finish("publisher");
  }
  // Starts the relay and connects a client to it.
  std::unique_ptr<testsupport::TestClient> RelayWithClient() {
    Start("relay", RELAY_EXECUTABLE, {});
    std::unique_ptr<testsupport::TestClient> client;
    WaitFor(
        [&] {
          client = std::make_unique<testsupport::TestClient>(6667);
          return client->connected();
        },
        10000);
    return client;
  }
  // Collects what the client receives until the publisher has ended.
  std::vector<std::string> ReceiveWhilePublishing(testsupport::TestClient& client) {
    int status = -1;
    while (Running("publisher") && (status = Finish("publisher", 0)) < 0) client.Drain(50);
    EXPECT_EQ(status, 0) << Output("publisher");
    client.Drain(500);
    return testsupport::SplitMessages(client.received());
  }

  std::vector<std::string> files_;
};

// A region's bytes, or empty when there is none. The mapping is closed again,
// so that on Windows it can vanish with its last handle elsewhere.
Bytes RegionBytes() {
  platform::Mapping* mapping = platform::OpenNamedMapping(simlink::kMappingName);
  if (mapping == nullptr) return {};
  platform::RegionView view;
  Bytes bytes;
  if (platform::MapWholeView(mapping, &view)) bytes.assign(view.base, view.base + view.size);
  platform::CloseNamedMapping(mapping, &view);
  return bytes;
}

TEST_F(IbtReplay, CutShortRecordingReplaysEveryWholeRowThroughTheRelay) {
  // 400 rows counted, 300 whole and part of one more in the file.
  const std::string file = File("cut", MakeRecording(300, 400, 11));
  auto client = RelayWithClient();
  ASSERT_TRUE(client->connected());
  Start("publisher", SIM_PUBLISHER_EXECUTABLE, {"--ibt", file});
  const std::vector<std::string> messages = ReceiveWhilePublishing(*client);
  ExpectConsecutiveRows(messages, 300, 299);
  const std::string said = Output("publisher");
  EXPECT_NE(said.find("cut short: 300 of 400 rows are whole; skipping the last 100"),
            std::string::npos)
      << said;
  EXPECT_NE(said.find("end of the recording after 300 rows; status bit cleared"), std::string::npos)
      << said;
  EXPECT_NE(Output("relay").find("Connected to sim...Recorded Driver\n"), std::string::npos)
      << Output("relay");
}

TEST_F(IbtReplay, LoopStartsOverWithRisingTickCounts) {
  const std::string file = File("loop", MakeRecording(45, 45, 0));
  auto client = RelayWithClient();
  ASSERT_TRUE(client->connected());
  Start("publisher", SIM_PUBLISHER_EXECUTABLE, {"--ibt", file, "--loop", "--duration", "3"});
  const std::vector<std::string> messages = ReceiveWhilePublishing(*client);
  // Through the first row again at least twice, none lost at the seams.
  ASSERT_GT(messages.size(), 135u);
  ExpectConsecutiveRows(messages, 45, -1);
  EXPECT_NE(Output("publisher").find("from the first row again after 45 rows"), std::string::npos);
}

// Rows come at the file's rate times --speed, so a replay takes rows / (rate
// x speed); --pause, --restart and --duration act at their times, even
// between the rows of a slow replay two seconds apart. (Acting at the next
// row instead would be a second or more late.)
TEST_F(IbtReplay, RowsAndActionsComeOnTime) {
  struct Case {
    int tickRate, rows;
    std::vector<std::string> arguments;
    // Lines of the publisher's, each with when it is due: seconds from its
    // "publishing" line.
    std::vector<std::pair<std::string, double>> lines;
  };
  const Case cases[] = {
      {25, 50, {}, {{"end of the recording after 50 rows", 2.0}}},
      {60, 150, {"--speed", "2.5"}, {{"end of the recording after 150 rows", 1.0}}},
      {25,
       300,
       {"--speed", "0.02", "--duration", "3", "--pause", "0.5,0.5", "--restart", "2.5"},
       {{"paused at 0.50 s after 1 rows", 0.5},
        {"resumed at 1.00 s", 1.0},
        {"restarted at 2.50 s", 2.5},
        {"stopped after", 3.0}}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> arguments = {
        "--ibt", File("timed", MakeRecording(c.rows, c.rows, 0, kSessionText, c.tickRate))};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    Start("publisher", SIM_PUBLISHER_EXECUTABLE, arguments);
    auto shown = [&](const std::string& line) {
      return Output("publisher").find(line) != std::string::npos;
    };
    ASSERT_TRUE(WaitFor([&] { return shown("publishing"); })) << Output("publisher");
    const std::int64_t start = platform::MonotonicNanoseconds();
    for (const auto& [line, due] : c.lines) {
      const std::string& wanted = line;  // clang 14 captures no structured binding
      ASSERT_TRUE(WaitFor([&] { return shown(wanted); })) << line << "\n" << Output("publisher");
      const double at = static_cast<double>(platform::MonotonicNanoseconds() - start) / 1e9;
      EXPECT_NEAR(at, due, 0.4) << line;
    }
    EXPECT_EQ(Finish("publisher"), 0) << Output("publisher");
  }
}

TEST_F(IbtReplay, InfoTellsWhatTheFileHolds) {
  const std::string file = File("info", MakeRecording(300, 400, 11));
  ASSERT_EQ(Publisher({"--ibt", file, "--info"}), 0);
  EXPECT_EQ(Output("publisher"),
            file +
                "\n"
                "  tick rate     60 rows/s\n"
                "  variables     17 (all 15 the relay sends)\n"
                "  row length    70 bytes\n"
                "  rows          400 counted, 300 whole in the file (cut short)\n"
                "  duration      5.00 s at 60 rows/s (session time 100.00 s to 105.00 s)\n"
                "  laps          4\n"
                "  start date    2024-05-01 12:51:30 UTC\n"
                "  user name     Recorded Driver\n"
                "  car path      test car gt\n"
                "  shift lights  first 6100, shift 7700, last 7900, blink 8050 RPM\n");
  // A whole file, whose user name is Latin-1, whose car path would set the
  // window title and whose blink RPM near 2^31 SESSION_INFO carries as
  // -2147483648: --info says what the relay will send, escaped.
  std::string odd = kSessionText;
  odd.replace(odd.find("Recorded Driver"), 15, "Ren\xe9 Driver");
  odd.replace(odd.find("test car gt"), 11,
              "test\x1b]0;title\x07"
              "car");
  odd.replace(odd.find("8050.000"), 8, "2147483600.000");
  ASSERT_EQ(Publisher({"--ibt", File("odd", MakeRecording(300, 300, 0, odd)), "--info"}), 0);
  for (const char* line :
       {"  rows          300, all whole\n", "  user name     Ren\\xe9 Driver\n",
        "  car path      test\\x1b]0;title\\x07car\n", "blink -2147483648 RPM\n"}) {
    EXPECT_NE(Output("publisher").find(line), std::string::npos) << line << Output("publisher");
  }
  EXPECT_TRUE(RegionBytes().empty());
}

TEST_F(IbtReplay, BadFilesAreRefusedAndNothingIsCreated) {
  const Bytes good = MakeRecording(20, 20, 0);
  const auto size = static_cast<std::int32_t>(good.size());
  struct Case {
    const char* name;
    std::function<void(Bytes&)> spoil;  // none: the path is no file at all
    const char* want;
  };
  const Case cases[] = {
      {"missing", nullptr, "no such file"},
      {"short", [](Bytes& b) { b.resize(143); }, "too short for a telemetry file's headers"},
      {"tick-rate", [](Bytes& b) { Put32(b, 8, 0); }, "tick rate of 0 rows per second"},
      {"row-length", [](Bytes& b) { Put32(b, 36, -8); }, "row length of -8 bytes"},
      {"records", [&](Bytes& b) { Put32(b, 28, size - 100); }, "the variable records"},
      {"text", [&](Bytes& b) { Put32(b, 16, size); }, "the session text"},
      // Offset and length each in range, their sum beyond 2^31.
      {"text-wraps",
       [](Bytes& b) {
         Put32(b, 16, 0x7FFFFFF0);
         Put32(b, 20, 0x7FFFFFF0);
       },
       "the session text"},
      {"rows", [&](Bytes& b) { Put32(b, 52, size + 1); }, "the rows begin at byte"},
      {"no-rows", [&](Bytes& b) { Put32(b, 52, size - 3); }, "no whole rows to replay"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = testing::TempDir() + "ibt-replay-missing.ibt";
    if (c.spoil) {
      Bytes bad = good;
      c.spoil(bad);
      path = File(c.name, bad);
    }
    EXPECT_EQ(Publisher({"--ibt", path}), 2);
    EXPECT_NE(Output("publisher").find("sim-publisher: " + path + ": " + c.want), std::string::npos)
        << Output("publisher");
    EXPECT_TRUE(RegionBytes().empty()) << "a region was created";
  }
  std::string directory = testing::TempDir();
  EXPECT_EQ(Publisher({"--ibt", directory}), 2);
  EXPECT_NE(Output("publisher").find("not a file"), std::string::npos) << Output("publisher");
}

TEST_F(IbtReplay, RegionIsMadeLargeEnoughAndATooSmallOneIsLeftAlone) {
  // A session text longer than the publisher's usual 1 MiB region.
  std::string text = kSessionText;
  for (int i = 0; text.size() < 1100000; ++i) {
    text += "Filler" + std::to_string(i) + ": some text the replay must carry\n";
  }
  const std::string file = File("large", MakeRecording(30, 30, 0, text));

  // A region of the usual size left by a publisher, held as a relay holds it
  // (on Windows it would vanish with its last handle).
  Start("publisher", SIM_PUBLISHER_EXECUTABLE, {"--duration", "1"});
  ASSERT_TRUE(
      WaitFor([&] { return Output("publisher").find("publishing") != std::string::npos; }, 10000));
  platform::Mapping* mapping = platform::OpenNamedMapping(simlink::kMappingName);
  ASSERT_NE(mapping, nullptr);
  platform::RegionView view;
  ASSERT_TRUE(platform::MapWholeView(mapping, &view));
  ASSERT_EQ(Finish("publisher"), 0);
  const Bytes before(view.base, view.base + view.size);
  EXPECT_EQ(Publisher({"--ibt", file}), 1);
  EXPECT_NE(Output("publisher")
                .find("the existing shared-memory region has " + std::to_string(before.size()) +
                      " bytes"),
            std::string::npos)
      << Output("publisher");
  EXPECT_TRUE(Bytes(view.base, view.base + view.size) == before) << "the region was written";
  platform::CloseNamedMapping(mapping, &view);
  platform::RemoveNamedMapping(simlink::kMappingName);

  // Created anew, it is large enough.
  auto client = RelayWithClient();
  ASSERT_TRUE(client->connected());
  Start("publisher", SIM_PUBLISHER_EXECUTABLE, {"--ibt", file});
  const std::vector<std::string> messages = ReceiveWhilePublishing(*client);
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.back(), ExpectedPacket(29));
  EXPECT_NE(Output("relay").find("Connected to sim...Recorded Driver\n"), std::string::npos);
}

}  // namespace
