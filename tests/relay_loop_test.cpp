// The relay loop, driven turn by turn over an in-memory region with real
// loopback clients.
#include "relay/relay_loop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

using testsupport::InMemorySim;
using testsupport::SplitMessages;
using testsupport::TestClient;

class RelayLoop : public testing::Test {
 protected:
  RelayLoop() : relay_(std::make_unique<relay::Relay>()) {
    testing::internal::CaptureStdout();
    relay::SetUp(*relay_, "0");
    simlink::AttachView(relay_->region, sim_.View());
  }
  ~RelayLoop() override {
    if (capturing_) testing::internal::GetCapturedStdout();
  }

  int port() const { return platform::LocalPort(relay_->clients.listener); }
  std::string Console() {
    capturing_ = false;
    return testing::internal::GetCapturedStdout();
  }
  // Publishes the next row and runs one turn.
  void Turn() {
    sim_.Publish();
    relay::RunTurn(*relay_);
  }
  // Connects a client and gives its connection time to reach the listener's
  // queue, so the next turn admits it.
  std::unique_ptr<TestClient> Connect(int receiveBuffer = 0) {
    auto client = std::make_unique<TestClient>(port(), receiveBuffer);
    platform::SleepMilliseconds(20);
    return client;
  }
  // The first turn only sees the tick count; the second makes the row buffer.
  void StartRelaying() {
    Turn();
    Turn();
    ASSERT_TRUE(relay_->row.has_value());
  }

  InMemorySim sim_;
  std::unique_ptr<relay::Relay> relay_;
  bool capturing_ = true;
};

std::vector<std::size_t> SessionInfoPositions(const std::vector<std::string>& messages) {
  std::vector<std::size_t> positions;
  for (std::size_t i = 0; i < messages.size(); ++i) {
    if (messages[i].starts_with("SESSION_INFO")) positions.push_back(i);
  }
  return positions;
}

// The Lap field of each DATA_PACKET in `stream` (-1 for SESSION_INFO), failing
// the test on any message that is not whole.
std::vector<int> Laps(const std::string& stream) {
  std::vector<int> laps;
  for (const std::string& message : SplitMessages(stream)) {
    if (message.starts_with("SESSION_INFO")) {
      EXPECT_EQ(message, "SESSION_INFO;5900;7400;7200;7600;porsche992rgt3");
      laps.push_back(-1);
      continue;
    }
    EXPECT_EQ(std::count(message.begin(), message.end(), ';'), 16) << message;
    EXPECT_EQ(message.back(), ';') << message;
    std::size_t field = 0;
    for (int i = 0; i < 9; ++i) field = message.find(';', field) + 1;
    laps.push_back(std::stoi(message.substr(field)));
  }
  return laps;
}

TEST_F(RelayLoop, PrintsTheStatusLinesInOrder) {
  auto first = Connect();  // waiting before the simulator publishes
  Turn();                  // first sighting: nothing happens
  Turn();                  // admits client 0 and makes the buffer
  Turn();                  // first message
  auto second = Connect();
  Turn();
  first->Close();
  for (int i = 0; i < 20 && relay_->clients.table.size() == 2; ++i) {
    Turn();
    platform::SleepMilliseconds(5);
  }
  ASSERT_TRUE(publisher::ChangeRowLength(sim_.publisher, sim_.publisher.layout.rowLength + 10));
  sim_.row.resize(sim_.row.size() + 10);
  Turn();
  EXPECT_EQ(Console(),
            "Waiting for iRacing..."
            "\n Client 0 connected"
            "\n Connected to sim...Sam Driver\n"
            "\n Client 1 connected"
            "\n Client disconnected"
            "\n Connected to sim...Sam Driver\n");
}

