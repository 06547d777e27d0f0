// Listener, HTTP session, WebSocket session and the state they share, in the
// shape of Beast's multi-client chat example, with its unbounded send queue
// replaced by what a browser can still use: the newest message of each kind
// of state, and the newest row. The race log's laps and pit stops are
// events, each sent to every browser: the shared state keeps the session's
// log, bounded, and each browser's place in it.
#include "relay-web/web_server.h"

#include <algorithm>
#include <array>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/http/span_body.hpp>
#include <boost/beast/websocket.hpp>
#include <charconv>
#include <cstdio>
#include <deque>
#include <limits>
#include <map>
#include <optional>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "relay-web/buffer_pool.h"
#include "relay-web/dashboard_page.h"
#include "relay-web/handler_memory.h"
#include "relay-web/socket_options.h"
#include "relay-web/variables.h"

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
// A console line about a flood (connections turned away or closed) at most
// this often; the others are counted in the next.
constexpr auto kFloodReportInterval = std::chrono::seconds(10);

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

net::ip::address PeerAddress(const tcp::socket& socket) {
  beast::error_code ec;
  const tcp::endpoint peer = socket.remote_endpoint(ec);
  return ec ? net::ip::address() : peer.address();
}

// One kind of console line that a flood would repeat: the first is printed,
// then at most one every kFloodReportInterval with a count of those held back.
class FloodReport {
 public:
  template <class Text>
  void Say(Text text) {
    const Clock::time_point now = Clock::now();
    if (said_ && now - last_ < kFloodReportInterval) {
      ++unsaid_;
      return;
    }
    std::string line = text();
    if (unsaid_ > 0) line += " (and " + std::to_string(unsaid_) + " more like it)";
    Log(line);
    said_ = true;
    last_ = now;
    unsaid_ = 0;
  }

 private:
  bool said_ = false;
  Clock::time_point last_;
  std::size_t unsaid_ = 0;
};

// The kinds of state message. Each browser waits for at most the newest
// message of each kind: they describe state, not events.
enum StateKind : std::size_t {
  kStatus,
  kSession,
  kSessionText,
  kStrategy,
  kStandings,
  kRelative,
  kStateKinds
};

// What a request's query asks of the feed: ?vars=NAME,NAME,... (or * for
// all) and ?hz=N. Other parameters are ignored.
struct FeedQuery {
  bool vars = false;
  bool all = false;
  std::vector<std::string> names;  // without repeats, in the order given
  int hz = 0;                      // 0: every row
};

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool PercentDecode(std::string_view text, std::string* out) {
  out->clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      *out += text[i];
      continue;
    }
    if (i + 2 >= text.size() || HexDigit(text[i + 1]) < 0 || HexDigit(text[i + 2]) < 0) {
      return false;
    }
    *out += static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
    i += 2;
  }
  return true;
}

bool ParseFeedQuery(std::string_view query, FeedQuery* feed, std::string* error) {
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    const std::size_t equals = pair.find('=');
    const std::string_view key = pair.substr(0, equals);
    const std::string_view value =
        equals == std::string_view::npos ? std::string_view() : pair.substr(equals + 1);
    if (key == "vars") {
      if (value.size() > kMaxVarsParameter) {
        *error = "vars names more than " + std::to_string(kMaxVarsParameter / 1024) +
                 " KiB of variables";
        return false;
      }
      std::string names;
      if (!PercentDecode(value, &names)) {
        *error = "vars holds a malformed %-escape";
        return false;
      }
      feed->vars = true;
      // Repeats are found with a set: a long list of names costs no more
      // than its length.
      std::unordered_set<std::string_view> seen;
      std::string_view rest = names;
      while (!rest.empty()) {
        const std::size_t comma = rest.find(',');
        const std::string_view name = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        if (name == "*") {
          feed->all = true;
        } else if (!name.empty() && seen.insert(name).second) {
          if (seen.size() > kMaxVarsNames) {
            *error = "vars names more than " + std::to_string(kMaxVarsNames) + " variables";
            return false;
          }
          feed->names.emplace_back(name);
        }
      }
    } else if (key == "hz") {
      int hz = 0;
      const auto parsed = std::from_chars(value.data(), value.data() + value.size(), hz);
      if (parsed.ec != std::errc() || parsed.ptr != value.data() + value.size() ||
          hz < kMinRowRate || hz > kMaxRowRate) {
        *error = "hz must be a whole number of rows per second from " +
                 std::to_string(kMinRowRate) + " to " + std::to_string(kMaxRowRate);
        return false;
      }
      feed->hz = hz;
    }
  }
  return true;
}

// The subscription's key: browsers that ask for the same variables share
// one vars message per row.
std::string SubscriptionKey(const FeedQuery& query) {
  if (query.all) return "*";
  std::string key;
  for (const std::string& name : query.names) key += name + ',';
  return key;
}

