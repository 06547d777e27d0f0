// The feed's side of the bridge, its routing, and the pacing of rows.
#include "relay-mqtt/bridge.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core/bind_handler.hpp>
#include <boost/beast/websocket.hpp>
#include <csignal>
#include <cstdio>

namespace mqtt_bridge {

namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

void Log(const std::string& text) {
  std::printf("relay-mqtt: %s\n", text.c_str());
  std::fflush(stdout);
}

}  // namespace

Bridge::Bridge(net::io_context& io, const Options& options, BrokerSettings broker)
    : io_(io),
      feed_(options.feed),
      feedName_("ws://" +
                (feed_.host.find(':') == std::string::npos ? feed_.host : "[" + feed_.host + "]") +
                ":" + feed_.port + feed_.target),
      bridgeTopic_(options.topic + "/bridge"),
      banner_("bridging " + feedName_ + " to " + options.scheme + "://" + options.brokerHost + ":" +
              std::to_string(options.brokerPort) +
              (options.scheme.starts_with("ws") ? options.brokerPath : "") + " under " +
              options.topic + "/ (rows at most " + std::to_string(options.rate) + " a second)"),
      broker_([&io](std::function<void()> event) { net::post(io, std::move(event)); },
              std::move(broker), [this] { OnBrokerConnected(); }, [this] { OnBrokerLost(); }),
      signals_(io, SIGINT, SIGTERM),
      resolver_(io),
      retry_(io),
      states_{{{options.topic + "/status", ""},
               {options.topic + "/session", ""},
               {options.topic + "/strategy", ""}}},
      data_(io, options.topic + "/data", options.rate, false),
      vars_(io, options.topic + "/vars", options.rate, false),
      relative_(io, options.topic + "/relative", options.rate, false),
      standings_(io, options.topic + "/standings", 1, true),
      lapTopic_(options.topic + "/lap"),
      pitTopic_(options.topic + "/pit") {}

bool Bridge::Start(std::string* error) {
  if (!broker_.Prepare(error)) return false;
  Log(banner_);
  broker_.Start();
  signals_.async_wait([this](beast::error_code ec, int) {
    if (!ec) Shutdown();
  });
  Connect();
  return true;
}

// ---- The feed ---------------------------------------------------------------

void Bridge::Connect() {
  resolver_.async_resolve(feed_.host, feed_.port, tcp::resolver::numeric_service,
                          beast::bind_front_handler(&Bridge::OnResolve, this));
}

void Bridge::OnResolve(beast::error_code ec, tcp::resolver::results_type results) {
  if (stopping_) return;
  if (ec) return FeedLost(ec.message());
  ws_.emplace(io_);
  beast::get_lowest_layer(*ws_).expires_after(kFeedConnectTimeout);
  beast::get_lowest_layer(*ws_).async_connect(
      results,
      [this](beast::error_code connectError, const tcp::endpoint&) { OnConnect(connectError); });
}

void Bridge::OnConnect(beast::error_code ec) {
  if (stopping_) return;
  if (ec) return FeedLost(ec.message());
  beast::error_code ignored;
  beast::get_lowest_layer(*ws_).socket().set_option(tcp::no_delay(true), ignored);
  // From here the WebSocket keeps the time: a handshake that takes too
  // long, or a relay-web that answers no ping, ends the connection.
  beast::get_lowest_layer(*ws_).expires_never();
  websocket::stream_base::timeout timeout{};
  timeout.handshake_timeout = kFeedConnectTimeout;
  timeout.idle_timeout = kFeedIdle;
  timeout.keep_alive_pings = true;
  ws_->set_option(timeout);
  // No limit here: Beast's would fail the connection. Read() enforces it
  // by skipping the message instead.
  ws_->read_message_max(0);
  ws_->async_handshake(feed_.host + ":" + feed_.port, feed_.target,
                       beast::bind_front_handler(&Bridge::OnHandshake, this));
}

void Bridge::OnHandshake(beast::error_code ec) {
  if (stopping_) return;
  if (ec) return FeedLost(ec.message());
  Log(std::string(feedEverOpen_ ? "reconnected" : "connected") + " to relay-web at " + feedName_);
  feedOpen_ = feedEverOpen_ = true;
  outageReported_ = false;
  Read();
}

