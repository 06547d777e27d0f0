// relay-web's path for one row, from the relay's socket to a browser's, with
// the heap counted: once the first rows have sized every buffer, a row costs
// no allocation at all. The bridge runs in this process on its own thread
// (the thread whose allocations count) between a stand-in relay and a
// WebSocket client, both on free loopback ports. The same holds for the
// simulator's rows of a full field, whose standings and relative go out
// every 250 ms: there the rows are handed to the feed as the simulator
// link hands them over, on the bridge's thread.
#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "feed.h"
#include "relay-web/buffer_pool.h"
#include "relay-web/feed.h"
#include "relay-web/handler_memory.h"
#include "relay-web/relay_link.h"
#include "relay-web/variables.h"
#include "relay-web/web_server.h"

// glibc's own entry points, which the functions below wrap: operator new,
// the C++ library and Asio all allocate through these names.
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* pointer);
}

namespace {

thread_local bool tBridgeThread = false;
std::atomic<bool> gCounting{false};
std::atomic<long> gAllocations{0};

void Count() {
  if (tBridgeThread && gCounting.load(std::memory_order_relaxed)) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
  }
}

}  // namespace

extern "C" {
void* malloc(std::size_t size) noexcept {
  Count();
  return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) noexcept {
  Count();
  return __libc_calloc(count, size);
}
void* realloc(void* pointer, std::size_t size) noexcept {
  Count();
  return __libc_realloc(pointer, size);
}
void* memalign(std::size_t alignment, std::size_t size) noexcept {
  Count();
  return __libc_memalign(alignment, size);
}
void* aligned_alloc(std::size_t alignment, std::size_t size) noexcept {
  Count();
  return __libc_memalign(alignment, size);
}
int posix_memalign(void** pointer, std::size_t alignment, std::size_t size) noexcept {
  Count();
  *pointer = __libc_memalign(alignment, size);
  return *pointer == nullptr ? ENOMEM : 0;
}
void free(void* pointer) noexcept { __libc_free(pointer); }
}

namespace {

namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;

// Row n carries n as its lap distance: the lap stays the same, as it does
// for a couple of minutes while a car drives (a lap's end is news that may
// cost an allocation or two, a row is not).
std::string Row(int n) {
  return "DATA_PACKET;90.50;85.25;3;42.70;6543;0.50;0.38;" + std::to_string(n) +
         ".00;4;3;12;1800.00;0;1.00;1;";
}

TEST(WebAllocation, ARowFromTheRelayToABrowserAllocatesNothing) {
  net::io_context clients;
  tcp::acceptor relay(clients, {net::ip::make_address("127.0.0.1"), 0});

  net::io_context bridgeIo;
  web::WebServer server(bridgeIo, web::Source::kRelay);
  std::string error;
  ASSERT_TRUE(server.Listen({net::ip::make_address("127.0.0.1"), 0}, &error)) << error;
  web::Feed feed(bridgeIo, server, strategy::kDefaultFuelMarginLaps);
  web::RelayLink link(bridgeIo, "127.0.0.1", std::to_string(relay.local_endpoint().port()), feed);
  link.Start();
  std::thread bridge([&] {
    tBridgeThread = true;
    bridgeIo.run();
  });

  tcp::socket toBridge = relay.accept();
  net::write(toBridge, net::buffer(std::string("SESSION_INFO;5900;7400;7200;7600;porsche992cup")));
  websocket::stream<tcp::socket> browser(clients);
  browser.next_layer().connect(server.LocalEndpoint());
  // A browser with variables of its own: the row's vars message is on the
  // counted path too.
  browser.handshake("127.0.0.1", "/ws?vars=OilTemp,RPM,Lap,Nope");
  beast::flat_buffer message;

  // In step: each row is read, framed, turned into JSON and sent on its own
  // before the next is written. The first rows size the buffers.
  constexpr int kWarmUpRows = 200;
  constexpr int kCountedRows = 2000;
  for (int lap = 0; lap < kWarmUpRows + kCountedRows; ++lap) {
    if (lap == kWarmUpRows) gCounting = true;
    net::write(toBridge, net::buffer(Row(lap)));
    const std::string wanted = "\"lapDist\":" + std::to_string(lap) + ".00,";
    for (;;) {
      message.consume(message.size());
      browser.read(message);
      if (beast::buffers_to_string(message.data()).find(wanted) != std::string::npos) break;
    }
  }
  gCounting = false;
  std::printf("%ld allocations in relay-web's thread for %d rows\n", gAllocations.load(),
              kCountedRows);
  EXPECT_EQ(gAllocations.load(), 0);

  bridgeIo.stop();
  bridge.join();
}

// The simulator's row of a race with 60 cars: the per-car arrays the
// standings read, each of 64 entries, and the session's time and number.
struct FieldRow {
  std::shared_ptr<web::Directory> directory = std::make_shared<web::Directory>();
  std::vector<std::uint8_t> bytes;

  FieldRow() {
    using web::ValueType;
    const std::pair<const char*, ValueType> arrays[] = {
        {"CarIdxLapCompleted", ValueType::kInt},  {"CarIdxLapDistPct", ValueType::kFloat},
        {"CarIdxTrackSurface", ValueType::kInt},  {"CarIdxOnPitRoad", ValueType::kBool},
        {"CarIdxPosition", ValueType::kInt},      {"CarIdxClassPosition", ValueType::kInt},
        {"CarIdxLastLapTime", ValueType::kFloat}, {"CarIdxBestLapTime", ValueType::kFloat}};
    std::int32_t offset = 0;
    const auto add = [&](const char* name, ValueType type, std::int32_t count) {
      directory->variables.push_back(
          {name, type, count, offset, "", "", web::JsonString(name) + ":"});
      offset += simlink::ValueSize(type) * count;
    };
    add("SessionTime", ValueType::kDouble, 1);
    add("SessionNum", ValueType::kInt, 1);
    add("PlayerCarIdx", ValueType::kInt, 1);
    for (const auto& [name, type] : arrays) add(name, type, standings::kMaxCars);
    directory->rowLength = offset;
    directory->relayOffsets.fill(-1);
    directory->Index();
    bytes.assign(static_cast<std::size_t>(offset), 0);
  }

