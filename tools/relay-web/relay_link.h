// relay-web's connection to telemetry-relay: it connects, frames and checks
// the stream with relay-watch's code, turns each message into the feed's JSON
// and hands it to the web server. While the relay is away it tries again
// every second.
#pragma once

#include <array>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "relay-stream/stream_framer.h"
#include "relay-web/handler_memory.h"
#include "relay-web/web_server.h"

namespace web {

inline constexpr std::chrono::seconds kReconnectInterval{1};
// A connection attempt that has had no answer for this long is given up.
inline constexpr std::chrono::seconds kConnectTimeout{3};

class RelayLink {
 public:
  RelayLink(boost::asio::io_context& io, std::string host, std::string port, WebServer& server);
  RelayLink(const RelayLink&) = delete;
  RelayLink& operator=(const RelayLink&) = delete;

  void Start() { Connect(); }

 private:
  void Connect();
  void OnResolve(boost::beast::error_code ec, boost::asio::ip::tcp::resolver::results_type results);
  void OnConnect(boost::beast::error_code ec);
  void Read();
  void OnRead(boost::beast::error_code ec, std::size_t bytes);
  void Handle(std::size_t index);
  void Publish(std::string_view message);
  // A buffer for a data message that no browser holds any more, or a new
  // one: once there are as many as are ever held at once (each browser's
  // waiting and sending message, and the latest), rows allocate nothing.
  std::shared_ptr<std::string> FreeDataBuffer();
  // The connection failed or ended: offline, and again in a second.
  void Retry(bool wasConnected);

  std::string host_;
  std::string port_;
  std::string name_;  // host:port, for the console
  WebServer& server_;
  boost::asio::ip::tcp::resolver resolver_;
  boost::beast::tcp_stream stream_;
  boost::asio::steady_timer retry_;
  stream::StreamFramer framer_{stream::DataPacketEnd::kAtLastField};
  // What the last read completed: views of the framer's buffer.
  std::vector<std::string_view> messages_;
  std::vector<std::shared_ptr<std::string>> dataBuffers_;
  std::array<char, 65536> buffer_{};
  const std::shared_ptr<HandlerMemory> readMemory_ = std::make_shared<HandlerMemory>();
  bool ended_ = false;  // the messages being handled are the stream's last
  bool outageReported_ = false;
  bool everConnected_ = false;
  bool malformedReported_ = false;
};

}  // namespace web
