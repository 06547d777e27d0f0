// relay-web's connection to telemetry-relay: it connects, frames and checks
// the stream with relay-watch's code, turns each message into the feed's JSON
// and hands it to the web server. While the relay is away it tries again
// every second; a relay whose host vanished without closing the connection
// is noticed by TCP keep-alive, since relay-web never writes to it.
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
#include "relay-web/buffer_pool.h"
#include "relay-web/feed.h"
#include "relay-web/handler_memory.h"
#include "relay-web/web_feed.h"

namespace web {

inline constexpr std::chrono::seconds kReconnectInterval{1};
// A connection attempt that has had no answer for this long is given up.
inline constexpr std::chrono::seconds kConnectTimeout{3};

class RelayLink {
 public:
  RelayLink(boost::asio::io_context& io, std::string host, std::string port, Feed& feed);
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
  // The connection failed or ended: offline, and again in a second.
  void Retry(bool wasConnected);

  std::string host_;
  std::string port_;
  std::string name_;  // host:port, for the console
  Feed& feed_;
  boost::asio::ip::tcp::resolver resolver_;
  boost::beast::tcp_stream stream_;
  boost::asio::steady_timer retry_;
  stream::StreamFramer framer_{stream::DataPacketEnd::kAtLastField};
  // What the last read completed: views of the framer's buffer.
  std::vector<std::string_view> messages_;
  BufferPool dataBuffers_{kDataJsonCapacity};
  // Each row laid out as the relay's fifteen variables, for vars messages.
  std::vector<std::uint8_t> row_;
  // The relay's messages, each in the place of a row: the tick count of a
  // row from a relay.
  std::int32_t rows_ = 0;
  std::array<char, 65536> buffer_{};
  const std::shared_ptr<HandlerMemory> readMemory_ = std::make_shared<HandlerMemory>();
  bool ended_ = false;  // the messages being handled are the stream's last
  bool outageReported_ = false;
  bool everConnected_ = false;
  bool malformedReported_ = false;
};

}  // namespace web