TEST_F(RelayLoop, SendsTheRowsValues) {
  auto client = Connect();
  StartRelaying();
  sim_.SetFloat("OilTemp", 90.125f);
  sim_.SetInt("Gear", 4);
  sim_.SetFloat("RPM", 6543.9f);
  sim_.SetInt("Lap", 7);
  publisher::SetDouble(sim_.row, sim_.publisher.layout, "SessionTimeRemain", 1234.567);
  publisher::SetBool(sim_.row, sim_.publisher.layout, "OnPitRoad", true);
  publisher::SetBool(sim_.row, sim_.publisher.layout, "IsOnTrack", true);
  Turn();
  const std::string want =
      "DATA_PACKET;90.12;0.00;4;0.00;6543;0.00;0.00;0.00;7;0;0;1234.57;1;0.00;1;";
  ASSERT_TRUE(client->ReceiveAtLeast(want.size()));
  EXPECT_EQ(client->received(), want);
}

TEST_F(RelayLoop, WithoutClientsRowsAreFetchedButNothingCounts) {
  StartRelaying();
  const std::int32_t gearOffset = publisher::OffsetOf(sim_.publisher.layout, "Gear");
  for (std::int32_t gear = 1; gear <= 5; ++gear) {
    sim_.SetInt("Gear", gear);
    Turn();
    EXPECT_EQ(relay_->row->bytes[static_cast<std::size_t>(gearOffset)], gear);
  }
  EXPECT_EQ(relay_->sessionInfoCounter, 0);
}

TEST_F(RelayLoop, SessionInfoComesOnTheCountdown) {
  StartRelaying();
  auto client = Connect();
  for (int turn = 0; turn < 700; ++turn) Turn();
  client->Drain();
  const auto messages = SplitMessages(client->received());
  ASSERT_EQ(messages.size(), 700u);
  EXPECT_EQ(SessionInfoPositions(messages), (std::vector<std::size_t>{31, 657}));
  EXPECT_EQ(messages[31], "SESSION_INFO;5900;7400;7200;7600;porsche992rgt3");
}

TEST_F(RelayLoop, ALaterAdmissionRestartsTheCountdownForEveryone) {
  StartRelaying();
  auto first = Connect();
  for (int turn = 0; turn < 10; ++turn) Turn();
  auto second = Connect();
  for (int turn = 0; turn < 50; ++turn) Turn();
  first->Drain();
  second->Drain();
  EXPECT_EQ(SessionInfoPositions(SplitMessages(first->received())), (std::vector<std::size_t>{41}));
  EXPECT_EQ(SessionInfoPositions(SplitMessages(second->received())),
            (std::vector<std::size_t>{31}));
}

TEST_F(RelayLoop, TheClientAdmittedWithTheBufferGetsTheNextRow) {
  auto client = Connect();
  Turn();
  Turn();  // admission and buffer on the same turn: nothing sent
  client->Drain();
  EXPECT_EQ(client->received(), "");
  Turn();
  client->Drain();
  EXPECT_EQ(SplitMessages(client->received()).size(), 1u);
}

TEST_F(RelayLoop, ARowLengthChangeRemakesTheBufferAndSendsNothingThatTurn) {
  auto client = Connect();
  StartRelaying();
  Turn();
  const std::int32_t newLength = sim_.publisher.layout.rowLength + 6;
  ASSERT_TRUE(publisher::ChangeRowLength(sim_.publisher, newLength));
  sim_.row.resize(static_cast<std::size_t>(newLength));
  Turn();  // grown row copied in part, then the buffer is remade
  EXPECT_EQ(relay_->rowSize, newLength);
  EXPECT_EQ(relay_->row->bytes.size(), static_cast<std::size_t>(newLength));
  Turn();
  Turn();
  client->Drain();
  EXPECT_EQ(SplitMessages(client->received()).size(), 3u);
}

