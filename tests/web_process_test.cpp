// relay-web as a real process between the real relay (fed by sim-publisher)
// and WebSocket and HTTP clients on 127.0.0.1:8667; a plain TCP client of
// the relay sees the same rows at the same time.
#include <gtest/gtest.h>

#include <algorithm>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "relay-stream/message_parser.h"
#include "relay-web/web_feed.h"
#include "simlink/region.h"
#include "support/process_fixture.h"
#include "support/test_support.h"

namespace {

namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;
using namespace std::chrono_literals;
using testsupport::ReadFile;

constexpr unsigned short kWebPort = 8667;

// The feed's names of the DATA_PACKET's fields 2 to 16.
const std::vector<std::string> kDataNames = {
    "oilTemp",           "waterTemp",         "gear",      "fuelLevel", "rpm",
    "lapDistPct",        "fuelLevelPct",      "lapDist",   "lap",       "raceLaps",
    "sessionLapsRemain", "sessionTimeRemain", "onPitRoad", "throttle",  "isOnTrack"};

std::vector<std::string> Fields(const std::string& message) {
  std::vector<std::string> fields;
  std::istringstream stream(message);
  for (std::string field; std::getline(stream, field, ';');) fields.push_back(field);
  return fields;
}

// True when the feed's data message `json` carries exactly the values of the
// relay's `packet`: each number with the relay's own digits, nan and
// infinities as null, the flags as booleans.
bool SameValues(const std::string& packet, const std::string& json) {
  const std::vector<std::string> fields = Fields(packet);
  const Json parsed = Json::parse(json);
  if (fields.size() != 16 || parsed.size() != 16 || parsed["type"] != "data") return false;
  for (std::size_t i = 0; i < kDataNames.size(); ++i) {
    const std::string& token = fields[i + 1];
    const Json& value = parsed[kDataNames[i]];
    if (kDataNames[i] == "onPitRoad" || kDataNames[i] == "isOnTrack") {
      if (value != (token != "0")) return false;
    } else if (token == "nan" || token == "inf" || token == "-inf") {
      if (!value.is_null()) return false;
    } else if (json.find("\"" + kDataNames[i] + "\":" + token + (i == 14 ? "}" : ",")) ==
               std::string::npos) {
      return false;
    }
  }
  return true;
}

// Runs the test's clients until `done` or the time-out; true if done.
bool RunUntil(net::io_context& io, const std::function<bool()>& done,
              Clock::duration timeout = 10s) {
  const Clock::time_point deadline = Clock::now() + timeout;
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    io.restart();
    io.run_for(10ms);
  }
  return true;
}

// A browser's side of /ws. Every message it reads is kept with the number of
// relay messages the test's TCP client had seen when it arrived.
struct Browser {
  explicit Browser(net::io_context& io) : ws(io) {}

  // Connects (with a small receive buffer if asked) and shakes hands; the
  // HTTP status of the handshake's answer, 0 when there was none.
  unsigned Open(net::io_context& io, int receiveBuffer = 0) {
    tcp::socket& socket = ws.next_layer();
    beast::error_code ec;
    socket.open(tcp::v4(), ec);
    if (receiveBuffer > 0) socket.set_option(net::socket_base::receive_buffer_size(receiveBuffer));
    socket.connect({net::ip::make_address("127.0.0.1"), kWebPort}, ec);
    if (ec) return 0;
    bool done = false;
    ws.async_handshake(response, "127.0.0.1", "/ws", [&](beast::error_code) { done = true; });
    if (!RunUntil(io, [&] { return done; })) {
      // Let the handler, which refers to this frame, run before it is gone.
      socket.close(ec);
      RunUntil(io, [&] { return done; });
      return 0;
    }
    return response.result_int();
  }
  // Reads one message; `then` runs after it (for the next read).
  void ReadOne(const std::size_t* relayCount, std::function<void()> then) {
    ws.async_read(buffer, [this, relayCount, then](beast::error_code ec, std::size_t) {
      if (ec) {
        closed = true;
        return;
      }
      messages.push_back(beast::buffers_to_string(buffer.data()));
      seenByRelayClient.push_back(*relayCount);
      buffer.consume(buffer.size());
      then();
    });
  }
  void ReadAll(const std::size_t* relayCount) {
    ReadOne(relayCount, [this, relayCount] { ReadAll(relayCount); });
  }
  std::vector<std::string> Typed(const std::string& type) const {
    std::vector<std::string> typed;
    for (const std::string& message : messages) {
      if (Json::parse(message)["type"] == type) typed.push_back(message);
    }
    return typed;
  }

