// Listener, HTTP session, WebSocket session and the state they share, in the
// shape of Beast's multi-client chat example, with its unbounded send queue
// replaced by one slot for the newest data message.
#include "relay-web/web_server.h"

#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <cstdio>
#include <deque>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "relay-web/dashboard_page.h"
#include "relay-web/handler_memory.h"
#include "relay-web/socket_options.h"
#include "relay-web/web_feed.h"

namespace web {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;
using Message = std::shared_ptr<const std::string>;

namespace {

constexpr char kServerName[] = "relay-web";
// How often stalled WebSocket writes are looked for.
constexpr auto kStallCheckInterval = std::chrono::seconds(1);
// After a failed accept (out of descriptors, say), wait before the next.
constexpr auto kAcceptRetry = std::chrono::milliseconds(100);
// How long a connection being closed after an answer waits for the client.
constexpr auto kLinger = std::chrono::seconds(2);
// Browsers send nothing we use; anything longer than this ends the session.
constexpr std::size_t kMaxIncomingMessage = 1024;

void Log(const std::string& text) {
  std::printf("relay-web: %s\n", text.c_str());
  std::fflush(stdout);
}

std::string PeerName(const tcp::socket& socket) {
  beast::error_code ec;
  const tcp::endpoint peer = socket.remote_endpoint(ec);
  if (ec) return "a browser";
  return peer.address().to_string() + ":" + std::to_string(peer.port());
}

}  // namespace

class WebSocketSession;

// What the sessions share: the newest message of each kind, for new sockets
// and /api/latest, and the WebSocket sessions to send new ones to.
class SharedState {
 public:
  explicit SharedState(net::io_context& io)
      : connected_(std::make_shared<const std::string>(StatusJson(true))),
        offline_(std::make_shared<const std::string>(StatusJson(false))),
        status_(offline_),
        stallTimer_(io) {}

  // Registers a session (its handshake may still be under way) and queues
  // the current status, the last session message and the newest data for it.
  void Join(WebSocketSession* session);
  void Leave(WebSocketSession* session);
  std::size_t Browsers() const { return sessions_.size(); }

  void PublishStatus(bool connected);
  void PublishSession(std::string json);
  void PublishData(Message json);
  std::string Latest() const {
    return LatestJson(*status_, session_ ? *session_ : "", data_ ? *data_ : "");
  }

  // Every second, drops the sessions whose write has hung for kStalledWrite.
  void WatchForStalls(const std::shared_ptr<SharedState>& self);

 private:
  const Message connected_;
  const Message offline_;
  Message status_;
  Message session_;
  Message data_;
  std::vector<WebSocketSession*> sessions_;
  net::steady_timer stallTimer_;
};

// ---- WebSocket session -----------------------------------------------------

class WebSocketSession : public std::enable_shared_from_this<WebSocketSession> {
 public:
  WebSocketSession(tcp::socket&& socket, std::shared_ptr<SharedState> state)
      : ws_(std::move(socket)),
        state_(std::move(state)),
        peer_(PeerName(ws_.next_layer().socket())) {
    // Nagle's algorithm would hold each small message back for the ACK of
    // the one before.
    beast::error_code ec;
    tcp::socket& raw = ws_.next_layer().socket();
    raw.set_option(tcp::no_delay(true), ec);
    KeepUnsentBytesFew(raw);
    state_->Join(this);
  }
  ~WebSocketSession() {
    state_->Leave(this);
    Log(peer_ + " left (" + std::to_string(state_->Browsers()) + " connected)");
  }
  WebSocketSession(const WebSocketSession&) = delete;
  WebSocketSession& operator=(const WebSocketSession&) = delete;