// The directory's variables that `query` asks for, and the names it does
// not have.
void Resolve(const FeedQuery& query, const Directory* directory, std::vector<int>* indices,
             std::vector<std::string>* unknown) {
  indices->clear();
  if (unknown != nullptr) unknown->clear();
  if (query.all) {
    const std::size_t count = directory != nullptr ? directory->variables.size() : 0;
    for (std::size_t i = 0; i < count; ++i) indices->push_back(static_cast<int>(i));
    return;
  }
  for (const std::string& name : query.names) {
    const int index = directory != nullptr ? directory->Find(name) : -1;
    if (index >= 0) {
      indices->push_back(index);
    } else if (unknown != nullptr) {
      unknown->push_back(name);
    }
  }
}

}  // namespace

// ---- Subscription ------------------------------------------------------------

// The variables one or more browsers asked for, and their vars message for
// the newest row, built once whoever sends it first.
class Subscription {
 public:
  Subscription(std::string key, FeedQuery query) : key_(std::move(key)), query_(std::move(query)) {}

  const std::string& key() const { return key_; }

  // A new directory: the names are looked up again, and what fits a
  // message of `maxMessage` bytes worked out.
  void Resolve(const Directory* directory, std::size_t maxMessage) {
    std::vector<std::string> unknown;
    std::vector<int> indices;
    web::Resolve(query_, directory, &indices, &unknown);
    unknown_ = directory != nullptr ? UnknownJson(unknown) : "";
    plan_ = directory != nullptr
                ? PlanVars(*directory, indices, query_.all, maxMessage, unknown_.size() + 1)
                : VarsPlan{};
    for (Built& built : built_) built = Built{};
  }

  // The vars message of row `sequence`; `withUnknown` adds the names the
  // directory lacks (the first message after a socket opens or the
  // directory changes).
  Message Vars(std::uint64_t sequence, std::int32_t tick, std::span<const std::uint8_t> row,
               const Directory& directory, bool withUnknown) {
    Built& built = built_[withUnknown && !unknown_.empty() ? 1 : 0];
    if (built.sequence != sequence || built.message == nullptr) {
      built.message.reset();
      const std::shared_ptr<std::string> buffer = buffers_.Free();
      VarsJson(tick, row, directory, plan_, &built == &built_[1] ? unknown_ : "", *buffer);
      built = {sequence, buffer};
    }
    return built.message;
  }

 private:
  struct Built {
    std::uint64_t sequence = 0;
    Message message;
  };

  std::string key_;
  FeedQuery query_;
  VarsPlan plan_;
  std::string unknown_;
  std::array<Built, 2> built_;
  BufferPool buffers_;
};

class WebSocketSession;
class HttpSession;

// What the sessions share: the newest message of each kind and the newest
// row, for new sockets and the snapshot, and the sessions to tell of new
// ones. Every message published is numbered, so each browser is sent what
// it still needs in the order it was published.
class SharedState {
 public:
  SharedState(net::io_context& io, Source source, std::size_t perClient)
      : source_(source),
        perClient_(perClient),
        present_(std::make_shared<const std::string>(StatusJson(source, true))),
        absent_(std::make_shared<const std::string>(StatusJson(source, false))),
        stallTimer_(io) {
    state_[kStatus] = {Next(), absent_};
    if (source == Source::kSimulator) logStart_ = Next();
  }

  Source source() const { return source_; }

  // ---- Browsers
  void Join(WebSocketSession* session) { sessions_.push_back(session); }
  void Leave(WebSocketSession* session) { std::erase(sessions_, session); }
  std::size_t Browsers() const { return sessions_.size(); }
  std::shared_ptr<Subscription> Subscribe(const FeedQuery& query) {
    const std::string key = SubscriptionKey(query);
    if (auto existing = subscriptions_[key].lock()) return existing;
    auto subscription = std::make_shared<Subscription>(key, query);
    subscription->Resolve(directory_.get(), maxMessage_);
    subscriptions_[key] = subscription;
    return subscription;
  }
  // The last browser of a subscription takes it along.
  void Unsubscribe(std::shared_ptr<Subscription> subscription) {
    if (subscription.use_count() == 1) subscriptions_.erase(subscription->key());
  }

  // ---- Connections, capped
  // Counts a new connection from `address`. When the address already holds
  // its share, its connection that has waited longest for its client (for a
  // request, or for what it was sent to be taken) is closed to make room;
  // false when none can give way.
  bool AdmitClient(const net::ip::address& address);
  void ReleaseClient(const net::ip::address& address) {
    const auto found = clients_.find(address);
    if (found != clients_.end() && --found->second == 0) clients_.erase(found);
  }
  // Registers `session`; when that makes too many, the one that has waited
  // longest for a request or for its answer to be taken is closed. False
  // when none can give way.
  bool AdmitHttp(HttpSession* session);
  void ForgetHttp(HttpSession* session) { std::erase(http_, session); }
  // True when a new browser may join: there is room, or the browser stalled
  // longest has been dropped to make it.
  bool MakeRoomForBrowser();
  // An HTTP client took none of an answer for kAnswerTimeout.
  void AnswerNotTaken(const net::ip::address& client) {
    answerTimeouts_.Say([&] {
      return "closed a connection from " + client.to_string() +
             ": it took none of its answer for " + std::to_string(kAnswerTimeout.count()) + " s";
    });
  }

