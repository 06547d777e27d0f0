// Fault injection with the real executables: the relay, fed by the fault
// publisher (support/tick_rows.h rows), while clients and the region misbehave
// in every way the relay must survive. In each case the healthy clients, one
// admitted before the faulty ones and one after, must receive every message
// whole: the later one's stream is exactly the tail of the earlier one's, and
// every DATA_PACKET is the one its row's tick count gives.
//
// POSIX only: the clients reset connections with SO_LINGER, the relay's
// descriptor limit is lowered with the shell's ulimit, and the publisher is
// killed with SIGKILL.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "clients/client_service.h"
#include "sim-publisher/publisher.h"
#include "simlink/region.h"
#include "support/process.h"
#include "support/test_support.h"
#include "support/tick_rows.h"

namespace {

using testsupport::ChildProcess;
using testsupport::SplitMessages;
using testsupport::TestClient;

using testsupport::Field;
using testsupport::Occurrences;
using testsupport::ReadFile;

// Checks that every message of `stream` is whole: SESSION_INFO exactly, or
// the DATA_PACKET of the row its Lap and RaceLaps fields name, with tick
// counts rising within each generation. A stalled client's last message may
// still be owed in part (`lastMayBeCut`). While the variable records were
// hostile the relay finds none of the variables and sends every value as 0
// (`variablesMayGoMissing`). Returns how many DATA_PACKETs each generation
// sent.
std::map<long, int> ExpectWholeMessages(const std::string& stream, bool lastMayBeCut = false,
                                        bool variablesMayGoMissing = false) {
  const std::string allMissing =
      "DATA_PACKET;0.00;0.00;0;0.00;0;0.00;0.00;0.00;0;0;0;0.00;0;0.00;0;";
  std::vector<std::string> messages = SplitMessages(stream);
  if (lastMayBeCut && !messages.empty()) messages.pop_back();
  std::map<long, int> counts;
  std::map<long, long> lastTick;
  int failures = 0;
  for (const std::string& message : messages) {
    if (failures == 5) break;  // the first few say enough
    if (message.starts_with("SESSION_INFO")) {
      if (message != testsupport::kDefaultSessionInfo) ++failures, ADD_FAILURE() << message;
      continue;
    }
    if (variablesMayGoMissing && message == allMissing) continue;
    const long tick = Field(message, 9);
    const long generation = Field(message, 10);
    if (message != testsupport::TickPacket(static_cast<std::int32_t>(tick),
                                           static_cast<std::int32_t>(generation))) {
      ++failures, ADD_FAILURE() << "not one row's message: " << message;
      continue;
    }
    if (lastTick.count(generation) != 0 && tick <= lastTick[generation]) {
      ++failures, ADD_FAILURE() << "tick " << tick << " after " << lastTick[generation];
    }
    lastTick[generation] = tick;
    ++counts[generation];
  }
  return counts;
}

// A client driven at the socket level: it can send, and reset its
// connection instead of closing it.
struct RawClient {
  explicit RawClient(int receiveBuffer = 0) {
    fd = static_cast<int>(platform::ConnectTcp("127.0.0.1", clients::kPort, receiveBuffer));
  }
  ~RawClient() {
    if (fd >= 0) close(fd);
  }
  // Closes with a reset (RST) instead of an orderly FIN.
  void Reset() {
    linger hard{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(fd);
    fd = -1;
  }
  // Sends as much junk as the connection takes without blocking.
  void Chatter() {
    static const std::string junk(16384, 'z');
    while (send(fd, junk.data(), junk.size(), MSG_DONTWAIT | MSG_NOSIGNAL) > 0) {
    }
  }
  // Reads what has arrived, in at most a bounded number of reads, so that a
  // steady stream cannot keep the caller here.
  void Drain() {
    char buffer[8192];
    for (int i = 0; i < 64; ++i) {
      const long got =
          platform::ReceiveBytes(static_cast<platform::Socket>(fd), buffer, sizeof buffer, 1);
      if (got <= 0) return;
      received.append(buffer, static_cast<std::size_t>(got));
    }
  }
  int fd = -1;
  std::string received;
};

class Faults : public testing::Test {
 protected:
  ~Faults() override {
    if (relay_ != nullptr) testsupport::KillProcess(relay_);
    if (publisher_ != nullptr) testsupport::KillProcess(publisher_);
    std::remove(relayOutput_.c_str());
    std::remove(publisherOutput_.c_str());
  }

