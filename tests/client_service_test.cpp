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
  // Admits the next pending client, waiting briefly for its connection.
  bool Admit(std::uint32_t number) {
    for (int attempt = 0; attempt < 100; ++attempt) {
      if (clients::AdmitClient(service, number)) return true;
      platform::SleepMilliseconds(5);
    }
    return false;
  }
  clients::ClientService service;
};

std::string Numbered(const char* keyword, int i) {
  return std::string(keyword) + ";" + std::to_string(i) + ";" + std::string(200, 'x') + ";";
}

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
  platform::SleepMilliseconds(50);
  EXPECT_FALSE(clients::AdmitClient(s.service, 7));
  EXPECT_EQ(clients::ClientCount(s.service), 1u);
  second.Drain(200);
  EXPECT_TRUE(second.closed());
}

TEST(ClientService, AStalledClientCostsTheOthersNothing) {
  Service s;
  TestClient stalled(s.port(), 2048);  // never reads until the end
  TestClient healthy(s.port());
  ASSERT_TRUE(s.Admit(0));
  ASSERT_TRUE(s.Admit(1));

  std::string sent;
  for (int i = 0; i < 3000; ++i) {
    const std::string message = Numbered("DATA_PACKET", i);
    clients::Broadcast(s.service, message.data(), message.size());
    sent += message;
    if (i % 100 == 99) healthy.Drain(1);
  }
  ASSERT_TRUE(healthy.ReceiveAtLeast(sent.size()));
  EXPECT_EQ(healthy.received(), sent);
  EXPECT_EQ(clients::ClientCount(s.service), 2u);

  // The stalled client missed messages, but each one it got is whole and in
  // order.
  stalled.Drain(200);
  const auto got = testsupport::SplitMessages(stalled.received());
  ASSERT_FALSE(got.empty());
  EXPECT_LT(got.size(), 3000u);
  int last = -1;
  for (const std::string& message : got) {
    const int number = std::stoi(message.substr(12));
    EXPECT_EQ(message, Numbered("DATA_PACKET", number));
    EXPECT_GT(number, last);
    last = number;
  }
}

TEST(ClientService, AClosedClientIsDroppedOnceAndTheOthersMissNothing) {
  Service s;
  TestClient before(s.port());
  TestClient leaving(s.port());
  TestClient after(s.port());
  for (std::uint32_t n = 0; n < 3; ++n) ASSERT_TRUE(s.Admit(n));
  leaving.Close();

  testing::internal::CaptureStdout();
  std::string sent;
  for (int i = 0; i < 50 && clients::ClientCount(s.service) == 3; ++i) {
    const std::string message = Numbered("DATA_PACKET", i);
    clients::Broadcast(s.service, message.data(), message.size());
    sent += message;
    platform::SleepMilliseconds(2);
  }
  for (int i = 50; i < 60; ++i) {
    const std::string message = Numbered("DATA_PACKET", i);
    clients::Broadcast(s.service, message.data(), message.size());
    sent += message;
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n Client disconnected");
  EXPECT_EQ(clients::ClientCount(s.service), 2u);
  ASSERT_TRUE(before.ReceiveAtLeast(sent.size()));
  ASSERT_TRUE(after.ReceiveAtLeast(sent.size()));
  EXPECT_EQ(before.received(), sent);
  EXPECT_EQ(after.received(), sent);
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

TEST(ClientService, AFailedSendDropsOnlyThatClient) {
  Service s;
  TestClient a(s.port()), b(s.port()), c(s.port());
  for (std::uint32_t n = 0; n < 3; ++n) ASSERT_TRUE(s.Admit(n));
  s.service.send = ScriptedSend::Send;
  ScriptedSend::script = {5, -1};  // the second client in table order fails
  ScriptedSend::next = 0;
  ScriptedSend::stream.clear();
  testing::internal::CaptureStdout();
  clients::Broadcast(s.service, "AAAA;", 5);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n Client disconnected");
  EXPECT_EQ(ScriptedSend::stream, "AAAA;AAAA;");  // the first and third got it
  EXPECT_EQ(clients::ClientCount(s.service), 2u);
  EXPECT_EQ(s.service.table.count(1), 0u);
}

}  // namespace