TEST_F(RelayLoop, AStalledClientNeitherBlocksNorStarvesAnother) {
  auto stalled = Connect(2048);
  auto healthy = Connect();
  StartRelaying();
  Turn();  // admits the second client
  const int kTurns = 3000;
  for (int turn = 0; turn < kTurns; ++turn) {
    sim_.SetInt("Lap", turn);
    Turn();
    if (turn % 100 == 99) healthy->Drain(1);
  }
  EXPECT_EQ(relay_->clients.table.size(), 2u);
  healthy->Drain();
  stalled->Drain();
  // The healthy client gets every row, each message whole; the stalled one
  // misses rows but never receives part of a message.
  std::vector<int> healthyLaps = Laps(healthy->received());
  ASSERT_EQ(healthyLaps.size(), static_cast<std::size_t>(kTurns + 1));
  for (int turn = 0; turn < kTurns; ++turn) {
    const int lap = healthyLaps[static_cast<std::size_t>(turn) + 1];
    EXPECT_TRUE(lap == turn || lap == -1) << turn;  // -1: SESSION_INFO in its place
  }
  std::vector<int> stalledLaps = Laps(stalled->received());
  std::erase(stalledLaps, -1);
  EXPECT_LT(stalledLaps.size(), healthyLaps.size());
  EXPECT_TRUE(std::is_sorted(stalledLaps.begin(), stalledLaps.end()));
}

TEST_F(RelayLoop, AClosedClientIsDroppedOnceAndTheOthersMissNothing) {
  auto leaving = Connect();
  auto staying = Connect();
  StartRelaying();
  Turn();
  leaving->Close();
  for (int turn = 0; turn < 40; ++turn) {
    Turn();
    platform::SleepMilliseconds(1);
  }
  EXPECT_EQ(relay_->clients.table.size(), 1u);
  staying->Drain();
  EXPECT_EQ(SplitMessages(staying->received()).size(), 41u);
  const std::string console = Console();
  EXPECT_EQ(console.find("\n Client disconnected"), console.rfind("\n Client disconnected"));
  EXPECT_NE(console.find("\n Client disconnected"), std::string::npos);
}

// A text without its NUL is one the simulator has not finished writing: until
// a terminated text is back, the car facts read before stand.
TEST_F(RelayLoop, ASessionTextWithoutItsNulLeavesTheCarFactsAsTheyWere) {
  // Publish into two slots only, so the third slot's bytes at the end of the
  // mapping can hold a text that runs up to it.
  sim_.publisher.layout.slotCount = 2;
  const std::int32_t slotCount = 2;
  std::memcpy(sim_.memory.data() + simlink::layout::kSlotCount, &slotCount, 4);
  StartRelaying();
  const std::string text = "DriverInfo:\n DriverCarSLFirstRPM: 1234\n\n";
  const std::size_t at = sim_.memory.size() - text.size();
  std::memcpy(sim_.memory.data() + at, text.data(), text.size());
  const auto offset = static_cast<std::int32_t>(at);
  std::memcpy(sim_.memory.data() + simlink::layout::kSessionInfoOffset, &offset, 4);
  const auto remakeRowBuffer = [this] {
    ASSERT_TRUE(publisher::ChangeRowLength(sim_.publisher, sim_.publisher.layout.rowLength + 1));
    sim_.row.resize(sim_.row.size() + 1);
    Turn();
  };

  remakeRowBuffer();
  EXPECT_EQ(relay_->facts.firstRpm, 5900.0f);
  EXPECT_STREQ(relay_->facts.userName, "Sam Driver");
  sim_.memory.back() = '\0';  // the text is terminated again
  remakeRowBuffer();
  EXPECT_EQ(relay_->facts.firstRpm, 1234.0f);
  EXPECT_STREQ(relay_->facts.carPath, "porsche992rgt3");
  EXPECT_EQ(Console(),
            "Waiting for iRacing..."
            "\n Connected to sim...Sam Driver\n"
            "\n Connected to sim...Sam Driver\n"
            "\n Connected to sim...Sam Driver\n");
}

}  // namespace
