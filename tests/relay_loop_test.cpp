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
  // Connects a client and waits for its connection to reach the listener's
  // queue, so the next turn admits it.
  std::unique_ptr<TestClient> Connect(int receiveBuffer = 0) {
    auto client = std::make_unique<TestClient>(port(), receiveBuffer);
    EXPECT_TRUE(testsupport::WaitForPendingConnection(relay_->clients.listener));
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
      EXPECT_EQ(message, testsupport::kDefaultSessionInfo);
      laps.push_back(-1);
      continue;
    }
    EXPECT_EQ(std::count(message.begin(), message.end(), ';'), 16) << message;
    EXPECT_EQ(message.back(), ';') << message;
    laps.push_back(static_cast<int>(testsupport::Field(message, 9)));
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
  EXPECT_TRUE(testsupport::WaitFor([&] {
    Turn();
    return relay_->clients.table.size() == 1;
  }));
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

// The simulator's directory moves "Lap" onto "RaceLaps"' value after the
// first admission; from the next admission on, every client is sent it.
TEST_F(RelayLoop, EveryAdmissionLooksTheVariablesUpAfresh) {
  auto first = Connect();
  StartRelaying();
  const publisher::Layout& layout = sim_.publisher.layout;
  const auto lap = std::find_if(layout.variables.begin(), layout.variables.end(),
                                [](const publisher::Variable& v) { return v.name == "Lap"; });
  const std::int32_t raceLaps = publisher::OffsetOf(layout, "RaceLaps");
  std::memcpy(sim_.memory.data() + publisher::VariableRecordsOffset(layout) +
                  simlink::layout::kVariableRecordSize * (lap - layout.variables.begin()) +
                  simlink::layout::kVariableValueOffset,
              &raceLaps, sizeof raceLaps);
  sim_.SetInt("Lap", 7);
  sim_.SetInt("RaceLaps", 3);
  Turn();
  auto second = Connect();
  Turn();
  first->Drain();
  second->Drain();
  EXPECT_EQ(Laps(first->received()), (std::vector<int>{7, 3}));
  EXPECT_EQ(Laps(second->received()), (std::vector<int>{3}));
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
  EXPECT_EQ(messages[31], testsupport::kDefaultSessionInfo);
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

// The stalled client's buffers are small and fill for real, until sends to it
// would block; the healthy client's take every message without reading.
TEST_F(RelayLoop, AStalledClientNeitherBlocksNorStarvesAnother) {
  auto stalled = Connect(2048);
  auto healthy = Connect();
  StartRelaying();
  Turn();  // admits the second client
  testsupport::SetSendBufferSize(relay_->clients.table[0].socket, 4096);
  relay_->clients.send = testsupport::CountingSend;
  testsupport::sendCounts = {};
  int turn = 0;
  auto nextTurn = [&] {
    sim_.SetInt("Lap", turn++);
    Turn();
  };
  while (testsupport::sendCounts.wouldBlock < 100 && turn < 100000) nextTurn();
  // Then it reads again until it holds the newest row whole, so that no part
  // of a message is still owed to it when the relay stops.
  auto newestWhole = [&] {
    nextTurn();
    stalled->Drain(0);
    const std::string& got = stalled->received();
    return got.ends_with(";") &&
           testsupport::Field(got.substr(got.rfind("DATA_PACKET")), 9) == turn - 1;
  };
  ASSERT_TRUE(testsupport::WaitFor(newestWhole));
  EXPECT_EQ(relay_->clients.table.size(), 2u);
  for (const auto& [number, client] : relay_->clients.table) platform::CloseSocket(client.socket);
  relay_->clients.table.clear();
  ASSERT_TRUE(healthy->ReceiveToEnd());
  ASSERT_TRUE(stalled->ReceiveToEnd());

  // The healthy client gets every row; the stalled one misses at least the
  // hundred it could not take, but every message it has is whole and in order.
  std::vector<int> healthyLaps = Laps(healthy->received());
  ASSERT_EQ(healthyLaps.size(), static_cast<std::size_t>(turn + 1));
  for (int t = 0; t < turn; ++t) {
    const int lap = healthyLaps[static_cast<std::size_t>(t) + 1];
    EXPECT_TRUE(lap == t || lap == -1) << t;  // -1: SESSION_INFO in its place
  }
  std::vector<int> stalledLaps = Laps(stalled->received());
  EXPECT_LE(stalledLaps.size() + 100, healthyLaps.size());
  std::erase(stalledLaps, -1);
  EXPECT_TRUE(std::is_sorted(stalledLaps.begin(), stalledLaps.end()));
}

TEST_F(RelayLoop, AClosedClientIsDroppedOnceAndTheOthersMissNothing) {
  auto leaving = Connect();
  auto staying = Connect();
  StartRelaying();
  Turn();
  leaving->Close();
  int turns = 1;
  EXPECT_TRUE(testsupport::WaitFor([&] {
    Turn();
    return ++turns, relay_->clients.table.size() == 1;
  }));
  for (; turns < 40; ++turns) Turn();
  staying->Drain();
  EXPECT_EQ(SplitMessages(staying->received()).size(), static_cast<std::size_t>(turns));
  const std::string console = Console();
  EXPECT_EQ(console.find("\n Client disconnected"), console.rfind("\n Client disconnected"));
  EXPECT_NE(console.find("\n Client disconnected"), std::string::npos);
}

}  // namespace