  // ---- The feed
  void PublishStatus(bool present);
  void PublishState(StateKind kind, std::string json);
  void PublishState(StateKind kind, Message json);
  void PublishSessionText(std::string text);
  void PublishDirectory(std::shared_ptr<const Directory> directory);
  void PublishRow(Message data, std::span<const std::uint8_t> row, std::int32_t tick);
  void StartLog(std::string session);
  void PublishEvent(bool lap, std::string json);

  // ---- What the sessions read
  struct StateMessage {
    std::uint64_t sequence = 0;
    Message message;
  };
  const StateMessage& State(StateKind kind) const { return state_[kind]; }
  std::uint64_t RowSequence() const { return data_ != nullptr ? rowSequence_ : 0; }
  const Message& Data() const { return data_; }
  Message Vars(Subscription& subscription, bool withUnknown) const {
    return subscription.Vars(rowSequence_, tick_, row_, *directory_, withUnknown);
  }
  // True when the newest row is laid out by the current directory: a row
  // of an earlier layout is never read through a later one's.
  bool RowHasDirectory() const { return directory_ != nullptr && rowDirectory_ == directory_; }
  void SetMaxMessage(std::size_t bytes) { maxMessage_ = bytes; }

  std::string Latest(const FeedQuery& query) const;
  // GET /api/standings: {"standings":..,"relative":..}, null before the
  // first of each.
  std::string Standings() const {
    const auto orNull = [](const Message& message) {
      return message != nullptr ? std::string_view(*message) : std::string_view("null");
    };
    std::string json = "{\"standings\":";
    json += orNull(state_[kStandings].message);
    json += ",\"relative\":";
    json += orNull(state_[kRelative].message);
    json += '}';
    return json;
  }
  const std::string& VariableList() const { return variableList_; }
  const Message& SessionText() const { return sessionText_; }

  // The race log: kept only reading the simulator. Each lap or pit message
  // is numbered in the same sequence as the rest of the feed.
  struct LogEvent {
    std::uint64_t sequence = 0;
    bool lap = false;
    Message message;
  };
  bool Logging() const { return logStart_ != 0; }
  // A log of a session, to send: none until the session is known.
  bool HaveLog() const { return Logging() && !logSession_.empty(); }
  // When the current log began, and the newest event it gave way for its
  // limits (0: none).
  std::uint64_t LogStart() const { return logStart_; }
  std::uint64_t LogDropped() const { return logDropped_; }
  // The sequence of the newest event in the log, or of its start.
  std::uint64_t LastEvent() const { return events_.empty() ? logStart_ : events_.back().sequence; }
  // The first event after `sequence`, or null.
  const LogEvent* EventAfter(std::uint64_t sequence) const {
    const auto next =
        std::upper_bound(events_.begin(), events_.end(), sequence,
                         [](std::uint64_t s, const LogEvent& event) { return s < event.sequence; });
    return next != events_.end() ? &*next : nullptr;
  }
  // The log message of the log as it stands (GET /api/laps too), made when
  // first asked for after a change.
  const Message& LogMessage();

  // Every second, drops the sessions whose write has hung for kStalledWrite.
  void WatchForStalls(const std::shared_ptr<SharedState>& self);

 private:
  std::uint64_t Next() { return ++sequence_; }
  void WakeAll();

  const Source source_;
  const std::size_t perClient_;
  const Message present_;
  const Message absent_;
  std::uint64_t sequence_ = 0;
  std::array<StateMessage, kStateKinds> state_;
  Message data_;
  std::vector<std::uint8_t> row_;
  std::int32_t tick_ = 0;
  std::uint64_t rowSequence_ = 0;
  std::shared_ptr<const Directory> directory_;
  std::shared_ptr<const Directory> rowDirectory_;  // the one row_ is laid out by
  std::size_t maxMessage_ = kDefaultMaxMessage;
  std::string variableList_ = "[]";
  std::string sessionTextRaw_;
  Message sessionText_;
  std::int64_t sessionTextUpdates_ = 0;
  std::uint64_t logStart_ = 0;
  std::uint64_t logDropped_ = 0;
  std::string logSession_;
  std::deque<LogEvent> events_;  // oldest first
  std::size_t logLaps_ = 0;
  std::size_t logPits_ = 0;
  Message logMessage_;
  std::vector<WebSocketSession*> sessions_;
  std::map<std::string, std::weak_ptr<Subscription>> subscriptions_;
  std::vector<HttpSession*> http_;
  std::map<net::ip::address, std::size_t> clients_;  // connections by client address
  FloodReport httpGivingWay_, httpRefused_, clientRefused_, browsersRefused_, answerTimeouts_;
  net::steady_timer stallTimer_;
};

// ---- WebSocket session -----------------------------------------------------