void Bridge::Read() {
  ws_->async_read_some(
      buffer_, kFeedReadPiece,
      web::WithMemory(readMemory_, beast::bind_front_handler(&Bridge::OnRead, this)));
}

void Bridge::OnRead(beast::error_code ec, std::size_t) {
  if (stopping_) return;
  if (ec) return FeedLost(ec.message());
  if (!skipping_ && buffer_.size() > kMaxFeedMessage) skipping_ = true;
  if (skipping_) buffer_.consume(buffer_.size());
  if (ws_->is_message_done()) {
    if (skipping_) {
      skipping_ = false;
      Skipped();
    } else {
      const auto bytes = buffer_.data();
      Route(std::string_view(static_cast<const char*>(bytes.data()), bytes.size()));
    }
    buffer_.consume(buffer_.size());
  }
  Read();
}

void Bridge::Skipped() {
  const auto now = std::chrono::steady_clock::now();
  if (!skipReported_) {
    Log("skipped a feed message of more than " + std::to_string(kMaxFeedMessage / 1024) +
        " KiB (the feed's are a few KiB); more such are counted here at most once a minute");
    skipReported_ = true;
    skipReportedAt_ = now;
    return;
  }
  ++skippedUnreported_;
  if (now - skipReportedAt_ < kSkipReportInterval) return;
  Log("skipped " + std::to_string(skippedUnreported_) + " more feed messages of more than " +
      std::to_string(kMaxFeedMessage / 1024) + " KiB");
  skippedUnreported_ = 0;
  skipReportedAt_ = now;
}

void Bridge::FeedLost(const std::string& why) {
  if (ws_) {
    beast::error_code ignored;
    beast::get_lowest_layer(*ws_).socket().close(ignored);
  }
  buffer_.clear();
  skipping_ = false;
  if (feedOpen_) {
    Log("relay-web at " + feedName_ + " went away (" + why + "); retrying every second");
  } else if (!outageReported_) {
    Log("cannot reach relay-web at " + feedName_ + " (" + why +
        "; is relay-web running?); retrying every second");
  }
  feedOpen_ = false;
  outageReported_ = true;
  // Only the status changes: the session, strategy and standings stay
  // retained as relay-web last sent them, which the status now dates.
  SetState(states_[0], kRelayWebOffline);
  retry_.expires_after(kFeedRetry);
  retry_.async_wait([this](beast::error_code ec) {
    if (!ec && !stopping_) Connect();
  });
}

// ---- Routing ----------------------------------------------------------------

void Bridge::Route(std::string_view text) {
  switch (Classify(text)) {
    case FeedKind::kStatus:
      return SetState(states_[0], text);
    case FeedKind::kSession:
      return SetState(states_[1], text);
    case FeedKind::kStrategy:
      return SetState(states_[2], text);
    case FeedKind::kData:
      return OfferRow(data_, text);
    case FeedKind::kVars:
      return OfferRow(vars_, text);
    case FeedKind::kRelative:
      return OfferRow(relative_, text);
    case FeedKind::kStandings:
      return OfferRow(standings_, text);
    case FeedKind::kLap:
      return SendEvent(lapTopic_, text);
    case FeedKind::kPit:
      return SendEvent(pitTopic_, text);
    case FeedKind::kOther:
      // sessionText, the log a new socket is sent (relay-log publishes the
      // team's), and whatever relay-web adds later: said once, so a feed
      // full of them does not fill the console.
      if (!otherReported_) {
        Log("not bridging feed messages of other types (the first: " +
            std::string(text.substr(0, 60)) + (text.size() > 60 ? "...)" : ")"));
        otherReported_ = true;
      }
      return;
  }
}

void Bridge::SetState(State& state, std::string_view text) {
  if (state.text == text) return;
  state.text.assign(text);
  // While the broker is away the newest text waits for the reconnect.
  broker_.PublishRetained(state.topic, state.text);
}