  // Starts the fault publisher and waits until it has laid the region out.
  // Rows go out `burst` at a time, with a pause of `microseconds` after each.
  void StartPublisher(int generation, int microseconds, int slots = 3, int burst = 1) {
    publisher_ =
        testsupport::StartProcess(FAULT_PUBLISHER_EXECUTABLE,
                                  {std::to_string(generation), std::to_string(microseconds),
                                   std::to_string(slots), std::to_string(burst)},
                                  publisherOutput_);
    ASSERT_NE(publisher_, nullptr);
    const std::string ready = "publishing generation " + std::to_string(generation);
    ASSERT_TRUE(testsupport::WaitFor([&] {
      return ReadFile(publisherOutput_).find(ready) != std::string::npos;
    })) << ReadFile(publisherOutput_);
  }
  void KillPublisher() {
    testsupport::KillProcess(publisher_);
    publisher_ = nullptr;
  }

  // Starts the relay, with its descriptor limit lowered by the shell's ulimit
  // when `descriptorLimit` is given.
  void StartRelay(int descriptorLimit = 0) {
    if (descriptorLimit > 0) {
      relay_ = testsupport::StartProcess(
          "/bin/sh",
          {"-c", "ulimit -n " + std::to_string(descriptorLimit) + " && exec \"$0\"",
           RELAY_EXECUTABLE},
          relayOutput_);
    } else {
      relay_ = testsupport::StartProcess(RELAY_EXECUTABLE, {}, relayOutput_);
    }
    ASSERT_NE(relay_, nullptr);
  }

  // A healthy client, once the relay has admitted it and sent it something.
  std::unique_ptr<TestClient> Healthy() {
    auto client = testsupport::ConnectWhenListening(6667);
    if (client != nullptr && client->ReceiveAtLeast(1)) return client;
    ADD_FAILURE() << "the relay admitted no client";
    return nullptr;
  }

  // Keeps the healthy clients reading, taking turns, for `milliseconds`.
  static void Keep(std::initializer_list<TestClient*> clients, int milliseconds) {
    const std::int64_t end = platform::MonotonicNanoseconds() + milliseconds * 1000000LL;
    while (platform::MonotonicNanoseconds() < end) ReadOnce(clients);
  }

  // One read of whatever each client has, waiting 1 to 2 ms for each (the
  // wait is counted in whole milliseconds).
  static void ReadOnce(std::initializer_list<TestClient*> clients) {
    for (TestClient* client : clients) client->ReceiveAtLeast(client->received().size() + 1, 2);
  }

  // Keeps the clients reading until the last of them receives a DATA_PACKET
  // of `generation` beyond what it holds now, of a row with a tick count
  // above `afterTick`: relaying has resumed.
  static bool Resumes(std::initializer_list<TestClient*> clients, long generation,
                      long afterTick = -1) {
    TestClient& watched = **std::prev(clients.end());
    const std::size_t before = watched.received().size();
    const std::int64_t end = platform::MonotonicNanoseconds() + 10000 * 1000000LL;
    while (platform::MonotonicNanoseconds() < end) {
      ReadOnce(clients);
      for (const std::string& message : SplitMessages(watched.received().substr(before))) {
        if (message.starts_with("DATA_PACKET") && message.ends_with(";") &&
            Field(message, 10) == generation && Field(message, 9) > afterTick) {
          return true;
        }
      }
    }
    return false;
  }