class WebSocketSession : public std::enable_shared_from_this<WebSocketSession> {
 public:
  // `address` is counted as one of the client's connections; the session
  // releases it when it ends.
  WebSocketSession(tcp::socket&& socket, std::shared_ptr<SharedState> state, const FeedQuery& query,
                   net::ip::address address)
      : ws_(std::move(socket)),
        state_(std::move(state)),
        address_(std::move(address)),
        peer_(PeerName(ws_.next_layer().socket())),
        dueTimer_(ws_.get_executor()) {
    // Nagle's algorithm would hold each small message back for the ACK of
    // the one before.
    beast::error_code ec;
    tcp::socket& raw = ws_.next_layer().socket();
    raw.set_option(tcp::no_delay(true), ec);
    KeepUnsentBytesFew(raw);
    if (query.vars) subscription_ = state_->Subscribe(query);
    if (query.hz > 0) period_ = std::chrono::microseconds(1000000 / query.hz);
    state_->Join(this);
  }
  ~WebSocketSession() {
    state_->Leave(this);
    state_->ReleaseClient(address_);
    if (subscription_ != nullptr) state_->Unsubscribe(std::move(subscription_));
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
    // Each message as one frame: cut into Beast's default 4 KiB frames, a
    // vars message of every variable (some 37 KB) took ten sends.
    ws_.auto_fragment(false);
    ws_.async_accept(request,
                     beast::bind_front_handler(&WebSocketSession::OnAccept, shared_from_this()));
  }

  // Something new was published: send what this browser still needs.
  void Wake() { WriteNext(); }
  // The source went away: the waiting row is no longer news.
  void ForgetRow() { rowTaken_ = state_->RowSequence(); }
  // The variables changed: the next vars message names the unknown again.
  void DirectoryChanged() { unknownPending_ = true; }

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

  bool Dropped() const { return dropped_; }
  const net::ip::address& address() const { return address_; }
  // Stalled long enough to give way to a new connection, and since when.
  bool CanGiveWay(Clock::time_point now) const {
    return open_ && !dropped_ && writing_ != nullptr && now - writeStart_ >= kStalledForRoom;
  }
  Clock::time_point WaitingSince() const { return writeStart_; }
  void GiveWay(Clock::time_point now) {
    dropped_ = true;
    Log(peer_ +
        " dropped to make room for a new connection: nothing it was sent has been taken for " +
        std::to_string(
            std::chrono::duration_cast<std::chrono::seconds>(now - writeStart_).count()) +
        " s");
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
      dueTimer_.cancel();
      beast::get_lowest_layer(ws_).close();
      return;
    }
    readBuffer_.consume(readBuffer_.size());
    Read();
  }

  // Sends the oldest of what is waiting: the rest of a row taken, the race
  // log, a state message or the log's next event, or the newest row once it
  // is due at this browser's rate.
  void WriteNext() {
    if (!open_ || writing_ != nullptr) return;
    if (takenNext_ < taken_.size() && taken_[takenNext_] != nullptr) {
      return Write(std::move(taken_[takenNext_++]));
    }
    // The log as it stands, at once: to a new socket, after a new session
    // began, and to a socket so far behind that the log has let go of an
    // event it was not sent. The events since follow one by one.
    if (state_->HaveLog() &&
        (logSeen_ != state_->LogStart() || eventTaken_ < state_->LogDropped())) {
      logSeen_ = state_->LogStart();
      eventTaken_ = state_->LastEvent();
      return Write(state_->LogMessage());
    }
    const SharedState::LogEvent* event = state_->EventAfter(eventTaken_);
    std::size_t kind = kStateKinds;
    std::uint64_t oldest =
        event != nullptr ? event->sequence : std::numeric_limits<std::uint64_t>::max();
    for (std::size_t k = 0; k < kStateKinds; ++k) {
      const SharedState::StateMessage& latest = state_->State(static_cast<StateKind>(k));
      if (latest.message != nullptr && latest.sequence > sent_[k] && latest.sequence < oldest) {
        kind = k;
        oldest = latest.sequence;
      }
    }
    const std::uint64_t row = state_->RowSequence();
    if (row > rowTaken_ && row < oldest) {
      const Clock::time_point now = Clock::now();
      if (period_ == Clock::duration::zero() || now >= due_) {
        TakeRow(now);
        return Write(std::move(taken_[takenNext_++]));
      }
      WaitUntilDue();
    }
    if (kind < kStateKinds) {
      const SharedState::StateMessage& latest = state_->State(static_cast<StateKind>(kind));
      sent_[kind] = latest.sequence;
      Write(latest.message);
    } else if (event != nullptr) {
      eventTaken_ = event->sequence;
      Write(event->message);
    }
  }

  // The newest row's data message and, for a browser that asked for
  // variables, its vars message, to be written one after the other.
  void TakeRow(Clock::time_point now) {
    rowTaken_ = state_->RowSequence();
    taken_[0] = state_->Data();
    taken_[1] = subscription_ != nullptr && state_->RowHasDirectory()
                    ? state_->Vars(*subscription_, unknownPending_)
                    : nullptr;
    if (taken_[1] != nullptr) unknownPending_ = false;
    takenNext_ = 0;
    if (period_ != Clock::duration::zero()) {
      // Rows go out on an even grid; one that had to wait for a slow socket
      // starts the grid afresh rather than being followed by a burst.
      due_ += period_;
      if (due_ <= now) due_ = now + period_;
    }
  }

  void WaitUntilDue() {
    if (timerArmed_) return;
    timerArmed_ = true;
    dueTimer_.expires_at(due_);
    dueTimer_.async_wait(
        WithMemory(timerMemory_, [self = shared_from_this()](beast::error_code ec) {
          self->timerArmed_ = false;
          if (!ec) self->WriteNext();
        }));
  }

  void Write(Message message) {
    writing_ = std::move(message);
    writeStart_ = Clock::now();
    ws_.async_write(net::buffer(*writing_),
                    WithMemory(writeMemory_, beast::bind_front_handler(&WebSocketSession::OnWrite,
                                                                       shared_from_this())));
  }
  void OnWrite(beast::error_code ec, std::size_t) {
    writing_.reset();
    if (ec) {
      open_ = false;
      dueTimer_.cancel();
      beast::get_lowest_layer(ws_).close();
      return;
    }
    WriteNext();
  }

  websocket::stream<beast::tcp_stream> ws_;
  std::shared_ptr<SharedState> state_;
  const net::ip::address address_;
  std::string peer_;
  beast::flat_buffer readBuffer_;
  std::shared_ptr<Subscription> subscription_;
  // The sequence of the newest message of each kind taken, and of the
  // newest row.
  std::array<std::uint64_t, kStateKinds> sent_{};
  std::uint64_t rowTaken_ = 0;
  // The start of the race log this browser was sent, and the newest of its
  // events sent.
  std::uint64_t logSeen_ = 0;
  std::uint64_t eventTaken_ = 0;
  bool unknownPending_ = true;
  std::array<Message, 2> taken_;
  std::size_t takenNext_ = taken_.size();
  // With ?hz=: a row at most every period_, the next from due_ on.
  Clock::duration period_ = Clock::duration::zero();
  Clock::time_point due_;
  net::steady_timer dueTimer_;
  bool timerArmed_ = false;
  Message writing_;  // the message being written, kept alive until it is done
  const std::shared_ptr<HandlerMemory> writeMemory_ = std::make_shared<HandlerMemory>();
  const std::shared_ptr<HandlerMemory> timerMemory_ = std::make_shared<HandlerMemory>();
  Clock::time_point writeStart_;
  bool open_ = false;  // the handshake is done and no write has failed
  bool dropped_ = false;
};

