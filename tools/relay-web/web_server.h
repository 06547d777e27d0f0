// relay-web's HTTP and WebSocket side, on Boost.Beast: one port serves the
// dashboard page (GET /), the WebSocket feed (GET /ws) and the latest values
// (GET /api/latest). Everything runs on the io_context it is given, on one
// thread: a listener accepts, an HTTP session reads requests and answers them
// or hands its socket to a WebSocket session, and the shared state knows the
// WebSocket sessions and fans every message out to them.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

namespace web {

// More WebSocket clients than this are turned away with 503.
inline constexpr std::size_t kMaxBrowsers = 64;
// A request's start line and header fields together; requests carry no body.
inline constexpr std::uint32_t kMaxRequestHeader = 8 * 1024;
// An HTTP connection waits this long for its next request (keep-alive) and
// for a response to be taken.
inline constexpr std::chrono::seconds kHttpTimeout{30};
// A WebSocket client whose write has not completed for this long is dropped.
inline constexpr std::chrono::seconds kStalledWrite{10};
// A WebSocket client that has sent nothing (not even the answer to a ping,
// which goes out at half this time) for this long is dropped.
inline constexpr std::chrono::seconds kWebSocketIdle{30};
class SharedState;
class Listener;

class WebServer {
 public:
  explicit WebServer(boost::asio::io_context& io);
  ~WebServer();
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  // Opens the listening socket and starts accepting. False, with the reason
  // in `error`, when the address cannot be opened.
  bool Listen(const boost::asio::ip::tcp::endpoint& endpoint, std::string* error);
  boost::asio::ip::tcp::endpoint LocalEndpoint() const;

  // The feed. Each status change and each new session message reaches every
  // browser; a data message replaces any data message a browser has not been
  // sent yet. `json` is shared, never copied per browser.
  void PublishStatus(bool connected);
  void PublishSession(std::string json);
  void PublishData(std::shared_ptr<const std::string> json);

 private:
  boost::asio::io_context& io_;
  std::shared_ptr<SharedState> state_;
  std::shared_ptr<Listener> listener_;
};

}  // namespace web