  // Stops the rows, collects what the healthy clients were sent, and checks
  // it: whole messages, and the later client's stream the tail of the
  // earlier one's, so that no fault cost either of them a message. The relay
  // must still be running and have printed nothing but its status lines.
  void ExpectHealthy(TestClient& first, TestClient& last, bool variablesMayGoMissing = false) {
    if (publisher_ != nullptr) KillPublisher();
    first.Drain(300);
    last.Drain(300);
    const std::map<long, int> counts =
        ExpectWholeMessages(first.received(), false, variablesMayGoMissing);
    ExpectWholeMessages(last.received(), false, variablesMayGoMissing);
    EXPECT_FALSE(counts.empty());
    EXPECT_FALSE(last.received().empty());
    EXPECT_TRUE(first.received().ends_with(last.received()))
        << "the later client got what the earlier one missed, or the reverse";
    int status = 0;
    EXPECT_FALSE(testsupport::WaitForExit(relay_, 0, &status)) << "the relay ended: " << status;
    ExpectOnlyStatusLines();
  }

  // The relay's console holds its status lines and nothing else: no
  // sanitizer report, no stray text.
  void ExpectOnlyStatusLines() {
    const std::string console = ReadFile(relayOutput_);
    std::string_view rest = console;
    bool ok = Consume(rest, "Waiting for iRacing...");
    while (ok && !rest.empty()) {
      ok = Consume(rest, "\n Client disconnected") ||
           Consume(rest, "\n Connected to sim...Sam Driver\n") || ConsumeConnected(rest);
    }
    EXPECT_TRUE(ok) << "unexpected console output:\n" << console;
  }
  static bool Consume(std::string_view& rest, std::string_view text) {
    if (!rest.starts_with(text)) return false;
    rest.remove_prefix(text.size());
    return true;
  }
  // "\n Client <number> connected"
  static bool ConsumeConnected(std::string_view& rest) {
    std::string_view probe = rest;
    if (!Consume(probe, "\n Client ")) return false;
    const std::size_t digits = probe.find_first_not_of("0123456789");
    if (digits == 0 || digits == std::string_view::npos) return false;
    probe.remove_prefix(digits);
    if (!Consume(probe, " connected")) return false;
    rest = probe;
    return true;
  }

  std::string Console() { return ReadFile(relayOutput_); }

  // The publisher's region, mapped writable into the test: the test plays a
  // publisher that misbehaves in ways the real one does not.
  static platform::WritableRegion MapRegion() {
    platform::WritableRegion region;
    bool created = false;
    if (!platform::CreateNamedMapping(simlink::kMappingName, 0, &region, &created) || created) {
      return {};
    }
    return region;
  }
  static std::int64_t TickField(std::int32_t slot) {
    return simlink::layout::kSlots + simlink::layout::kSlotSize * slot +
           simlink::layout::kSlotTickCount;
  }
  // The highest tick count in the region's slots: the newest row published.
  static long NewestTick(const platform::WritableRegion& region) {
    std::int32_t newest = -1;
    for (std::int32_t slot = 0; slot < publisher::DefaultLayout().slotCount; ++slot) {
      std::int32_t tick = 0;
      std::memcpy(&tick, region.base + TickField(slot), sizeof tick);
      newest = std::max(newest, tick);
    }
    return newest;
  }