  void Run(http::request<http::empty_body> request) {
    // The WebSocket stream keeps its own time: the TCP stream's must be off.
    beast::get_lowest_layer(ws_).expires_never();
    websocket::stream_base::timeout timeout =
        websocket::stream_base::timeout::suggested(beast::role_type::server);
    timeout.idle_timeout = kWebSocketIdle;
    timeout.keep_alive_pings = true;
    ws_.set_option(timeout);
    ws_.set_option(websocket::stream_base::decorator([](websocket::response_type& response) {
      response.set(http::field::server, kServerName);
    }));
    ws_.read_message_max(kMaxIncomingMessage);
    ws_.text(true);
    ws_.async_accept(request,
                     beast::bind_front_handler(&WebSocketSession::OnAccept, shared_from_this()));
  }

  // Status and session messages: queued in order, never dropped.
  void SendControl(const Message& message) {
    control_.push_back(message);
    WriteNext();
  }
  // A data message replaces the one still waiting, if any.
  void SendData(const Message& message) {
    data_ = message;
    WriteNext();
  }
  // The relay went away: the waiting row is no longer news.
  void ForgetData() { data_.reset(); }

  bool Stalled(Clock::time_point now) const {
    return !dropped_ && writing_ != nullptr && now - writeStart_ >= kStalledWrite;
  }
  // Closes the socket; the pending operations end and release the session.
  void Drop() {
    dropped_ = true;
    Log(peer_ + " dropped: nothing it was sent has been taken for " +
        std::to_string(kStalledWrite.count()) + " s");
    beast::get_lowest_layer(ws_).close();
  }

 private:
  void OnAccept(beast::error_code ec) {
    if (ec) return;
    open_ = true;
    Log(peer_ + " opened the feed (" + std::to_string(state_->Browsers()) + " connected)");
    Read();
    WriteNext();
  }

  // Reading keeps the connection alive: it answers pings, takes the pongs
  // that keep the idle timer happy and sees the close. What the browser
  // sends is ignored.
  void Read() {
    ws_.async_read(readBuffer_,
                   beast::bind_front_handler(&WebSocketSession::OnRead, shared_from_this()));
  }
  void OnRead(beast::error_code ec, std::size_t) {
    if (ec) {
      beast::get_lowest_layer(ws_).close();
      return;
    }
    readBuffer_.consume(readBuffer_.size());
    Read();
  }

  void WriteNext() {
    if (!open_ || writing_ != nullptr) return;
    if (!control_.empty()) {
      writing_ = std::move(control_.front());
      control_.pop_front();
    } else if (data_ != nullptr) {
      writing_ = std::move(data_);
      data_.reset();
    } else {
      return;
    }
    writeStart_ = Clock::now();
    ws_.async_write(net::buffer(*writing_),
                    WithMemory(writeMemory_, beast::bind_front_handler(&WebSocketSession::OnWrite,
                                                                       shared_from_this())));
  }
  void OnWrite(beast::error_code ec, std::size_t) {
    writing_.reset();
    if (ec) {
      open_ = false;
      beast::get_lowest_layer(ws_).close();
      return;
    }
    WriteNext();
  }

