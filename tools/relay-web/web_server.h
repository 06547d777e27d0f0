// relay-web's HTTP and WebSocket side, on Boost.Beast: one port serves the
// dashboard page (GET /), the WebSocket feed (GET /ws), the latest values
// (GET /api/latest), the standings (GET /api/standings), the race log of
// the session (GET /api/laps), the variable list (GET /api/vars) and the
// simulator's session text (GET /api/session).
// Everything runs on the io_context it is given, on one thread: a listener
// accepts, an HTTP session reads requests and answers them or hands its
// socket to a WebSocket session, and the shared state knows the WebSocket
// sessions and what each still has to be sent.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "relay-web/web_feed.h"

namespace web {

struct Directory;

// More WebSocket clients than this are turned away with 503, unless one of
// them is stalled (see kStalledForRoom): the one stalled longest is dropped
// to make room.
inline constexpr std::size_t kMaxBrowsers = 64;
// Open HTTP connections (those not yet a WebSocket). Past this the one that
// has waited longest for a request, or for its answer to be taken, is closed
// to make room.
inline constexpr std::size_t kMaxHttpConnections = 128;
// Connections (HTTP and WebSocket together) one client address may hold at
// once, unless told otherwise (--per-client). Past this its own longest
// waiting connection gives way, or else the new one is closed.
inline constexpr std::size_t kDefaultPerClient = 16;
inline constexpr std::size_t kMaxPerClient = 65535;
// A request's start line and header fields together; requests carry no body.
inline constexpr std::uint32_t kMaxRequestHeader = 16 * 1024;
// The names a WebSocket or /api/latest may ask for, as written in the URL.
inline constexpr std::size_t kMaxVarsParameter = 8 * 1024;
// Distinct names one request may ask for (a real session has some 300
// variables); past this it is answered 400.
inline constexpr std::size_t kMaxVarsNames = 512;
// A new connection must send its first request within this time.
inline constexpr std::chrono::seconds kFirstRequestTimeout{5};
// An HTTP connection waits this long for its next request (keep-alive).
inline constexpr std::chrono::seconds kHttpTimeout{30};
// An HTTP connection whose client takes none of its answer for this long is
// closed.
inline constexpr std::chrono::seconds kAnswerTimeout{5};
// A WebSocket client whose write has not completed for this long is dropped.
inline constexpr std::chrono::seconds kStalledWrite{10};
// A connection counts as stalled, and gives way to a new one when a limit is
// reached, once its client has taken none of what it was sent for this long.
inline constexpr std::chrono::seconds kStalledForRoom{2};
// A WebSocket client that has sent nothing (not even the answer to a ping,
// which goes out at half this time) for this long is dropped.
inline constexpr std::chrono::seconds kWebSocketIdle{30};
// The rows per second a browser may ask for with ?hz=.
inline constexpr int kMinRowRate = 1;
inline constexpr int kMaxRowRate = 60;
// The race log keeps the session's newest this many laps and pit stops (a
// 24-hour race has some 700 laps); older ones give way.
inline constexpr std::size_t kMaxLogLaps = 2000;
inline constexpr std::size_t kMaxLogPits = 200;

class SharedState;
class Listener;

class WebServer {
 public:
  // `perClient`: the connections one client address may hold at once.
  WebServer(boost::asio::io_context& io, Source source, std::size_t perClient = kDefaultPerClient);
  ~WebServer();
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  // Opens the listening socket and starts accepting. False, with the reason
  // in `error`, when the address cannot be opened.
  bool Listen(const boost::asio::ip::tcp::endpoint& endpoint, std::string* error);
  boost::asio::ip::tcp::endpoint LocalEndpoint() const;
  // The most bytes one vars message, or the vars of one /api/latest, takes
  // (kDefaultMaxMessage unless set); before the first browser.
  void SetMaxMessage(std::size_t bytes);

  // The feed, on the io_context's thread. Status, session, session text and
  // strategy messages describe state: each browser is sent the newest of
  // each, in order with the rows, and never held back. A row replaces any
  // row a browser has not been sent yet.
  void PublishStatus(bool present);
  void PublishSession(std::string json);
  void PublishStrategy(std::string json);
  // The standings and relative messages, in buffers the caller may use
  // again once nobody else holds them (never copied per browser).
  void PublishStandings(std::shared_ptr<const std::string> json);
  void PublishRelative(std::shared_ptr<const std::string> json);
  // The simulator's session text as it stands (8-bit text).
  void PublishSessionText(std::string text);
  // The race log, reading the simulator: the session's lap and pit
  // messages so far. Events, not state: every browser is sent every one, in
  // order, after the log as it stood when its socket opened (one log
  // message). Another session ("SubSessionID/SessionNum") starts a new,
  // empty log, which every browser is sent; the same one changes nothing.
  void StartLog(std::string session);
  void PublishLap(std::string json);
  void PublishPit(std::string json);
  // The variables the rows are laid out by, from now on.
  void PublishDirectory(std::shared_ptr<const Directory> directory);
  // A row: its data message (shared, never copied per browser), its bytes
  // laid out by the current directory (copied) and its tick count.
  void PublishRow(std::shared_ptr<const std::string> data, std::span<const std::uint8_t> row,
                  std::int32_t tick);

 private:
  boost::asio::io_context& io_;
  std::shared_ptr<SharedState> state_;
  std::shared_ptr<Listener> listener_;
};

}  // namespace web
