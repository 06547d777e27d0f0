// The bridge: relay-web's WebSocket feed in, the broker's topics out. One
// io_context thread reads the feed (Boost.Beast), routes each message by its
// type, keeps the newest status, session, strategy and standings texts for
// every (re)connect to the broker, paces the rows (and the standings, to at
// most one a second), and passes every lap and pit stop on, holding them
// while the broker is away; the broker link has its own network thread.
#pragma once

#include <array>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/websocket/stream.hpp>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "mqtt-link/broker_link.h"
#include "relay-mqtt/feed_message.h"
#include "relay-mqtt/options.h"
#include "relay-web/handler_memory.h"

namespace mqtt_bridge {

using mqtt_link::BrokerLink;
using mqtt_link::BrokerSettings;

// PREFIX/status while relay-web cannot be reached.
inline constexpr std::string_view kRelayWebOffline =
    R"({"type":"status","source":"relay-web","relay-web":"offline"})";
inline constexpr std::chrono::seconds kFeedRetry{1};
inline constexpr std::chrono::seconds kFeedConnectTimeout{3};
// relay-web is pinged after half this time of silence and dropped after it.
inline constexpr std::chrono::seconds kFeedIdle{10};
// A feed message larger than this is skipped (the feed's largest, a vars
// message with many variables or the standings of a full field, are tens of
// KiB at most): the feed is read a piece of at
// most kFeedReadPiece at a time, and one that grows past this is thrown away
// to its end while the connection carries on.
inline constexpr std::size_t kMaxFeedMessage = 1024 * 1024;
inline constexpr std::size_t kFeedReadPiece = 64 * 1024;
// After the first skipped message is reported, the count of further ones at
// most this often.
inline constexpr std::chrono::seconds kSkipReportInterval{60};
// How long a clean exit waits for the broker to take the "offline".
inline constexpr std::chrono::milliseconds kGoodbyeTimeout{3000};
// Laps and pit stops held while the broker is away, at most (a 24-hour
// race has some 700 laps); past this the oldest gives way.
inline constexpr std::size_t kMaxHeldEvents = 2000;

class Bridge {
 public:
  Bridge(boost::asio::io_context& io, const Options& options, BrokerSettings broker);
  Bridge(const Bridge&) = delete;
  Bridge& operator=(const Bridge&) = delete;

  // Starts the broker link, the feed and the Ctrl-C / SIGTERM handling;
  // false, with one line in `error`, when the broker settings cannot work.
  bool Start(std::string* error);

 private:
  // The newest text of a retained topic.
  struct State {
    std::string topic;
    std::string text;
  };
  // A paced topic: the row held for its next slot, if any. A retained one
  // (the standings) keeps its newest text in `held` even once it went out,
  // for the next reconnect.
  struct Rows {
    Rows(boost::asio::io_context& io, std::string name, int rate, bool keep)
        : topic(std::move(name)), retained(keep), pacer(rate), timer(io) {}
    std::string topic;
    bool retained;
    Pacer pacer;
    std::string held;
    bool holding = false;
    bool timerSet = false;
    boost::asio::steady_timer timer;
    const std::shared_ptr<web::HandlerMemory> timerMemory = std::make_shared<web::HandlerMemory>();
  };

  void Connect();
  void OnResolve(boost::beast::error_code ec, boost::asio::ip::tcp::resolver::results_type results);
  void OnConnect(boost::beast::error_code ec);
  void OnHandshake(boost::beast::error_code ec);
  void Read();
  void OnRead(boost::beast::error_code ec, std::size_t bytes);
  void FeedLost(const std::string& why);
  void Skipped();

  void Route(std::string_view text);
  void SetState(State& state, std::string_view text);
  void OfferRow(Rows& rows, std::string_view text);
  void SendEvent(const std::string& topic, std::string_view text);
  void SendHeldEvents();
  void SendRow(Rows& rows, std::string_view text);
  void ArmSlot(Rows& rows);
  void OnSlot(Rows& rows);
  void OnBrokerConnected();
  void OnBrokerLost();
  void Shutdown();

  boost::asio::io_context& io_;
  FeedAddress feed_;
  std::string feedName_;  // for the console
  std::string bridgeTopic_;
  std::string banner_;  // the console's first line
  BrokerLink broker_;
  boost::asio::signal_set signals_;
  boost::asio::ip::tcp::resolver resolver_;
  std::optional<boost::beast::websocket::stream<boost::beast::tcp_stream>> ws_;
  boost::beast::flat_buffer buffer_;
  boost::asio::steady_timer retry_;
  const std::shared_ptr<web::HandlerMemory> readMemory_ = std::make_shared<web::HandlerMemory>();
  std::array<State, 3> states_;  // status, session, strategy
  Rows data_;
  Rows vars_;
  Rows relative_;
  Rows standings_;  // retained, at most one a second
  // Laps and stops: QoS 1, not retained, every one in order; those not yet
  // handed to the broker link wait here, oldest first.
  std::string lapTopic_;
  std::string pitTopic_;
  std::deque<std::pair<const std::string*, std::string>> heldEvents_;
  bool eventsDroppedReported_ = false;
  bool feedOpen_ = false;
  bool feedEverOpen_ = false;
  bool outageReported_ = false;
  bool otherReported_ = false;
  // An oversized message being read to its end and thrown away; how many
  // were skipped since the last console line about them, and when that was.
  bool skipping_ = false;
  bool skipReported_ = false;
  std::size_t skippedUnreported_ = 0;
  std::chrono::steady_clock::time_point skipReportedAt_;
  bool stopping_ = false;
};

}  // namespace mqtt_bridge
