// The relay's stream, read asynchronously on relay-web's one thread.
#include "relay-web/relay_link.h"

#include <boost/asio/post.hpp>
#include <cstdio>
#include <limits>

#include "platform/platform.h"
#include "relay-stream/message_parser.h"
#include "relay-web/variables.h"
#include "relay-web/web_feed.h"

namespace web {

namespace beast = boost::beast;
namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

void Log(const std::string& text) {
  std::printf("relay-web: %s\n", text.c_str());
  std::fflush(stdout);
}

}  // namespace

RelayLink::RelayLink(net::io_context& io, std::string host, std::string port, Feed& feed)
    : host_(std::move(host)),
      port_(std::move(port)),
      name_(host_ + ":" + port_),
      feed_(feed),
      resolver_(io),
      stream_(io),
      retry_(io) {
  // The relay's fifteen are all the variables this source has.
  feed_.PublishDirectory(std::shared_ptr<const Directory>(&RelayDirectory(), [](auto*) {}));
}

void RelayLink::Connect() {
  resolver_.async_resolve(host_, port_, tcp::resolver::numeric_service,
                          beast::bind_front_handler(&RelayLink::OnResolve, this));
}

void RelayLink::OnResolve(beast::error_code ec, tcp::resolver::results_type results) {
  if (ec) return Retry(false);
  stream_.expires_after(kConnectTimeout);
  stream_.async_connect(results, [this](beast::error_code connectError, const tcp::endpoint&) {
    OnConnect(connectError);
  });
}

void RelayLink::OnConnect(beast::error_code ec) {
  if (ec) return Retry(false);
  // The relay is silent while the simulator is away: no read time-out.
  stream_.expires_never();
  beast::error_code ignored;
  stream_.socket().set_option(tcp::no_delay(true), ignored);
  // relay-web never writes to the relay, so only keep-alive probes can find
  // a relay whose host vanished without closing the connection.
  platform::EnableKeepAlive(static_cast<platform::Socket>(stream_.socket().native_handle()));
  Log(std::string(everConnected_ ? "reconnected" : "connected") + " to the relay at " + name_);
  everConnected_ = true;
  outageReported_ = false;
  malformedReported_ = false;
  framer_.Reset();
  feed_.PublishStatus(true);
  Read();
}

void RelayLink::Read() {
  stream_.async_read_some(
      net::buffer(buffer_),
      WithMemory(readMemory_, beast::bind_front_handler(&RelayLink::OnRead, this)));
}

void RelayLink::OnRead(beast::error_code ec, std::size_t bytes) {
  messages_.clear();
  ended_ = static_cast<bool>(ec);
  if (ended_) {
    // The stream has ended: the message still open (a SESSION_INFO runs to
    // the end of the stream) is complete.
    framer_.Finish(messages_);
  } else {
    framer_.Feed(std::string_view(buffer_.data(), bytes), messages_);
  }
  Handle(0);
}

// One message per turn of the event loop. When several rows come in one
// read (relay-web was kept from running for a while), a browser that keeps
// up has taken each row before the next is published, so the one-message
// slot replaces rows only for browsers that are really behind.
void RelayLink::Handle(std::size_t index) {
  if (index == messages_.size()) {
    if (ended_) return Retry(true);
    return Read();
  }
  Publish(messages_[index]);
  if (index + 1 == messages_.size()) return Handle(index + 1);
  net::post(stream_.get_executor(), [this, index] { Handle(index + 1); });
}

void RelayLink::Publish(std::string_view message) {
  const stream::ParsedMessage parsed = stream::ParseMessage(message);
  switch (parsed.kind) {
    case stream::MessageKind::kDataPacket: {
      std::shared_ptr<std::string> json = dataBuffers_.Free();
      DataJson(message, *json);
      WriteRelayRow(parsed.data, row_);
      rows_ = rows_ == std::numeric_limits<std::int32_t>::max() ? 1 : rows_ + 1;
      feed_.PublishRow(std::move(json), row_, rows_);
      break;
    }
    case stream::MessageKind::kSessionInfo:
      // It came in the place of a row: the rows' count, which keeps time
      // for the lap times, counts it too.
      rows_ = rows_ == std::numeric_limits<std::int32_t>::max() ? 1 : rows_ + 1;
      feed_.PublishSession(SessionJson(parsed.session));
      break;
    case stream::MessageKind::kMalformed:
      // Once per connection: a stream that is all wrong (another program
      // on the relay's port) must not flood the console.
      if (!malformedReported_) {
        Log("skipping malformed messages from " + name_ + " (first: " + parsed.problem + ")");
        malformedReported_ = true;
      }
      break;
  }
}

void RelayLink::Retry(bool wasConnected) {
  beast::error_code ignored;
  stream_.socket().close(ignored);
  feed_.PublishStatus(false);
  if (wasConnected) {
    Log("the relay at " + name_ + " went away; reconnecting every second");
    outageReported_ = true;
  } else if (!outageReported_) {
    Log("cannot connect to the relay at " + name_ + " (is telemetry-relay running?); " +
        "retrying every second");
    outageReported_ = true;
  }
  retry_.expires_after(kReconnectInterval);
  retry_.async_wait([this](beast::error_code ec) {
    if (!ec) Connect();
  });
}

}  // namespace web