void SharedState::WakeAll() {
  for (WebSocketSession* session : sessions_) session->Wake();
}

void SharedState::PublishStatus(bool present) {
  const Message& status = present ? present_ : absent_;
  if (status == state_[kStatus].message) return;
  state_[kStatus] = {Next(), status};
  if (!present) {
    for (WebSocketSession* session : sessions_) session->ForgetRow();
  }
  WakeAll();
}

void SharedState::PublishState(StateKind kind, std::string json) {
  // A source may repeat itself (the relay sends its SESSION_INFO every few
  // seconds); browsers hear of a change.
  if (state_[kind].message != nullptr && *state_[kind].message == json) return;
  PublishState(kind, std::make_shared<const std::string>(std::move(json)));
}

void SharedState::PublishState(StateKind kind, Message json) {
  if (state_[kind].message != nullptr && *state_[kind].message == *json) return;
  state_[kind] = {Next(), std::move(json)};
  WakeAll();
}

void SharedState::PublishSessionText(std::string text) {
  if (sessionText_ != nullptr && text == sessionTextRaw_) return;
  sessionText_ = std::make_shared<const std::string>(ToUtf8(text));
  sessionTextRaw_ = std::move(text);
  PublishState(kSessionText, SessionTextJson(++sessionTextUpdates_));
}

void SharedState::PublishDirectory(std::shared_ptr<const Directory> directory) {
  directory_ = std::move(directory);
  variableList_ = directory_ != nullptr ? DirectoryJson(*directory_) : "[]";
  for (auto& [key, weak] : subscriptions_) {
    if (auto subscription = weak.lock()) subscription->Resolve(directory_.get(), maxMessage_);
  }
  for (WebSocketSession* session : sessions_) session->DirectoryChanged();
}

void SharedState::PublishRow(Message data, std::span<const std::uint8_t> row, std::int32_t tick) {
  data_ = std::move(data);
  row_.assign(row.begin(), row.end());
  rowDirectory_ = directory_;
  tick_ = tick;
  rowSequence_ = Next();
  WakeAll();
}

void SharedState::StartLog(std::string session) {
  if (!Logging() || session == logSession_) return;
  logSession_ = std::move(session);
  events_.clear();
  logLaps_ = logPits_ = 0;
  logDropped_ = 0;
  logMessage_.reset();
  logStart_ = Next();
  WakeAll();
}

