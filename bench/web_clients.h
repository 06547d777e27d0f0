// The web benchmark's clients: one plain TCP client of the relay and any
// number of WebSocket clients of relay-web, all read by one thread that runs
// one io_context, so that every row is timed at the relay's own client and
// at every browser in the same run. Every message is checked against what
// its row must give, counted for its row and, inside a window, timed from
// publish to its arrival in the client's socket (the kernel's receive time).
//
// The reader stays out of the way while a row travels: it reads only when
// asked (ReadArrived), which the benchmark does halfway between rows, when
// the last row has long arrived. A reader woken by every message would take
// the CPU from the relay and relay-web in the middle of their sends (on a
// small machine the woken thread can preempt the sender), and its own cost
// would be counted against them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "feed.h"
#include "measure.h"

namespace bench {

// The io_context, its thread and the clients (defined where Beast is used).
struct WebClients;

// Totals over the life of one kind of client.
struct ClientFaults {
  std::int64_t damaged = 0;     // messages that are not what their row gives
  std::int64_t outOfOrder = 0;  // rows not above the one before them
  std::int64_t closed = 0;      // connections the far end closed or broke
  std::int64_t offline = 0;     // relay-web said "offline" once rows were flowing
};

struct WebWindow {
  // Publish-to-receive times of the rows in the window, in nanoseconds: the
  // relay's client, and every WebSocket client's together.
  std::vector<std::int64_t> relayLatencies, webLatencies;
  // The WebSocket clients relay-web serves first and last (it sends in the
  // order they connected).
  std::vector<std::int64_t> firstWebLatencies, lastWebLatencies;
  std::int64_t relayDelivered = 0, relayMissing = 0;
  // Client-messages: the rows the relay sent as data (a SESSION_INFO takes a
  // row's place now and then) that reached, or did not reach, each browser.
  std::int64_t webDelivered = 0, webMissing = 0;
};

// Starts the reading thread; nullptr, with a description, on failure.
WebClients* OpenWebClients(const Feed& feed, std::string* error);
// Ends the thread and closes every connection.
void CloseWebClients(WebClients* clients);

// Connects the relay's client to 127.0.0.1:`port`, retrying until
// `timeoutMilliseconds` pass (the relay may still be starting).
bool ConnectRelayClient(WebClients& clients, const char* port, int timeoutMilliseconds,
                        std::string* error);
// Opens `count` WebSocket connections to ws://127.0.0.1:`port`/ws, retrying
// the first until `timeoutMilliseconds` pass.
bool ConnectWebSockets(WebClients& clients, const char* port, std::size_t count,
                       int timeoutMilliseconds, std::string* error);

// Has the reading thread take what has arrived; returns at once.
void ReadArrived(WebClients& clients);

// True once the relay's client and every WebSocket client have had a row.
bool AllServed(WebClients& clients);

// Starts counting and timing rows window.first..window.last.
void OpenWebWindow(WebClients& clients, Window window);
// Waits, reading every millisecond, until every client has what the relay
// sent up to row `tick`, or, returning false, until nothing has arrived for
// `quietMilliseconds`.
bool WaitWebCaughtUp(WebClients& clients, std::int64_t tick, int quietMilliseconds);
// Ends the window and hands over its figures.
WebWindow CloseWebWindow(WebClients& clients);

// Reads that came with no kernel receive time, so were timed when the read
// returned; 0 where the kernel stamps every read.
std::int64_t UnstampedReads(WebClients& clients);

// CPU time of the reading thread so far, in nanoseconds: what reading costs
// the benchmark, to show that the reader is not what is being measured.
std::int64_t ReaderCpuNanoseconds(WebClients& clients);

ClientFaults RelayClientFaults(WebClients& clients);
ClientFaults WebSocketFaults(WebClients& clients);

}  // namespace bench
