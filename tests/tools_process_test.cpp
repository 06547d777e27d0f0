// sim-publisher, telemetry-relay, relay-watch and relay-web run together as real
// processes on 127.0.0.1:6667 and the simulator's fixed object names.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "relay-stream/message_parser.h"
#include "sim-publisher/publisher.h"
#include "sim-publisher/sim_model.h"
#include "simlink/region.h"
#include "support/process_fixture.h"
#include "support/test_support.h"
#include "support/vanishing_relay.h"

namespace {

constexpr int kRate = 60;

using testsupport::Occurrences;
using testsupport::ReadFile;
using testsupport::WaitFor;

// The status word of the named region, or -1 when there is no region. The
// region is closed again, so that on Windows it can vanish with its last
// handle elsewhere.
std::int32_t RegionStatus() {
  platform::Mapping* mapping = platform::OpenNamedMapping(simlink::kMappingName);
  if (mapping == nullptr) return -1;
  platform::RegionView view;
  std::int32_t status = -1;
  if (platform::MapWholeView(mapping, &view)) {
    simlink::ReadInt32(view, simlink::layout::kStatus, &status);
  }
  platform::CloseNamedMapping(mapping, &view);
  return status;
}

// The DATA_PACKET of a row of `layout`, written out by the test itself.
std::string ExpectedPacket(const publisher::Layout& layout, const std::vector<std::uint8_t>& row) {
  auto at = [&](const char* name, auto value) {
    std::memcpy(&value, row.data() + publisher::OffsetOf(layout, name), sizeof value);
    return value;
  };
  // Floats are widened to double as variadic arguments; flags print as numbers.
  const auto flag = std::uint8_t{0};
  char text[1024];
  std::snprintf(text, sizeof text,
                "DATA_PACKET;%.2f;%.2f;%d;%.2f;%d;%.2f;%.2f;%.2f;%d;%d;%d;%.2f;%d;%.2f;%d;",
                at("OilTemp", 0.0f), at("WaterTemp", 0.0f), at("Gear", 0), at("FuelLevel", 0.0f),
                static_cast<int>(at("RPM", 0.0f)), at("LapDistPct", 0.0f), at("FuelLevelPct", 0.0f),
                at("LapDist", 0.0f), at("Lap", 0), at("RaceLaps", 0), at("SessionLapsRemain", 0),
                at("SessionTimeRemain", 0.0), +at("OnPitRoad", flag), at("Throttle", 0.0f),
                +at("IsOnTrack", flag));
  return text;
}

// Replays the publisher's model row by row, so a test can tell that what
// arrived is what the model published, and which row it was.
class ModelReplay {
 public:
  ModelReplay(const std::string& sessionText, std::uint64_t seed)
      : layout_(simulated::SessionLayout()), row_(static_cast<std::size_t>(layout_.rowLength)) {
    simulated::StartSession(model_, simulated::CarFromSessionText(sessionText.c_str()), seed,
                            kRate);
  }
  // Moves past the next row (within `limit` rows) whose DATA_PACKET is
  // `message` and returns its number (0 for the first row published); -1
  // when there is none. The relay takes the newest row on each turn, so it
  // may skip rows but never repeats or reorders them.
  int AdvanceTo(const std::string& message, int limit) {
    for (int i = 0; i < limit; ++i, ++rows_) {
      simulated::WriteRow(model_, layout_, row_);
      simulated::Step(model_);
      if (ExpectedPacket(layout_, row_) == message) return rows_++;
    }
    return -1;
  }

 private:
  publisher::Layout layout_;
  std::vector<std::uint8_t> row_;
  simulated::Model model_;
  int rows_ = 0;
};

// Checks that every DATA_PACKET in `messages` from `begin` to `end` is a row
// of `replay`, in order, and returns the rows' numbers.
std::vector<int> ExpectFollowsModel(const std::vector<std::string>& messages, std::size_t begin,
                                    std::size_t end, ModelReplay& replay) {
  std::vector<int> rows;
  for (std::size_t i = begin; i < end; ++i) {
    if (!messages[i].starts_with("DATA_PACKET")) continue;
    // The first message may come from any row of the first 20 seconds; after
    // it, a skip of more than a few rows would mean a lost stretch of rows.
    rows.push_back(replay.AdvanceTo(messages[i], rows.empty() ? 20 * kRate : 30));
    if (rows.back() < 0) {
      ADD_FAILURE() << "message " << i << " is no later row of the model: " << messages[i];
      break;
    }
  }
  return rows;
}

class ToolsProcess : public testsupport::ProcessFixture {
 protected:
  ToolsProcess() : ProcessFixture("tools-process-") {}