void SharedState::PublishEvent(bool lap, std::string json) {
  if (!HaveLog()) return;
  events_.push_back({Next(), lap, std::make_shared<const std::string>(std::move(json))});
  std::size_t& count = lap ? logLaps_ : logPits_;
  if (++count > (lap ? kMaxLogLaps : kMaxLogPits)) {
    // The oldest of its kind gives way; the events are in order, so the
    // newest dropped is the one with the highest number.
    const auto oldest = std::find_if(events_.begin(), events_.end(),
                                     [lap](const LogEvent& event) { return event.lap == lap; });
    logDropped_ = std::max(logDropped_, oldest->sequence);
    events_.erase(oldest);
    --count;
  }
  logMessage_.reset();
  WakeAll();
}

const Message& SharedState::LogMessage() {
  if (logMessage_ == nullptr) {
    std::vector<std::string_view> laps, pits;
    for (const LogEvent& event : events_) (event.lap ? laps : pits).push_back(*event.message);
    logMessage_ = std::make_shared<const std::string>(LogJson(logSession_, laps, pits));
  }
  return logMessage_;
}

std::string SharedState::Latest(const FeedQuery& query) const {
  std::string values, notes;
  if (query.vars) {
    // The row read through the directory it is laid out by, which a new
    // layout may since have replaced.
    const Directory* directory = data_ != nullptr ? rowDirectory_.get() : nullptr;
    std::vector<int> indices;
    Resolve(query, directory, &indices, nullptr);
    if (directory != nullptr) {
      const VarsPlan plan = PlanVars(*directory, indices, query.all, maxMessage_, 0);
      values = ValuesJson(row_, *directory, plan);
      notes = PlanNotes(plan);
    } else {
      values = "{}";
    }
  }
  const auto text = [](const Message& message) {
    return message != nullptr ? std::string_view(*message) : std::string_view();
  };
  return LatestJson({.status = text(state_[kStatus].message),
                     .session = text(state_[kSession].message),
                     .data = text(data_),
                     .strategy = text(state_[kStrategy].message),
                     .standings = text(state_[kStandings].message),
                     .relative = text(state_[kRelative].message),
                     .values = values,
                     .notes = notes});
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
      : stream_(std::move(socket)),
        state_(std::move(state)),
        address_(PeerAddress(stream_.socket())) {}
  ~HttpSession() {
    state_->ForgetHttp(this);
    if (counted_) state_->ReleaseClient(address_);
  }
  HttpSession(const HttpSession&) = delete;
  HttpSession& operator=(const HttpSession&) = delete;

  void Run() {
    if (!state_->AdmitClient(address_)) {
      beast::error_code ec;
      stream_.socket().close(ec);
      return;
    }
    counted_ = true;
    if (!state_->AdmitHttp(this)) return;
    Read();
  }

  const net::ip::address& address() const { return address_; }
  // Waiting for a request, or stalled long enough on an answer to give way
  // to a new connection; and since when.
  bool CanGiveWay(Clock::time_point now) const {
    return !closed_ && (idle_ || (answering_ && now - lastProgress_ >= kStalledForRoom));
  }
  Clock::time_point WaitingSince() const { return idle_ ? idleSince_ : lastProgress_; }
  // Closes the connection to make room for a newer one.
  void GiveWay(Clock::time_point) {
    closed_ = true;
    beast::error_code ec;
    stream_.socket().close(ec);
  }

 private:
  void Read() {
    parser_.emplace();
    parser_->header_limit(kMaxRequestHeader);
    // A new connection gets a short while for its first request, so that
    // connections that never send one cannot hold a place for long.
    stream_.expires_after(requests_ == 0 ? kFirstRequestTimeout : kHttpTimeout);
    idle_ = true;
    idleSince_ = Clock::now();
    http::async_read(stream_, buffer_, *parser_,
                     beast::bind_front_handler(&HttpSession::OnRead, shared_from_this()));
  }

  void OnRead(beast::error_code ec, std::size_t) {
    idle_ = false;
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
    if (ec) return;  // time-out, reset, given way: nothing to answer
    ++requests_;
    const http::request<http::empty_body>& request = parser_->get();
    const std::string_view target(request.target().data(), request.target().size());
    const std::size_t question = target.find('?');
    const std::string_view path = target.substr(0, question);
    const std::string_view query =
        question == std::string_view::npos ? std::string_view() : target.substr(question + 1);
    const bool get = request.method() == http::verb::get;
    const bool keepAlive = request.keep_alive();
    FeedQuery feed;
    std::string problem;
    if (get && (path == "/ws" || path == "/api/latest") &&
        !ParseFeedQuery(query, &feed, &problem)) {
      return Answer(http::status::bad_request, "text/plain; charset=utf-8",
                    "relay-web: " + problem + "\n", keepAlive);
    }
    if (get && path == "/ws") {
      if (!websocket::is_upgrade(request)) {
        return Answer(http::status::upgrade_required, "text/plain; charset=utf-8",
                      "relay-web: /ws is a WebSocket\n", keepAlive);
      }
      if (!state_->MakeRoomForBrowser()) {
        return Answer(http::status::service_unavailable, "text/plain; charset=utf-8",
                      "relay-web: too many browsers are connected\n", false);
      }
      // The client's count of connections goes with the socket.
      counted_ = false;
      std::make_shared<WebSocketSession>(stream_.release_socket(), state_, feed, address_)
          ->Run(parser_->release());
      return;
    }
    if (get && path == "/") {
      return Send(http::status::ok, "text/html; charset=utf-8", DashboardPage(), nullptr,
                  keepAlive);
    }
    if (get && path == "/api/latest") {
      return Answer(http::status::ok, "application/json", state_->Latest(feed), keepAlive);
    }
    if (get && path == "/api/standings") {
      return Answer(http::status::ok, "application/json", state_->Standings(), keepAlive);
    }
    if (get && path == "/api/laps") {
      if (!state_->Logging()) {
        return Answer(http::status::not_found, "text/plain; charset=utf-8",
                      "relay-web: a relay's stream carries no session ids or driver, so there "
                      "is no race log; run relay-web without --relay on the simulator's PC\n",
                      keepAlive);
      }
      // Shared like the session text: the log stays alive until written.
      const Message log = state_->LogMessage();
      return Send(http::status::ok, "application/json", *log, log, keepAlive);
    }
    if (get && path == "/api/vars") {
      return Answer(http::status::ok, "application/json", state_->VariableList(), keepAlive);
    }
    if (get && path == "/api/session") {
      if (state_->source() == Source::kRelay) {
        return Answer(http::status::not_found, "text/plain; charset=utf-8",
                      "relay-web: a relay's stream carries no session text; run relay-web "
                      "without --relay on the simulator's PC\n",
                      keepAlive);
      }
      if (state_->SessionText() == nullptr) {
        return Answer(http::status::service_unavailable, "text/plain; charset=utf-8",
                      "relay-web: the simulator has published no session text yet\n", keepAlive);
      }
      // Every answer shares the one text; it stays alive until the last is
      // written, whatever is published meanwhile.
      const Message& text = state_->SessionText();
      return Send(http::status::ok, "text/yaml; charset=utf-8", *text, text, keepAlive);
    }
    Answer(http::status::not_found, "text/plain; charset=utf-8",
           "relay-web: not found; try /, /api/latest, /api/standings, /api/laps, /api/vars or "
           "/api/session\n",
           keepAlive);
  }

  void Answer(http::status status, const char* contentType, std::string body, bool keepAlive) {
    auto owner = std::make_shared<const std::string>(std::move(body));
    Send(status, contentType, *owner, owner, keepAlive);
  }

  // Answers with `body`, which `owner` (if any) keeps alive until it is
  // written. The answer goes out a piece at a time, each as the client makes
  // room for it: a client that takes none of it for kAnswerTimeout is
  // closed, one that has taken none for kStalledForRoom may give way.
  void Send(http::status status, const char* contentType, std::string_view body, Message owner,
            bool keepAlive) {
    body_ = std::move(owner);
    response_.emplace(status, 11);
    response_->set(http::field::server, kServerName);
    response_->set(http::field::content_type, contentType);
    response_->set(http::field::cache_control, "no-store");
    response_->body() = {body.data(), body.size()};
    response_->keep_alive(keepAlive);
    response_->prepare_payload();
    serializer_.emplace(*response_);
    answering_ = true;
    lastProgress_ = Clock::now();
    WriteSome();
  }

  void WriteSome() {
    stream_.expires_after(kAnswerTimeout);
    http::async_write_some(stream_, *serializer_,
                           beast::bind_front_handler(&HttpSession::OnWrite, shared_from_this()));
  }

  void OnWrite(beast::error_code ec, std::size_t written) {
    if (ec) {
      answering_ = false;
      if (ec == beast::error::timeout) state_->AnswerNotTaken(address_);
      return;
    }
    if (written > 0) lastProgress_ = Clock::now();
    if (!serializer_->is_done()) return WriteSome();
    answering_ = false;
    const bool close = response_->need_eof();
    serializer_.reset();
    response_.reset();
    body_.reset();
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
  // for a few seconds at most: the deadline is set once, so a client that
  // keeps trickling bytes does not keep the connection.
  void Linger() {
    if (!lingering_) {
      lingering_ = true;
      stream_.expires_after(kLinger);
    }
    buffer_.clear();
    stream_.async_read_some(buffer_.prepare(1024),
                            [self = shared_from_this()](beast::error_code ec, std::size_t) {
                              if (!ec) self->Linger();
                            });
  }

  using Response = http::response<http::span_body<const char>>;

  beast::tcp_stream stream_;
  std::shared_ptr<SharedState> state_;
  const net::ip::address address_;
  bool counted_ = false;  // one of its client address's connections
  // Holds the request line and header; a larger request is rejected.
  beast::flat_buffer buffer_{kMaxRequestHeader + 1024};
  std::optional<http::request_parser<http::empty_body>> parser_;
  int requests_ = 0;
  bool idle_ = false;
  Clock::time_point idleSince_;
  bool lingering_ = false;
  bool closed_ = false;  // given way
  // The answer being written, its body's owner, and when the client last
  // took some of it.
  std::optional<Response> response_;
  std::optional<http::response_serializer<http::span_body<const char>>> serializer_;
  Message body_;
  bool answering_ = false;
  Clock::time_point lastProgress_;
};

// The session of `sessions` (from `address` only, if given) that has waited
// longest for its client among those that may give way, or null.
template <class Session>
Session* LongestWaiting(const std::vector<Session*>& sessions, Clock::time_point now,
                        const net::ip::address* address) {
  Session* oldest = nullptr;
  for (Session* session : sessions) {
    if (address != nullptr && session->address() != *address) continue;
    if (!session->CanGiveWay(now)) continue;
    if (oldest == nullptr || session->WaitingSince() < oldest->WaitingSince()) oldest = session;
  }
  return oldest;
}

// Sessions that give way stay listed until their handlers have run and
// released them.
bool SharedState::AdmitClient(const net::ip::address& address) {
  std::size_t& count = clients_[address];
  if (count >= perClient_) {
    const Clock::time_point now = Clock::now();
    HttpSession* http = LongestWaiting(http_, now, &address);
    WebSocketSession* browser = LongestWaiting(sessions_, now, &address);
    if (http != nullptr &&
        (browser == nullptr || http->WaitingSince() <= browser->WaitingSince())) {
      http->GiveWay(now);
    } else if (browser != nullptr) {
      browser->GiveWay(now);
    } else {
      clientRefused_.Say([&] {
        return "turned a connection from " + address.to_string() + " away: it has " +
               std::to_string(count) + " open, its limit (--per-client)";
      });
      return false;
    }
  }
  ++count;
  return true;
}

bool SharedState::AdmitHttp(HttpSession* session) {
  if (http_.size() >= kMaxHttpConnections) {
    const Clock::time_point now = Clock::now();
    HttpSession* oldest = LongestWaiting(http_, now, nullptr);
    if (oldest == nullptr) {
      httpRefused_.Say([] {
        return "turned a connection away: " + std::to_string(kMaxHttpConnections) +
               " HTTP connections are busy";
      });
      return false;
    }
    oldest->GiveWay(now);
    httpGivingWay_.Say([] {
      return "closing the HTTP connections waiting longest for their clients: " +
             std::to_string(kMaxHttpConnections) + " are open";
    });
  }
  http_.push_back(session);
  return true;
}

bool SharedState::MakeRoomForBrowser() {
  // Those dropped already are on their way out.
  const auto staying = std::count_if(sessions_.begin(), sessions_.end(),
                                     [](const WebSocketSession* s) { return !s->Dropped(); });
  if (static_cast<std::size_t>(staying) < kMaxBrowsers) return true;
  const Clock::time_point now = Clock::now();
  WebSocketSession* stalled = LongestWaiting(sessions_, now, nullptr);
  if (stalled == nullptr) {
    browsersRefused_.Say(
        [] { return "turned a browser away: " + std::to_string(kMaxBrowsers) + " are connected"; });
    return false;
  }
  stalled->GiveWay(now);
  return true;
}

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

WebServer::WebServer(net::io_context& io, Source source, std::size_t perClient)
    : io_(io), state_(std::make_shared<SharedState>(io, source, perClient)) {}

WebServer::~WebServer() = default;

bool WebServer::Listen(const tcp::endpoint& endpoint, std::string* error) {
  listener_ = std::make_shared<Listener>(io_, state_);
  if (!listener_->Open(endpoint, error)) return false;
  listener_->Accept();
  state_->WatchForStalls(state_);
  return true;
}

tcp::endpoint WebServer::LocalEndpoint() const { return listener_->LocalEndpoint(); }

void WebServer::SetMaxMessage(std::size_t bytes) { state_->SetMaxMessage(bytes); }

void WebServer::PublishStatus(bool present) { state_->PublishStatus(present); }
void WebServer::PublishSession(std::string json) {
  state_->PublishState(kSession, std::move(json));
}
void WebServer::PublishStrategy(std::string json) {
  state_->PublishState(kStrategy, std::move(json));
}
void WebServer::PublishStandings(std::shared_ptr<const std::string> json) {
  state_->PublishState(kStandings, std::move(json));
}
void WebServer::PublishRelative(std::shared_ptr<const std::string> json) {
  state_->PublishState(kRelative, std::move(json));
}
void WebServer::PublishSessionText(std::string text) {
  state_->PublishSessionText(std::move(text));
}
void WebServer::StartLog(std::string session) { state_->StartLog(std::move(session)); }
void WebServer::PublishLap(std::string json) { state_->PublishEvent(true, std::move(json)); }
void WebServer::PublishPit(std::string json) { state_->PublishEvent(false, std::move(json)); }
void WebServer::PublishDirectory(std::shared_ptr<const Directory> directory) {
  state_->PublishDirectory(std::move(directory));
}
void WebServer::PublishRow(std::shared_ptr<const std::string> data,
                           std::span<const std::uint8_t> row, std::int32_t tick) {
  state_->PublishRow(std::move(data), row, tick);
}

}  // namespace web
