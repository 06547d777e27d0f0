// The client service over real loopback sockets, and its handling of short
// and blocked sends with a scripted send function.
#include "clients/client_service.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

using testsupport::TestClient;

struct Service {
  Service() { clients::OpenListener(service, "0"); }
  int port() const { return platform::LocalPort(service.listener); }
  // Admits the next pending client once its connection has arrived.
  bool Admit(std::uint32_t number) {
    return platform::WaitForConnection(service.listener, 10000) &&
           clients::AdmitClient(service, number);
  }
  // Broadcasts the next numbered message.
  void SendNext() {
    const std::string message = Numbered(count++);
    clients::Broadcast(service, message.data(), message.size());
    sent += message;
  }
  static std::string Numbered(int i) {
    return "DATA_PACKET;" + std::to_string(i) + ";" + std::string(900, 'x') + ";";
  }
  clients::ClientService service;
  std::string sent;  // everything broadcast
  int count = 0;
};

TEST(ClientService, AdmitsOneClientPerCallInArrivalOrder) {
  Service s;
  EXPECT_FALSE(clients::AdmitClient(s.service, 0));
  EXPECT_EQ(clients::ClientCount(s.service), 0u);
  clients::Broadcast(s.service, "DATA_PACKET;", 12);  // no clients: nothing happens

  TestClient first(s.port());
  TestClient second(s.port());
  ASSERT_TRUE(s.Admit(0));
  EXPECT_EQ(clients::ClientCount(s.service), 1u);
  ASSERT_TRUE(s.Admit(1));
  EXPECT_EQ(clients::ClientCount(s.service), 2u);
  EXPECT_FALSE(clients::AdmitClient(s.service, 2));

  clients::Broadcast(s.service, "DATA_PACKET;1;", 14);
  ASSERT_TRUE(first.ReceiveAtLeast(14));
  ASSERT_TRUE(second.ReceiveAtLeast(14));
  EXPECT_EQ(first.received(), "DATA_PACKET;1;");
  EXPECT_EQ(second.received(), "DATA_PACKET;1;");
}

// On Windows each listener set-up starts the network library and a failed one
// cleans up after itself; that must never tear down connections that work.
TEST(ClientService, AFailedListenerLeavesOtherConnectionsWorking) {
  Service s;
  TestClient client(s.port());
  ASSERT_TRUE(s.Admit(0));
  platform::Socket second = platform::kInvalidSocket;
  const std::string port = std::to_string(s.port());
  EXPECT_EQ(platform::OpenTcpListener(port.c_str(), &second), platform::ListenFailure::kBind);
  clients::Broadcast(s.service, "DATA_PACKET;", 12);
  ASSERT_TRUE(client.ReceiveAtLeast(12));
  EXPECT_EQ(clients::ClientCount(s.service), 1u);
}

TEST(ClientService, ANumberStillInUseTurnsTheNewcomerAway) {
  Service s;
  TestClient first(s.port());
  ASSERT_TRUE(s.Admit(7));
  TestClient second(s.port());
  ASSERT_TRUE(platform::WaitForConnection(s.service.listener, 10000));
  EXPECT_FALSE(clients::AdmitClient(s.service, 7));
  EXPECT_EQ(clients::ClientCount(s.service), 1u);
  EXPECT_TRUE(second.ReceiveToEnd());
}