  void StartPublisher(std::vector<std::string> arguments) {
    arguments.push_back("--seed");
    arguments.push_back(std::to_string(seed_));
    ASSERT_NE(Start("publisher", SIM_PUBLISHER_EXECUTABLE, arguments), nullptr);
    ASSERT_TRUE(
        WaitFor([&] { return Output("publisher").find("publishing") != std::string::npos; }, 10000))
        << Output("publisher");
  }
  void StartRelay() { ASSERT_NE(Start("relay", RELAY_EXECUTABLE, {}), nullptr); }
  void StartWatch(int count) {
    ASSERT_NE(Start("watch", RELAY_WATCH_EXECUTABLE, {"--raw", "--count", std::to_string(count)}),
              nullptr);
  }
  // The messages relay-watch printed, without its own status lines.
  std::vector<std::string> WatchedMessages() {
    std::vector<std::string> messages;
    std::istringstream lines(Output("watch"));
    for (std::string line; std::getline(lines, line);) {
      if (!line.starts_with("relay-watch:")) messages.push_back(line);
    }
    return messages;
  }
  // Runs relay-watch for `count` messages and returns them, each checked.
  std::vector<std::string> Watch(int count) {
    StartWatch(count);
    EXPECT_EQ(Finish("watch"), 0) << Output("watch");
    const std::vector<std::string> messages = WatchedMessages();
    EXPECT_EQ(messages.size(), static_cast<std::size_t>(count));
    for (const std::string& message : messages) {
      EXPECT_NE(stream::ParseMessage(message).kind, stream::MessageKind::kMalformed) << message;
    }
    EXPECT_EQ(Output("watch").find("malformed"), std::string::npos) << Output("watch");
    return messages;
  }

