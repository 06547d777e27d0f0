// The real telemetry-relay executable, fed by the publisher and read by a
// socket client on 127.0.0.1:6667.
#include "support/process.h"

#include <gtest/gtest.h>

#include <string>

#include "clients/client_service.h"
#include "simlink/region.h"
#include "support/test_support.h"

namespace {

using testsupport::SplitMessages;
using testsupport::TestClient;

class RelayProcess : public testing::Test {
 protected:
  void Start() {
    relay_ = testsupport::StartProcess(RELAY_EXECUTABLE, {}, output_);
    ASSERT_NE(relay_, nullptr);
  }
  ~RelayProcess() override {
    if (relay_ != nullptr) testsupport::KillProcess(relay_);
    std::remove(output_.c_str());
  }
  std::unique_ptr<TestClient> Connect() { return testsupport::ConnectWhenListening(6667); }
  std::string Console() { return testsupport::ReadFile(output_); }

  std::string output_ = testing::TempDir() + "relay-process-output.txt";
  testsupport::ChildProcess* relay_ = nullptr;
};

TEST_F(RelayProcess, WaitsQuietlyWhileNothingPublishes) {
  platform::RemoveNamedMapping(simlink::kMappingName);
  platform::RemoveNamedEvent(simlink::kDataValidEventName);
  Start();
  auto client = Connect();
  ASSERT_NE(client, nullptr);
  platform::SleepMilliseconds(500);
  int status = 0;
  EXPECT_FALSE(testsupport::WaitForExit(relay_, 0, &status));
  EXPECT_EQ(Console(), "Waiting for iRacing...");
  client->Drain(50);
  EXPECT_EQ(client->received(), "");
}

TEST_F(RelayProcess, ExitsWithStatus1WhenThePortIsTaken) {
  platform::Socket taken = platform::kInvalidSocket;
  ASSERT_EQ(platform::OpenTcpListener(clients::kPort, &taken), platform::ListenFailure::kNone);
  Start();
  int status = 0;
  ASSERT_TRUE(testsupport::WaitForExit(relay_, 10000, &status));
  EXPECT_EQ(status, 1);
  EXPECT_EQ(Console(), "bind failed");
  platform::CloseSocket(taken);
}

TEST_F(RelayProcess, RelaysPublishedRowsToAClient) {
  publisher::Publisher sim;
  struct CloseOnExit {
    publisher::Publisher& sim;
    ~CloseOnExit() { publisher::Close(sim); }
  } closeOnExit{sim};
  std::string error;
  ASSERT_TRUE(publisher::OpenNamed(sim, publisher::DefaultLayout(), publisher::DefaultSessionText(),
                                   &error))
      << error;
  Start();
  auto client = Connect();
  ASSERT_NE(client, nullptr);

  std::vector<std::uint8_t> row(static_cast<std::size_t>(sim.layout.rowLength));
  auto publish = [&](int lap) {
    publisher::SetInt(row, sim.layout, "Lap", lap);
    publisher::SetInt(row, sim.layout, "Gear", 3);
    publisher::SetFloat(row, sim.layout, "RPM", 7001.5f);
    publisher::PublishRow(sim, row);
  };
  // Rows go out until the relay has made its row buffer; how many that takes
  // depends on when it attached, so they carry negative laps.
  int startUp = -1000;
  ASSERT_TRUE(testsupport::WaitFor([&] {
    publish(startUp++);
    return Console().ends_with("Connected to sim...Sam Driver\n");
  })) << Console();
  // Then one row at a time, each published once the previous one's message
  // has arrived: every row must come through, as its DATA_PACKET or as the
  // SESSION_INFO the countdown puts in its place.
  auto packet = [](int lap) {
    return "DATA_PACKET;0.00;0.00;3;0.00;7001;0.00;0.00;0.00;" + std::to_string(lap) +
           ";0;0;0.00;0;0.00;0;";
  };
  for (int lap = 0; lap < 80; ++lap) {
    const std::size_t before = client->received().size();
    publish(lap);
    while (client->received().size() == before ||
           !(client->received().ends_with(packet(lap)) ||
             client->received().ends_with(testsupport::kDefaultSessionInfo))) {
      ASSERT_TRUE(client->ReceiveAtLeast(client->received().size() + 1)) << lap;
    }
  }
  const auto messages = SplitMessages(client->received());
  ASSERT_GE(messages.size(), 80u);
  for (std::size_t i = 0; i < messages.size(); ++i) {
    const auto lap = static_cast<int>(i + 80 - messages.size());
    if (i == 31) {
      EXPECT_EQ(messages[i], testsupport::kDefaultSessionInfo);
    } else if (lap >= 0) {
      EXPECT_EQ(messages[i], packet(lap)) << "message " << i;
    } else {
      EXPECT_LT(testsupport::Field(messages[i], 9), 0) << "a start-up row: " << messages[i];
    }
  }
  EXPECT_EQ(Console(),
            "Waiting for iRacing..."
            "\n Client 0 connected"
            "\n Connected to sim...Sam Driver\n");
}

}  // namespace
