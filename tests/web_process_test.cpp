// relay-web as a real process between the real relay (fed by sim-publisher)
// and WebSocket and HTTP clients on 127.0.0.1:8667; a plain TCP client of
// the relay sees the same rows at the same time.
#include <gtest/gtest.h>

#include <algorithm>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "platform/platform.h"
#include "relay-stream/message_parser.h"
#include "relay-web/feed.h"
#include "relay-web/web_feed.h"
#include "relay-web/web_server.h"
#include "sim-publisher/publisher.h"
#include "simlink/region.h"
#include "support/process_fixture.h"
#include "support/recording_file.h"
#include "support/test_support.h"
#include "support/vanishing_relay.h"

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

  // Connects from `from` (with a small receive buffer if asked) and shakes
  // hands; the HTTP status of the handshake's answer, 0 when there was none.
  unsigned Open(net::io_context& io, int receiveBuffer = 0, const std::string& target = "/ws",
                const char* from = "127.0.0.1") {
    tcp::socket& socket = ws.next_layer();
    beast::error_code ec;
    socket.open(tcp::v4(), ec);
    if (receiveBuffer > 0) socket.set_option(net::socket_base::receive_buffer_size(receiveBuffer));
    socket.bind({net::ip::make_address(from), 0}, ec);
    socket.connect({net::ip::make_address("127.0.0.1"), kWebPort}, ec);
    if (ec) return 0;
    bool done = false;
    ws.async_handshake(response, "127.0.0.1", target, [&](beast::error_code) { done = true; });
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
      arrived.push_back(Clock::now());
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
  std::vector<Clock::time_point> arrived;
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

// How many rows the relay's client had received after the one whose values
// `json` carries, counting only its first `seen` messages.
std::size_t RowsBehind(const RelayClient& relay, const std::string& json, std::size_t seen) {
  const std::size_t row = relay.Find(json);
  if (row == std::string::npos) return std::string::npos;
  std::size_t behind = 0;
  for (std::size_t i = row + 1; i < std::min(seen, relay.count); ++i) {
    behind += relay.messages[i].starts_with("DATA_PACKET");
  }
  return behind;
}

// Reads all that comes on `socket` into `answer` until relay-web closes the
// connection, then sets `closed`.
void ReadUntilClosed(tcp::socket& socket, std::string& answer, bool& closed) {
  auto chunk = std::make_shared<std::array<char, 4096>>();
  socket.async_read_some(net::buffer(*chunk), [&, chunk](beast::error_code error, std::size_t got) {
    answer.append(chunk->data(), got);
    if (error) {
      closed = true;
    } else {
      ReadUntilClosed(socket, answer, closed);
    }
  });
}

// Sends `request` on a new connection from `from` and returns all that comes
// back until relay-web closes the connection (empty if it does not within
// 10 s).
std::string Exchange(net::io_context& io, const std::string& request,
                     const char* from = "127.0.0.1") {
  tcp::socket socket(io);
  beast::error_code ec;
  socket.open(tcp::v4(), ec);
  socket.bind({net::ip::make_address(from), 0}, ec);
  socket.connect({net::ip::make_address("127.0.0.1"), kWebPort}, ec);
  if (ec) return "";
  net::write(socket, net::buffer(request), ec);
  std::string answer;
  bool closed = false;
  ReadUntilClosed(socket, answer, closed);
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
  void StartRelayAndPublisher(const std::vector<std::string>& publisher = {}) {
    Start("publisher", SIM_PUBLISHER_EXECUTABLE, publisher);
    ASSERT_TRUE(WaitForOutput("publisher", "publishing")) << Output("publisher");
    Start("relay", RELAY_EXECUTABLE, {});
  }
  // relay-web reading the relay on this machine, or with `source` {} the
  // simulator itself.
  void StartWeb(std::vector<std::string> source = {"--relay", "127.0.0.1"}) {
    source.insert(source.end(), {"--listen", "127.0.0.1:" + std::to_string(kWebPort)});
    web_ = Start("web", RELAY_WEB_EXECUTABLE, source);
    ASSERT_TRUE(WaitForOutput("web", "serving http://127.0.0.1:8667/")) << Output("web");
  }
  std::string Get(const std::string& target) {
    return Exchange(io_, "GET " + target + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
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
  testsupport::ChildProcess* web_ = nullptr;
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
  const std::string connected = R"({"type":"status","source":"relay","relay":"connected"})";
  EXPECT_EQ(browser.messages[0], connected);
  const Json session = Json::parse(browser.Typed("session")[0]);
  const std::vector<std::string> sessionInfo = Fields(relay.messages[31]);
  ASSERT_EQ(sessionInfo.size(), 6u) << relay.messages[31];
  EXPECT_EQ(session, Json({{"type", "session"},
                           {"firstRpm", std::stoi(sessionInfo[1])},
                           {"lastRpm", std::stoi(sessionInfo[2])},
                           {"shiftRpm", std::stoi(sessionInfo[3])},
                           {"blinkRpm", std::stoi(sessionInfo[4])},
                           {"carPath", sessionInfo[5]}}));
  // The first row a new socket gets is the newest: at most a row or two
  // older than what the relay's own client had by then.
  const std::vector<std::string> data = browser.Typed("data");
  const std::size_t firstData = static_cast<std::size_t>(
      std::find(browser.messages.begin(), browser.messages.end(), data[0]) -
      browser.messages.begin());
  ASSERT_LT(firstData, 4u) << "not among the messages a new socket gets at once";
  EXPECT_LE(RowsBehind(relay, data[0], browser.seenByRelayClient[firstData]), 2u) << data[0];
  // Every later data message is the relay's next row, values exactly as the
  // relay wrote them: this client reads at once, so it misses none.
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

  // The snapshot: the newest row too, and a fresh one a second later.
  std::string previous;
  for (int snapshot = 0; snapshot < 2; ++snapshot) {
    const std::size_t asked = relay.count;
    const std::string latest = Get("/api/latest");
    ASSERT_TRUE(latest.starts_with("HTTP/1.1 200 OK\r\n")) << latest;
    EXPECT_NE(latest.find("\r\nContent-Type: application/json\r\n"), std::string::npos) << latest;
    const std::string body = Body(latest);
    const Json parsed = Json::parse(body);
    EXPECT_EQ(parsed["status"], Json::parse(connected));
    EXPECT_EQ(parsed["session"], session);
    EXPECT_EQ(parsed["strategy"]["type"], "strategy");
    const std::size_t dataAt = body.find("\"data\":") + 7;
    const std::string latestData = body.substr(dataAt, body.find("},\"strategy\"") + 1 - dataAt);
    ASSERT_TRUE(RunUntil(io_, [&] { return relay.Find(latestData) != std::string::npos; })) << body;
    EXPECT_LE(RowsBehind(relay, latestData, asked), 2u) << latestData;
    EXPECT_NE(latestData, previous);
    previous = latestData;
    RunUntil(
        io_, [] { return false; }, 1s);
  }

  const std::string page = Exchange(io_, "GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  ASSERT_TRUE(page.starts_with("HTTP/1.1 200 OK\r\n")) << page.substr(0, 200);
  EXPECT_NE(page.find("\r\nContent-Type: text/html; charset=utf-8\r\n"), std::string::npos);
  EXPECT_EQ(Body(page), ReadFile(SOURCE_DIR "/tools/relay-web/dashboard.html"));

  // A relay's stream has its fifteen values and nothing else.
  const Json vars = Json::parse(Body(Get("/api/vars")));
  ASSERT_EQ(vars.size(), kDataNames.size()) << vars;
  EXPECT_EQ(vars[0], Json({{"name", "OilTemp"},
                           {"type", "float"},
                           {"count", 1},
                           {"unit", "C"},
                           {"description", "Engine oil temperature"}}));
  EXPECT_EQ(vars[11]["type"], "double");
  EXPECT_EQ(vars[14]["name"], "IsOnTrack");
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

  const Json offline = {{"type", "status"}, {"source", "relay"}, {"relay", "offline"}};
  const Json connected = {{"type", "status"}, {"source", "relay"}, {"relay", "connected"}};
  EXPECT_EQ(Json::parse(statuses()[0]), offline);
  EXPECT_EQ(Json::parse(statuses()[1]), connected);
  EXPECT_EQ(Json::parse(statuses()[2]), offline);
  EXPECT_EQ(Json::parse(statuses()[3]), connected);
  EXPECT_NE(Output("web").find("went away; reconnecting every second"), std::string::npos);
  EXPECT_NE(Output("web").find("reconnected to the relay"), std::string::npos) << Output("web");
}

// A relay whose PC was switched off sends nothing, not even a FIN:
// relay-web's keep-alive finds it gone, says so, and connects again.
TEST_F(WebProcess, ARelayThatVanishesWithoutClosingIsNoticed) {
  if (const char* why = testsupport::VanishingRelay::Unsupported()) GTEST_SKIP() << why;
  testsupport::VanishingRelay relay;
  ASSERT_GT(relay.port(), 0);
  StartWeb({"--relay", "127.0.0.1:" + std::to_string(relay.port())});
  ASSERT_TRUE(
      relay.Serve("SESSION_INFO;5900;7400;7200;7600;porsche992rgt3"
                  "DATA_PACKET;90.50;85.25;3;42.70;6543;0.50;0.38;1234.50;4;3;12;1800.00;1;"
                  "1.00;1;"));
  ASSERT_TRUE(WaitForOutput("web", "connected to the relay")) << Output("web");
  ASSERT_TRUE(relay.Vanish());
  const Clock::time_point vanished = Clock::now();
  ASSERT_TRUE(WaitForOutput("web", "went away", 15s)) << Output("web");
  const auto noticed = Clock::now() - vanished;
  EXPECT_GT(noticed, std::chrono::seconds(platform::kKeepAliveIdleSeconds)) << "before any probe";
  EXPECT_LT(noticed, 10500ms);
  ASSERT_TRUE(
      relay.Serve("DATA_PACKET;90.50;85.25;3;42.70;6543;0.50;0.38;1234.50;5;3;12;1800.00;1;"
                  "1.00;1;"));
  EXPECT_TRUE(WaitForOutput("web", "reconnected to the relay")) << Output("web");
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
  // All 65 browsers come from 127.0.0.1.
  StartWeb({"--relay", "127.0.0.1", "--per-client", "100"});
  struct Case {
    std::string request;
    std::string status;
  };
  const std::string big(17000, 'a');
  const std::string manyNames(web::kMaxVarsParameter + 1, 'a');
  const auto names = [](int count) {
    std::string list;
    for (int i = 0; i < count; ++i) list += (i > 0 ? ",n" : "n") + std::to_string(i);
    return list;
  };
  const std::vector<Case> cases = {
      {"GET /nothing HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", "404 Not Found"},
      {"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\nConnection: close\r\n\r\n",
       "404 Not Found"},
      {"GET /ws HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", "426 Upgrade Required"},
      // These leave the connection open; relay-web must close it.
      {"GARBAGE\r\n\r\n", "400 Bad Request"},
      {"GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + big + "\r\n\r\n", "400 Bad Request"},
      {"POST /api/latest HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello", "400 Bad Request"},
      // What a feed may ask for.
      {"GET /ws?hz=0 HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", "400 Bad Request"},
      {"GET /ws?hz=61 HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", "400 Bad Request"},
      {"GET /ws?vars=" + manyNames + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
       "400 Bad Request"},
      {"GET /api/latest?vars=%zz HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
       "400 Bad Request"},
      // 512 distinct names (repeats not counted) and no more.
      {"GET /api/latest?vars=" + names(512) +
           ",n1,n1 HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
       "200 OK"},
      {"GET /api/latest?vars=" + names(513) + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
       "400 Bad Request"},
      // A relay's stream has no session text.
      {"GET /api/session HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", "404 Not Found"},
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
      {{"--per-client", "0"}, 2, "relay-web: --per-client needs a number of connections from 1"},
      {{"--per-client"}, 2, "relay-web: --per-client needs a number of connections from 1"},
      {{"--max-message", "65535"}, 2, "relay-web: --max-message needs a number of bytes from"},
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

// A browser that stops reading while rows keep coming is sent, once it reads
// again, the newest row: never the rows it missed.
TEST_F(WebProcess, AHeldBrowserGetsTheNewestRowOnceItReadsAgain) {
  RelayClient relay(io_);
  ASSERT_NO_FATAL_FAILURE(StartAll(relay));
  Browser held(io_);
  ASSERT_EQ(held.Open(io_, 2048), 101u);
  bool reading = true;
  std::function<void()> read = [&] {
    if (reading) held.ReadOne(&relay.count, read);
  };
  read();
  ASSERT_TRUE(RunUntil(io_, [&] { return held.Typed("data").size() >= 10; }));
  reading = false;
  // Two seconds of rows go by unread; then the rows stop.
  RunUntil(
      io_, [] { return false; }, 2s);
  Kill("publisher");
  RunUntil(
      io_, [] { return false; }, 500ms);
  const std::size_t sent = relay.count;
  std::size_t newest = sent;
  while (newest > 0 && !relay.messages[newest - 1].starts_with("DATA_PACKET")) --newest;
  ASSERT_GT(newest, 0u);
  reading = true;
  read();
  ASSERT_TRUE(RunUntil(
      io_, [&] { return SameValues(relay.messages[newest - 1], held.Typed("data").back()); }))
      << "last row sent: " << relay.messages[newest - 1]
      << "\nlast row received: " << held.Typed("data").back();
  // What waited in the kernels' buffers came first: a few rows at most.
  EXPECT_LT(held.Typed("data").size(), 40u);
}

// Connections that never send a request, or trickle bytes after being told
// off, give way: a browser is always served at once.
TEST_F(WebProcess, IdleAndTricklingConnectionsCannotLockBrowsersOut) {
  // Every connection comes from 127.0.0.1.
  StartWeb({"--relay", "127.0.0.1", "--per-client", "1000"});
  const Clock::time_point opened = Clock::now();
  std::vector<std::unique_ptr<tcp::socket>> idle;
  std::vector<Clock::duration> closedAfter;
  std::array<char, 64> sink{};
  for (std::size_t i = 0; i < 2 * web::kMaxHttpConnections; ++i) {
    idle.push_back(std::make_unique<tcp::socket>(io_));
    beast::error_code ec;
    idle.back()->connect({net::ip::make_address("127.0.0.1"), kWebPort}, ec);
    ASSERT_FALSE(ec) << "connection " << i << ": " << ec.message();
    idle.back()->async_read_some(net::buffer(sink), [&](beast::error_code, std::size_t) {
      closedAfter.push_back(Clock::now() - opened);
    });
  }
  const Clock::time_point asked = Clock::now();
  EXPECT_TRUE(Get("/").starts_with("HTTP/1.1 200 OK\r\n"));
  EXPECT_LT(Clock::now() - asked, 1s);
  // The oldest gave way at once; the others go when their time for a first
  // request runs out.
  ASSERT_TRUE(RunUntil(
      io_, [&] { return closedAfter.size() == idle.size(); }, 10s))
      << closedAfter.size() << " of " << idle.size() << " closed";
  std::sort(closedAfter.begin(), closedAfter.end());
  EXPECT_LT(closedAfter[web::kMaxHttpConnections - 1], 2s);
  EXPECT_GT(closedAfter.back(), web::kFirstRequestTimeout - 1s);
  EXPECT_LT(closedAfter.back(), web::kFirstRequestTimeout + 2s);

  // Told off with a 400, a client that keeps trickling bytes is still closed.
  tcp::socket trickler(io_);
  trickler.connect({net::ip::make_address("127.0.0.1"), kWebPort});
  net::write(trickler, net::buffer(std::string("GARBAGE\r\n\r\n")));
  bool closed = false;
  std::string answer;
  ReadUntilClosed(trickler, answer, closed);
  const Clock::time_point toldOff = Clock::now();
  net::steady_timer every(io_);
  std::function<void()> trickle = [&] {
    beast::error_code ec;
    trickler.write_some(net::buffer("x", 1), ec);
    every.expires_after(200ms);
    every.async_wait([&](beast::error_code) {
      if (!closed) trickle();
    });
  };
  trickle();
  ASSERT_TRUE(RunUntil(
      io_, [&] { return closed; }, 10s));
  EXPECT_TRUE(answer.starts_with("HTTP/1.1 400 Bad Request\r\n")) << answer;
  EXPECT_LT(Clock::now() - toldOff, 4s);
  every.cancel();
  RunUntil(
      io_, [] { return false; }, 300ms);
}

// One client address holding connections that never read (a pipelining
// flood, silent WebSockets) keeps nobody else out: its share is limited, an
// answer left unread is closed, and a full WebSocket cap drops the browser
// stalled longest for a new one. The other client is 127.0.0.2 (all of
// 127.0.0.0/8 is loopback).
TEST_F(WebProcess, OneClientHoldingConnectionsKeepsNoOtherOut) {
#ifdef _WIN32
  // Under Wine the flood of 128 pipelined connections with 1 KiB receive
  // buffers once ended in a heap corruption reported by glibc beneath Wine,
  // and once in no console line within 10 s; the admission code is the same
  // on both platforms.
  GTEST_SKIP() << "floods Wine's socket layer";
#endif
  RelayClient relay(io_);
  ASSERT_NO_FATAL_FAILURE(StartAll(relay));
  Kill("web");
  struct Case {
    const char* name;
    const char* perClient;  // relay-web's --per-client, if given
    std::string flood;      // "GET /" pipelined on each connection, or a WebSocket target
    std::size_t connections;
    Clock::duration wait;  // before the other client tries
    std::string logged;    // on relay-web's console within 10 s
  };
  const std::vector<Case> cases = {
      {"pipelined page loads", nullptr, "GET /", 128, 1s, "took none of its answer for 5 s"},
      {"WebSockets at 1 Hz", nullptr, "/ws?hz=1", 64, 1s, "turned a connection from 127.0.0.1"},
      {"WebSockets, no limit", "1000", "/ws", 64, web::kStalledForRoom + 1s,
       "dropped to make room"},
  };
  std::string pipelined;
  for (int i = 0; i < 400; ++i) pipelined += "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> arguments = {"--relay", "127.0.0.1"};
    if (c.perClient != nullptr) arguments.insert(arguments.end(), {"--per-client", c.perClient});
    ASSERT_NO_FATAL_FAILURE(StartWeb(arguments));
    ASSERT_TRUE(WaitForOutput("web", "connected to the relay")) << Output("web");
    std::vector<std::unique_ptr<Browser>> hogs;
    std::vector<std::unique_ptr<tcp::socket>> pipelines;
    for (std::size_t i = 0; i < c.connections; ++i) {
      if (c.flood.starts_with("/ws")) {
        hogs.push_back(std::make_unique<Browser>(io_));
        hogs.back()->Open(io_, 1024, c.flood);
        continue;
      }
      pipelines.push_back(std::make_unique<tcp::socket>(io_));
      pipelines.back()->open(tcp::v4());
      pipelines.back()->set_option(net::socket_base::receive_buffer_size(1024));
      pipelines.back()->connect({net::ip::make_address("127.0.0.1"), kWebPort});
      pipelines.back()->non_blocking(true);
      beast::error_code ec;
      pipelines.back()->write_some(net::buffer(pipelined), ec);
    }
    RunUntil(
        io_, [] { return false; }, c.wait);
    // Another client loads the page ten times and opens the dashboard's feed.
    int pages = 0;
    for (int i = 0; i < 10; ++i) {
      pages += Exchange(io_, "GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", "127.0.0.2")
                   .starts_with("HTTP/1.1 200 OK\r\n");
    }
    EXPECT_EQ(pages, 10);
    Browser dashboard(io_);
    EXPECT_EQ(dashboard.Open(io_, 0, "/ws", "127.0.0.2"), 101u) << Output("web");
    EXPECT_TRUE(WaitForOutput("web", c.logged, 10s)) << Output("web");
    Kill("web");
  }
}

// State messages keep only their newest: a relay that changes its
// SESSION_INFO with every row, while a browser reads nothing, costs that
// browser a few messages, not a queue of all of them, still in the order
// they were published.
TEST_F(WebProcess, ABrowserBehindIsSentTheNewestStateInOrderWithTheRows) {
  tcp::acceptor standIn(io_, {net::ip::make_address("127.0.0.1"), 0});
  StartWeb({"--relay", "127.0.0.1:" + std::to_string(standIn.local_endpoint().port())});
  tcp::socket toWeb(io_);
  bool accepted = false;
  standIn.async_accept(toWeb, [&](beast::error_code) { accepted = true; });
  ASSERT_TRUE(RunUntil(io_, [&] { return accepted; }));
  Browser browser(io_);
  ASSERT_EQ(browser.Open(io_, 2048), 101u);
  const std::size_t none = 0;
  browser.ReadOne(&none, [] {});
  ASSERT_TRUE(RunUntil(io_, [&] { return browser.messages.size() == 1; }));

  // Message 2i is session i, message 2i + 1 row i.
  constexpr int kPairs = 5000;
  std::string stream;
  for (int i = 0; i < kPairs; ++i) {
    stream += "SESSION_INFO;5900;7400;7200;7600;car " + std::to_string(i);
    stream += "DATA_PACKET;90.50;85.25;3;42.70;6543;0.50;0.38;1234.50;" + std::to_string(i) +
              ";3;12;1800.00;0;1.00;1;";
  }
  net::write(toWeb, net::buffer(stream));
  const std::string lastRow = "\"lap\":" + std::to_string(kPairs - 1) + ",";
  browser.ReadAll(&none);
  ASSERT_TRUE(RunUntil(io_, [&] {
    return !browser.Typed("data").empty() &&
           browser.Typed("data").back().find(lastRow) != std::string::npos;
  }));
  RunUntil(
      io_, [] { return false; }, 300ms);
  long previous = -1;
  for (std::size_t i = 1; i < browser.messages.size(); ++i) {
    const Json message = Json::parse(browser.messages[i]);
    long published = -1;
    if (message["type"] == "session") {
      published = 2 * std::stol(message["carPath"].get<std::string>().substr(4));
    } else if (message["type"] == "data") {
      published = 2 * message["lap"].get<long>() + 1;
    } else {
      continue;  // the fuel figures these rows give
    }
    ASSERT_GT(published, previous) << "message " << i << ": " << browser.messages[i];
    previous = published;
  }
  EXPECT_EQ(Json::parse(browser.Typed("session").back())["carPath"],
            "car " + std::to_string(kPairs - 1));
  // The kernels' buffers hold some hundreds; a queue would have all 10000.
  EXPECT_LT(browser.messages.size(), static_cast<std::size_t>(kPairs / 2))
      << "a queue of every message";
}

// ---- relay-web reading the simulator itself -----------------------------------

using testsupport::RecordedVariable;

// A recording with a variable of each type, an array, units and
// descriptions, the fifteen the relay sends, and three broken records.
// Row r's values are exact in binary where the relay's two decimals must
// match, and not where the shortest float form is the point.
const std::vector<RecordedVariable> kRecorded = {
    {"Flags", testsupport::kBitField, 1, "", "Bits", [](int r, int) { return 2147483648.0 + r; }},
    {"Letter", testsupport::kChar, 1, "", "A letter", [](int r, int) { return 65.0 + r % 26; }},
    {"OilTemp", testsupport::kFloat, 1, "C", "Oil", [](int r, int) { return 90 + r * 0.25; }},
    {"Broken", 9, 1, "", "A type past double", [](int, int) { return 1.0; }},
    {"Gear", testsupport::kInt, 1, "", "", [](int r, int) -> double { return r % 7 - 1; }},
    {"Speed", testsupport::kFloat, 1, "m/s", "Speed", [](int r, int) { return r * 0.3; }},
    {"WaterTemp", testsupport::kFloat, 1, "C", "", [](int r, int) { return 80 + r % 40 * 0.5; }},
    {"CarIdxLapDistPct", testsupport::kFloat, 64, "%", "Around the lap, by car",
     [](int r, int i) { return i == 63 ? std::nan("") : (r + i) / 1024.0; }},
    {"RPM", testsupport::kFloat, 1, "revs/min", "", [](int r, int) { return 2000 + r * 10.75; }},
    {"FuelLevel", testsupport::kFloat, 1, "l", "", [](int r, int) { return 60 - r * 0.25; }},
    {"PastTheRow", testsupport::kFloat, 1, "", "", nullptr, 1 << 20},
    {"LapDistPct", testsupport::kFloat, 1, "", "", [](int r, int) { return r % 4 * 0.25; }},
    {"FuelLevelPct", testsupport::kFloat, 1, "", "", [](int r, int) { return r % 3 * 0.25; }},
    {"LapDist", testsupport::kFloat, 1, "m", "", [](int r, int) { return r * 12.5; }},
    {"NoValues", testsupport::kFloat, 0, "", "", nullptr},
    {"Lap", testsupport::kInt, 1, "", "", [](int r, int) -> double { return r / 60 + 1; }},
    {"RaceLaps", testsupport::kInt, 1, "", "", [](int r, int) -> double { return r / 60; }},
    {"SessionLapsRemain", testsupport::kInt, 1, "", "", [](int r, int) { return 1000.0 - r; }},
    {"SessionTimeRemain", testsupport::kDouble, 1, "s", "",
     [](int r, int) { return 3600 - r * 0.1; }},
    {"OnPitRoad", testsupport::kBool, 1, "", "", [](int r, int) -> double { return r % 50 < 5; }},
    {"Throttle", testsupport::kFloat, 1, "", "", [](int r, int) { return r % 5 * 0.25; }},
    {"IsOnTrack", testsupport::kBool, 1, "", "In the car",
     [](int r, int) -> double { return r % 3 != 0; }},
};
constexpr int kRecordedRows = 600;
const char* const kTypeNames[] = {"char", "bool", "int", "bitfield", "float", "double"};

bool Broken(const RecordedVariable& v) { return v.type > 5 || v.count < 1 || v.offset >= 0; }

// True when `value` is what the file holds for value `index` of `v` in row r:
// numbers read back as the same float or double.
bool SameValue(const RecordedVariable& v, int r, int index, const Json& value) {
  const double want = v.value(r, index);
  switch (v.type) {
    case testsupport::kBool:
      return value == (want != 0);
    case testsupport::kChar:
    case testsupport::kInt:
    case testsupport::kBitField:
      return value.is_number_integer() && value.get<double>() == want;
    case testsupport::kFloat:
      if (!std::isfinite(static_cast<float>(want))) return value.is_null();
      return value.is_number() &&
             static_cast<float>(value.get<double>()) == static_cast<float>(want);
    default:
      return value.is_number() && value.get<double>() == want;
  }
}

TEST_F(WebProcess, DirectSourceServesEveryVariableOfTheSimulatorsRows) {
  testsupport::RecordingFile recording{kRecorded, kRecordedRows, 60,
                                       "---\nDriverInfo:\n DriverCarIdx: 0\n"
                                       " DriverCarSLFirstRPM: 6100.000\n"
                                       " DriverCarSLShiftRPM: 7700.000\n"
                                       " DriverCarSLLastRPM: 7900.000\n"
                                       " DriverCarSLBlinkRPM: 8050.000\n"
                                       " Drivers:\n - CarIdx: 0\n   UserName: J\xfcrgen\n"
                                       "   CarPath: test car gt\n...\n"};
  const std::string file = testing::TempDir() + "web-process-direct.ibt";
  testsupport::WriteFile(file, testsupport::WriteRecording(recording));

  // relay-web waits for the simulator; the relay and its client run beside.
  StartWeb({});
  const std::size_t none = 0;
  RelayClient relay(io_);
  Browser all(io_), some(io_);
  ASSERT_EQ(all.Open(io_, 0, "/ws?vars=*"), 101u);
  all.ReadAll(&relay.count);
  ASSERT_TRUE(RunUntil(io_, [&] { return all.messages.size() == 1; }));
  StartRelayAndPublisher({"--ibt", file, "--loop", "--duration", "6"});
  ASSERT_TRUE(relay.Open(io_));
  relay.ReadAll();
  ASSERT_TRUE(RunUntil(io_, [&] { return all.Typed("vars").size() >= 60; })) << Output("web");
  ASSERT_EQ(some.Open(io_, 0, "/ws?vars=Speed,Nope,Speed&hz=10"), 101u);
  some.ReadAll(&none);
  ASSERT_TRUE(RunUntil(io_, [&] { return some.Typed("vars").size() >= 31; }));
  // Arrival times are read while the test does nothing else.
  const std::vector<std::string> limitedMessages = some.messages;
  const std::vector<Clock::time_point> limitedArrived = some.arrived;

  // The variables as the records give them; the broken ones are left out.
  const Json vars = Json::parse(Body(Get("/api/vars")));
  Json directory = Json::array();
  for (const RecordedVariable& v : kRecorded) {
    if (Broken(v)) continue;
    directory.push_back({{"name", v.name},
                         {"type", kTypeNames[v.type]},
                         {"count", v.count},
                         {"unit", v.unit},
                         {"description", v.description}});
  }
  EXPECT_EQ(vars, directory);

  // Every value of every row equals the file's; the shortest form of 0.3f
  // is 0.3.
  const std::vector<std::string> rows = all.Typed("vars");
  for (const std::string& text : rows) {
    const Json message = Json::parse(text);
    const int r = (message["tick"].get<int>() - 1) % kRecordedRows;
    const Json& values = message["values"];
    ASSERT_EQ(values.size(), directory.size()) << text;
    for (const RecordedVariable& v : kRecorded) {
      if (Broken(v)) continue;
      const Json& value = values[v.name];
      for (int i = 0; i < v.count; ++i) {
        ASSERT_TRUE(SameValue(v, r, i, v.count > 1 ? value[static_cast<std::size_t>(i)] : value))
            << v.name << "[" << i << "] of row " << r << ": " << value;
      }
    }
    if (r == 1) {
      EXPECT_NE(text.find("\"Speed\":0.3,"), std::string::npos) << text;
    }
    EXPECT_FALSE(message.contains("unknown")) << text;
  }
  // The data message of each row is the relay's for that row, to the byte
  // (each row's oil temperature is its own). The relay skips a row now and
  // then (it takes the newest on each turn, and sends its SESSION_INFO in
  // the place of some), so not every row can be compared.
  RunUntil(
      io_, [] { return false; }, 200ms);
  std::size_t compared = 0, rowsSeen = 0;
  for (std::size_t i = 0; i < all.messages.size(); ++i) {
    const std::string& data = all.messages[i];
    if (all.seenByRelayClient[i] < 5 || !data.starts_with(R"({"type":"data")")) continue;
    ++rowsSeen;
    const std::size_t oil = data.find("\"oilTemp\":") + 10;
    const std::string token = data.substr(oil, data.find(',', oil) - oil);
    for (std::size_t m = 0; m < relay.count; ++m) {
      if (relay.messages[m].starts_with("DATA_PACKET;" + token + ";")) {
        EXPECT_TRUE(SameValues(relay.messages[m], data)) << relay.messages[m] << "\n" << data;
        ++compared;
      }
    }
  }
  EXPECT_GT(compared, rowsSeen * 9 / 10) << compared << " of " << rowsSeen << " rows compared";

  // At ten rows a second, evenly spaced; the unknown name once.
  std::vector<std::string> limited;
  std::vector<Clock::time_point> at;
  for (std::size_t i = 0; i < limitedMessages.size(); ++i) {
    if (Json::parse(limitedMessages[i])["type"] != "vars") continue;
    limited.push_back(limitedMessages[i]);
    at.push_back(limitedArrived[i]);
  }
  EXPECT_EQ(Json::parse(limited[0])["unknown"], Json::array({"Nope"}));
  EXPECT_EQ(Json::parse(limited[0])["values"].size(), 1u);
  for (std::size_t i = 2; i < at.size(); ++i) {
    EXPECT_FALSE(Json::parse(limited[i - 1]).contains("unknown"));
    const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(at[i] - at[i - 1]);
    EXPECT_GT(gap, 60ms) << "vars message " << i;
    EXPECT_LT(gap, 140ms) << "vars message " << i;
  }
  const double seconds = std::chrono::duration<double>(at.back() - at[1]).count();
  EXPECT_NEAR(static_cast<double>(at.size() - 2) / seconds, 10, 0.5);
  EXPECT_EQ(std::count_if(limitedMessages.begin(), limitedMessages.end(),
                          [](const std::string& m) { return m.starts_with(R"({"type":"data")"); }),
            static_cast<std::ptrdiff_t>(limited.size()));

  // The session text, as UTF-8, and its car facts.
  const std::string session = Get("/api/session");
  EXPECT_NE(session.find("\r\nContent-Type: text/yaml; charset=utf-8\r\n"), std::string::npos);
  EXPECT_EQ(Body(session),
            "---\nDriverInfo:\n DriverCarIdx: 0\n DriverCarSLFirstRPM: 6100.000\n"
            " DriverCarSLShiftRPM: 7700.000\n DriverCarSLLastRPM: 7900.000\n"
            " DriverCarSLBlinkRPM: 8050.000\n Drivers:\n - CarIdx: 0\n"
            "   UserName: J\xc3\xbcrgen\n   CarPath: test car gt\n...\n");
  EXPECT_EQ(Json::parse(all.Typed("session").back()),
            Json::parse(R"({"type":"session","firstRpm":6100,"lastRpm":7900,"shiftRpm":7700,)"
                        R"("blinkRpm":8050,"carPath":"test car gt"})"));
  EXPECT_EQ(all.Typed("sessionText"),
            std::vector<std::string>{R"({"type":"sessionText","update":1})"});

  // The publisher ends: "not running", as before it began.
  ASSERT_EQ(Finish("publisher"), 0) << Output("publisher");
  ASSERT_TRUE(RunUntil(
      io_, [&] { return all.Typed("status").size() == 3; }, 5s));
  const std::string running = R"({"type":"status","source":"simulator","simulator":"running"})";
  const std::string stopped = R"({"type":"status","source":"simulator","simulator":"not running"})";
  EXPECT_EQ(all.Typed("status"), (std::vector<std::string>{stopped, running, stopped}));
  std::remove(file.c_str());
}

// The fuel figures of a recorded race replayed at twenty times its speed:
// relay-web takes the lap times and the use the file holds, never the wall
// clock. Laps of 12 s and 12.25 s (720 and 735 rows) at 2.5 litres each, the
// fuel falling over the middle of each lap so that the rows around the line
// read whole litres however many rows the replay's speed skips; the first
// lap from the pits.
constexpr int kRaceLapRows[] = {720, 735, 720, 735, 720, 735};
constexpr int kRaceRows = 720 * 3 + 735 * 3;

// Row r's lap (from 0) and how many rows into it.
std::pair<int, int> RaceLap(int r) {
  int lap = 0;
  while (lap < 5 && r >= kRaceLapRows[lap]) r -= kRaceLapRows[lap++];
  return {lap, r};
}
double RaceFuel(int r) {
  const auto [lap, into] = RaceLap(r);
  const double fraction =
      std::clamp((into - 0.1 * kRaceLapRows[lap]) / (0.8 * kRaceLapRows[lap]), 0.0, 1.0);
  return 30 - 2.5 * (lap + fraction);
}

const std::vector<RecordedVariable> kRace = {
    {"SessionTime", testsupport::kDouble, 1, "s", "", [](int r, int) { return r / 60.0; }},
    {"SessionFlags", testsupport::kBitField, 1, "", "", [](int, int) { return 4.0; }},
    {"Lap", testsupport::kInt, 1, "", "",
     [](int r, int) -> double { return RaceLap(r).first + 1; }},
    {"LapDistPct", testsupport::kFloat, 1, "", "",
     [](int r, int) {
       return RaceLap(r).second / static_cast<double>(kRaceLapRows[RaceLap(r).first]);
     }},
    {"FuelLevel", testsupport::kFloat, 1, "l", "", [](int r, int) { return RaceFuel(r); }},
    {"FuelLevelPct", testsupport::kFloat, 1, "", "", [](int r, int) { return RaceFuel(r) / 100; }},
    {"LapLastLapTime", testsupport::kFloat, 1, "s", "",
     [](int r, int) {
       const int lap = RaceLap(r).first;
       return lap == 0 ? 0.0 : kRaceLapRows[lap - 1] / 60.0;
     }},
    {"OnPitRoad", testsupport::kBool, 1, "", "",
     [](int r, int) -> double { return RaceLap(r).first == 0; }},
    {"IsOnTrack", testsupport::kBool, 1, "", "", [](int, int) { return 1.0; }},
    {"SessionLapsRemain", testsupport::kInt, 1, "", "",
     [](int r, int) -> double { return 20 - RaceLap(r).first; }},
    {"SessionTimeRemain", testsupport::kDouble, 1, "s", "",
     [](int r, int) { return 3600 - r / 60.0; }},
};

TEST_F(WebProcess, StrategyFollowsARecordedRaceAtTwentyTimesItsSpeed) {
  const std::string file = testing::TempDir() + "web-process-race.ibt";
  testsupport::WriteFile(
      file, testsupport::WriteRecording({kRace, kRaceRows, 60, "WeekendInfo:\n TrackID: 1\n"}));
  StartWeb({});
  const std::size_t none = 0;
  Browser browser(io_);
  ASSERT_EQ(browser.Open(io_), 101u);
  browser.ReadAll(&none);
  ASSERT_TRUE(RunUntil(io_, [&] { return browser.messages.size() == 1; }));
  // The sixth lap (3.025 s to 3.64 s) is paused long enough for relay-web to
  // let the region go and attach again: the same session text then is no new
  // session, and the laps counted stay.
  Start("publisher", SIM_PUBLISHER_EXECUTABLE,
        {"--ibt", file, "--speed", "20", "--pause", "3.3,3"});
  int status = -1;
  ASSERT_TRUE(RunUntil(
      io_, [&] { return (status = Finish("publisher", 0)) >= 0; }, 20s));
  ASSERT_EQ(status, 0) << Output("publisher");
  // A change held back by the once-a-second rule goes out within a second.
  RunUntil(
      io_, [] { return false; }, 1500ms);

  // The message of the fifth lap's end: laps 2 to 5 counted, 17.5 litres
  // left with 15 laps to go. At 1200 rows a second a busy reader (a
  // sanitizer's build on a loaded machine) first sees the new lap some tens
  // of rows past the line: the laps to go, and the fuel they need, are that
  // much less. The fuel itself falls only after the lap's first tenth.
  const std::vector<std::string> strategy = browser.Typed("strategy");
  ASSERT_FALSE(strategy.empty()) << Output("web");
  EXPECT_EQ(Json::parse(strategy[0])["lapsCounted"], 0);
  Json fifth;
  for (const std::string& text : strategy) {
    if (Json::parse(text)["lapsCounted"] == 4) {
      fifth = Json::parse(text);
      break;
    }
  }
  ASSERT_FALSE(fifth.is_null()) << strategy.back();
  struct Figure {
    const char* name;
    double want;
    double within;
  };
  for (const Figure& f : std::vector<Figure>{{"fuelPerLap", 2.5, 0.001},
                                             {"fuelPerLapMax", 2.5, 0.001},
                                             {"lastLapFuel", 2.5, 0.001},
                                             {"lastLapTime", 12, 1e-5},
                                             {"avgLapTime", 12.125, 1e-5},
                                             {"tank", 100, 0.01},
                                             {"lapsOfFuel", 7, 0.01},
                                             {"lapsToGo", 15, 0.1},
                                             {"fuelToFinish", 38.75, 0.3},
                                             {"fuelToAdd", 21.25, 0.3},
                                             {"stops", 1, 0},
                                             {"fuelMargin", 0.5, 0}}) {
    ASSERT_TRUE(fifth[f.name].is_number()) << f.name << ": " << fifth;
    EXPECT_NEAR(fifth[f.name].get<double>(), f.want, f.within) << f.name << ": " << fifth;
  }
  EXPECT_EQ(Json::parse(strategy.back())["lapsCounted"], 4) << strategy.back();
  // The snapshot carries the same figures.
  EXPECT_EQ(Json::parse(Body(Get("/api/latest")))["strategy"], Json::parse(strategy.back()));
  std::remove(file.c_str());
}

// A race 600 s in, recorded for 96 s at 60 rows a second with each car at a
// constant speed of its own: s seconds into the recording a car has run
// start + s / lapTime laps, so every gap follows from the recording's own
// values. Car 0 is the pace car (in front, never listed), car 5 a spectator
// (listed in the text, not in the world). Car 3 is lapped by car 1 at 27 s
// and by the driver, car 2, at 33 s; car 6 passes car 4 at 16 s; car 4 is
// on pit road from 40 s to 52 s; cars 1 and 3 count a lap one row after
// their lap distance wraps. The classes' estimated lap times are not the
// laps driven, so an estimated gap is told from a measured one.
struct RecordedCar {
  int carIdx;
  int classId;
  double start, lapTime, estLapTime;
};
const RecordedCar kRecordedField[] = {{0, 11, 12.9, 30, 30},      {1, 2708, 10.50, 30, 32},
                                      {2, 2708, 10.45, 30.5, 32}, {3, 4083, 9.80, 45, 47},
                                      {4, 4083, 10.20, 44, 47},   {6, 2708, 10.05, 31, 32}};
constexpr double kFieldStart = 600;
constexpr int kFieldRows = 96 * 60;

const RecordedCar* RecordedCarAt(int carIdx) {
  for (const RecordedCar& car : kRecordedField) {
    if (car.carIdx == carIdx) return &car;
  }
  return nullptr;
}
double LapsRun(const RecordedCar& car, double s) { return car.start + s / car.lapTime; }
bool InPits(int carIdx, int r) { return carIdx == 4 && r >= 40 * 60 && r < 52 * 60; }
// Value `i` of a per-car array in row r; -1 for a car not in the world.
double PerCar(int r, int i, double (*value)(const RecordedCar&, int r)) {
  const RecordedCar* car = RecordedCarAt(i);
  return car != nullptr ? value(*car, r) : -1;
}

const std::vector<RecordedVariable> kFieldVariables = {
    {"SessionTime", testsupport::kDouble, 1, "s", "",
     [](int r, int) { return kFieldStart + r / 60.0; }},
    {"SessionNum", testsupport::kInt, 1, "", "", [](int, int) { return 0.0; }},
    {"PlayerCarIdx", testsupport::kInt, 1, "", "", [](int, int) { return 2.0; }},
    {"CarIdxLapDistPct", testsupport::kFloat, 64, "%", "",
     [](int r, int i) {
       return PerCar(r, i, [](const RecordedCar& car, int row) {
         const double laps = LapsRun(car, row / 60.0);
         return laps - std::floor(laps);
       });
     }},
    {"CarIdxLapCompleted", testsupport::kInt, 64, "", "",
     [](int r, int i) {
       return PerCar(r, i, [](const RecordedCar& car, int row) {
         return std::floor(LapsRun(car, (row - (car.carIdx % 2 == 1 && row > 0)) / 60.0));
       });
     }},
    {"CarIdxTrackSurface", testsupport::kInt, 64, "", "",
     [](int r, int i) {
       return PerCar(r, i, [](const RecordedCar& car, int row) {
         return InPits(car.carIdx, row) ? 2.0 : 3.0;
       });
     }},
    {"CarIdxOnPitRoad", testsupport::kBool, 64, "", "",
     [](int r, int i) -> double { return InPits(i, r); }},
    {"CarIdxPosition", testsupport::kInt, 64, "", "",
     [](int, int i) -> double { return i > 0 && RecordedCarAt(i) != nullptr ? i : 0; }},
    {"CarIdxClassPosition", testsupport::kInt, 64, "", "",
     [](int, int i) -> double { return i > 0 && RecordedCarAt(i) != nullptr ? i : 0; }},
    {"CarIdxLastLapTime", testsupport::kFloat, 64, "s", "",
     [](int r, int i) {
       return PerCar(r, i, [](const RecordedCar& car, int) { return car.lapTime; });
     }},
    {"CarIdxBestLapTime", testsupport::kFloat, 64, "s", "",
     [](int r, int i) {
       return PerCar(r, i, [](const RecordedCar& car, int) { return car.lapTime; });
     }},
};

std::string FieldSessionText() {
  std::string text =
      "---\nSessionInfo:\n Sessions:\n - SessionNum: 0\n   SessionType: Race\n"
      "DriverInfo:\n DriverCarIdx: 2\n Drivers:\n";
  for (int carIdx = 0; carIdx <= 6; ++carIdx) {
    const RecordedCar* car = RecordedCarAt(carIdx);
    const int classId = car != nullptr ? car->classId : 2708;
    text += " - CarIdx: " + std::to_string(carIdx) + "\n   UserName: Driver " +
            std::to_string(carIdx) + "\n   CarNumber: \"" + std::to_string(carIdx + 10) +
            "\"\n   CarClassID: " + std::to_string(classId) +
            "\n   CarClassShortName: " + (classId == 4083 ? "GT4" : "GT3") +
            "\n   CarClassEstLapTime: " + std::to_string(car != nullptr ? car->estLapTime : 32) +
            "\n   CarIsPaceCar: " + (carIdx == 0 ? "1" : "0") +
            "\n   IsSpectator: " + (carIdx == 5 ? "1" : "0") + "\n";
  }
  return text + "...\n";
}

// The gap relay-web gives from `behind` to `ahead` s seconds into the
// recording: the time since `ahead` was where `behind` is now once `ahead`
// has been there since relay-web's first row (at `first` s), until then the
// distance at the pace of `ahead`'s class. Which of the two it is cannot be
// told within a place or so, nor the laps right at a lap apart: those are
// not checked.
struct ExpectedGap {
  double seconds;
  int laps;
  bool measured;
  bool check;
};
ExpectedGap GapAt(const RecordedCar& ahead, const RecordedCar& behind, double s, double first) {
  const double apart = LapsRun(ahead, s) - LapsRun(behind, s);
  const double part = apart - std::floor(apart);
  const double since = part * ahead.lapTime;
  const bool clear = part > 0.003 && part < 0.997;
  const int laps = static_cast<int>(std::floor(apart));
  if (s - since > first + 0.25) return {since, laps, true, clear};
  return {part * ahead.estLapTime, laps, false, clear && s - since < first - 0.05};
}

TEST_F(WebProcess, StandingsOfARecordedRaceAtTenTimesItsSpeedKeepItsGaps) {
  const std::string file = testing::TempDir() + "web-process-field.ibt";
  testsupport::WriteFile(
      file, testsupport::WriteRecording({kFieldVariables, kFieldRows, 60, FieldSessionText()}));
  StartWeb({});
  const std::size_t none = 0;
  Browser browser(io_);
  ASSERT_EQ(browser.Open(io_), 101u);
  browser.ReadAll(&none);
  ASSERT_TRUE(RunUntil(io_, [&] { return browser.messages.size() == 1; }));
  Start("publisher", SIM_PUBLISHER_EXECUTABLE, {"--ibt", file, "--speed", "10"});
  int status = -1;
  ASSERT_TRUE(RunUntil(
      io_, [&] { return (status = Finish("publisher", 0)) >= 0; }, 25s));
  ASSERT_EQ(status, 0) << Output("publisher");
  RunUntil(
      io_, [] { return false; }, 300ms);

  std::vector<Json> tables, relatives;
  std::vector<Clock::time_point> arrived;
  for (std::size_t i = 0; i < browser.messages.size(); ++i) {
    const Json message = Json::parse(browser.messages[i]);
    if (message["type"] == "relative") relatives.push_back(message);
    if (message["type"] != "standings") continue;
    tables.push_back(message);
    arrived.push_back(browser.arrived[i]);
  }
  ASSERT_GT(tables.size(), 20u) << Output("web");
  ASSERT_EQ(relatives.size(), tables.size());
  // The first message goes out with the first row relay-web read.
  const double first = tables[0]["sessionTime"].get<double>() - kFieldStart;
  int measured = 0, estimated = 0;
  const auto expectGap = [&](const Json& got, const ExpectedGap& want, double sign,
                             const std::string& what) {
    if (!want.check) return;
    // The messages give milliseconds; passing times interpolated between
    // rows are exact at constant speeds, however many rows relay-web skips.
    ASSERT_TRUE(got.is_number()) << what;
    EXPECT_NEAR(got.get<double>(), sign * want.seconds, 0.002)
        << what << (want.measured ? " (measured)" : " (estimated)");
    ++(want.measured ? measured : estimated);
  };
  for (std::size_t m = 0; m < tables.size(); ++m) {
    const Json& table = tables[m];
    ASSERT_EQ(table["sessionTime"], relatives[m]["sessionTime"]);
    const double time = table["sessionTime"].get<double>() - kFieldStart;
    const int r = static_cast<int>(std::lround(time * 60));
    const double s = r / 60.0;
    ASSERT_NEAR(time, s, 0.001);

    // The listed cars, furthest into the race first.
    std::vector<const RecordedCar*> order;
    for (const RecordedCar& car : kRecordedField) {
      if (car.carIdx != 0) order.push_back(&car);
    }
    std::sort(order.begin(), order.end(), [&](const RecordedCar* a, const RecordedCar* b) {
      return LapsRun(*a, s) > LapsRun(*b, s);
    });
    ASSERT_EQ(table["cars"].size(), order.size()) << table;
    for (std::size_t i = 0; i < order.size(); ++i) {
      const RecordedCar& car = *order[i];
      const Json& got = table["cars"][i];
      const std::string what =
          "car " + std::to_string(car.carIdx) + " at " + std::to_string(s) + " s: " + got.dump();
      if (i > 0 && LapsRun(*order[i - 1], s) - LapsRun(car, s) < 0.001) break;  // side by side
      ASSERT_EQ(got["carIdx"], car.carIdx) << what;
      EXPECT_EQ(got["position"], i + 1) << what;
      const auto sameClass = [&](const RecordedCar* other) {
        return other->classId == car.classId;
      };
      EXPECT_EQ(got["classPosition"],
                std::count_if(order.begin(), order.begin() + i + 1, sameClass))
          << what;
      const RecordedCar& classLeader = **std::find_if(order.begin(), order.end(), sameClass);
      const ExpectedGap zero{0, 0, true, true};
      const ExpectedGap toLeader = i == 0 ? zero : GapAt(*order[0], car, s, first);
      expectGap(got["gapToLeader"], toLeader, 1, what);
      if (toLeader.check) {
        EXPECT_EQ(got["lapsDown"], toLeader.laps) << what;
      }
      expectGap(got["interval"], i == 0 ? zero : GapAt(*order[i - 1], car, s, first), 1, what);
      expectGap(got["gapToClassLeader"],
                &classLeader == &car ? zero : GapAt(classLeader, car, s, first), 1, what);
      EXPECT_EQ(got["onPitRoad"], InPits(car.carIdx, r)) << what;
      EXPECT_EQ(got["pitStops"], car.carIdx == 4 && r >= 40 * 60 && first < 40 ? 1 : 0) << what;
      EXPECT_EQ(got["isPlayer"], car.carIdx == 2) << what;
      EXPECT_NEAR(got["lastLap"].get<double>(), car.lapTime, 0.001) << what;
    }

    // The relative: the cars ahead of the driver on track, furthest first,
    // the driver, then those behind, nearest first.
    const RecordedCar& me = *RecordedCarAt(2);
    const auto offset = [&](const RecordedCar* car) {
      const double laps = LapsRun(*car, s) - LapsRun(me, s);
      return laps - std::floor(laps + 0.5);  // -0.5 to 0.5
    };
    std::vector<const RecordedCar*> nearby = order;
    std::sort(nearby.begin(), nearby.end(),
              [&](const RecordedCar* a, const RecordedCar* b) { return offset(a) > offset(b); });
    const Json& cars = relatives[m]["cars"];
    ASSERT_EQ(cars.size(), nearby.size()) << relatives[m];
    if (std::any_of(order.begin(), order.end(), [&](const RecordedCar* car) {
          return car != &me && (std::abs(offset(car)) < 0.002 || std::abs(offset(car)) > 0.498);
        })) {
      continue;  // beside the driver or half a lap away: either side
    }
    for (std::size_t i = 0; i < nearby.size(); ++i) {
      const RecordedCar& car = *nearby[i];
      const std::string what = "relative car " + std::to_string(car.carIdx) + " at " +
                               std::to_string(s) + " s: " + cars[i].dump();
      ASSERT_EQ(cars[i]["carIdx"], car.carIdx) << what;
      const double laps = LapsRun(car, s) - LapsRun(me, s);
      EXPECT_EQ(cars[i]["laps"], laps >= 1 ? 1 : laps <= -1 ? -1 : 0) << what;
      EXPECT_EQ(cars[i]["onPitRoad"], InPits(car.carIdx, r)) << what;
      if (&car == &me) {
        EXPECT_EQ(cars[i]["gap"], 0) << what;
      } else if (offset(&car) > 0) {
        expectGap(cars[i]["gap"], GapAt(car, me, s, first), 1, what);
      } else {
        expectGap(cars[i]["gap"], GapAt(me, car, s, first), -1, what);
      }
    }
  }
  EXPECT_GT(measured, 500);
  EXPECT_GT(estimated, 10);

  // Session time ran at ten times the wall clock, the messages at most four
  // a second.
  const double wall = std::chrono::duration<double>(arrived.back() - arrived.front()).count();
  const double session = tables.back()["sessionTime"].get<double>() - kFieldStart - first;
  EXPECT_NEAR(session / wall, 10, 1.5) << session << " s in " << wall << " s";
  EXPECT_LE(static_cast<double>(tables.size() - 1), wall * 4 + 1);

  // The snapshots carry the last of each.
  const Json latest = Json::parse(Body(Get("/api/latest")));
  EXPECT_EQ(latest["standings"], tables.back());
  EXPECT_EQ(latest["relative"], relatives.back());
  EXPECT_EQ(Json::parse(Body(Get("/api/standings"))),
            Json({{"standings", tables.back()}, {"relative", relatives.back()}}));
  std::remove(file.c_str());
}

// The race log of a recorded race at ten times its speed: two sessions of
// the same subsession, 60 rows a second. The fuel falls 2.5 litres over the
// middle eight tenths of each lap (so the rows around the line read whole
// litres however many rows relay-web skips) and LapLastLapTime gives the
// lap before's time 30 rows after the line. Session 0: a pit stop from lap
// 3 row 500 to lap 4 row 150, 2 s in the stall taking 20 litres; the
// incident count rising by 2 in laps 2 and 4; on lap 5 another stop (from
// row 400, in the stall from 550, 10 litres at 560) cut short by the
// simulator stopping. Session 1 (SessionNum 1, its own session time): a
// caution in lap 2.
constexpr int kLogLapRows[2][5] = {{720, 735, 750, 765, 720}, {720, 735, 300}};
constexpr int kLogRows = 3690 + 1755;
struct LogRow {
  int session, lap, into, inSession;  // lap from 0
};
LogRow LogAt(int r) {
  LogRow at{r < 3690 ? 0 : 1, 0, r < 3690 ? r : r - 3690, r < 3690 ? r : r - 3690};
  while (at.lap < (at.session == 0 ? 4 : 2) && at.into >= kLogLapRows[at.session][at.lap]) {
    at.into -= kLogLapRows[at.session][at.lap++];
  }
  return at;
}
double LogFuel(int r) {
  const LogRow at = LogAt(r);
  const int rows = kLogLapRows[at.session][at.lap];
  const double part = std::clamp((at.into - 0.1 * rows) / (0.8 * rows), 0.0, 1.0);
  const bool refuelled = at.session == 0 && (at.lap > 2 || (at.lap == 2 && at.into >= 620));
  return 60 - 2.5 * (at.lap + part) + (refuelled ? 20 : 0) +
         (at.session == 0 && at.lap == 4 && at.into >= 560 ? 10 : 0);
}
bool LogOnPitRoad(int r) {
  const LogRow at = LogAt(r);
  return at.session == 0 && ((at.lap == 2 && at.into >= 500) || (at.lap == 3 && at.into < 150) ||
                             (at.lap == 4 && at.into >= 400));
}
const std::vector<RecordedVariable> kLogRace = {
    {"SessionNum", testsupport::kInt, 1, "", "", [](int r, int) { return LogAt(r).session * 1.0; }},
    {"SessionTime", testsupport::kDouble, 1, "s", "",
     [](int r, int) { return LogAt(r).inSession / 60.0; }},
    {"SessionFlags", testsupport::kBitField, 1, "", "",
     [](int r, int) { return LogAt(r).session == 1 && LogAt(r).lap == 1 ? 0x4000 : 0.0; }},
    {"Lap", testsupport::kInt, 1, "", "", [](int r, int) { return LogAt(r).lap + 1.0; }},
    {"FuelLevel", testsupport::kFloat, 1, "l", "", [](int r, int) { return LogFuel(r); }},
    {"LapLastLapTime", testsupport::kFloat, 1, "s", "",
     [](int r, int) {
       const LogRow at = LogAt(r);
       const int before = at.lap - (at.into < 30 ? 2 : 1);
       return before < 0 ? 0.0 : kLogLapRows[at.session][before] / 60.0;
     }},
    {"OnPitRoad", testsupport::kBool, 1, "", "",
     [](int r, int) -> double { return LogOnPitRoad(r); }},
    {"PlayerCarInPitStall", testsupport::kBool, 1, "", "",
     [](int r, int) -> double {
       const LogRow at = LogAt(r);
       return LogOnPitRoad(r) &&
              ((at.lap == 2 && at.into >= 560 && at.into < 680) || (at.lap == 4 && at.into >= 550));
     }},
    {"IsOnTrack", testsupport::kBool, 1, "", "", [](int, int) { return 1.0; }},
    {"PlayerCarPosition", testsupport::kInt, 1, "", "",
     [](int r, int) { return LogAt(r).session == 0 ? 4.0 : 0.0; }},
    {"PlayerCarClassPosition", testsupport::kInt, 1, "", "",
     [](int r, int) { return LogAt(r).session == 0 ? 2.0 : 0.0; }},
    {"PlayerCarMyIncidentCount", testsupport::kInt, 1, "", "",
     [](int r, int) {
       const LogRow at = LogAt(r);
       const int lap = at.lap + (at.into >= 300 ? 1 : 0);  // laps 2 and 4 at row 300
       return at.session == 1 ? 0.0 : lap >= 4 ? 4.0 : lap >= 2 ? 2.0 : 0.0;
     }},
};

TEST_F(WebProcess, RaceLogOfARecordedRaceKeepsItsLapsAndStops) {
  const std::string file = testing::TempDir() + "web-process-log.ibt";
  const std::string text =
      "---\nWeekendInfo:\n SessionID: 123\n SubSessionID: 81234567\nDriverInfo:\n DriverCarIdx: 1\n"
      " Drivers:\n - CarIdx: 0\n   UserName: Ana Lopez\n - CarIdx: 1\n   UserName: Sam "
      "Driver\n...\n";
  testsupport::WriteFile(file, testsupport::WriteRecording({kLogRace, kLogRows, 60, text}));
  StartWeb({});
  const std::size_t none = 0;
  Browser early(io_), late(io_);
  ASSERT_EQ(early.Open(io_), 101u);
  early.ReadAll(&none);
  // The simulator stops 6 s in (row 3600) for 2 s, in the second stop.
  Start("publisher", SIM_PUBLISHER_EXECUTABLE, {"--ibt", file, "--speed", "10", "--pause", "6,2"});
  const auto logged = [](const Browser& b) {
    std::vector<Json> log;
    for (const std::string& m : b.messages) {
      const Json message = Json::parse(m);
      if (message["type"] == "lap" || message["type"] == "pit" || message["type"] == "log") {
        log.push_back(message);
      }
    }
    return log;
  };
  // Opened once the cut stop is in: the whole log of session 0 at once.
  ASSERT_TRUE(RunUntil(
      io_, [&] { return early.Typed("pit").size() == 2; }, 15s))
      << Output("web");
  const Json laps0 = Json::parse(Body(Get("/api/laps")));
  ASSERT_EQ(late.Open(io_), 101u);
  late.ReadAll(&none);
  ASSERT_TRUE(RunUntil(io_, [&] { return !logged(late).empty(); }));
  int status = -1;
  ASSERT_TRUE(RunUntil(
      io_, [&] { return (status = Finish("publisher", 0)) >= 0; }, 25s));
  ASSERT_EQ(status, 0) << Output("publisher");
  RunUntil(
      io_, [] { return false; }, 500ms);

  // Every event in order after the session's (empty) log; the late socket
  // had session 0's log as one message, then the same events.
  const std::vector<Json> got = logged(early);
  const auto types = [](const std::vector<Json>& log) {
    std::string kinds;
    for (const Json& m : log) kinds += m["type"].get<std::string>() + " ";
    return kinds;
  };
  ASSERT_EQ(types(got), "log lap lap lap pit lap pit log lap lap ") << Output("web");
  const std::vector<Json> lateLog = logged(late);
  ASSERT_EQ(types(lateLog), "log log lap lap ");
  EXPECT_EQ(lateLog[0], laps0);
  EXPECT_EQ(laps0, Json({{"type", "log"},
                         {"session", "81234567/0"},
                         {"laps", {got[1], got[2], got[3], got[5]}},
                         {"pits", {got[4], got[6]}}}));
  EXPECT_EQ(Json(std::vector<Json>(lateLog.begin() + 1, lateLog.end())),
            Json(std::vector<Json>(got.begin() + 7, got.end())));
  EXPECT_EQ(got[0], Json::parse(R"({"type":"log","session":"81234567/0","laps":[],"pits":[]})"));
  EXPECT_EQ(got[7], Json::parse(R"({"type":"log","session":"81234567/1","laps":[],"pits":[]})"));
  EXPECT_EQ(Json::parse(Body(Get("/api/laps"))), Json({{"type", "log"},
                                                       {"session", "81234567/1"},
                                                       {"laps", {got[8], got[9]}},
                                                       {"pits", Json::array()}}));

  // Each event's values as the recording has them; times at the line and
  // on pit road within the rows a busy reader skips at 600 rows a second.
  // The second stop is cut short by the simulator stopping, 1.3 s into the
  // stall: no way out.
  const Json null;
  const std::vector<const char*> lapFields = {"lap",        "time",          "fuelUsed",
                                              "pit",        "caution",       "counted",
                                              "position",   "classPosition", "incidents",
                                              "sessionTime"},
                                 pitFields = {"lap", "pitIn", "pitOut", "stationary", "fuelAdded"};
  const std::vector<std::pair<std::size_t, Json>> events = {
      {1, {1, 12.0, null, false, false, false, 4, 2, null, 12.0}},
      {2, {2, 12.25, 2.5, false, false, true, 4, 2, 2, 24.25}},
      {3, {3, 12.5, null, true, false, false, 4, 2, 0, 36.75}},
      {4, {3, 1955 / 60.0, 2355 / 60.0, 2.0, 20.0}},
      {5, {4, 12.75, 2.5, true, false, false, 4, 2, 2, 49.5}},
      {6, {5, 3370 / 60.0, null, 80 / 60.0, 10.0}},
      {8, {1, 12.0, null, false, false, false, null, null, null, 12.0}},
      {9, {2, 12.25, 2.5, false, true, false, null, null, 0, 24.25}}};
  for (const auto& [at, want] : events) {
    const Json& event = got[at];
    EXPECT_EQ(event["session"], at < 7 ? "81234567/0" : "81234567/1") << event;
    EXPECT_EQ(event["driver"], "Sam Driver") << event;
    const std::vector<const char*>& fields = event["type"] == "lap" ? lapFields : pitFields;
    for (std::size_t i = 0; i < want.size(); ++i) {
      const std::string name = fields[i];
      const bool atRows = name == "sessionTime" || name.starts_with("pit") || name == "stationary";
      const double within = atRows ? 0.3 : name == "fuelAdded" ? 0.05 : 1e-3;
      if (want[i].is_number_float() && event[name].is_number()) {
        EXPECT_NEAR(event[name].get<double>(), want[i].get<double>(), within)
            << name << ": " << event;
      } else {
        EXPECT_EQ(event[name], want[i]) << name << ": " << event;
      }
    }
  }
  std::remove(file.c_str());
}

// Unread answers of a large session text share the one copy relay-web
// holds: its resident memory hardly moves.
TEST_F(WebProcess, UnreadSessionTextAnswersShareOneCopy) {
  std::string text = "---\nWeekendInfo:\n SessionID: 1\n SubSessionID: 2\nNotes:\n";
  while (text.size() < (8 << 20)) text += " - Line: " + std::string(70, 'x') + "\n";
  // A recording carries it: its region is made to measure.
  const std::string file = testing::TempDir() + "web-process-big-session.ibt";
  testsupport::WriteFile(file, testsupport::WriteRecording({kRace, 600, 60, text}));
  Start("publisher", SIM_PUBLISHER_EXECUTABLE, {"--ibt", file, "--loop"});
  ASSERT_TRUE(WaitForOutput("publisher", "publishing")) << Output("publisher");
  StartWeb({"--per-client", "100"});
  ASSERT_TRUE(RunUntil(io_, [&] { return Body(Get("/api/session")).size() == text.size(); }))
      << Output("web");
  const long before = testsupport::ResidentKilobytes(web_);
  if (before < 0) GTEST_SKIP() << "reads the resident memory from /proc";
  std::vector<std::unique_ptr<tcp::socket>> readers;
  for (int i = 0; i < 64; ++i) {
    readers.push_back(std::make_unique<tcp::socket>(io_));
    readers.back()->open(tcp::v4());
    readers.back()->set_option(net::socket_base::receive_buffer_size(1024));
    readers.back()->connect({net::ip::make_address("127.0.0.1"), kWebPort});
    net::write(*readers.back(),
               net::buffer(std::string("GET /api/session HTTP/1.1\r\nHost: x\r\n\r\n")));
  }
  RunUntil(
      io_, [] { return false; }, 2s);
  // A copy each would be 512 MiB.
  EXPECT_LT(testsupport::ResidentKilobytes(web_) - before, 48 * 1024);
  // Their clients took none of them: the connections are closed.
  EXPECT_TRUE(WaitForOutput("web", "took none of its answer for 5 s", 10s)) << Output("web");
  std::remove(file.c_str());
}

// The fuel figures across session texts and session numbers, in-process:
// six laps of 12 s at 2.5 litres, something happening halfway through the
// fourth. Only other session ids or another SessionNum start afresh.
TEST(WebFeed, OnlyANewSessionStartsTheFuelFiguresAfresh) {
  const std::string first =
      "---\nWeekendInfo:\n SessionID: 7\n SubSessionID: 70\nSessionInfo:\n Sessions:\n"
      " - SessionNum: 0\n   ResultsPositions:\n";
  struct Case {
    const char* name;
    std::string text;  // published halfway through the fourth lap, if not empty
    int sessionNum;    // SessionNum from then on
    int wantCounted;
  };
  const std::vector<Case> cases = {
      {"nothing happens", "", 0, 5},
      {"the same text again", first, 0, 5},
      {"results lines rewritten", first + " - Position: 1\n   CarIdx: 3\n", 0, 5},
      {"a text without the ids", "---\nWeekendInfo:\n TrackID: 1\n", 0, 5},
      {"another subsession", "---\nWeekendInfo:\n SessionID: 7\n SubSessionID: 71\n", 0, 2},
      {"another session", "---\nWeekendInfo:\n SessionID: 8\n SubSessionID: 70\n", 0, 2},
      {"the next session in the rows", "", 1, 2},
  };
  using simlink::ValueType;
  const std::vector<std::tuple<const char*, ValueType, std::int32_t>> layout = {
      {"Lap", ValueType::kInt, 0},
      {"FuelLevel", ValueType::kFloat, 4},
      {"FuelLevelPct", ValueType::kFloat, 8},
      {"LapDistPct", ValueType::kFloat, 12},
      {"OnPitRoad", ValueType::kBool, 16},
      {"IsOnTrack", ValueType::kBool, 17},
      {"SessionLapsRemain", ValueType::kInt, 20},
      {"SessionTimeRemain", ValueType::kDouble, 24},
      {"SessionTime", ValueType::kDouble, 32},
      {"SessionNum", ValueType::kInt, 40}};
  auto directory = std::make_shared<web::Directory>();
  for (const auto& [name, type, offset] : layout) {
    directory->variables.push_back(
        {name, type, 1, offset, "", "", "\"" + std::string(name) + "\":"});
  }
  directory->rowLength = 44;
  for (const Case& c : cases) {
    net::io_context io;
    web::WebServer server(io, web::Source::kSimulator);
    web::Feed feed(io, server, 0.5);
    feed.PublishDirectory(directory);
    feed.PublishSessionText(first);
    const auto data = std::make_shared<const std::string>("{}");
    std::vector<std::uint8_t> row(44);
    const auto put = [&](std::int32_t offset, auto value) {
      std::memcpy(row.data() + offset, &value, sizeof value);
    };
    constexpr int kLapRows = 120;  // ten rows a second
    for (int r = 0; r < 6 * kLapRows + 1; ++r) {
      const int lap = r / kLapRows;
      if (r == 3 * kLapRows + kLapRows / 2 && !c.text.empty()) feed.PublishSessionText(c.text);
      const float fuel = 60 - 2.5f * static_cast<float>(r) / kLapRows;
      put(0, std::int32_t{lap + 1});
      put(4, fuel);
      put(8, fuel / 100);
      put(12, static_cast<float>(r % kLapRows) / kLapRows);
      put(16, false);
      put(17, true);
      put(20, std::int32_t{20 - lap});
      put(24, 3600 - r / 10.0);
      put(32, r / 10.0);
      put(40, std::int32_t{r >= 3 * kLapRows + kLapRows / 2 ? c.sessionNum : 0});
      feed.PublishRow(data, row, r + 1);
    }
    EXPECT_EQ(feed.figures().lapsCounted, c.wantCounted) << c.name;
  }
}

// ---- Hostile and changing layouts, with the test as the simulator ----------

// Values by tick count, whatever the layout: every message can be checked.
int TickLap(int tick) { return 1 + (tick + 600) / 720; }
float TickFuel(int tick) { return 50.0f - static_cast<float>(tick) * 0.001f; }
float TickSpeed(int tick) { return static_cast<float>(tick) * 0.5f; }

// The strategy's variables packed in a 64-byte row, or (`shifted`) in the
// opposite order from byte 16 on; room for a short session text only.
publisher::Layout StrategyLayout(bool shifted) {
  using publisher::ValueType;
  publisher::Layout layout;
  layout.variables = {{"Lap", ValueType::kInt},
                      {"FuelLevel", ValueType::kFloat},
                      {"Speed", ValueType::kFloat},
                      {"SessionTime", ValueType::kDouble},
                      {"FuelLevelPct", ValueType::kFloat},
                      {"IsOnTrack", ValueType::kBool},
                      {"OnPitRoad", ValueType::kBool},
                      {"LapDistPct", ValueType::kFloat},
                      {"SessionLapsRemain", ValueType::kInt}};
  if (shifted) std::reverse(layout.variables.begin(), layout.variables.end());
  std::int32_t offset = shifted ? 16 : 0;
  for (publisher::Variable& v : layout.variables) {
    v.offset = offset;
    offset += publisher::ValueSize(v.type);
  }
  layout.rowLength = 64;
  layout.sessionInfoCapacity = 4096;
  return layout;
}

// The test as the simulator: the named region laid out by the publisher's
// code, a few rows published on each Pump.
struct TestSimulator {
  ~TestSimulator() { publisher::Close(pub); }
  void Pump() {
    for (int i = 0; i < 3; ++i) {
      const publisher::Layout& layout = pub.layout;
      row.assign(static_cast<std::size_t>(layout.rowLength), 0);
      const int tick = pub.tickCount + 1;
      publisher::SetInt(row, layout, "Lap", TickLap(tick));
      publisher::SetFloat(row, layout, "FuelLevel", TickFuel(tick));
      publisher::SetFloat(row, layout, "FuelLevelPct", TickFuel(tick) / 100);
      publisher::SetFloat(row, layout, "Speed", TickSpeed(tick));
      publisher::SetDouble(row, layout, "SessionTime", tick / 60.0);
      publisher::SetBool(row, layout, "IsOnTrack", true);
      publisher::SetFloat(row, layout, "LapDistPct", static_cast<float>((tick + 600) % 720) / 720);
      publisher::SetInt(row, layout, "SessionLapsRemain", 30);
      if (fill) fill(row, tick);
      publisher::PublishRow(pub, row);
    }
  }
  // Rewrites the records in place for `layout`, whose records and rows lie
  // where the current one's do: a quick layout change, tick counts going on.
  void ChangeRecords(const publisher::Layout& layout) {
    std::vector<std::uint8_t> scratch(pub.region.size());
    ASSERT_TRUE(publisher::WriteLayout(scratch, layout, ""));
    const auto at = static_cast<std::size_t>(publisher::VariableRecordsOffset(layout));
    std::memcpy(pub.region.data() + at, scratch.data() + at,
                static_cast<std::size_t>(publisher::VariableCount(layout) *
                                         simlink::layout::kVariableRecordSize));
    pub.layout = layout;
  }
  void Poke(std::int64_t offset, std::int32_t value) {
    std::memcpy(pub.region.data() + offset, &value, sizeof value);
  }
  // Lays `layout` out anew, as a restarted simulator does.
  void Restart(const publisher::Layout& layout) {
    pub.layout = layout;
    ASSERT_TRUE(publisher::Restart(pub, "---\n"));
  }

  publisher::Publisher pub;
  std::vector<std::uint8_t> row;
  std::function<void(std::vector<std::uint8_t>&, int)> fill;
};

// True when the vars message carries, for each of Lap, FuelLevel and Speed
// it has, the values of its tick's row.
bool RightValues(const Json& message) {
  const int tick = message["tick"];
  const Json& values = message["values"];
  return (!values.contains("Lap") || values["Lap"] == TickLap(tick)) &&
         (!values.contains("FuelLevel") ||
          static_cast<float>(values["FuelLevel"].get<double>()) == TickFuel(tick)) &&
         (!values.contains("Speed") ||
          static_cast<float>(values["Speed"].get<double>()) == TickSpeed(tick));
}

// relay-web starts on a simulator whose rows have stopped while its status
// bit stays set (a replay held on one row): a new socket and the snapshot
// get the newest row at once. Then each case lays out a hostile or changing
// layout while rows keep coming; relay-web must bound what it allocates and
// sends, never read a row through another layout's directory, and serve the
// sane layout after.
TEST_F(WebProcess, DirectSourceBoundsHostileLayoutsAndFollowsChangesAtOnce) {
  TestSimulator sim;
  std::string error;
  ASSERT_TRUE(publisher::OpenNamed(sim.pub, StrategyLayout(false),
                                   "---\nWeekendInfo:\n TrackID: 1\n", &error))
      << error;
  sim.Pump();
  StartWeb({});
  const std::size_t none = 0;
  Browser all(io_);
  ASSERT_EQ(all.Open(io_, 0, "/ws?vars=*"), 101u);
  all.ReadAll(&none);
  // Rows go on while the test waits.
  const auto pumpUntil = [&](const std::function<bool()>& done, Clock::duration timeout = 5s) {
    return RunUntil(
        io_,
        [&] {
          sim.Pump();
          return done();
        },
        timeout);
  };
  // The newest vars message, wherever it lies (under a sanitizer's pace a
  // data message may already follow it), or null.
  const auto lastVars = [&] {
    const std::vector<std::string> vars = all.Typed("vars");
    return vars.empty() ? Json() : Json::parse(vars.back());
  };
  const auto endsWithVars = [&] {
    return !all.messages.empty() && Json::parse(all.messages.back()).value("type", "") == "vars";
  };
  ASSERT_TRUE(RunUntil(
      io_, [&] { return !lastVars().is_null(); }, 5s))
      << Output("web");
  EXPECT_EQ(lastVars()["tick"], 3);
  EXPECT_EQ(Json::parse(all.Typed("status").back())["simulator"], "running");
  const Json held = Json::parse(Body(Get("/api/latest?vars=*")));
  EXPECT_EQ(held["data"], Json::parse(all.Typed("data").back()));
  EXPECT_EQ(held["vars"], lastVars()["values"]);

  // 100 char[65536] records all at offset 0, over the strategy's.
  publisher::Layout overlapping = StrategyLayout(false);
  std::string named = "/ws?vars=";
  for (int i = 0; i < 100; ++i) {
    overlapping.variables.push_back(
        {"Big" + std::to_string(i), publisher::ValueType::kChar, 65536});
    named += overlapping.variables.back().name + ",";
  }
  overlapping.rowLength = 65536;
  Browser some(io_);  // reads those by name
  publisher::Layout duplicated = StrategyLayout(false);
  duplicated.variables.push_back({"Speed", publisher::ValueType::kFloat, 1, 40});

  const struct {
    const char* name;
    std::function<void()> make;   // lays the case out, rows going on
    std::function<void()> check;  // once a row of it has come
  } cases[] = {
      {"a row length of 0x7fffffff held 1.5 s",
       [&] {
         sim.Poke(simlink::layout::kRowLength, 0x7fffffff);
         const std::size_t from = all.messages.size();
         EXPECT_TRUE(pumpUntil([&] {
           return std::any_of(
               all.messages.begin() + static_cast<std::ptrdiff_t>(from), all.messages.end(),
               [](const std::string& m) { return m.find("\"not running\"") != std::string::npos; });
         })) << "not taken for no simulator";
         // Served throughout.
         EXPECT_TRUE(Get("/api/latest").starts_with("HTTP/1.1 200 OK\r\n"));
         pumpUntil([] { return false; }, 1500ms);
         sim.Poke(simlink::layout::kRowLength, sim.pub.layout.rowLength);
       },
       [] {}},
      {"100 char[65536] records all at offset 0", [&] { sim.Restart(overlapping); },
       [&] {
         ASSERT_EQ(some.Open(io_, 0, named), 101u);
         some.ReadAll(&none);
         // Its first vars message may still be the old layout's (Wine is slow
         // to show relay-web the new one): wait for the named arrays.
         ASSERT_TRUE(pumpUntil([&] {
           const std::vector<std::string> vars = some.Typed("vars");
           return !vars.empty() && !Json::parse(vars.back())["values"].empty();
         }));
         const std::string text = some.Typed("vars").back();
         // Named, whole arrays: three of 262,144 bytes fit in 1 MiB.
         EXPECT_LE(text.size(), web::kDefaultMaxMessage);
         for (const Json& m :
              {Json::parse(text), Json::parse(Body(Get("/api/latest" + named.substr(3))))}) {
           const Json& values = m.contains("values") ? m.at("values") : m.at("vars");
           EXPECT_EQ(values.size(), 3u);
           EXPECT_EQ(values.at("Big2").size(), 65536u);
           EXPECT_EQ(m.at("omitted"), 97);
           EXPECT_FALSE(m.contains("truncated"));
         }
         // All: each cut to 64 values, and named with its whole count.
         for (const Json& m : {lastVars(), Json::parse(Body(Get("/api/latest?vars=*")))}) {
           const Json& values = m.contains("values") ? m.at("values") : m.at("vars");
           ASSERT_EQ(values.size(), overlapping.variables.size()) << m.dump().substr(0, 400);
           EXPECT_EQ(values.at("Big99").size(), 64u);
           EXPECT_EQ(m.at("truncated").size(), 100u);
           EXPECT_EQ(m.at("truncated")["Big0"], 65536);
           EXPECT_FALSE(m.contains("omitted"));
         }
       }},
      {"a name given twice",
       [&] {
         sim.Restart(duplicated);
         sim.fill = [&](std::vector<std::uint8_t>& row, int tick) {
           const float other = -TickSpeed(tick);
           std::memcpy(row.data() + 40, &other, sizeof other);
         };
       },
       [&] {
         const std::string text = all.Typed("vars").back();
         EXPECT_EQ(testsupport::Occurrences(text, "\"Speed\":"), 1u) << text;
         const Json list = Json::parse(Body(Get("/api/vars")));
         EXPECT_EQ(std::count_if(list.begin(), list.end(),
                                 [](const Json& v) { return v["name"] == "Speed"; }),
                   1);
         sim.fill = nullptr;
       }},
      {"two layouts in turn, the same variables at other offsets",
       [&] {
         sim.Restart(StrategyLayout(false));
         // Through a lap's end, a whole lap and the next lap's end, the
         // layout changes every half a second.
         for (int change = 0; sim.pub.tickCount < 840 + 60; ++change) {
           sim.ChangeRecords(StrategyLayout(change % 2 == 0));
           pumpUntil([] { return false; }, 500ms);
           const Json latest = Json::parse(Body(Get("/api/latest?vars=Lap,FuelLevel")));
           if (!latest["data"].is_null() && !latest["vars"].empty()) {
             EXPECT_EQ(latest["vars"]["Lap"], latest["data"]["lap"]) << latest;
           }
         }
       },
       [&] {
         // The lap across the changes counted: the changes ended nothing.
         EXPECT_TRUE(pumpUntil([&] {
           return !all.Typed("strategy").empty() &&
                  Json::parse(all.Typed("strategy").back())["lapsCounted"] == 1;
         })) << all.Typed("strategy").back();
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t from = all.messages.size();
    c.make();
    ASSERT_TRUE(pumpUntil([&] { return all.messages.size() > from + 2 && endsWithVars(); }))
        << Output("web");
    c.check();
    // Every vars message has its row's values, and every data message its
    // vars message's: none is read through another layout's directory.
    for (std::size_t i = from; i < all.messages.size(); ++i) {
      const Json message = Json::parse(all.messages[i]);
      if (message["type"] != "vars") continue;
      EXPECT_TRUE(RightValues(message)) << all.messages[i].substr(0, 300);
      const Json data = Json::parse(all.messages[i - 1]);
      ASSERT_EQ(data["type"], "data");
      EXPECT_EQ(data["lap"], TickLap(message["tick"])) << all.messages[i - 1];
    }
  }
  // Sane again: rows flow.
  const std::size_t before = all.Typed("vars").size();
  EXPECT_TRUE(pumpUntil([&] { return all.Typed("vars").size() > before + 10; }));
  EXPECT_TRUE(Running("web"));
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
  // Any spelling of zero is a clear flag.
  for (const auto& [flag, set] : std::vector<std::pair<std::string, bool>>{
           {"0", false}, {"00", false}, {"-0", false}, {"1", true}, {"2", true}, {"-1", true}}) {
    web::DataJson("DATA_PACKET;1.00;1.00;1;1.00;1;0.50;0.50;1.00;1;1;1;1.00;" + flag + ";1.00;0;",
                  json);
    EXPECT_EQ(Json::parse(json)["onPitRoad"], set) << flag;
  }
  // 8-bit text as UTF-8: valid sequences kept, other bytes as Latin-1.
  EXPECT_EQ(web::ToUtf8("J\xfcrgen \xc3\xa9 \xe2\x82\xac \xc0\xaf \xed\xa0\x80"),
            "J\xc3\xbcrgen \xc3\xa9 \xe2\x82\xac \xc3\x80\xc2\xaf \xc3\xad\xc2\xa0\xc2\x80");
}

}  // namespace