  websocket::stream<beast::tcp_stream> ws_;
  std::shared_ptr<SharedState> state_;
  std::string peer_;
  beast::flat_buffer readBuffer_;
  std::deque<Message> control_;
  Message data_;
  Message writing_;  // the message being written, kept alive until it is done
  const std::shared_ptr<HandlerMemory> writeMemory_ = std::make_shared<HandlerMemory>();
  Clock::time_point writeStart_;
  bool open_ = false;  // the handshake is done and no write has failed
  bool dropped_ = false;
};

void SharedState::Join(WebSocketSession* session) {
  sessions_.push_back(session);
  session->SendControl(status_);
  if (session_ != nullptr) session->SendControl(session_);
  if (data_ != nullptr) session->SendData(data_);
}

void SharedState::Leave(WebSocketSession* session) { std::erase(sessions_, session); }

void SharedState::PublishStatus(bool connected) {
  const Message& status = connected ? connected_ : offline_;
  if (status == status_) return;
  status_ = status;
  for (WebSocketSession* session : sessions_) {
    if (!connected) session->ForgetData();
    session->SendControl(status_);
  }
}

void SharedState::PublishSession(std::string json) {
  // The relay repeats its SESSION_INFO every few seconds; browsers hear of
  // it when it changes.
  if (session_ != nullptr && *session_ == json) return;
  session_ = std::make_shared<const std::string>(std::move(json));
  for (WebSocketSession* session : sessions_) session->SendControl(session_);
}

void SharedState::PublishData(Message json) {
  data_ = std::move(json);
  for (WebSocketSession* session : sessions_) session->SendData(data_);
}

void SharedState::WatchForStalls(const std::shared_ptr<SharedState>& self) {
  stallTimer_.expires_after(kStallCheckInterval);
  stallTimer_.async_wait([self](beast::error_code ec) {
    if (ec) return;
    const Clock::time_point now = Clock::now();
    // Drop() only closes the socket; the sessions leave later, from their
    // own handlers, so the list stays as it is during this loop.
    for (WebSocketSession* session : self->sessions_) {
      if (session->Stalled(now)) session->Drop();
    }
    self->WatchForStalls(self);
  });
}

// ---- HTTP session ----------------------------------------------------------

class HttpSession : public std::enable_shared_from_this<HttpSession> {
 public:
  HttpSession(tcp::socket&& socket, std::shared_ptr<SharedState> state)
      : stream_(std::move(socket)), state_(std::move(state)) {}

  void Run() { Read(); }

 private:
  void Read() {
    parser_.emplace();
    parser_->header_limit(kMaxRequestHeader);
    stream_.expires_after(kHttpTimeout);
    http::async_read(stream_, buffer_, *parser_,
                     beast::bind_front_handler(&HttpSession::OnRead, shared_from_this()));
  }

  void OnRead(beast::error_code ec, std::size_t) {
    if (ec == http::error::end_of_stream || ec == http::error::partial_message) {
      stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
      return;
    }
    if (ec.category() == http::make_error_code(http::error::bad_target).category() ||
        ec == http::error::buffer_overflow) {
      // A request that breaks the rules or the limits: say so and hang up,
      // since where the next request would begin is unknown.
      return Answer(http::status::bad_request, "text/plain; charset=utf-8",
                    "relay-web: malformed or oversized request\n", false);
    }
    if (ec) return;  // time-out, reset: nothing to answer
    const http::request<http::empty_body>& request = parser_->get();
    std::string_view target(request.target().data(), request.target().size());
    target = target.substr(0, target.find('?'));
    const bool get = request.method() == http::verb::get;
    if (get && target == "/ws") {
      if (!websocket::is_upgrade(request)) {
        return Answer(http::status::upgrade_required, "text/plain; charset=utf-8",
                      "relay-web: /ws is a WebSocket\n", request.keep_alive());
      }
      if (state_->Browsers() >= kMaxBrowsers) {
        Log("turned a browser away: " + std::to_string(kMaxBrowsers) + " are connected");
        return Answer(http::status::service_unavailable, "text/plain; charset=utf-8",
                      "relay-web: too many browsers are connected\n", false);
      }
      std::make_shared<WebSocketSession>(stream_.release_socket(), state_)->Run(parser_->release());
      return;
    }
    if (get && target == "/") {
      return Answer(http::status::ok, "text/html; charset=utf-8", std::string(DashboardPage()),
                    request.keep_alive());
    }
    if (get && target == "/api/latest") {
      return Answer(http::status::ok, "application/json", state_->Latest(), request.keep_alive());
    }
    Answer(http::status::not_found, "text/plain; charset=utf-8",
           "relay-web: not found; try / or /api/latest\n", request.keep_alive());
  }

