// The real telemetry-relay executable, fed by the publisher and read by a
// socket client on 127.0.0.1:6667.
#include "support/process.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "clients/client_service.h"
#include "simlink/region.h"
#include "support/test_support.h"

namespace {

using testsupport::SplitMessages;
using testsupport::TestClient;

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

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
  // Connects once the relay listens.
  std::unique_ptr<TestClient> Connect() {
    for (int attempt = 0; attempt < 200; ++attempt) {
      auto client = std::make_unique<TestClient>(6667);
      if (client->connected()) return client;
      platform::SleepMilliseconds(25);
    }
    return nullptr;
  }
  std::string Console() { return ReadFile(output_); }

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
  // Like the simulator, the publisher holds its named objects until its
  // process ends; a local here would lose them when the test returns.
  static publisher::Publisher sim;
  std::string error;
  ASSERT_TRUE(publisher::OpenNamed(sim, publisher::DefaultLayout(), publisher::DefaultSessionText(),
                                   &error))
      << error;
  Start();
  auto client = Connect();
  ASSERT_NE(client, nullptr);

  std::vector<std::uint8_t> row(static_cast<std::size_t>(sim.layout.rowLength));
  for (int i = 0; i < 80; ++i) {
    publisher::SetInt(row, sim.layout, "Lap", i);
    publisher::SetInt(row, sim.layout, "Gear", 3);
    publisher::SetFloat(row, sim.layout, "RPM", 7001.5f);
    publisher::PublishRow(sim, row);
    platform::SleepMilliseconds(5);
  }
  client->Drain(200);
  const auto messages = SplitMessages(client->received());
  // Rows may be taken faster than they are published, never slower by much:
  // the relay waits on the event and the first two rows only start it up.
  ASSERT_GE(messages.size(), 40u);
  ASSERT_LE(messages.size(), 79u);
  std::size_t sessionInfo = 0;
  for (std::size_t i = 0; i < messages.size(); ++i) {
    if (i == 31) {
      EXPECT_EQ(messages[i], "SESSION_INFO;5900;7400;7200;7600;porsche992rgt3");
      ++sessionInfo;
      continue;
    }
    EXPECT_TRUE(messages[i].starts_with("DATA_PACKET;0.00;0.00;3;0.00;7001;")) << messages[i];
  }
  EXPECT_EQ(sessionInfo, 1u);
  EXPECT_EQ(Console(),
            "Waiting for iRacing..."
            "\n Client 0 connected"
            "\n Connected to sim...Sam Driver\n");
}

}  // namespace
