// The web benchmark's reading thread (Boost.Beast on one io_context) and the
// controls the benchmark drives it with. A message counts as received when
// the kernel put its last bytes in the client's socket (see StampedSocket),
// however much later the reader takes it.
#include "web_clients.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <condition_variable>
#include <cstdlib>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "receivers.h"
#include "relay_process.h"
#include "stamped_socket.h"
#include "web_messages.h"

namespace bench {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using ErrorCode = boost::system::error_code;

namespace {

// Rows whose expected messages are kept: far more than can be in flight.
constexpr std::size_t kRing = 64;

}  // namespace

struct RelayClient {
  explicit RelayClient(asio::io_context& io) : socket(io) {}
  StampedSocket socket;
  std::array<char, 65536> scratch{};
  std::string carry;  // the start of a message still arriving
  Tally tally;
  bool closed = false;
};

struct WebSocketClient {
  WebSocketClient(asio::io_context& io, std::size_t order, bool asksVars)
      : stream(io), index(order), vars(asksVars) {}
  websocket::stream<StampedSocket> stream;
  std::size_t index;  // in the order of connection
  bool vars;          // asked for vars messages
  beast::flat_buffer buffer;
  std::int64_t lastTick = -1;      // of the last data message
  std::int64_t lastVarsTick = -1;  // of the last vars message
  // The window's rows received, by row: data and vars messages.
  std::vector<std::uint8_t> got, gotVars;
  // The session-text notices received, and the standings they call for.
  std::int64_t textNotices = 0;
  FieldWant field;
  // The last message was a standings or relative one: relay-web sends them
  // ahead of the row after which they fell due.
  bool afterStandings = false;
  bool closed = false;
  bool pinging = false;
};

struct WebClients {
  WebClients(const Feed& source, bool simulator) : feed(&source), direct(simulator) {}
  const Feed* feed;
  const bool direct;  // relay-web reads the simulator: every row is owed
  // Declared before the clients, so that their sockets go first.
  asio::io_context io;
  asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
  std::thread thread;
  std::atomic<pid_t> readerThread{0};
  // Requests to read what has arrived, and the request to end.
  std::mutex askMutex;
  std::condition_variable asked;
  bool readAsked = false;
  bool ending = false;
  std::int64_t lastPing = 0;  // the reader's own

  // Everything below is shared with the reading thread and guarded.
  std::mutex mutex;
  std::unique_ptr<RelayClient> relay;
  std::vector<std::unique_ptr<WebSocketClient>> web;
  ClientFaults relayFaults, webFaults;
  std::int64_t bytes = 0;               // received so far: shows whether data still flows
  Window window;                        // empty unless a window is open
  Sides sides;                          // whose rows the window counts
  std::vector<std::uint8_t> relayData;  // the window's rows the relay sent as data
  WebWindow figures;
  std::size_t varsClients = 0;  // the WebSocket clients that asked for vars
  VarsChecks varsChecks;

  // What the reading thread needs to check messages.
  std::string sessionInfo;
  // The standings the region's session text calls for: each browser's
  // from the first notice of a new text it receives (relay-web has read
  // the text by then, and the standings it sends after follow it).
  FieldWant field;
  // The last standings and relative messages found right: every browser is
  // sent the same bytes, which need be parsed only once.
  std::array<std::string, 2> checkedState;
  std::vector<std::uint8_t> row;
  struct Text {
    std::int64_t tick = -1;
    std::string text;
  };
  std::array<Text, kRing> expected;  // the DATA_PACKET of each row
  // The first data message of each row, which relay-web should have built
  // once and sent to all: the others need only be the same bytes, and it is
  // checked whole once every browser has had it, when relay-web and the
  // relay are idle until the next row, so that the check takes no CPU from
  // them while a row is on its way.
  struct FirstData {
    std::int64_t tick = -1;
    std::string text;
    enum { kPending, kGood, kBad } state = kPending;
    std::int64_t copies = 0;      // received while pending
    bool unknownAllowed = false;  // a socket's first vars message