  void Answer(http::status status, const char* contentType, std::string body, bool keepAlive) {
    auto response = std::make_shared<http::response<http::string_body>>(status, 11);
    response->set(http::field::server, kServerName);
    response->set(http::field::content_type, contentType);
    response->set(http::field::cache_control, "no-store");
    response->body() = std::move(body);
    response->keep_alive(keepAlive);
    response->prepare_payload();
    stream_.expires_after(kHttpTimeout);
    http::async_write(stream_, *response,
                      [self = shared_from_this(), response](beast::error_code ec, std::size_t) {
                        self->OnWrite(ec, response->need_eof());
                      });
  }

  void OnWrite(beast::error_code ec, bool close) {
    if (ec) return;
    if (close) {
      stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
      Linger();
      return;
    }
    Read();
  }

  // Closing a socket with unread bytes in it resets the connection, and a
  // reset can destroy the answer before the client reads it. So the rest of
  // a rejected request is read and thrown away until the client closes, or
  // for a few seconds at most.
  void Linger() {
    stream_.expires_after(kLinger);
    buffer_.clear();
    stream_.async_read_some(buffer_.prepare(1024),
                            [self = shared_from_this()](beast::error_code ec, std::size_t) {
                              if (!ec) self->Linger();
                            });
  }

  beast::tcp_stream stream_;
  std::shared_ptr<SharedState> state_;
  // Holds the request line and header; a larger request is rejected.
  beast::flat_buffer buffer_{kMaxRequestHeader + 1024};
  std::optional<http::request_parser<http::empty_body>> parser_;
};

// ---- Listener --------------------------------------------------------------

class Listener : public std::enable_shared_from_this<Listener> {
 public:
  Listener(net::io_context& io, std::shared_ptr<SharedState> state)
      : acceptor_(io), retry_(io), state_(std::move(state)) {}

  bool Open(const tcp::endpoint& endpoint, std::string* error) {
    beast::error_code ec;
    const auto failed = [&](const char* what) {
      *error = std::string(what) + ": " + ec.message();
      acceptor_.close(ec);
      return false;
    };
    acceptor_.open(endpoint.protocol(), ec);
    if (ec) return failed("open");
    if (ReuseListeningAddress()) acceptor_.set_option(net::socket_base::reuse_address(true), ec);
    acceptor_.bind(endpoint, ec);
    if (ec) return failed("bind");
    acceptor_.listen(net::socket_base::max_listen_connections, ec);
    if (ec) return failed("listen");
    return true;
  }
  tcp::endpoint LocalEndpoint() const {
    beast::error_code ec;
    return acceptor_.local_endpoint(ec);
  }

  void Accept() {
    acceptor_.async_accept(beast::bind_front_handler(&Listener::OnAccept, shared_from_this()));
  }

 private:
  void OnAccept(beast::error_code ec, tcp::socket socket) {
    if (ec) {
      retry_.expires_after(kAcceptRetry);
      retry_.async_wait([self = shared_from_this()](beast::error_code) { self->Accept(); });
      return;
    }
    std::make_shared<HttpSession>(std::move(socket), state_)->Run();
    Accept();
  }

  tcp::acceptor acceptor_;
  net::steady_timer retry_;
  std::shared_ptr<SharedState> state_;
};

// ---- WebServer -------------------------------------------------------------

WebServer::WebServer(net::io_context& io) : io_(io), state_(std::make_shared<SharedState>(io)) {}

WebServer::~WebServer() = default;

bool WebServer::Listen(const tcp::endpoint& endpoint, std::string* error) {
  listener_ = std::make_shared<Listener>(io_, state_);
  if (!listener_->Open(endpoint, error)) return false;
  listener_->Accept();
  state_->WatchForStalls(state_);
  return true;
}

tcp::endpoint WebServer::LocalEndpoint() const { return listener_->LocalEndpoint(); }

void WebServer::PublishStatus(bool connected) { state_->PublishStatus(connected); }
void WebServer::PublishSession(std::string json) { state_->PublishSession(std::move(json)); }
void WebServer::PublishData(std::shared_ptr<const std::string> json) {
  state_->PublishData(std::move(json));
}

}  // namespace web