  std::uint64_t seed_ = 11;
};

TEST_F(ToolsProcess, StreamFollowsThePublishersModelAndSessionText) {
  StartPublisher({});
  StartRelay();
  const std::vector<std::string> messages = Watch(150);
  ASSERT_EQ(messages.size(), 150u);
  // The 32nd message from joining is the SESSION_INFO, read from the
  // publisher's session text; all others are rows of its model.
  EXPECT_EQ(messages[31], "SESSION_INFO;5500;7100;6900;7250;bmwm4gt3");
  ModelReplay replay(simulated::SessionText(), seed_);
  ExpectFollowsModel(messages, 0, messages.size(), replay);
  EXPECT_EQ(Occurrences(Output("relay"), "Connected to sim...Alex Morgan\n"), 1u);
}

// The pause lies inside the watched stretch: relay-watch gets rows from before
// and after it, in order and none twice, on one connection.
TEST_F(ToolsProcess, PauseStopsAndResumesTheStreamWithoutReconnecting) {
  StartPublisher({"--pause", "1.5,1.5"});
  StartRelay();
  const std::vector<std::string> messages = Watch(200);
  ASSERT_EQ(messages.size(), 200u);
  const std::string output = Output("publisher");
  const std::size_t paused = output.find("paused at 1.50 s after ");
  ASSERT_NE(paused, std::string::npos) << output;
  const int rowsBefore = std::atoi(output.c_str() + paused + 23);
  EXPECT_NE(output.find("resumed at 3.00 s"), std::string::npos);
  ModelReplay replay(simulated::SessionText(), seed_);
  const std::vector<int> rows = ExpectFollowsModel(messages, 0, messages.size(), replay);
  const auto after =
      std::count_if(rows.begin(), rows.end(), [&](int r) { return r >= rowsBefore; });
  EXPECT_GT(static_cast<std::ptrdiff_t>(rows.size()) - after, 0) << "nothing before the pause";
  EXPECT_GE(after, 30) << "the stream did not resume";
  EXPECT_EQ(Output("watch").find("reconnected"), std::string::npos) << Output("watch");
  EXPECT_EQ(Occurrences(Output("relay"), "Connected to sim..."), 1u) << Output("relay");
}

TEST_F(ToolsProcess, RestartedPublisherCountingAnewResumesTheStream) {
  StartPublisher({"--restart", "1.5"});
  StartRelay();
  const std::vector<std::string> messages = Watch(200);
  ASSERT_EQ(messages.size(), 200u);
  // The session time remaining counts down, jumps back up once at the
  // restart, then counts down again.
  std::vector<std::size_t> jumps;
  double previous = 1e9;
  for (std::size_t i = 0; i < messages.size(); ++i) {
    if (!messages[i].starts_with("DATA_PACKET")) continue;
    const double remain = stream::ParseMessage(messages[i]).data.sessionTimeRemain;
    if (remain > previous) jumps.push_back(i);
    previous = remain;
  }
  ASSERT_EQ(jumps.size(), 1u);
  EXPECT_GE(messages.size() - jumps[0], 60u) << "too few messages after the restart";
  ModelReplay before(simulated::SessionText(), seed_);
  ExpectFollowsModel(messages, 0, jumps[0], before);
  ModelReplay after(simulated::SessionText(), seed_);
  ExpectFollowsModel(messages, jumps[0], messages.size(), after);
  EXPECT_NE(Output("publisher").find("restarted at 1.50 s"), std::string::npos);
  EXPECT_EQ(Occurrences(Output("relay"), "Connected to sim..."), 1u) << Output("relay");
}

TEST_F(ToolsProcess, RowLengthChangeMakesTheRelayReadTheSessionAgain) {
  const std::string sessionText =
      "DriverInfo:\n"
      " DriverCarIdx: 1\n"
      " DriverCarIdleRPM: 1100.000\n"
      " DriverCarRedLine: 8200.000\n"
      " DriverCarSLFirstRPM: 6100.000\n"
      " DriverCarSLShiftRPM: 7700.000\n"
      " DriverCarSLLastRPM: 7900.000\n"
      " DriverCarSLBlinkRPM: 8050.000\n"
      " Drivers:\n"
      " - CarIdx: 0\n"
      "   UserName: Someone Else\n"
      "   CarPath: othercar\n"
      " - CarIdx: 1\n"
      "   UserName: Row Length Tester\n"
      "   CarPath: test car gt\n";
  const std::string file = testing::TempDir() + "tools-process-session.txt";
  std::ofstream(file, std::ios::binary) << sessionText;
  StartPublisher({"--session-file", file, "--row-length", "1.5,4096"});
  StartRelay();
  const std::vector<std::string> messages = Watch(150);
  std::remove(file.c_str());
  ASSERT_EQ(messages.size(), 150u);
  EXPECT_EQ(messages[31], "SESSION_INFO;6100;7900;7700;8050;test car gt");
  ModelReplay replay(sessionText, seed_);
  ExpectFollowsModel(messages, 0, messages.size(), replay);
  EXPECT_NE(Output("publisher").find("row length changed at 1.50 s to 4096 bytes"),
            std::string::npos);
  EXPECT_EQ(Occurrences(Output("relay"), "Connected to sim...Row Length Tester\n"), 2u)
      << Output("relay");
}

TEST_F(ToolsProcess, OnePublisherAtATimeAndExitClearsTheStatusBit) {
  StartPublisher({"--duration", "2"});
  ASSERT_NE(Start("second", SIM_PUBLISHER_EXECUTABLE, {"--duration", "1"}), nullptr);
  EXPECT_EQ(Finish("second"), 1);
  EXPECT_NE(Output("second").find("another publisher is already running"), std::string::npos)
      << Output("second");
  // Hold the region as an attached relay does: on Windows it lasts only as
  // long as someone holds it.
  platform::Mapping* mapping = platform::OpenNamedMapping(simlink::kMappingName);
  ASSERT_NE(mapping, nullptr);
  platform::RegionView view;
  ASSERT_TRUE(platform::MapWholeView(mapping, &view));
  std::int32_t status = -1;
  simlink::ReadInt32(view, simlink::layout::kStatus, &status);
  EXPECT_EQ(status & 1, 1);
  EXPECT_EQ(Finish("publisher"), 0);
  EXPECT_NE(Output("publisher").find("status bit cleared"), std::string::npos);
  // The objects stay, with the status bit clear, until --remove.
  EXPECT_EQ(RegionStatus(), 0);
  simlink::ReadInt32(view, simlink::layout::kStatus, &status);
  EXPECT_EQ(status, 0);
  platform::CloseNamedMapping(mapping, &view);
  ASSERT_NE(Start("remover", SIM_PUBLISHER_EXECUTABLE, {"--duration", "0.2", "--remove"}), nullptr);
  EXPECT_EQ(Finish("remover"), 0) << Output("remover");
  EXPECT_EQ(RegionStatus(), -1);
}

// A /dev/shm too small for the region, as in a container: the publisher
// says so in one line, exits with status 1 and leaves no region behind.
TEST_F(ToolsProcess, PublisherRefusesARegionSharedMemoryHasNoRoomFor) {
  if (std::system("unshare -m true >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "needs Linux, root and unshare for a private, small /dev/shm";
  }
  ASSERT_NE(Start("publisher", "/bin/sh",
                  {"-c",
                   "unshare -m sh -c 'mount -t tmpfs -o size=256k tmpfs /dev/shm && \"$0\" "
                   "--duration 1; status=$?; ls -A /dev/shm; exit $status' \"$0\"",
                   SIM_PUBLISHER_EXECUTABLE}),
            nullptr);
  EXPECT_EQ(Finish("publisher"), 1);
  const std::string output = Output("publisher");
  EXPECT_EQ(Occurrences(output, "sim-publisher: "), 1u) << output;
  EXPECT_NE(output.find("sim-publisher: cannot create the shared-memory region: no room for its "
                        "1048576 bytes"),
            std::string::npos)
      << output;
  // The publisher's lock stays, as ever; the region and the event do not.
  EXPECT_EQ(output.find("IRSDK"), std::string::npos) << output;
}

#ifndef _WIN32
// Lays `name` (a shared-memory object name with its "/") out as `bytes`
// bytes with `mode`, owned by `owner`; false when that cannot be done.
bool MakeObject(const std::string& name, off_t bytes, mode_t mode, uid_t owner) {
  shm_unlink(name.c_str());
  const int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, mode);
  if (fd < 0) return false;
  const bool made = ftruncate(fd, bytes) == 0 && fchmod(fd, mode) == 0 && fchown(fd, owner, 0) == 0;
  close(fd);
  return made;
}

// Another user's object under one of the publisher's names (made before the
// publisher starts, as any local user can) is refused in one line naming it,
// with exit status 1, and left as it was; an object of the publisher's own
// user that is merely malformed is put right and used.
TEST_F(ToolsProcess, ThePublisherRefusesObjectsOfAnotherUserAndMendsItsOwn) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to make objects of another user";
  constexpr uid_t kOther = 65534;
  const struct {
    const char* name;
    off_t bytes;
    mode_t mode;
    uid_t owner;
    const char* refused;  // "cannot ..." for another user's; nullptr: the publisher runs
    off_t bytesAfter;
    mode_t modeAfter;
  } cases[] = {
      {"/IRSDKDataValidEvent", 4, 0666, kOther, "create the data-valid event", 4, 0666},
      {"/IRSDKDataValidEvent", 2, 0644, kOther, "create the data-valid event", 2, 0644},
      {"/IRSDKMemMapFileName", 1 << 20, 0666, kOther, "create the shared-memory region", 1 << 20,
       0666},
      {"/TelemetryRelayPublisher", 0, 0600, kOther, "take the publisher lock", 0, 0600},
      // The publisher's own user's: a 2-byte event gets its 4 bytes, and an
      // event or lock others could write or open is made anew, mode 0600.
      {"/IRSDKDataValidEvent", 2, 0644, 0, nullptr, 4, 0644},
      {"/IRSDKDataValidEvent", 4, 0666, 0, nullptr, 4, 0600},
      {"/TelemetryRelayPublisher", 0, 0644, 0, nullptr, 0, 0600},
      {"/IRSDKMemMapFileName", 0, 0600, 0, nullptr, 1 << 20, 0600},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.name << ", " << c.bytes << " bytes, mode " << std::oct
                                    << c.mode << std::dec << ", uid " << c.owner);
    platform::RemoveNamedMapping(simlink::kMappingName);
    platform::RemoveNamedEvent(simlink::kDataValidEventName);
    ASSERT_TRUE(MakeObject(c.name, c.bytes, c.mode, c.owner));
    ASSERT_NE(Start("publisher", SIM_PUBLISHER_EXECUTABLE, {"--duration", "0.3"}), nullptr);
    const int status = Finish("publisher");
    const std::string output = Output("publisher");
    EXPECT_EQ(status, c.refused != nullptr ? 1 : 0) << output;
    if (c.refused != nullptr) {
      EXPECT_EQ(output,
                std::string("sim-publisher: cannot ") + c.refused + ": /dev/shm" + c.name +
                    " belongs to another user (uid 65534); remove it or run as that user\n");
    }
    struct stat after;
    ASSERT_EQ(stat((std::string("/dev/shm") + c.name).c_str(), &after), 0);
    EXPECT_EQ(after.st_size, c.bytesAfter);
    EXPECT_EQ(after.st_mode & 0777, c.modeAfter);
    EXPECT_EQ(after.st_uid, c.owner);
    shm_unlink(c.name);
  }
}