  websocket::stream<tcp::socket> ws;
  websocket::response_type response;
  beast::flat_buffer buffer;
  std::vector<std::string> messages;
  std::vector<std::size_t> seenByRelayClient;
  bool closed = false;
};

// A plain client of the relay, reading everything into `stream`.
struct RelayClient {
  explicit RelayClient(net::io_context& io) : socket(io) {}
  bool Open(net::io_context& io) {
    return RunUntil(io, [&] {
      beast::error_code ec;
      socket.close(ec);
      socket.connect({net::ip::make_address("127.0.0.1"), 6667}, ec);
      return !ec;
    });
  }
  void ReadAll() {
    socket.async_read_some(net::buffer(chunk), [this](beast::error_code ec, std::size_t got) {
      if (ec) return;
      stream.append(chunk.data(), got);
      messages = testsupport::SplitMessages(stream);
      // The last one may be unfinished; only complete packets count.
      count = messages.size() - (messages.empty() || messages.back().ends_with(";") ? 0 : 1);
      ReadAll();
    });
  }
  // The index of the DATA_PACKET whose values `json` carries, from `from` on.
  std::size_t Find(const std::string& json, std::size_t from = 0) const {
    for (std::size_t i = from; i < count; ++i) {
      if (messages[i].starts_with("DATA_PACKET") && SameValues(messages[i], json)) return i;
    }
    return std::string::npos;
  }

  tcp::socket socket;
  std::array<char, 65536> chunk{};
  std::string stream;
  std::vector<std::string> messages;
  std::size_t count = 0;
};

// Sends `request` on a new connection and returns all that comes back until
// relay-web closes the connection (empty if it does not within 10 s).
std::string Exchange(net::io_context& io, const std::string& request) {
  tcp::socket socket(io);
  beast::error_code ec;
  socket.connect({net::ip::make_address("127.0.0.1"), kWebPort}, ec);
  if (ec) return "";
  net::write(socket, net::buffer(request), ec);
  std::string answer;
  std::array<char, 4096> chunk{};
  bool closed = false;
  std::function<void()> read = [&] {
    socket.async_read_some(net::buffer(chunk), [&](beast::error_code error, std::size_t got) {
      answer.append(chunk.data(), got);
      if (error) {
        closed = true;
      } else {
        read();
      }
    });
  };
  read();
  if (!RunUntil(io, [&] { return closed; })) {
    socket.close(ec);
    RunUntil(io, [&] { return closed; });
    return "";
  }
  return answer;
}

std::string Body(const std::string& answer) { return answer.substr(answer.find("\r\n\r\n") + 4); }

class WebProcess : public testsupport::ProcessFixture {
 protected:
  WebProcess() : ProcessFixture("web-process-") {}

  bool WaitForOutput(const std::string& name, const std::string& part,
                     Clock::duration timeout = 10s) {
    return RunUntil(
        io_, [&] { return Output(name).find(part) != std::string::npos; }, timeout);
  }
  void StartRelayAndPublisher() {
    Start("publisher", SIM_PUBLISHER_EXECUTABLE, {});
    ASSERT_TRUE(WaitForOutput("publisher", "publishing")) << Output("publisher");
    Start("relay", RELAY_EXECUTABLE, {});
  }
  void StartWeb() {
    Start("web", RELAY_WEB_EXECUTABLE, {"--listen", "127.0.0.1:" + std::to_string(kWebPort)});
    ASSERT_TRUE(WaitForOutput("web", "serving http://127.0.0.1:8667/")) << Output("web");
  }
  // sim-publisher, the relay and relay-web, with `relay` reading the relay
  // beside relay-web.
  void StartAll(RelayClient& relay) {
    StartRelayAndPublisher();
    StartWeb();
    ASSERT_TRUE(WaitForOutput("web", "connected to the relay at 127.0.0.1:6667")) << Output("web");
    ASSERT_TRUE(relay.Open(io_));
    relay.ReadAll();
  }