void Bridge::OfferRow(Rows& rows, std::string_view text) {
  // Its buffer keeps its size, so this allocates once per topic (or when a
  // longer text comes).
  if (rows.retained) rows.held.assign(text);
  if (!broker_.Connected()) {
    rows.holding = false;  // nothing queues while the broker is away
    return;
  }
  if (rows.pacer.Offer(Pacer::Clock::now())) return SendRow(rows, text);
  // Too soon: the newest row waits for the next slot, replacing any older
  // one.
  if (!rows.retained) rows.held.assign(text);
  rows.holding = true;
  ArmSlot(rows);
}

void Bridge::SendEvent(const std::string& topic, std::string_view text) {
  // Behind any still held, so that they go in order.
  heldEvents_.emplace_back(&topic, std::string(text));
  if (heldEvents_.size() > kMaxHeldEvents) {
    heldEvents_.pop_front();
    if (!eventsDroppedReported_) {
      Log("holding more than " + std::to_string(kMaxHeldEvents) +
          " laps and pit stops for the broker: the oldest give way");
      eventsDroppedReported_ = true;
    }
  }
  if (broker_.Connected()) SendHeldEvents();
}

void Bridge::SendHeldEvents() {
  while (!heldEvents_.empty() &&
         broker_.PublishEvent(*heldEvents_.front().first, heldEvents_.front().second)) {
    heldEvents_.pop_front();
  }
}

void Bridge::SendRow(Rows& rows, std::string_view text) {
  // A retained text that the backlog turned away is tried again at the
  // next slot (unless a newer one replaces it): it may be the last for a
  // while, and the broker would otherwise keep an older one for late
  // subscribers.
  rows.holding = !broker_.PublishRow(rows.topic, text, rows.retained) && rows.retained;
  if (rows.holding) ArmSlot(rows);
}

void Bridge::ArmSlot(Rows& rows) {
  if (rows.timerSet) return;
  rows.timerSet = true;
  rows.timer.expires_at(rows.pacer.HeldUntil());
  rows.timer.async_wait(web::WithMemory(rows.timerMemory, [this, &rows](beast::error_code ec) {
    rows.timerSet = false;
    if (!ec) OnSlot(rows);
  }));
}

void Bridge::OnSlot(Rows& rows) {
  if (!rows.holding || stopping_) return;
  if (!broker_.Connected()) {
    rows.holding = false;
    return;
  }
  const Pacer::Clock::time_point now = Pacer::Clock::now();
  // A newer row may have moved the time on (it follows another now).
  if (now < rows.pacer.HeldUntil()) return ArmSlot(rows);
  rows.pacer.Sent(now);
  SendRow(rows, rows.held);
}

// ---- The broker ---------------------------------------------------------------

void Bridge::OnBrokerConnected() {
  // The retained state again: the broker may have restarted without it,
  // and whatever changed while it was away has not been published.
  broker_.PublishRetained(bridgeTopic_, "online");
  // The standings next: a QoS 0 message is turned away while four others
  // wait to be written or acknowledged, as the states below may.
  if (!standings_.held.empty()) {
    standings_.pacer.Sent(Pacer::Clock::now());
    SendRow(standings_, standings_.held);
  }
  for (const State& state : states_) {
    if (!state.text.empty()) broker_.PublishRetained(state.topic, state.text);
  }
  // Laps and stops that came while the broker was away, in order.
  SendHeldEvents();
}

void Bridge::OnBrokerLost() {
  for (Rows* rows : {&data_, &vars_, &relative_, &standings_}) rows->holding = false;
}

void Bridge::Shutdown() {
  stopping_ = true;
  Log("stopping: publishing offline and disconnecting from the broker");
  retry_.cancel();
  resolver_.cancel();
  if (ws_) {
    beast::error_code ignored;
    beast::get_lowest_layer(*ws_).socket().close(ignored);
  }
  for (Rows* rows : {&data_, &vars_, &relative_, &standings_}) rows->timer.cancel();
  broker_.Stop(bridgeTopic_, "offline", kGoodbyeTimeout);
  io_.stop();
}

}  // namespace mqtt_bridge