// A region truncated to nothing while sim-publisher, the relay and relay-web
// (reading the simulator itself) have it mapped kills none of the readers:
// they read it as a simulator that stopped. The publisher stops with a
// message, and when a new one lays the region out again the relay's client,
// still connected, gets rows again and relay-web sees the simulator running.
TEST_F(ToolsProcess, ARegionTruncatedUnderItsReadersKillsNoneAndIsFollowedOnceLaidOutAgain) {
  StartPublisher({});
  testsupport::ChildProcess* relay = Start("relay", RELAY_EXECUTABLE, {});
  testsupport::ChildProcess* web =
      Start("web", RELAY_WEB_EXECUTABLE, {"--listen", "127.0.0.1:8667"});
  const auto webSaid = [&](const char* line, std::size_t times) {
    return WaitFor([&] { return Occurrences(Output("web"), line) == times; }, 10000);
  };
  ASSERT_TRUE(webSaid("the simulator is running", 1)) << Output("web");
  auto client = testsupport::ConnectWhenListening(6667);
  ASSERT_NE(client, nullptr);
  ASSERT_TRUE(client->ReceiveAtLeast(2000)) << "no rows before the truncation";

  for (const char* name : {"/IRSDKMemMapFileName", "/IRSDKDataValidEvent"}) {
    const int fd = shm_open(name, O_RDWR, 0);
    ASSERT_GE(fd, 0) << name;
    EXPECT_EQ(ftruncate(fd, 0), 0) << name;
    close(fd);
  }
  EXPECT_EQ(Finish("publisher", 10000), 1) << Output("publisher");
  EXPECT_NE(Output("publisher").find("was shrunk under the publisher"), std::string::npos)
      << Output("publisher");
  ASSERT_TRUE(webSaid("the simulator stopped", 1)) << Output("web");
  client->Drain(300);
  const std::size_t before = client->received().size();
  platform::SleepMilliseconds(300);
  client->Drain(0);
  EXPECT_EQ(client->received().size(), before) << "rows from a region of nothing";

  StartPublisher({});
  EXPECT_TRUE(client->ReceiveAtLeast(before + 2000, 10000)) << "the relay did not resume";
  const std::vector<std::string> after =
      testsupport::SplitMessages(client->received().substr(before));
  ASSERT_GT(after.size(), 2u);
  EXPECT_EQ(stream::ParseMessage(after[1]).kind, stream::MessageKind::kDataPacket) << after[1];
  EXPECT_TRUE(webSaid("the simulator is running", 2)) << Output("web");
  int status = 0;
  EXPECT_FALSE(testsupport::WaitForExit(relay, 0, &status)) << "the relay ended: " << status;
  EXPECT_FALSE(testsupport::WaitForExit(web, 0, &status)) << "relay-web ended: " << status;
  EXPECT_EQ(Occurrences(Output("relay"), "Connected to sim...Alex Morgan\n"), 1u)
      << "the same layout again needs no new buffer: " << Output("relay");
}
#endif