    // Takes the slot for row `rowTick`, whose first copy is `firstText`.
    void Begin(std::int64_t rowTick, std::string_view firstText, bool unknown) {
      tick = rowTick;
      text = firstText;
      state = kPending;
      copies = 0;
      unknownAllowed = unknown;
    }
  };
  std::array<FirstData, kRing> firstData;
  // The same for vars messages: browsers on one subscription are sent the
  // same bytes, checked value by value once all have them.
  std::array<FirstData, kRing> firstVars;
};

namespace {

std::string_view ExpectedData(WebClients& clients, std::int64_t tick) {
  WebClients::Text& entry = clients.expected[static_cast<std::size_t>(tick) % kRing];
  if (entry.tick != tick) {
    char packet[relay::kPacketBufferSize];
    entry.text = ExpectedDataPacket(*clients.feed, tick, clients.row, packet);
    entry.tick = tick;
  }
  return entry.text;
}

bool InWindow(const WebClients& clients, std::int64_t tick) {
  return clients.sides.web && tick >= clients.window.first && tick <= clients.window.last;
}

// The window as the relay's client counts it: empty when not its turn.
Window RelayWindow(const WebClients& clients) {
  return clients.sides.relay ? clients.window : Window{};
}

std::size_t RowIndex(const WebClients& clients, std::int64_t tick) {
  return static_cast<std::size_t>(tick - clients.window.first);
}

void CheckFirstData(WebClients& clients, WebClients::FirstData& first) {
  if (first.tick < 0 || first.state != WebClients::FirstData::kPending) return;
  const bool good = SameValues(first.text, ExpectedData(clients, first.tick));
  first.state = good ? WebClients::FirstData::kGood : WebClients::FirstData::kBad;
  if (!good) clients.webFaults.damaged += first.copies;
}

// Checks `text`, the vars message of row `tick`, value by value.
bool CheckVarsWhole(WebClients& clients, std::string_view text, std::int64_t tick,
                    bool unknownAllowed) {
  ++clients.varsChecks.whole;
  ExpectedRow(*clients.feed, tick, clients.row);
  return SameVars(text, tick, clients.feed->sim.layout.variables, clients.row, unknownAllowed);
}

void CheckFirstVars(WebClients& clients, WebClients::FirstData& first) {
  if (first.tick < 0 || first.state != WebClients::FirstData::kPending) return;
  const bool good = CheckVarsWhole(clients, first.text, first.tick, first.unknownAllowed);
  first.state = good ? WebClients::FirstData::kGood : WebClients::FirstData::kBad;
  if (good) {
    clients.varsChecks.same += std::max<std::int64_t>(0, first.copies - 1);
  } else {
    clients.webFaults.damaged += first.copies;
  }
}

// Checks the first data and vars messages of every row that are still
// pending (some browser never had them).
void CheckAllPending(WebClients& clients) {
  for (WebClients::FirstData& first : clients.firstData) CheckFirstData(clients, first);
  for (WebClients::FirstData& first : clients.firstVars) CheckFirstVars(clients, first);
}

// Counts one whole message from the relay, received at `now`.
void TakeRelay(WebClients& clients, const Message& message, std::int64_t now) {
  Tally& tally = clients.relay->tally;
  switch (message.kind) {
    case MessageKind::kData: {
      const std::int64_t tick = TickOf(message.text);
      if (tick < 0 || message.text != ExpectedData(clients, tick)) {
        ++clients.relayFaults.damaged;
        return;
      }
      if (CountData(tally, RelayWindow(clients), tick)) {
        clients.relayData[RowIndex(clients, tick)] = 1;
        clients.figures.relayLatencies.push_back(now - PublishTime(*clients.feed, tick));
      }
      return;
    }
    case MessageKind::kSessionInfo:
      if (message.text != clients.sessionInfo) {
        ++clients.relayFaults.damaged;
        return;
      }
      CountSessionInfo(tally);
      return;
    case MessageKind::kGarbage:
      ++clients.relayFaults.damaged;
      return;
    case MessageKind::kIncomplete:
      return;
  }
}

void ParseRelay(WebClients& clients, std::int64_t now) {
  std::string& carry = clients.relay->carry;
  std::string_view rest = carry;
  for (;;) {
    const Message message = NextMessage(rest);
    if (message.kind == MessageKind::kIncomplete) break;
    rest.remove_prefix(message.text.size());
    TakeRelay(clients, message, now);
  }
  // A SESSION_INFO is only known to be whole when the next message begins;
  // one that is exactly the expected text is taken at once.
  if (rest == clients.sessionInfo) {
    TakeRelay(clients, {MessageKind::kSessionInfo, rest}, now);
    rest = {};
  }
  carry.erase(0, carry.size() - rest.size());
}

// Counts one vars message of `client`, of row `tick`, received at `now`.
void TakeVars(WebClients& clients, WebSocketClient& client, std::string_view text,
              std::int64_t tick, std::int64_t now) {
  const bool opening = client.lastVarsTick < 0;
  if (!client.vars) {
    ++clients.webFaults.damaged;  // not asked for
    return;
  }
  WebClients::FirstData& first = clients.firstVars[static_cast<std::size_t>(tick) % kRing];
  if (first.tick != tick) {
    CheckFirstVars(clients, first);  // a row long gone, not yet checked
    first.Begin(tick, text, opening);
  }
  if (first.text != text) {
    // Bytes of their own (another subscription's, or a socket's first with
    // its unknown names): checked at once.
    if (!CheckVarsWhole(clients, text, tick, opening)) {
      ++clients.webFaults.damaged;
      return;
    }
  } else if (first.state == WebClients::FirstData::kBad) {
    ++clients.webFaults.damaged;
    return;
  } else if (first.state == WebClients::FirstData::kGood) {
    ++clients.varsChecks.same;
  } else if (++first.copies == static_cast<std::int64_t>(clients.varsClients)) {
    CheckFirstVars(clients, first);  // every browser has it: relay-web is done with the row
  }
  if (tick <= client.lastVarsTick) {
    ++clients.webFaults.outOfOrder;
    return;
  }
  client.lastVarsTick = tick;
  if (!InWindow(clients, tick)) return;
  client.gotVars[RowIndex(clients, tick)] = 1;
  clients.figures.varsLatencies.push_back(now - PublishTime(*clients.feed, tick));
  clients.figures.varsBytes += static_cast<std::int64_t>(text.size());
}

// Checks a message of `client`'s that is not a row's (see CheckControl).
WebKind CheckState(WebClients& clients, WebSocketClient& client, std::string_view text) {
  std::array<std::string, 2>& checked = clients.checkedState;
  if (!text.empty() && text == checked[0]) return WebKind::kStandings;
  if (!text.empty() && text == checked[1]) return WebKind::kRelative;
  const WebKind kind = CheckControl(text, clients.sessionInfo, client.field);
  if (kind == WebKind::kStandings) checked[0] = text;
  if (kind == WebKind::kRelative) checked[1] = text;
  if (kind == WebKind::kSessionText) {
    ++client.textNotices;
    client.field = clients.field;
  }
  return kind;
}

// Counts one WebSocket message of `client`, received at `now`. Only the
// "raceLaps" or "tick" value is read here; see FirstData for the checks.
void TakeWeb(WebClients& clients, WebSocketClient& client, std::string_view text, bool isText,
             std::int64_t now) {
  if (const std::int64_t vars = isText ? VarsTickOf(text) : -1; vars >= 0) {
    TakeVars(clients, client, text, vars, now);
    return;
  }
  const std::int64_t tick = isText ? StampOf(text) : -1;
  if (tick < 0) {
    const WebKind kind = isText ? CheckState(clients, client, text) : WebKind::kDamaged;
    if (kind == WebKind::kDamaged) ++clients.webFaults.damaged;
    if (clients.sides.web && clients.window.last >= clients.window.first) {
      clients.figures.standingsDelivered += kind == WebKind::kStandings ? 1 : 0;
      clients.figures.relativeDelivered += kind == WebKind::kRelative ? 1 : 0;
    }
    if (kind == WebKind::kOffline && client.lastTick >= 0) ++clients.webFaults.offline;
    client.afterStandings = kind == WebKind::kStandings || kind == WebKind::kRelative;
    return;
  }
  const bool afterStandings = std::exchange(client.afterStandings, false);
  WebClients::FirstData& first = clients.firstData[static_cast<std::size_t>(tick) % kRing];
  if (first.tick != tick) {
    CheckFirstData(clients, first);  // a row long gone, not yet checked
    first.Begin(tick, text, false);
  }
  if (first.text != text) {
    // Bytes of their own: checked at once (relay-web does not do this).
    if (!SameValues(text, ExpectedData(clients, tick))) {
      ++clients.webFaults.damaged;
      return;
    }
  } else if (first.state == WebClients::FirstData::kBad) {
    ++clients.webFaults.damaged;
    return;
  } else if (first.state == WebClients::FirstData::kPending &&
             ++first.copies == static_cast<std::int64_t>(clients.web.size())) {
    CheckFirstData(clients, first);  // every browser has it: relay-web is done with the row
  }
  if (tick <= client.lastTick) {
    ++clients.webFaults.outOfOrder;
    return;
  }
  client.lastTick = tick;
  if (!InWindow(clients, tick)) return;
  client.got[RowIndex(clients, tick)] = 1;
  // A row's data and vars messages reach a browser together and may be read
  // in one go, so that the data message would take the vars message's
  // receive time: where there are vars, only they are timed.
  if (client.vars) return;
  const std::int64_t latency = now - PublishTime(*clients.feed, tick);
  WebWindow& figures = clients.figures;
  figures.webLatencies.push_back(latency);
  if (afterStandings) figures.standingsRowLatencies.push_back(latency);
  if (client.index == 0) figures.firstWebLatencies.push_back(latency);
  if (client.index + 1 == clients.web.size()) figures.lastWebLatencies.push_back(latency);
}

// A read the far end ended: counted, unless it was this side closing.
void CountClosed(const ErrorCode& error, bool& closed, std::int64_t& count) {
  if (error == asio::error::operation_aborted || closed) return;
  closed = true;
  ++count;
}

void ReadRelay(WebClients& clients) {
  RelayClient& client = *clients.relay;
  client.socket.async_read_some(asio::buffer(client.scratch),
                                [&clients](const ErrorCode& error, std::size_t size) {
                                  {
                                    std::lock_guard lock(clients.mutex);
                                    RelayClient& own = *clients.relay;
                                    const std::int64_t now = own.socket.Arrival();
                                    if (error) {
                                      CountClosed(error, own.closed, clients.relayFaults.closed);
                                      return;
                                    }
                                    clients.bytes += static_cast<std::int64_t>(size);
                                    own.carry.append(own.scratch.data(), size);
                                    ParseRelay(clients, now);
                                  }
                                  ReadRelay(clients);
                                });
}

void ReadWeb(WebClients& clients, WebSocketClient& client) {
  client.stream.async_read(
      client.buffer, [&clients, &client](const ErrorCode& error, std::size_t size) {
        const std::int64_t now = client.stream.next_layer().Arrival();
        {
          std::lock_guard lock(clients.mutex);
          if (error) {
            CountClosed(error, client.closed, clients.webFaults.closed);
            return;
          }
          clients.bytes += static_cast<std::int64_t>(size);
          const auto data = client.buffer.cdata();
          TakeWeb(clients, client, {static_cast<const char*>(data.data()), data.size()},
                  client.stream.got_text(), now);
          client.buffer.consume(client.buffer.size());
        }
        ReadWeb(clients, client);
      });
}

tcp::endpoint Loopback(const char* port) {
  return {asio::ip::address_v4::loopback(), static_cast<unsigned short>(std::atoi(port))};
}

// Connects `socket` to 127.0.0.1:`port`; with `retry`, again every 10 ms
// until `deadline`.
ErrorCode ConnectSocket(tcp::socket& socket, const char* port, bool retry, std::int64_t deadline) {
  ErrorCode error;
  for (;;) {
    socket.connect(Loopback(port), error);
    if (!error || !retry || platform::MonotonicNanoseconds() > deadline) return error;
    socket.close(error);
    platform::SleepMilliseconds(10);
  }
}

// A server that hears nothing from a client pings it now and then (relay-web
// after 15 s). A ping that lands after a row's message and before the reader
// takes both would lend the message its later receive time, so the clients
// ping relay-web every few seconds themselves, right after reading: its
// answer comes long before the next row.
bool PingIfDue(WebClients& clients) {
  constexpr std::int64_t kPingInterval = std::int64_t{5} * 1000000000;
  const std::int64_t now = platform::MonotonicNanoseconds();
  if (now - clients.lastPing < kPingInterval) return false;
  clients.lastPing = now;
  std::lock_guard lock(clients.mutex);
  for (const auto& owned : clients.web) {
    WebSocketClient& client = *owned;
    if (client.closed || client.pinging) continue;
    client.pinging = true;
    client.stream.async_ping({}, [&clients, &client](const ErrorCode&) {
      std::lock_guard done(clients.mutex);
      client.pinging = false;
    });
  }
  return true;
}

// The reading thread: nothing waits on the sockets (no thread sits in the
// io_context's epoll_wait), so an arriving message wakes nobody; when asked,
// it runs whatever has become ready (reads, and the further reads their
// handlers start) until nothing is left.
void ReadWhenAsked(WebClients* clients) {
  clients->readerThread.store(gettid());
  std::unique_lock lock(clients->askMutex);
  for (;;) {
    clients->asked.wait(lock, [clients] { return clients->readAsked || clients->ending; });
    if (clients->ending) return;
    clients->readAsked = false;
    lock.unlock();
    while (clients->io.poll() > 0) {
    }
    if (PingIfDue(*clients)) {
      while (clients->io.poll() > 0) {
      }
    }
    lock.lock();
  }
}

std::int64_t Deadline(int timeoutMilliseconds) {
  return platform::MonotonicNanoseconds() + std::int64_t{timeoutMilliseconds} * 1000000;
}

}  // namespace

WebClients* OpenWebClients(const Feed& feed, bool direct, std::string* error) {
  auto clients = std::make_unique<WebClients>(feed, direct);
  clients->sessionInfo = ExpectedSessionInfo();
  clients->field = feed.field ? FieldWant{kFieldCars, true} : FieldWant{kDefaultDrivers, false};
  clients->row.assign(feed.row.size(), 0);
  try {
    clients->thread = std::thread(ReadWhenAsked, clients.get());
  } catch (const std::system_error& failure) {
    *error = std::string("cannot start the reading thread: ") + failure.what();
    return nullptr;
  }
  return clients.release();
}

void CloseWebClients(WebClients* clients) {
  if (clients == nullptr) return;
  {
    std::lock_guard lock(clients->askMutex);
    clients->ending = true;
  }
  clients->asked.notify_one();
  clients->thread.join();
  delete clients;
}

bool ConnectRelayClient(WebClients& clients, const char* port, int timeoutMilliseconds,
                        std::string* error) {
  auto client = std::make_unique<RelayClient>(clients.io);
  ErrorCode failed =
      ConnectSocket(client->socket.socket(), port, true, Deadline(timeoutMilliseconds));
  if (!failed && !client->socket.EnableStamps()) {
    failed.assign(errno, boost::system::system_category());
  }
  if (failed) {
    *error =
        std::string("cannot connect to the relay at 127.0.0.1:") + port + ": " + failed.message();
    return false;
  }
  std::lock_guard lock(clients.mutex);
  clients.relay = std::move(client);
  asio::post(clients.io, [&clients] { ReadRelay(clients); });
  return true;
}

bool ConnectWebSockets(WebClients& clients, const char* port,
                       const std::vector<std::string>& targets, int timeoutMilliseconds,
                       std::string* error) {
  const std::int64_t deadline = Deadline(timeoutMilliseconds);
  const std::string host = std::string("127.0.0.1:") + port;
  for (std::size_t i = 0; i < targets.size(); ++i) {
    const bool vars = targets[i].find("vars=") != std::string::npos;
    auto client = std::make_unique<WebSocketClient>(clients.io, clients.web.size(), vars);
    client->field = clients.field;
    StampedSocket& socket = client->stream.next_layer();
    ErrorCode failed = ConnectSocket(socket.socket(), port, i == 0, deadline);
    if (!failed && !socket.EnableStamps()) failed.assign(errno, boost::system::system_category());
    if (!failed) client->stream.handshake(host, targets[i], failed);
    if (failed) {
      *error = "WebSocket client " + std::to_string(i) + " cannot open ws://" + host +
               targets[i].substr(0, 40) + ": " + failed.message();
      return false;
    }
    std::lock_guard lock(clients.mutex);
    if (vars) ++clients.varsClients;
    WebSocketClient& added = *clients.web.emplace_back(std::move(client));
    asio::post(clients.io, [&clients, &added] { ReadWeb(clients, added); });
  }
  return true;
}

void ExpectField(WebClients& clients, bool field) {
  std::lock_guard lock(clients.mutex);
  clients.field = field ? FieldWant{kFieldCars, true} : FieldWant{kDefaultDrivers, false};
  clients.checkedState = {};
}

std::int64_t TextNotices(WebClients& clients) {
  std::lock_guard lock(clients.mutex);
  std::int64_t fewest = std::numeric_limits<std::int64_t>::max();
  for (const auto& client : clients.web) fewest = std::min(fewest, client->textNotices);
  return clients.web.empty() ? 0 : fewest;
}

void ReadArrived(WebClients& clients) {
  {
    std::lock_guard lock(clients.askMutex);
    clients.readAsked = true;
  }
  clients.asked.notify_one();
}

bool AllServed(WebClients& clients) {
  std::lock_guard lock(clients.mutex);
  if (!clients.relay || clients.relay->tally.lastTick < 0) return false;
  return std::all_of(clients.web.begin(), clients.web.end(), [](const auto& client) {
    return client->lastTick >= 0 && (!client->vars || client->lastVarsTick >= 0);
  });
}

void OpenWebWindow(WebClients& clients, Window window, Sides sides) {
  std::lock_guard lock(clients.mutex);
  clients.sides = sides;
  const auto rows =
      static_cast<std::size_t>(std::max<std::int64_t>(0, window.last - window.first + 1));
  clients.window = window;
  clients.figures = {};
  clients.figures.relayLatencies.reserve(rows);
  clients.figures.webLatencies.reserve(rows * clients.web.size());
  clients.figures.firstWebLatencies.reserve(rows);
  clients.figures.lastWebLatencies.reserve(rows);
  clients.figures.varsLatencies.reserve(rows * clients.varsClients);
  clients.relayData.assign(rows, 0);
  for (auto& client : clients.web) {
    client->got.assign(rows, 0);
    client->gotVars.assign(client->vars ? rows : 0, 0);
  }
  if (clients.relay) OpenWindow(clients.relay->tally);
}

bool WaitWebCaughtUp(WebClients& clients, std::int64_t tick, int quietMilliseconds, Sides sides) {
  return WaitWhileBytesFlow(quietMilliseconds, [&](std::int64_t* bytes) {
    {
      std::lock_guard lock(clients.mutex);
      *bytes = clients.bytes;
      const RelayClient& straight = *clients.relay;
      // Reading the relay, the browsers can have no more than it sent as data.
      const std::int64_t target = clients.direct ? tick : std::min(tick, straight.tally.lastTick);
      if ((!sides.relay || straight.closed || CaughtUp(straight.tally, tick)) &&
          (!sides.web ||
           std::all_of(clients.web.begin(), clients.web.end(), [target](const auto& client) {
             return client->closed || (client->lastTick >= target &&
                                       (!client->vars || client->lastVarsTick >= target));
           }))) {
        return true;
      }
    }
    ReadArrived(clients);
    return false;
  });
}

WebWindow CloseWebWindow(WebClients& clients) {
  std::lock_guard lock(clients.mutex);
  CheckAllPending(clients);
  WebWindow figures = std::move(clients.figures);
  if (clients.relay && clients.sides.relay) {
    Tally& tally = clients.relay->tally;
    CloseWindow(tally, clients.window);
    figures.relayDelivered = tally.delivered;
    figures.relayMissing = tally.missing;
  }
  for (const auto& client : clients.web) {
    if (!clients.sides.web) break;
    for (std::size_t i = 0; i < client->got.size(); ++i) {
      const bool owed = clients.direct || clients.relayData[i] != 0;
      figures.webDelivered += client->got[i];
      figures.webMissing += owed && client->got[i] == 0 ? 1 : 0;
      if (!client->vars) continue;
      figures.varsDelivered += client->gotVars[i];
      figures.varsMissing += owed && client->gotVars[i] == 0 ? 1 : 0;
    }
  }
  clients.window = {};
  clients.figures = {};
  return figures;
}

void AddWindow(WebWindow& into, const WebWindow& window) {
  const auto append = [](std::vector<std::int64_t>& to, const std::vector<std::int64_t>& from) {
    to.insert(to.end(), from.begin(), from.end());
  };
  append(into.relayLatencies, window.relayLatencies);
  append(into.webLatencies, window.webLatencies);
  append(into.firstWebLatencies, window.firstWebLatencies);
  append(into.lastWebLatencies, window.lastWebLatencies);
  append(into.varsLatencies, window.varsLatencies);
  append(into.standingsRowLatencies, window.standingsRowLatencies);
  into.relayDelivered += window.relayDelivered;
  into.relayMissing += window.relayMissing;
  into.webDelivered += window.webDelivered;
  into.webMissing += window.webMissing;
  into.varsDelivered += window.varsDelivered;
  into.varsMissing += window.varsMissing;
  into.varsBytes += window.varsBytes;
  into.standingsDelivered += window.standingsDelivered;
  into.relativeDelivered += window.relativeDelivered;
}

std::int64_t UnstampedReads(WebClients& clients) {
  std::lock_guard lock(clients.mutex);
  std::int64_t reads = clients.relay ? clients.relay->socket.Unstamped() : 0;
  for (const auto& client : clients.web) reads += client->stream.next_layer().Unstamped();
  return reads;
}

std::int64_t ReaderCpuNanoseconds(WebClients& clients) {
  return CpuNanoseconds(getpid(), clients.readerThread.load());
}

ClientFaults RelayClientFaults(WebClients& clients) {
  std::lock_guard lock(clients.mutex);
  ClientFaults faults = clients.relayFaults;
  if (clients.relay) faults.outOfOrder += clients.relay->tally.outOfOrder;
  return faults;
}

ClientFaults WebSocketFaults(WebClients& clients) {
  std::lock_guard lock(clients.mutex);
  return clients.webFaults;
}

VarsChecks VarsChecked(WebClients& clients) {
  std::lock_guard lock(clients.mutex);
  return clients.varsChecks;
}

}  // namespace bench