  net::io_context io_;
};

TEST_F(WebProcess, FeedCarriesTheRelaysValuesAndServesThePageAndSnapshot) {
  RelayClient relay(io_);
  ASSERT_NO_FATAL_FAILURE(StartAll(relay));
  // relay-web joined the relay earlier than this client, so by the time this
  // one has its SESSION_INFO (the 32nd message to a new client), relay-web
  // has one too.
  ASSERT_TRUE(RunUntil(io_, [&] { return relay.count > 32; }));

  Browser browser(io_);
  ASSERT_EQ(browser.Open(io_), 101u);
  browser.ReadAll(&relay.count);
  ASSERT_TRUE(RunUntil(io_, [&] { return browser.Typed("data").size() >= 100; }));
  ASSERT_TRUE(
      RunUntil(io_, [&] { return relay.Find(browser.Typed("data").back()) != std::string::npos; }));

  // At once: the status, the last session message and the newest row.
  EXPECT_EQ(browser.messages[0], R"({"type":"status","relay":"connected"})");
  const Json session = Json::parse(browser.messages[1]);
  const std::vector<std::string> sessionInfo = Fields(relay.messages[31]);
  ASSERT_EQ(sessionInfo.size(), 6u) << relay.messages[31];
  EXPECT_EQ(session, Json({{"type", "session"},
                           {"firstRpm", std::stoi(sessionInfo[1])},
                           {"lastRpm", std::stoi(sessionInfo[2])},
                           {"shiftRpm", std::stoi(sessionInfo[3])},
                           {"blinkRpm", std::stoi(sessionInfo[4])},
                           {"carPath", sessionInfo[5]}}));
  // Every later data message is the relay's next row, values exactly as the
  // relay wrote them: this client reads at once, so it misses none.
  const std::vector<std::string> data = browser.Typed("data");
  std::size_t at = relay.Find(data[1]);
  ASSERT_NE(at, std::string::npos) << data[1];
  for (std::size_t i = 2; i < data.size(); ++i) {
    std::size_t next = at + 1;
    while (next < relay.count && !relay.messages[next].starts_with("DATA_PACKET")) ++next;
    ASSERT_LT(next, relay.count);
    ASSERT_TRUE(SameValues(relay.messages[next], data[i]))
        << "data message " << i << ": " << data[i]
        << "\nrelay's next row: " << relay.messages[next];
    at = next;
  }

  const std::string latest =
      Exchange(io_, "GET /api/latest HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  ASSERT_TRUE(latest.starts_with("HTTP/1.1 200 OK\r\n")) << latest;
  EXPECT_NE(latest.find("\r\nContent-Type: application/json\r\n"), std::string::npos) << latest;
  const Json snapshot = Json::parse(Body(latest));
  EXPECT_EQ(snapshot["status"], Json::parse(browser.messages[0]));
  EXPECT_EQ(snapshot["session"], session);
  const std::string body = Body(latest);
  const std::size_t dataAt = body.find("\"data\":") + 7;
  const std::string latestData = body.substr(dataAt, body.size() - dataAt - 1);
  ASSERT_TRUE(RunUntil(io_, [&] { return relay.Find(latestData) != std::string::npos; })) << body;

  const std::string page = Exchange(io_, "GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  ASSERT_TRUE(page.starts_with("HTTP/1.1 200 OK\r\n")) << page.substr(0, 200);
  EXPECT_NE(page.find("\r\nContent-Type: text/html; charset=utf-8\r\n"), std::string::npos);
  EXPECT_EQ(Body(page), ReadFile(SOURCE_DIR "/tools/relay-web/dashboard.html"));
}

TEST_F(WebProcess, StatusFollowsTheRelayAwayAndBack) {
  StartWeb();
  ASSERT_TRUE(WaitForOutput("web", "cannot connect to the relay")) << Output("web");
  const std::size_t none = 0;
  Browser browser(io_);
  ASSERT_EQ(browser.Open(io_), 101u);
  browser.ReadAll(&none);
  const auto statuses = [&] { return browser.Typed("status"); };
  ASSERT_TRUE(RunUntil(io_, [&] { return statuses().size() == 1; }));

  StartRelayAndPublisher();
  ASSERT_TRUE(RunUntil(io_, [&] { return statuses().size() == 2; })) << Output("web");
  ASSERT_TRUE(RunUntil(io_, [&] { return !browser.Typed("data").empty(); }));
  Kill("relay");
  const Clock::time_point killed = Clock::now();
  ASSERT_TRUE(RunUntil(io_, [&] { return statuses().size() == 3; })) << Output("web");
  const auto noticed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - killed);
  std::printf("relay killed -> \"offline\" on the socket in %lld ms\n",
              static_cast<long long>(noticed.count()));
  EXPECT_LT(noticed, 2s);
  Start("relay", RELAY_EXECUTABLE, {});
  ASSERT_TRUE(RunUntil(io_, [&] { return statuses().size() == 4; })) << Output("web");
  ASSERT_TRUE(
      RunUntil(io_, [&] { return Json::parse(browser.messages.back())["type"] == "data"; }));

  const Json offline = {{"type", "status"}, {"relay", "offline"}};
  const Json connected = {{"type", "status"}, {"relay", "connected"}};
  EXPECT_EQ(Json::parse(statuses()[0]), offline);
  EXPECT_EQ(Json::parse(statuses()[1]), connected);
  EXPECT_EQ(Json::parse(statuses()[2]), offline);
  EXPECT_EQ(Json::parse(statuses()[3]), connected);
  EXPECT_NE(Output("web").find("went away; reconnecting every second"), std::string::npos);
  EXPECT_NE(Output("web").find("reconnected to the relay"), std::string::npos) << Output("web");
}

TEST_F(WebProcess, StalledAndSlowBrowsersCostTheOthersNothing) {
  RelayClient relay(io_);
  ASSERT_NO_FATAL_FAILURE(StartAll(relay));
  ASSERT_TRUE(RunUntil(io_, [&] { return relay.count >= 2; }));

  Browser fast(io_), slow(io_), stalled(io_);
  ASSERT_EQ(fast.Open(io_), 101u);
  fast.ReadAll(&relay.count);
  // A phone that takes a message every 100 ms while rows come every 16.7.
  ASSERT_EQ(slow.Open(io_, 2048), 101u);
  net::steady_timer pause(io_);
  std::function<void()> readSlowly = [&] {
    slow.ReadOne(&relay.count, [&] {
      pause.expires_after(100ms);
      pause.async_wait([&](beast::error_code) { readSlowly(); });
    });
  };
  readSlowly();
  // One that never reads again.
  ASSERT_EQ(stalled.Open(io_, 2048), 101u);
  const Clock::time_point stalledAt = Clock::now();
  ASSERT_TRUE(WaitForOutput("web", "dropped", 20s)) << Output("web");
  const double dropSeconds = std::chrono::duration<double>(Clock::now() - stalledAt).count();
  // Keep going a little past the drop.
  const std::size_t atDrop = fast.messages.size();
  ASSERT_TRUE(RunUntil(io_, [&] { return fast.messages.size() >= atDrop + 60; }));
  ASSERT_TRUE(
      RunUntil(io_, [&] { return relay.Find(fast.Typed("data").back()) != std::string::npos; }));

  // The fast browser got every row the relay sent meanwhile.
  const std::vector<std::string> fastData = fast.Typed("data");
  const std::size_t first = relay.Find(fastData[1]);
  const std::size_t last = relay.Find(fastData.back(), first);
  ASSERT_NE(first, std::string::npos);
  ASSERT_NE(last, std::string::npos);
  std::size_t rows = 0;
  for (std::size_t i = first; i <= last; ++i) rows += relay.messages[i].starts_with("DATA_PACKET");
  EXPECT_EQ(fastData.size() - 1, rows) << "the fast browser missed rows";

  // The slow browser skipped rows but was never far behind: each message it
  // read was at most this many relay messages older than the relay's newest.
  // A queue of every row would have handed it the rows one after another, so
  // its k-th data message would be the k-th row after its first: as it takes
  // one row in six, that queue falls further behind with every message.
  std::vector<std::size_t> relayRows;
  for (std::size_t i = 0; i < relay.count; ++i) {
    if (relay.messages[i].starts_with("DATA_PACKET")) relayRows.push_back(i);
  }
  std::vector<std::size_t> lags, queueLags;
  std::size_t firstRank = std::string::npos;
  for (std::size_t i = 0; i < slow.messages.size(); ++i) {
    if (Json::parse(slow.messages[i])["type"] != "data") continue;
    const std::size_t row = relay.Find(slow.messages[i]);
    ASSERT_NE(row, std::string::npos) << slow.messages[i];
    const std::size_t seen = slow.seenByRelayClient[i];
    lags.push_back(seen - std::min(seen, row + 1));
    if (firstRank == std::string::npos) {
      firstRank = static_cast<std::size_t>(
          std::lower_bound(relayRows.begin(), relayRows.end(), row) - relayRows.begin());
    }
    const std::size_t queued =
        relayRows[std::min(firstRank + lags.size() - 1, relayRows.size() - 1)];
    queueLags.push_back(seen - std::min(seen, queued + 1));
  }
  ASSERT_GT(lags.size(), 50u);
  const std::size_t worst = *std::max_element(lags.begin(), lags.end());
  std::size_t lagSum = 0;
  for (std::size_t lag : lags) lagSum += lag;
  std::printf(
      "fast browser: %zu rows, none missed; slow browser (one message per 100 ms, 2 KiB receive "
      "buffer): %zu data messages, %.1f messages behind on average, %zu at worst (a queue of "
      "every row: %zu by the end); stalled browser dropped %.1f s after it stopped reading\n",
      rows, lags.size(), static_cast<double>(lagSum) / static_cast<double>(lags.size()), worst,
      queueLags.back(), dropSeconds);
  // The kernels' buffers on both ends hold a few messages, which the slow
  // browser reads late, so it is somewhat behind; but over the second half
  // of its messages it never comes near where a queue would have left it.
  const auto half = lags.begin() + static_cast<std::ptrdiff_t>(lags.size() / 2);
  EXPECT_LT(*std::max_element(half, lags.end()), queueLags.back() / 2);
  EXPECT_LT(worst, 300u);
  EXPECT_GE(dropSeconds, 10.0);
  EXPECT_LT(dropSeconds, 16.0);
  EXPECT_FALSE(slow.closed);
  EXPECT_FALSE(fast.closed);
}

TEST_F(WebProcess, AnswersWhatItDoesNotServeAndTurnsThe65thBrowserAway) {
  StartWeb();
  struct Case {
    std::string request;
    std::string status;
  };
  const std::string big(9000, 'a');
  const std::vector<Case> cases = {
      {"GET /nothing HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", "404 Not Found"},
      {"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\nConnection: close\r\n\r\n",
       "404 Not Found"},
      {"GET /ws HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", "426 Upgrade Required"},
      // These leave the connection open; relay-web must close it.
      {"GARBAGE\r\n\r\n", "400 Bad Request"},
      {"GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + big + "\r\n\r\n", "400 Bad Request"},
      {"POST /api/latest HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello", "400 Bad Request"},
  };
  for (const Case& c : cases) {
    const std::string answer = Exchange(io_, c.request);
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 " + c.status + "\r\n"))
        << c.request.substr(0, 60) << "\n -> " << answer;
  }
  // Keep-alive: two requests on one connection, the second closing it.
  const std::string two = Exchange(io_,
                                   "GET /api/latest HTTP/1.1\r\nHost: x\r\n\r\n"
                                   "GET /nothing HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  EXPECT_TRUE(two.starts_with("HTTP/1.1 200 OK\r\n")) << two;
  EXPECT_NE(two.find("HTTP/1.1 404 Not Found\r\n"), std::string::npos) << two;

  std::vector<std::unique_ptr<Browser>> browsers;
  for (int i = 0; i < 64; ++i) {
    browsers.push_back(std::make_unique<Browser>(io_));
    ASSERT_EQ(browsers.back()->Open(io_), 101u) << "browser " << i + 1;
  }
  Browser refused(io_);
  EXPECT_EQ(refused.Open(io_), 503u);
  // One leaves: there is room again.
  beast::error_code ec;
  browsers.back()->ws.next_layer().close(ec);
  ASSERT_TRUE(RunUntil(io_, [&] {
    Browser again(io_);
    return again.Open(io_) == 101u;
  })) << Output("web");
}

TEST_F(WebProcess, BadCommandLinesAndTakenPortsExitWithOneLine) {
  struct Case {
    std::vector<std::string> arguments;
    int status;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"--bogus"}, 2, "relay-web: unknown argument --bogus (see --help)\n"},
      {{"--listen", "70000"}, 2, "relay-web: --listen needs [ADDRESS:]PORT"},
      {{"--relay", "host:0"}, 2, "relay-web: the relay's port must be a number from 1 to 65535"},
      {{"--listen"}, 2, "relay-web: --listen needs [ADDRESS:]PORT"},
      {{"--listen", "nowhere:8668"}, 1, "relay-web: cannot listen on nowhere:8668: "},
      {{"--listen", "127.0.0.1:8667"}, 1, "relay-web: cannot listen on 127.0.0.1:8667: bind: "},
  };
  StartWeb();  // holds the port of the last case
  for (const Case& c : cases) {
    Start("bad", RELAY_WEB_EXECUTABLE, c.arguments);
    const int status = Finish("bad", 10000);
    EXPECT_EQ(status, c.status) << c.arguments[0];
    const std::string output = Output("bad");
    EXPECT_TRUE(output.starts_with(c.message)) << output;
    EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << output;
  }
}

// The one piece checked in-process: spellings the simulated lap never makes.
TEST(WebFeed, KeepsTheRelaysDigitsAndMakesNonFiniteValuesNull) {
  const std::string packet =
      "DATA_PACKET;nan;inf;-3;-inf;007;0.50;-00.25;1234.50;4;-2147483648;0;1800.00;2;-0.00;0;";
  ASSERT_EQ(stream::ParseMessage(packet).kind, stream::MessageKind::kDataPacket);
  std::string json;
  web::DataJson(packet, json);
  EXPECT_EQ(json, R"({"type":"data","oilTemp":null,"waterTemp":null,"gear":-3,"fuelLevel":null,)"
                  R"("rpm":7,"lapDistPct":0.50,"fuelLevelPct":-0.25,"lapDist":1234.50,"lap":4,)"
                  R"("raceLaps":-2147483648,"sessionLapsRemain":0,"sessionTimeRemain":1800.00,)"
                  R"("onPitRoad":true,"throttle":-0.00,"isOnTrack":false})");
  EXPECT_TRUE(Json::accept(json));
  // A car path that is not UTF-8 still makes valid JSON.
  stream::SessionInfo session{1, 2, 3, 4, "car \"x\"\\ \xff"};
  EXPECT_EQ(Json::parse(web::SessionJson(session))["carPath"], "car \"x\"\\ \xEF\xBF\xBD");
}

}  // namespace