TEST_F(ToolsProcess, WatchWaitsForTheRelayAndReconnectsWhenItComesBack) {
  StartPublisher({});
  StartWatch(120);
  ASSERT_TRUE(
      WaitFor([&] { return Output("watch").find("cannot connect") != std::string::npos; }, 10000));
  StartRelay();
  ASSERT_TRUE(WaitFor([&] { return WatchedMessages().size() >= 30; }, 10000)) << Output("watch");
  Kill("relay");
  ASSERT_TRUE(
      WaitFor([&] { return Output("watch").find("went away") != std::string::npos; }, 10000))
      << Output("watch");
  StartRelay();
  EXPECT_EQ(Finish("watch"), 0) << Output("watch");
  EXPECT_EQ(WatchedMessages().size(), 120u);
  EXPECT_NE(Output("watch").find("reconnected"), std::string::npos) << Output("watch");
}

// A relay whose PC was switched off sends nothing more and answers nothing.
// relay-watch's keep-alive probes find it gone after 5 s of silence and three
// unanswered probes a second apart, and it reconnects as after a closed
// connection.
TEST_F(ToolsProcess, WatchNoticesARelayThatVanishedAndReconnects) {
  if (const char* why = testsupport::VanishingRelay::Unsupported()) GTEST_SKIP() << why;
  testsupport::VanishingRelay relay;
  ASSERT_GT(relay.port(), 0);
  const std::string packet =
      "DATA_PACKET;90.50;85.25;3;42.70;6543;0.50;0.38;1234.50;4;3;12;1800.00;1;1.00;1;";
  ASSERT_NE(Start("watch", RELAY_WATCH_EXECUTABLE,
                  {"--raw", "--count", "6", "127.0.0.1", std::to_string(relay.port())}),
            nullptr);
  // The last packet of a connection is complete only once it has ended.
  ASSERT_TRUE(relay.Serve(packet + packet + packet));
  ASSERT_TRUE(WaitFor([&] { return WatchedMessages().size() == 2; })) << Output("watch");
  ASSERT_TRUE(relay.Vanish());
  const std::int64_t vanished = platform::MonotonicNanoseconds();
  ASSERT_TRUE(
      WaitFor([&] { return Output("watch").find("went away") != std::string::npos; }, 15000))
      << Output("watch");
  const double seconds = static_cast<double>(platform::MonotonicNanoseconds() - vanished) / 1e9;
  EXPECT_GT(seconds, platform::kKeepAliveIdleSeconds) << "noticed before any probe";
  EXPECT_LT(seconds, 10.5);
  ASSERT_TRUE(relay.Serve(packet + packet + packet + packet));
  EXPECT_EQ(Finish("watch", 10000), 0) << Output("watch");
  EXPECT_NE(Output("watch").find("reconnected"), std::string::npos) << Output("watch");
  EXPECT_EQ(WatchedMessages(), std::vector<std::string>(6, packet));
}