  std::string relayOutput_ = testing::TempDir() + "fault-relay-output.txt";
  std::string publisherOutput_ = testing::TempDir() + "fault-publisher-output.txt";
  ChildProcess* relay_ = nullptr;
  ChildProcess* publisher_ = nullptr;
};

TEST_F(Faults, ClientsThatResetStallOrChatterCostOthersNothing) {
  StartPublisher(1, 2000);
  StartRelay();
  auto first = Healthy();
  ASSERT_NE(first, nullptr);
  std::vector<std::unique_ptr<RawClient>> stalled, chatty;
  for (int i = 0; i < 2; ++i) {
    stalled.push_back(std::make_unique<RawClient>(2048));
    chatty.push_back(std::make_unique<RawClient>());
  }
  Keep({first.get()}, 200);
  auto last = Healthy();
  ASSERT_NE(last, nullptr);

  // Clients come and go by resets, some after reading, some at once, while
  // the chatty ones keep sending what the relay never reads.
  for (int round = 0; round < 30; ++round) {
    RawClient resetting;
    Keep({first.get(), last.get()}, 20);
    if (round % 2 == 0) resetting.Drain();
    resetting.Reset();
    for (auto& client : chatty) client->Chatter(), client->Drain();
    Keep({first.get(), last.get()}, 40);
  }
  ExpectHealthy(*first, *last);
  for (auto& client : chatty) {
    client->Drain();
    ExpectWholeMessages(client->received);
    EXPECT_TRUE(first->received().ends_with(client->received));
    EXPECT_TRUE(client->received.ends_with(last->received()));
  }
  for (auto& client : stalled) {
    client->Drain();
    ExpectWholeMessages(client->received, true);
  }
  EXPECT_EQ(Occurrences(Console(), " connected"), 36u);
}

TEST_F(Faults, ABurstBeyondTheDescriptorLimitIsServedOnceDescriptorsFree) {
  constexpr int kLimit = 32;
  constexpr int kBurst = 3 * kLimit;
  StartPublisher(1, 2000);
  StartRelay(kLimit);
  auto first = Healthy();
  ASSERT_NE(first, nullptr);

  std::vector<std::unique_ptr<RawClient>> burst;
  for (int i = 0; i < kBurst; ++i) {
    burst.push_back(std::make_unique<RawClient>());
    ASSERT_GE(burst.back()->fd, 0);
    ReadOnce({first.get()});
  }
  // The relay runs out of descriptors part way through the burst: it admits
  // no more, and goes on serving the clients it has.
  Keep({first.get()}, 1000);
  const std::size_t admitted = Occurrences(Console(), " connected");
  EXPECT_GT(admitted, 10u);
  EXPECT_LT(admitted, static_cast<std::size_t>(kLimit));
  EXPECT_TRUE(Resumes({first.get()}, 1));

  // Once the burst closes, the relay drops those it had, which frees their
  // descriptors, and admits (then drops) those still queued.
  burst.clear();
  for (int i = 0; i < 400 && Occurrences(Console(), "disconnected") < kBurst; ++i) {
    Keep({first.get()}, 25);
  }
  EXPECT_EQ(Occurrences(Console(), "disconnected"), static_cast<std::size_t>(kBurst));
  auto last = Healthy();
  ASSERT_NE(last, nullptr);
  Keep({first.get(), last.get()}, 300);
  ExpectHealthy(*first, *last);
  EXPECT_EQ(Occurrences(Console(), " connected"), static_cast<std::size_t>(kBurst + 2));
}

// In its bursts the publisher rewrites every slot many times a millisecond,
// so the relay's copies often overlap a rewrite (with one slot, nearly all
// do); no torn copy may reach a client.
TEST_F(Faults, RowsRewrittenDuringTheCopyNeverReachClients) {
  for (const int slots : {3, 1}) {
    SCOPED_TRACE(testing::Message() << slots << " slots");
    StartPublisher(slots, 2000, slots, 200);
    StartRelay();
    auto first = Healthy();
    ASSERT_NE(first, nullptr);
    auto last = Healthy();
    ASSERT_NE(last, nullptr);
    Keep({first.get(), last.get()}, 1500);
    ExpectHealthy(*first, *last);
    EXPECT_GT(SplitMessages(last->received()).size(), 50u);
    testsupport::KillProcess(relay_);
    relay_ = nullptr;
  }
}

TEST_F(Faults, APublisherKilledMidStreamAndRestartedIsFollowed) {
  StartPublisher(1, 2000, 3, 100);
  const platform::WritableRegion region = MapRegion();
  ASSERT_NE(region.base, nullptr);
  StartRelay();
  auto first = Healthy();
  ASSERT_NE(first, nullptr);
  auto last = Healthy();
  ASSERT_NE(last, nullptr);
  for (int generation = 2; generation <= 4; ++generation) {
    Keep({first.get(), last.get()}, 300);
    KillPublisher();
    // Killed while writing a row, as a kill during a burst may be: the slot
    // it was writing, the oldest, holds the rewriting mark and half a row.
    const publisher::Layout layout = publisher::DefaultLayout();
    std::int32_t oldest = 0, lowest = 2147483647;
    for (std::int32_t slot = 0; slot < layout.slotCount; ++slot) {
      std::int32_t tick = 0;
      std::memcpy(&tick, region.base + TickField(slot), sizeof tick);
      if (tick < lowest) oldest = slot, lowest = tick;
    }
    const std::int32_t mark = publisher::kRewritingTickCount;
    std::memcpy(region.base + TickField(oldest), &mark, sizeof mark);
    std::memset(region.base + publisher::RowOffset(layout, oldest), 0xFF,
                static_cast<std::size_t>(layout.rowLength / 2));
    Keep({first.get(), last.get()}, 200);
    StartPublisher(generation, 2000, 3, 100);
    ASSERT_TRUE(Resumes({first.get(), last.get()}, generation)) << "generation " << generation;
  }
  ExpectHealthy(*first, *last);
}

// Each case turns some header fields hostile, holds them while rows keep
// coming, and restores them: the relay must neither crash nor read outside
// the mapping, and must resume relaying once the header is sane. While the
// records lie past the end it finds no variable and sends zeros; once they
// are back it looks the variables up again before the next row.
TEST_F(Faults, AHeaderThatTurnsHostileAndSaneAgainIsSurvived) {
  namespace layout = simlink::layout;
  StartPublisher(1, 2000);
  const platform::WritableRegion region = MapRegion();
  ASSERT_NE(region.base, nullptr);
  const auto size = static_cast<std::int32_t>(region.size);
  const std::int32_t rowLength = publisher::DefaultLayout().rowLength;
  const std::int32_t slotSize = layout::kSlotSize;
  auto slotRow = [&](int slot) {
    return layout::kSlots + slotSize * slot + layout::kSlotRowOffset;
  };

  struct Poke {
    std::int64_t offset;
    std::int32_t value;
  };
  struct Case {
    const char* name;
    std::vector<Poke> pokes;
  } cases[] = {
      {"huge slot count", {{layout::kSlotCount, 2147483647}}},
      {"negative slot count", {{layout::kSlotCount, -5}}},
      {"row offsets past the end", {{slotRow(0), size}, {slotRow(1), size - 8}, {slotRow(2), -1}}},
      {"row length beyond the mapping", {{layout::kRowLength, size}}},
      {"negative row length", {{layout::kRowLength, -8154}}},
      {"huge variable count", {{layout::kVariableCount, 2147483647}}},
      {"records past the end", {{layout::kVariableRecordsOffset, size - 100}}},
      {"session text past the end", {{layout::kSessionInfoOffset, size}}},
      // A new row length makes the relay read the session text again, and
      // this one runs to the end of the mapping without a NUL.
      {"session text without a NUL",
       {{layout::kSessionInfoOffset, size - 16}, {layout::kRowLength, rowLength + 4}}},
  };
  std::memset(region.base + size - 16, 'x', 16);

  StartRelay();
  auto first = Healthy();
  ASSERT_NE(first, nullptr);
  auto last = Healthy();
  ASSERT_NE(last, nullptr);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Poke> saved;
    for (const Poke& poke : c.pokes) {
      Poke old{poke.offset, 0};
      std::memcpy(&old.value, region.base + poke.offset, sizeof old.value);
      saved.push_back(old);
      std::memcpy(region.base + poke.offset, &poke.value, sizeof poke.value);
    }
    Keep({first.get(), last.get()}, 300);
    for (const Poke& poke : saved) {
      std::memcpy(region.base + poke.offset, &poke.value, sizeof poke.value);
    }
    // Messages sent while the header was hostile may still be unread; only a
    // row published after the restore shows that the relay has seen it.
    ASSERT_TRUE(Resumes({first.get(), last.get()}, 1, NewestTick(region)));
  }
  ExpectHealthy(*first, *last, true);
  EXPECT_EQ(Occurrences(Console(), "Connected to sim...Sam Driver\n"), 3u) << Console();
}

}  // namespace