// Real sockets, really blocked: the stalled client's small receive buffer and
// the relay's small send buffer fill until the platform reports would-block.
// When the relay stops, the client's stream holds whole messages only, in
// order, and lacks those sent while it was full.
TEST(ClientService, AStalledClientMissesWholeMessagesAndCostsTheOthersNothing) {
  Service s;
  TestClient stalled(s.port(), 2048);
  TestClient healthy(s.port());
  ASSERT_TRUE(s.Admit(0));
  ASSERT_TRUE(s.Admit(1));
  platform::SetSendBufferSize(s.service.table[0].socket, 4096);
  s.service.send = testsupport::CountingSend;
  testsupport::sendCounts = {};

  // Each message goes to the healthy client before the next is sent, so only
  // the stalled one can ever block. The bound only guards against a hang.
  auto send = [&] {
    s.SendNext();
    return healthy.ReceiveAtLeast(s.sent.size()) && clients::ClientCount(s.service) == 2;
  };
  while (testsupport::sendCounts.wouldBlock < 100 && s.count < 200000) ASSERT_TRUE(send());
  EXPECT_GE(testsupport::sendCounts.wouldBlock, 100);
  // The client reads again, and the relay goes on until the newest message
  // has reached it whole: any message the network took only part of was
  // finished first.
  EXPECT_TRUE(testsupport::WaitFor([&] {
    EXPECT_TRUE(send());
    stalled.Drain(0);
    return stalled.received().ends_with(Service::Numbered(s.count - 1));
  }));
  EXPECT_GE(testsupport::sendCounts.shortSends, 1);
  EXPECT_EQ(healthy.received(), s.sent);

  for (const auto& [number, client] : s.service.table) platform::CloseSocket(client.socket);
  s.service.table.clear();
  ASSERT_TRUE(stalled.ReceiveToEnd());
  const auto got = testsupport::SplitMessages(stalled.received());
  EXPECT_LT(got.size(), static_cast<std::size_t>(s.count) - 100);
  long last = -1;
  for (const std::string& message : got) {
    const long number = testsupport::Field(message, 1);
    ASSERT_EQ(message, Service::Numbered(static_cast<int>(number)));
    ASSERT_GT(number, last);
    last = number;
  }
  EXPECT_EQ(last, s.count - 1);
}

TEST(ClientService, AClosedClientIsDroppedOnceAndTheOthersMissNothing) {
  Service s;
  TestClient before(s.port());
  TestClient leaving(s.port());
  TestClient after(s.port());
  for (std::uint32_t n = 0; n < 3; ++n) ASSERT_TRUE(s.Admit(n));
  leaving.Close();

  testing::internal::CaptureStdout();
  // Sends until the closed connection fails a send, and then ten more.
  EXPECT_TRUE(testsupport::WaitFor([&] {
    s.SendNext();
    return clients::ClientCount(s.service) < 3;
  }));
  for (int more = 0; more < 10; ++more) s.SendNext();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n Client disconnected");
  EXPECT_EQ(clients::ClientCount(s.service), 2u);
  ASSERT_TRUE(before.ReceiveAtLeast(s.sent.size()));
  ASSERT_TRUE(after.ReceiveAtLeast(s.sent.size()));
  EXPECT_EQ(before.received(), s.sent);
  EXPECT_EQ(after.received(), s.sent);
}

// A send function that follows a script: each entry is how many bytes the
// next call takes (0: would block, -1: the connection failed). Once the script
// runs out every call takes everything.
struct ScriptedSend {
  static inline std::vector<long> script;
  static inline std::size_t next = 0;
  static inline std::string stream;
  static long Send(platform::Socket, const char* bytes, std::size_t length) {
    long take = next < script.size() ? script[next++] : static_cast<long>(length);
    if (take > static_cast<long>(length)) take = static_cast<long>(length);
    if (take > 0) stream.append(bytes, static_cast<std::size_t>(take));
    return take;
  }
};

TEST(ClientService, ShortSendsAreFinishedBeforeAnythingNew) {
  struct Case {
    const char* name;
    std::vector<long> script;
    std::string want;  // what the client's stream carries after three messages
  } cases[] = {
      {"every send whole", {}, "AAAA;BBBB;CCCC;"},
      {"tail finished before the next message", {2}, "AAAA;BBBB;CCCC;"},
      {"tail sent in pieces", {1, 1, 1}, "AAAA;BBBB;CCCC;"},
      {"still-owed tail skips the message whole", {2, 1, 0}, "AAAA;CCCC;"},
      {"would-block misses only that message", {0}, "BBBB;CCCC;"},
      {"short send then would-block, then done", {3, 0}, "AAAA;CCCC;"},
  };
  for (const Case& c : cases) {
    Service s;
    TestClient client(s.port());
    ASSERT_TRUE(s.Admit(0));
    s.service.send = ScriptedSend::Send;
    ScriptedSend::script = c.script;
    ScriptedSend::next = 0;
    ScriptedSend::stream.clear();
    for (const char* message : {"AAAA;", "BBBB;", "CCCC;"}) {
      clients::Broadcast(s.service, message, 5);
    }
    clients::Broadcast(s.service, "", 0);  // lets a last tail go out
    EXPECT_EQ(ScriptedSend::stream, c.want) << c.name;
    EXPECT_EQ(clients::ClientCount(s.service), 1u) << c.name;
  }
}

}  // namespace