// ---- In a terminal: tmux ---------------------------------------------------

class ToolsInTerminal : public ToolsProcess {
 protected:
  void SetUp() override {
    if (std::system("tmux -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "tmux is not installed";
  }
  ~ToolsInTerminal() override { Tmux("kill-server"); }
  // Runs a tmux command on a server of this test's own and returns its output.
  std::string Tmux(const std::string& arguments) {
    const std::string output = testing::TempDir() + "tools-process-tmux.txt";
    std::system(("tmux -L " + socket_ + " " + arguments + " >'" + output + "' 2>&1").c_str());
    std::string text = ReadFile(output);
    std::remove(output.c_str());
    return text;
  }
  std::string Screen() { return Tmux("capture-pane -p -t test"); }

  std::string socket_ = "relay-tools-test-" + std::to_string(platform::MonotonicNanoseconds());
};

TEST_F(ToolsInTerminal, DashboardShowsGearAndShiftLights) {
  StartPublisher({});
  StartRelay();
  Tmux("new-session -d -s test -x 120 -y 40 '" RELAY_WATCH_EXECUTABLE "'");
  // The car leaves its garage in first gear and revs past the first light.
  const bool shown = WaitFor(
      [&] {
        const std::string screen = Screen();
        return screen.find("Gear          1") != std::string::npos &&
               screen.find("Shift lights  [*]") != std::string::npos &&
               screen.find("first 5500  shift 6900  last 7100  blink 7250") != std::string::npos;
      },
      20000);
  EXPECT_TRUE(shown) << Screen();
  EXPECT_NE(Screen().find("bmwm4gt3"), std::string::npos);
  EXPECT_NE(Screen().find(" 0 malformed"), std::string::npos);
}

TEST_F(ToolsInTerminal, DemoEndsAllThreeOnCtrlC) {
  Tmux(std::string("new-session -d -s test -x 120 -y 40 \"bash '") + SOURCE_DIR +
       "/scripts/demo.sh' --no-build '" + BUILD_DIR + "'; echo DEMO-EXIT=\\$?; sleep 60\"");
  ASSERT_TRUE(WaitFor([&] { return Screen().find("Shift lights") != std::string::npos; }, 20000))
      << Screen();
  EXPECT_EQ(RegionStatus() & 1, 1);
  Tmux("send-keys -t test C-c");
  ASSERT_TRUE(WaitFor([&] { return Screen().find("DEMO-EXIT=") != std::string::npos; }, 20000))
      << Screen();
  // The publisher stopped as the simulator does, and the relay's port is free.
  EXPECT_EQ(RegionStatus(), 0);
  EXPECT_NE(ReadFile(std::string(BUILD_DIR) + "/sim-publisher.log").find("status bit cleared"),
            std::string::npos);
  platform::Socket listener = platform::kInvalidSocket;
  EXPECT_EQ(platform::OpenTcpListener("6667", &listener), platform::ListenFailure::kNone);
  platform::CloseSocket(listener);
}

}  // namespace