  template <typename Value>
  void Set(const char* name, Value value, int car = 0) {
    const web::Variable& variable =
        directory->variables[static_cast<std::size_t>(directory->Find(name))];
    std::memcpy(bytes.data() + variable.offset + car * simlink::ValueSize(variable.type), &value,
                sizeof value);
  }

  // Row n: every car a little over a point of the standings further round
  // the lap, so that each passes a point every row.
  void Fill(int n) {
    Set("SessionTime", n / 60.0);
    Set("PlayerCarIdx", std::int32_t{bench::kPlayerCar});
    for (int car = 0; car <= 60; ++car) {
      const double laps = 0.9 - car * 0.013 + n * (0.003 + car * 0.00001);
      Set("CarIdxLapCompleted", static_cast<std::int32_t>(std::floor(laps)), car);
      Set("CarIdxLapDistPct", static_cast<float>(laps - std::floor(laps)), car);
      Set("CarIdxTrackSurface", std::int32_t{3}, car);
      Set("CarIdxOnPitRoad", static_cast<std::uint8_t>(car == 60 && n % 900 < 300), car);
      Set("CarIdxPosition", std::int32_t{car}, car);
      Set("CarIdxClassPosition", std::int32_t{(car - 1) % 30 + 1}, car);
      Set("CarIdxLastLapTime", static_cast<float>(100 + car * 0.1), car);
      Set("CarIdxBestLapTime", static_cast<float>(99 + car * 0.1), car);
    }
  }
};

TEST(WebAllocation, TheStandingsOfAFullFieldAllocateNothing) {
  net::io_context clients;
  net::io_context bridgeIo;
  web::WebServer server(bridgeIo, web::Source::kSimulator);
  std::string error;
  ASSERT_TRUE(server.Listen({net::ip::make_address("127.0.0.1"), 0}, &error)) << error;
  web::Feed feed(bridgeIo, server, strategy::kDefaultFuelMarginLaps);
  FieldRow row;
  web::BufferPool dataBuffers(web::kDataJsonCapacity);
  const auto postMemory = std::make_shared<web::HandlerMemory>();
  std::atomic<bool> rowDone{true};
  // Before the bridge's thread runs, the calls may come from this one.
  feed.PublishStatus(true);
  feed.PublishDirectory(row.directory);
  feed.PublishSessionText(bench::FieldSessionText());
  std::thread bridge([&] {
    tBridgeThread = true;
    bridgeIo.run();
  });

  websocket::stream<tcp::socket> browser(clients);
  browser.next_layer().connect(server.LocalEndpoint());
  browser.handshake("127.0.0.1", "/ws");
  beast::flat_buffer message;

  // In step, as above; the standings go out at most every 250 ms of the
  // wall clock, so the rows run until several have been sent: the first
  // ones size the standings' buffers, the counted ones must not.
  constexpr int kWarmUpStandings = 4;
  constexpr int kCountedStandings = 8;
  constexpr int kLeastCountedRows = 2000;
  int standings = 0, relatives = 0, counted = 0;
  for (int n = 1; standings < kWarmUpStandings + kCountedStandings || counted < kLeastCountedRows;
       ++n) {
    if (!gCounting && standings >= kWarmUpStandings) {
      gAllocations = 0;
      gCounting = true;
    }
    if (gCounting) ++counted;
    // Handed over as the simulator link hands its rows over: in memory of
    // the link's own, one row at a time.
    while (!rowDone.exchange(false)) std::this_thread::yield();
    net::post(bridgeIo, web::WithMemory(postMemory, [&, n] {
                row.Fill(n);
                const std::shared_ptr<std::string> data = dataBuffers.Free();
                char digits[16];
                data->assign("{\"type\":\"data\",\"raceLaps\":");
                data->append(digits, std::to_chars(digits, digits + sizeof digits, n).ptr);
                *data += '}';
                feed.PublishRow(data, row.bytes, n);
                rowDone = true;
              }));
    const std::string wanted = "\"raceLaps\":" + std::to_string(n) + "}";
    for (;;) {
      message.consume(message.size());
      browser.read(message);
      const std::string text = beast::buffers_to_string(message.data());
      if (text.starts_with("{\"type\":\"standings\"")) {
        // The whole field, all of it on track.
        EXPECT_NE(text.find("\"carIdx\":60,"), std::string::npos);
        EXPECT_EQ(text.find("\"inWorld\":false"), std::string::npos);
        ++standings;
      }
      relatives += text.starts_with("{\"type\":\"relative\"") ? 1 : 0;
      if (text.ends_with(wanted)) break;
    }
  }
  gCounting = false;
  std::printf("%ld allocations in relay-web's thread for %d rows of 60 cars, %d standings\n",
              gAllocations.load(), counted, standings - kWarmUpStandings);
  EXPECT_EQ(gAllocations.load(), 0);
  // Each standings message with its relative (the last may be on its way).
  EXPECT_GE(relatives, standings - 1);

  bridgeIo.stop();
  bridge.join();
}

}  // namespace
