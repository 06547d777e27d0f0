// relay-web's path for one row, from the relay's socket to a browser's, with
// the heap counted: once the first rows have sized every buffer, a row costs
// no allocation at all. The bridge runs in this process on its own thread
// (the thread whose allocations count) between a stand-in relay and a
// WebSocket client, both on free loopback ports.
#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "relay-web/relay_link.h"
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

}  // namespace
