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
  // relay's client, and every WebSocket client's data messages together.
  std::vector<std::int64_t> relayLatencies, webLatencies;
  // The WebSocket clients relay-web serves first and last (it sends in the
  // order they connected).
  std::vector<std::int64_t> firstWebLatencies, lastWebLatencies;
  // Every WebSocket client's vars messages together.
  std::vector<std::int64_t> varsLatencies;
  // The data messages sent after a standings message, of the rows after
  // which the standings fell due.
  std::vector<std::int64_t> standingsRowLatencies;
  std::int64_t relayDelivered = 0, relayMissing = 0;
  // Client-messages: the rows each browser is owed that reached it, or did
  // not. Reading the relay, relay-web is owed the rows the relay sent as
  // data (a SESSION_INFO takes a row's place now and then); reading the
  // simulator, every row.
  std::int64_t webDelivered = 0, webMissing = 0;
  std::int64_t varsDelivered = 0, varsMissing = 0;
  std::int64_t varsBytes = 0;  // of the vars messages delivered
  // Standings and relative messages the browsers received in the window.
  std::int64_t standingsDelivered = 0, relativeDelivered = 0;
};

// How the vars messages were checked, over the clients' life.
struct VarsChecks {
  std::int64_t whole = 0;  // parsed and checked value by value
  std::int64_t same = 0;   // the same bytes as a message checked whole
};

// Starts the reading thread; nullptr, with a description, on failure. With
// `direct`, relay-web reads the simulator itself and owes every browser
// every row. The standings are checked against the feed's field as it is
// now (see UseField), until ExpectField says otherwise.
WebClients* OpenWebClients(const Feed& feed, bool direct, std::string* error);
// Ends the thread and closes every connection.
void CloseWebClients(WebClients* clients);

// Connects the relay's client to 127.0.0.1:`port`, retrying until
// `timeoutMilliseconds` pass (the relay may still be starting).
bool ConnectRelayClient(WebClients& clients, const char* port, int timeoutMilliseconds,
                        std::string* error);
// Opens a WebSocket connection to ws://127.0.0.1:`port` for each of
// `targets` ("/ws", "/ws?vars=*"), retrying the first until
// `timeoutMilliseconds` pass. A client whose target asks for vars is owed
// a vars message for every row it is owed data for.
bool ConnectWebSockets(WebClients& clients, const char* port,
                       const std::vector<std::string>& targets, int timeoutMilliseconds,
                       std::string* error);

// The standings to expect once relay-web has read the session text the
// region has now: the field's (FieldSessionText, on track) or the default
// text's.
void ExpectField(WebClients& clients, bool field);
// The fewest session-text notices any WebSocket client has received.
std::int64_t TextNotices(WebClients& clients);

// Has the reading thread take what has arrived; returns at once.
void ReadArrived(WebClients& clients);

// True once the relay's client and every WebSocket client have had a row
// (and its vars, where asked for).
bool AllServed(WebClients& clients);

// Which clients a window or a wait is about: the relay's, relay-web's, or
// both. Where the relay and relay-web take turns at the simulator's event,
// each turn is about the one whose turn it is.
struct Sides {
  bool relay = true;
  bool web = true;
};

// Starts counting and timing rows window.first..window.last at `sides`.
void OpenWebWindow(WebClients& clients, Window window, Sides sides);
// Waits, reading every millisecond, until every client of `sides` has what
// it is owed up to row `tick`, or, returning false, until nothing has
// arrived for `quietMilliseconds`.
bool WaitWebCaughtUp(WebClients& clients, std::int64_t tick, int quietMilliseconds, Sides sides);
// Ends the window and hands over its figures.
WebWindow CloseWebWindow(WebClients& clients);
// Adds the figures of `window` to `into`.
void AddWindow(WebWindow& into, const WebWindow& window);

// Reads that came with no kernel receive time, so were timed when the read
// returned; 0 where the kernel stamps every read.
std::int64_t UnstampedReads(WebClients& clients);

// CPU time of the reading thread so far, in nanoseconds: what reading costs
// the benchmark, to show that the reader is not what is being measured.
std::int64_t ReaderCpuNanoseconds(WebClients& clients);

ClientFaults RelayClientFaults(WebClients& clients);
ClientFaults WebSocketFaults(WebClients& clients);
VarsChecks VarsChecked(WebClients& clients);

}  // namespace bench
