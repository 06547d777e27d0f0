// The relay loop, driven turn by turn over an in-memory region with real
// loopback clients.
#include "relay/relay_loop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "support/tick_rows.h"

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
    EXPECT_TRUE(platform::WaitForConnection(relay_->clients.listener, 10000));
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

// The Lap field of each message in `stream`.
std::vector<long> Laps(const std::string& stream) {
  std::vector<long> laps;
  for (const std::string& message : SplitMessages(stream)) {
    laps.push_back(testsupport::Field(message, 9));
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
  std::size_t sent = 1;  // to the second client
  EXPECT_TRUE(testsupport::WaitFor([&] {
    Turn();
    return ++sent, relay_->clients.table.size() == 1;
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
  // The client after the one dropped missed nothing.
  second->Drain();
  EXPECT_EQ(SplitMessages(second->received()).size(), sent);
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
// first admission: the client connected across the change is sent it from
// the next row on, and so is the one admitted after.
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
  EXPECT_EQ(Laps(first->received()), (std::vector<long>{3, 3}));
  EXPECT_EQ(Laps(second->received()), (std::vector<long>{3}));
}

// Fills the simulator's row for `tick` and returns its DATA_PACKET: Lap
// (field 9) and Throttle (field 14) are sent as 0 where the layout lacks them.
std::string FillTickRow(InMemorySim& sim, int tick) {
  testsupport::FillTickRow(sim.row, sim.publisher.layout, tick, 1);
  std::vector<std::string> fields;
  std::istringstream packet(testsupport::TickPacket(tick, 1));
  for (std::string field; std::getline(packet, field, ';');) fields.push_back(field);
  if (publisher::OffsetOf(sim.publisher.layout, "Lap") < 0) fields[9] = "0";
  if (publisher::OffsetOf(sim.publisher.layout, "Throttle") < 0) fields[14] = "0.00";
  std::string want;
  for (const std::string& field : fields) want += field + ";";
  return want;
}

// The simulator starts over with another layout while a client stays
// connected: the first DATA_PACKET after the change already carries the new
// layout's values, with no new client admitted in between.
TEST_F(RelayLoop, ANewLayoutIsReadFromItsFirstRowForClientsConnectedBefore) {
  const std::vector<publisher::Variable> variables = publisher::DefaultLayout().variables;
  std::vector<publisher::Variable> fewer = variables;
  std::erase_if(fewer, [](const auto& v) { return v.name == "Lap" || v.name == "Throttle"; });
  const std::int32_t rowLength = publisher::DefaultLayout().rowLength;
  std::vector<publisher::Variable> reversed(variables.rbegin(), variables.rend());
  std::vector<publisher::Variable> padded = variables;
  padded.insert(padded.begin(), publisher::Variable{"Padding", publisher::ValueType::kInt, 7});
  const struct {
    const char* name;
    publisher::Layout layout;
  } cases[] = {
      // Only the records differ: same count, same row length.
      {"the same variables in reverse order", publisher::PackedLayout(reversed, 3, rowLength)},
      {"Lap and Throttle gone, the row the same length",
       publisher::PackedLayout(fewer, 3, rowLength)},
      {"everything moved 28 bytes on, a longer row", publisher::PackedLayout(padded, 3, 0)},
      {"back to the first layout", publisher::DefaultLayout()},
  };
  auto client = Connect();
  StartRelaying();
  std::string want = FillTickRow(sim_, 1);
  Turn();
  ASSERT_TRUE(client->ReceiveAtLeast(want.size()));
  ASSERT_EQ(client->received(), want);
  int k = 2;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    client->Drain();
    const std::size_t before = client->received().size();
    // Laid out anew, status set, tick counts from 1 again, as a restarted
    // simulator does.
    ASSERT_TRUE(publisher::OpenInMemory(sim_.publisher, sim_.memory, c.layout,
                                        publisher::DefaultSessionText()));
    sim_.row.assign(static_cast<std::size_t>(c.layout.rowLength), 0);
    want = FillTickRow(sim_, k++);
    // The count went back: the first row is seen, not taken; a new row
    // length then remakes the buffer and sends nothing for a row.
    for (int turn = 0; turn < 3 && client->received().size() == before; ++turn) {
      Turn();
      client->Drain(turn == 0 ? 0 : 50);
    }
    ASSERT_TRUE(client->ReceiveAtLeast(before + want.size()));
    EXPECT_EQ(client->received().substr(before), want);
  }
  EXPECT_EQ(relay_->nextClientNumber, 1u);
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
