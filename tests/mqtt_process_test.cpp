// relay-mqtt as a real process between the real relay-web (fed by the relay
// and sim-publisher) and a real Mosquitto that the test starts on free
// loopback ports, with the team's ACL from docs/, a password file, a TLS
// listener whose CA and certificate openssl makes here, and a websockets
// listener serving the page that relay-mqtt writes. A WebSocket client of
// relay-web beside the bridge sees the texts the broker's viewers must get.
// And the race log end to end: two recordings of one race, a driver swap
// apart, replayed through relay-web and the bridge into relay-log.
//
// With RELAY_MQTT_WINDOWS naming the Windows build's relay-mqtt.exe, the
// bridge under test is that one, run under Wine (cmake/wine-run.sh, with the
// WINEPREFIX given), reaching the same broker through its websockets
// listeners, plain and TLS; the Windows build's tests run the two bridge
// tests so.
#include <gtest/gtest.h>
#include <mosquitto.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/mqtt_support.h"
#include "support/process_fixture.h"
#include "support/recording_file.h"
#include "support/test_support.h"

namespace {

namespace beast = boost::beast;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using testsupport::FreePort;
using testsupport::ReadFile;
using testsupport::Received;
using testsupport::Viewer;
using testsupport::WaitFor;

constexpr char kRelayWebOffline[] =
    R"({"type":"status","source":"relay-web","relay-web":"offline"})";

// A WebSocket client of relay-web on its own thread, keeping every text.
class FeedClient {
 public:
  FeedClient(unsigned short port, std::string target)
      : thread_([this, port, target] { Run(port, target); }) {}
  ~FeedClient() {
    if (const int fd = fd_.load(); fd >= 0) ::shutdown(fd, SHUT_RDWR);
    thread_.join();
  }
  std::vector<std::string> Texts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return texts_;
  }

 private:
  void Run(unsigned short port, const std::string& target) {
    net::io_context io;
    beast::websocket::stream<tcp::socket> ws(io);
    beast::error_code ec;
    ws.next_layer().connect({net::ip::make_address("127.0.0.1"), port}, ec);
    fd_ = ws.next_layer().native_handle();
    if (!ec) ws.handshake("127.0.0.1", target, ec);
    while (!ec) {
      beast::flat_buffer buffer;
      ws.read(buffer, ec);
      std::lock_guard<std::mutex> lock(mutex_);
      if (!ec) texts_.push_back(beast::buffers_to_string(buffer.data()));
    }
  }

  std::atomic<int> fd_{-1};
  mutable std::mutex mutex_;
  std::vector<std::string> texts_;
  std::thread thread_;
};

// The Windows relay-mqtt.exe to test instead of the Linux one, or null.
const char* WindowsBridge() { return std::getenv("RELAY_MQTT_WINDOWS"); }

void Shell(const std::string& command) {
  ASSERT_EQ(std::system(("(" + command + ") >/dev/null 2>&1").c_str()), 0) << command;
}

class MqttProcess : public testsupport::ProcessFixture {
 protected:
  MqttProcess() : ProcessFixture("mqtt-process-") {}
  static void SetUpTestSuite() { mosquitto_lib_init(); }

  void SetUp() override {
    dir_ = std::filesystem::path(testing::TempDir()) / ("mqtt-process-" + std::to_string(getpid()));
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    const std::string d = dir_.string();
    // A CA, and the broker's certificate for 127.0.0.1 signed by it.
    ASSERT_NO_FATAL_FAILURE(
        Shell("cd " + d +
              " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
              " -keyout ca.key -out ca.pem -days 2 -subj /CN=test-ca && openssl req -newkey ec"
              " -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout server.key -out server.csr"
              " -subj /CN=localhost && printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\\n' > san"
              " && openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial"
              " -out server.pem -days 2 -extfile san"));
    ASSERT_NO_FATAL_FAILURE(Shell("cd " + d +
                                  " && mosquitto_passwd -c -b passwords car42 pit"
                                  " && mosquitto_passwd -b passwords viewer look"
                                  " && mosquitto_passwd -b passwords relay-log keep"));
    std::ofstream(d + "/car42.pw") << "pit\n";
    std::ofstream(d + "/relay-log.pw") << "keep\n";
    std::ofstream(d + "/wrong.pw") << "guess\n";
    Start("page", RELAY_MQTT_EXECUTABLE, {"--write-page", d + "/www"});
    ASSERT_EQ(Finish("page"), 0) << Output("page");
    tcpPort_ = FreePort();
    tlsPort_ = FreePort();
    wsPort_ = FreePort();
    wssPort_ = FreePort();
    std::ofstream(d + "/broker.conf")
        << (geteuid() == 0 ? "user root\n" : "") << "per_listener_settings false\n"
        << "allow_anonymous false\npassword_file " << d << "/passwords\n"
        << "acl_file " SOURCE_DIR "/docs/mosquitto/acl\npersistence false\n"
        << "listener " << tcpPort_ << " 127.0.0.1\n"
        << "listener " << tlsPort_ << " 127.0.0.1\ncafile " << d << "/ca.pem\ncertfile " << d
        << "/server.pem\nkeyfile " << d << "/server.key\n"
        << "listener " << wsPort_ << " 127.0.0.1\nprotocol websockets\nhttp_dir " << d << "/www\n"
        << "listener " << wssPort_ << " 127.0.0.1\nprotocol websockets\ncafile " << d
        << "/ca.pem\ncertfile " << d << "/server.pem\nkeyfile " << d << "/server.key\n";
    ASSERT_NO_FATAL_FAILURE(StartBroker());
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  void StartBroker() {
    Start("broker", "/usr/sbin/mosquitto", {"-c", (dir_ / "broker.conf").string()});
    ASSERT_TRUE(WaitFor([&] { return Output("broker").find(" running") != std::string::npos; }))
        << Output("broker");
  }
  // sim-publisher and relay-web reading it, on `webPort_` (a free one the
  // first time).
  void StartRelayWeb() {
    if (!Running("publisher")) {
      Start("publisher", SIM_PUBLISHER_EXECUTABLE, {});
      ASSERT_TRUE(
          WaitFor([&] { return Output("publisher").find("publishing") != std::string::npos; }));
    }
    Start("web", RELAY_WEB_EXECUTABLE, {"--listen", "127.0.0.1:" + std::to_string(webPort_)});
    std::string output;
    ASSERT_TRUE(WaitFor([&] {
      output = Output("web");
      return output.find("the simulator is running") != std::string::npos;
    })) << output;
    const std::size_t at = output.find("serving http://127.0.0.1:") + 25;
    webPort_ = static_cast<unsigned short>(std::stoi(output.substr(at)));
  }
  void StartBridge(const std::string& name, const std::vector<std::string>& extra) {
    std::vector<std::string> arguments = {"--web",
                                          "ws://127.0.0.1:" + std::to_string(webPort_) + "/ws"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    StartMqtt(name, arguments);
  }
  // relay-mqtt, or relay-mqtt.exe under Wine.
  void StartMqtt(const std::string& name, std::vector<std::string> arguments) {
    if (WindowsBridge() == nullptr) {
      Start(name, RELAY_MQTT_EXECUTABLE, arguments);
      return;
    }
    arguments.insert(arguments.begin(), WindowsBridge());
    Start(name, SOURCE_DIR "/cmake/wine-run.sh", arguments);
  }
  // Where the bridge finds the broker: its MQTT listeners, or for the
  // Windows bridge its websockets ones (TLS by the certificate's host name:
  // Wine's WinHTTP does not match an IP address to the certificate).
  std::string BrokerAt(bool tls) const {
    if (WindowsBridge() != nullptr) {
      return tls ? "localhost:" + std::to_string(wssPort_) : "127.0.0.1:" + std::to_string(wsPort_);
    }
    return "127.0.0.1:" + std::to_string(tls ? tlsPort_ : tcpPort_);
  }
  std::string BrokerUrl(bool tls) const {
    const bool windows = WindowsBridge() != nullptr;
    return std::string(windows ? (tls ? "wss://" : "ws://") : (tls ? "mqtts://" : "mqtt://")) +
           BrokerAt(tls) + (windows ? "/mqtt" : "");
  }
  bool Logged(const std::string& name, const std::string& part, int milliseconds = 10000) {
    return WaitFor([&] { return Output(name).find(part) != std::string::npos; }, milliseconds);
  }
  std::vector<std::string> Login(const char* password, const char* topic = "team/car42") {
    return {"--broker",   BrokerUrl(false), "--topic",         topic,
            "--username", "car42",          "--password-file", (dir_ / password).string()};
  }

  std::filesystem::path dir_;
  unsigned short tcpPort_ = 0, tlsPort_ = 0, wsPort_ = 0, wssPort_ = 0, webPort_ = 0;
};

// Each data message the viewer got is one of the feed's texts, byte for
// byte and in the feed's order; true once that holds for all of them.
::testing::AssertionResult RowsAreTheFeeds(const std::vector<Received>& rows,
                                           const std::vector<std::string>& feed) {
  std::size_t at = 0;
  for (const Received& row : rows) {
    while (at < feed.size() && feed[at] != row.payload) ++at;
    if (at == feed.size())
      return ::testing::AssertionFailure() << "not the feed's next: " << row.payload;
  }
  return ::testing::AssertionSuccess();
}

TEST_F(MqttProcess, CarriesTheFeedThroughTheBrokerAndKeepsItsStateAcrossOutages) {
  ASSERT_NO_FATAL_FAILURE(StartRelayWeb());
  // Every row: without ?hz= relay-web thins a socket's rows only when it
  // reads slowly (with ?hz=60 a row that came early on the grid gives way to
  // the next). It reads from before the bridge starts, so that every row the
  // bridge gets is among its texts.
  FeedClient feed(webPort_, "/ws");
  ASSERT_TRUE(WaitFor([&] {
    for (const std::string& text : feed.Texts()) {
      if (text.starts_with("{\"type\":\"data\"")) return true;
    }
    return false;
  }));
  Viewer viewer(tcpPort_, "viewer", "look", "team/#");
  StartBridge("bridge", [&] {
    auto arguments = Login("car42.pw");
    arguments.insert(arguments.end(), {"--rate", "20"});
    return arguments;
  }());

  // Rows at the asked rate, each a text of the feed; status and session as
  // the feed has them.
  ASSERT_TRUE(WaitFor([&] { return viewer.On("team/car42/data").size() >= 70; }, 15000))
      << Output("bridge");
  std::vector<Received> rows = viewer.On("team/car42/data");
  EXPECT_TRUE(RowsAreTheFeeds(rows, feed.Texts()));
  const double seconds = std::chrono::duration<double>(rows.back().at - rows[10].at).count();
  const double rate = static_cast<double>(rows.size() - 11) / seconds;
  std::printf("%zu rows on PREFIX/data at %.2f a second (asked: 20)\n", rows.size(), rate);
  EXPECT_GT(rate, 17.0);
  EXPECT_LT(rate, 21.0);
  std::size_t tooSoon = 0;  // no pacing would show as rows 16.7 ms apart
  for (std::size_t i = 11; i < rows.size(); ++i) tooSoon += rows[i].at - rows[i - 1].at < 25ms;
  EXPECT_EQ(tooSoon, 0u);
  const auto feedsLast = [&](const std::string& type) {
    std::string last;
    for (const std::string& text : feed.Texts()) {
      if (text.starts_with("{\"type\":\"" + type + "\"")) last = text;
    }
    return last;
  };
  EXPECT_EQ(viewer.Last("team/car42/bridge"), "online");
  EXPECT_EQ(viewer.Last("team/car42/status"), feedsLast("status"));
  EXPECT_EQ(viewer.Last("team/car42/session"), feedsLast("session"));
  ASSERT_FALSE(feedsLast("session").empty());

  // Nobody writes where they do not belong: a wrong password is refused, the
  // driver's login cannot publish as another car, the viewer cannot publish.
  setenv("RELAY_MQTT_PASSWORD", "guess", 1);
  StartBridge("intruder",
              {"--broker", BrokerUrl(false), "--topic", "team/car42", "--username", "car42"});
  StartBridge("outsider", Login("car42.pw", "team/car7"));
  viewer.Publish("team/car42/status", "forged");
  EXPECT_TRUE(Logged("intruder", "cannot connect to the broker at " + BrokerAt(false) +
                                     " (the broker refused the login: Connection Refused: not "
                                     "authorised."))
      << Output("intruder");
  EXPECT_TRUE(Logged("outsider", "connected to the broker")) << Output("outsider");
  // It publishes its status at once and rows ten times a second: give it
  // time to try.
  EXPECT_FALSE(WaitFor([&] { return !viewer.On("team/car7/#").empty(); }, 1500));
  std::printf("wrong password: %s", Output("intruder").c_str());
  std::printf("car42 as team/car7: %s", Output("outsider").c_str());
  Kill("intruder");
  Kill("outsider");

  // relay-web away and back: the bridge says so on PREFIX/status.
  Kill("web");
  EXPECT_TRUE(WaitFor([&] { return viewer.Last("team/car42/status") == kRelayWebOffline; }))
      << viewer.Last("team/car42/status");
  ASSERT_NO_FATAL_FAILURE(StartRelayWeb());
  EXPECT_TRUE(WaitFor([&] { return viewer.Last("team/car42/status") == feedsLast("status"); }));

  // The broker killed and restarted without its retained messages: the
  // bridge publishes them again, and the rows resume. A viewer that
  // subscribes once the first viewer (which reconnects by itself) has the
  // session again gets them retained.
  const std::size_t sessions = viewer.On("team/car42/session").size();
  Kill("broker");
  ASSERT_TRUE(Logged("bridge", "lost the broker")) << Output("bridge");
  ASSERT_NO_FATAL_FAILURE(StartBroker());
  ASSERT_TRUE(Logged("bridge", "reconnected to the broker", 15000)) << Output("bridge");
  ASSERT_TRUE(WaitFor([&] { return viewer.On("team/car42/session").size() > sessions; }, 15000));
  Viewer late(tcpPort_, "viewer", "look", "team/#");
  ASSERT_TRUE(WaitFor([&] { return late.On("team/car42/data").size() >= 10; })) << Output("bridge");
  for (const char* topic : {"team/car42/bridge", "team/car42/status", "team/car42/session"}) {
    ASSERT_TRUE(WaitFor([&] { return !late.On(topic).empty(); })) << topic;
    EXPECT_TRUE(late.On(topic).front().retained) << topic;
  }
  EXPECT_EQ(late.Last("team/car42/bridge"), "online");
  EXPECT_EQ(late.Last("team/car42/session"), feedsLast("session"));

  // Killed: the broker publishes the will.
  Kill("bridge");
  EXPECT_TRUE(WaitFor([&] { return late.Last("team/car42/bridge") == "offline"; }));

  // Over TLS, trusting the test's CA; SIGTERM (Ctrl-C under Wine) ends it
  // cleanly with offline.
  const std::size_t before = late.On("team/car42/data").size();
  StartBridge("tls", {"--broker", BrokerUrl(true), "--cafile", (dir_ / "ca.pem").string(),
                      "--topic", "team/car42", "--username", "car42", "--password-file",
                      (dir_ / "car42.pw").string()});
  ASSERT_TRUE(WaitFor([&] { return late.On("team/car42/data").size() >= before + 10; }))
      << Output("tls");
  EXPECT_EQ(late.Last("team/car42/bridge"), "online");
  ASSERT_TRUE(AskToStop("tls", WindowsBridge() != nullptr));
  EXPECT_EQ(Finish("tls", 10000), 0) << Output("tls");
  EXPECT_TRUE(WaitFor([&] { return late.Last("team/car42/bridge") == "offline"; }));

  // The viewer's forged status never appeared.
  for (const Received& status : viewer.On("team/car42/status")) EXPECT_NE(status.payload, "forged");

  // The websockets listener serves the page relay-mqtt wrote.
  net::io_context io;
  tcp::socket socket(io);
  socket.connect({net::ip::make_address("127.0.0.1"), wsPort_});
  net::write(socket, net::buffer(std::string("GET /mqtt.min.js HTTP/1.0\r\n\r\n")));
  beast::error_code ec;
  std::string answer;
  net::read(socket, net::dynamic_buffer(answer), ec);
  const std::string library =
      ReadFile(SOURCE_DIR "/tools/relay-mqtt/node_modules/mqtt/dist/mqtt.min.js");
  ASSERT_GT(library.size(), 1000u);
  EXPECT_TRUE(answer.ends_with(library)) << answer.substr(0, 200);
  EXPECT_EQ(ReadFile((dir_ / "www/index.html").string()),
            ReadFile(SOURCE_DIR "/tools/relay-web/dashboard.html"));
}

// A stand-in for relay-web's feed: a status and a race log, then a row and a
// relative ({"type":"data","lap":N}, {"type":"relative","lap":N}) every 50 ms
// and standings every 250 ms, with a 2 MiB message before rows 20, 30, 31 and
// 40, a lap and a pit stop with row 10, and at the end three standings at
// once (laps 80 to 82). The rows after the big messages come through, on one
// link; the standings at most once a second, the newest of each second,
// retained; the relatives as rows; the lap and the stop each once, QoS 1,
// not retained; the log not at all.
TEST_F(MqttProcess, PacesStandingsAndRelativeAndSkipsAnOversizedFeedMessage) {
  net::io_context io;
  tcp::acceptor acceptor(io, {net::ip::make_address("127.0.0.1"), 0});
  const std::string status = R"({"type":"status","source":"simulator","simulator":"running"})";
  const auto text = [](const char* type, int lap) {
    return R"({"type":")" + std::string(type) + R"(","lap":)" + std::to_string(lap) + "}";
  };
  std::atomic<bool> done{false};
  // The rows wait for the bridge's broker: a Windows bridge under Wine can
  // take a second or more to load WinHTTP.
  std::atomic<bool> brokerReady{false};
  std::thread feed([&] {
    beast::error_code ec;
    tcp::socket socket(io);
    acceptor.accept(socket, ec);
    beast::websocket::stream<tcp::socket> ws(std::move(socket));
    if (!ec) ws.accept(ec);
    while (!brokerReady) std::this_thread::sleep_for(10ms);
    ws.write(net::buffer(status), ec);
    ws.write(net::buffer(std::string(R"({"type":"log","session":"1/0","laps":[],"pits":[]})")), ec);
    const std::string big = R"({"type":"data","pad":")" + std::string(2 << 20, 'x') + "\"}";
    for (int lap = 0; lap < 80 && !ec; ++lap) {
      if (lap == 20 || lap == 30 || lap == 31 || lap == 40) ws.write(net::buffer(big), ec);
      if (lap == 10) {
        ws.write(net::buffer(text("lap", lap)), ec);
        ws.write(net::buffer(text("pit", lap)), ec);
      }
      ws.write(net::buffer(text("data", lap)), ec);
      ws.write(net::buffer(text("relative", lap)), ec);
      if (lap % 5 == 0) ws.write(net::buffer(text("standings", lap)), ec);
      std::this_thread::sleep_for(50ms);
    }
    for (int lap = 80; lap <= 82; ++lap) ws.write(net::buffer(text("standings", lap)), ec);
    while (!done) std::this_thread::sleep_for(10ms);
  });
  Viewer viewer(tcpPort_, "viewer", "look", "team/#");
  auto arguments = Login("car42.pw");
  arguments.insert(arguments.end(),
                   {"--rate", "60", "--web",
                    "ws://127.0.0.1:" + std::to_string(acceptor.local_endpoint().port()) + "/ws"});
  StartMqtt("bridge", arguments);
  EXPECT_TRUE(Logged("bridge", "connected to the broker", 15000)) << Output("bridge");
  brokerReady = true;
  EXPECT_TRUE(WaitFor([&] { return viewer.Last("team/car42/data") == text("data", 79); }, 15000))
      << Output("bridge");
  EXPECT_TRUE(WaitFor([&] { return viewer.Last("team/car42/standings") == text("standings", 82); }))
      << Output("bridge");
  const std::string output = Output("bridge");
  const std::string skipped = "skipped a feed message of more than 1024 KiB";
  EXPECT_NE(output.find(skipped), std::string::npos) << output;
  EXPECT_EQ(output.find(skipped), output.rfind("skipped")) << "one line for all four";
  EXPECT_EQ(output.find("went away"), std::string::npos) << output;
  // The status never flapped to offline.
  EXPECT_FALSE(viewer.On("team/car42/status").empty());
  for (const Received& s : viewer.On("team/car42/status")) EXPECT_EQ(s.payload, status);
  std::size_t rows = 0;
  for (const Received& row : viewer.On("team/car42/data")) rows += row.payload.size() < 100;
  EXPECT_GE(rows, 70u);
  const std::vector<Received> relatives = viewer.On("team/car42/relative");
  EXPECT_GE(relatives.size(), 70u);
  for (const Received& relative : relatives) EXPECT_FALSE(relative.retained) << relative.payload;
  EXPECT_EQ(viewer.Last("team/car42/relative"), text("relative", 79));
  for (const char* type : {"lap", "pit"}) {
    const std::vector<Received> events = viewer.On("team/car42/" + std::string(type));
    ASSERT_EQ(events.size(), 1u) << type;
    EXPECT_EQ(events[0].payload, text(type, 10));
    EXPECT_EQ(events[0].qos, 1) << type;
    EXPECT_FALSE(events[0].retained) << type;
  }
  EXPECT_TRUE(viewer.On("team/car42/log").empty());
  // Standings a second apart (the pacer allows seven eighths of one), never
  // one that a newer replaced within its second.
  const std::vector<Received> standings = viewer.On("team/car42/standings");
  EXPECT_LE(standings.size(), 7u);
  for (std::size_t i = 1; i < standings.size(); ++i) {
    EXPECT_GE(standings[i].at - standings[i - 1].at, 700ms) << standings[i].payload;
    EXPECT_NE(standings[i].payload, text("standings", 81));
  }

  // relay-web gone: the status says so, and the standings stay retained
  // (the relatives are not), again after the broker restarted without them.
  done = true;
  beast::error_code ec;
  acceptor.close(ec);
  feed.join();
  EXPECT_TRUE(WaitFor([&] { return viewer.Last("team/car42/status") == kRelayWebOffline; }));
  Viewer late(tcpPort_, "viewer", "look", "team/#");
  ASSERT_TRUE(WaitFor([&] { return !late.On("team/car42/standings").empty(); }));
  EXPECT_TRUE(late.On("team/car42/standings").front().retained);
  EXPECT_EQ(late.Last("team/car42/standings"), text("standings", 82));
  EXPECT_TRUE(late.On("team/car42/relative").empty());
  Kill("broker");
  ASSERT_TRUE(Logged("bridge", "lost the broker")) << Output("bridge");
  ASSERT_NO_FATAL_FAILURE(StartBroker());
  EXPECT_TRUE(WaitFor([&] { return late.On("team/car42/standings").size() > 1; }, 15000))
      << Output("bridge");
  EXPECT_EQ(late.Last("team/car42/standings"), text("standings", 82));
}

// One race on two PCs, a driver swap apart. Lap L takes 900 + 12 L rows at
// 60 a second; the fuel falls 2 litres over the middle eight tenths of each
// lap, and LapLastLapTime gives the lap before's time 30 rows after the
// line. Driver A's PC records laps 1 to 6 and a stop for 30 litres (on pit
// road from 92 % of lap 6 to 60 rows into lap 7, in the stall from 94 % to
// 99 %, the fuel rising at 96 %), to 200 rows into lap 7; driver B's PC
// from there to 120 rows into lap 13.
constexpr int SwapLapRows(int lap) { return 900 + 12 * lap; }
constexpr int SwapLapStart(int lap) {
  int row = 0;
  for (int l = 1; l < lap; ++l) row += SwapLapRows(l);
  return row;
}
constexpr int kSwapRow = SwapLapStart(7) + 200, kSwapEnd = SwapLapStart(13) + 120;
struct SwapRow {
  int lap, into;
};
SwapRow SwapAt(int r) {
  SwapRow at{1, r};
  while (at.into >= SwapLapRows(at.lap)) at.into -= SwapLapRows(at.lap++);
  return at;
}
double SwapLastLapTime(int r) {
  const SwapRow at = SwapAt(r);
  const int before = at.lap - (at.into < 30 ? 2 : 1);
  return before < 1 ? 0.0 : SwapLapRows(before) / 60.0;
}
double SwapFuel(int r) {
  const SwapRow at = SwapAt(r);
  const double rows = SwapLapRows(at.lap);
  const double part = std::clamp((at.into - 0.1 * rows) / (0.8 * rows), 0.0, 1.0);
  return 60 - 2 * (at.lap - 1 + part) + (r >= SwapLapStart(6) + 0.96 * SwapLapRows(6) ? 30 : 0);
}
bool SwapInPits(int r, double from, double to) {
  const SwapRow at = SwapAt(r);
  return at.lap == 6 && at.into >= from * SwapLapRows(6) && at.into < to * SwapLapRows(6);
}
// The recording that starts at the race's row `kFirst`.
template <int kFirst>
std::vector<testsupport::RecordedVariable> SwapRecording() {
  using namespace testsupport;
  return {
      {"SessionNum", kInt, 1, "", "", [](int, int) { return 2.0; }},
      {"SessionTime", kDouble, 1, "s", "", [](int r, int) { return 600 + (kFirst + r) / 60.0; }},
      {"Lap", kInt, 1, "", "", [](int r, int) { return SwapAt(kFirst + r).lap * 1.0; }},
      {"FuelLevel", kFloat, 1, "l", "", [](int r, int) { return SwapFuel(kFirst + r); }},
      {"LapLastLapTime", kFloat, 1, "s", "",
       [](int r, int) { return SwapLastLapTime(kFirst + r); }},
      {"OnPitRoad", kBool, 1, "", "",
       [](int r, int) -> double {
         return SwapInPits(kFirst + r, 0.92, 1) ||
                (SwapAt(kFirst + r).lap == 7 && SwapAt(kFirst + r).into < 60);
       }},
      {"PlayerCarInPitStall", kBool, 1, "", "",
       [](int r, int) -> double { return SwapInPits(kFirst + r, 0.94, 0.99); }},
      {"IsOnTrack", kBool, 1, "", "", [](int, int) { return 1.0; }},
  };
}
std::string SwapSessionText(const std::string& driver) {
  return "---\nWeekendInfo:\n SessionID: 123\n SubSessionID: 81234567\nDriverInfo:\n"
         " DriverCarIdx: 1\n Drivers:\n - CarIdx: 0\n   UserName: Ana Lopez\n - CarIdx: 1\n"
         "   UserName: " +
         driver + "\n...\n";
}

// The recordings replayed one after the other at ten times their speed
// through relay-web and relay-mqtt, relay-log killed during the first and
// back while its laps still come: a late viewer's retained log and the CSV
// export hold every lap once, with the recordings' times, fuel and drivers.
TEST_F(MqttProcess, RaceLogOfADriverSwapKeepsEveryLapOnceThroughRelayLog) {
  using nlohmann::json;
  const std::string a = (dir_ / "a.ibt").string(), b = (dir_ / "b.ibt").string();
  const std::string db = (dir_ / "relay-log.sqlite").string();
  const std::string driverA = "Sam Driver", driverB = "Alex Other";
  testsupport::WriteFile(
      a, testsupport::WriteRecording({SwapRecording<0>(), kSwapRow, 60, SwapSessionText(driverA)}));
  testsupport::WriteFile(
      b, testsupport::WriteRecording(
             {SwapRecording<kSwapRow>(), kSwapEnd - kSwapRow, 60, SwapSessionText(driverB)}));
  // Laps 1 to 12 as relay-web must report them: the time as LapLastLapTime
  // (a float) gives it, to the millisecond; no fuel figure for the first lap
  // of each PC and the lap that took fuel.
  struct Want {
    std::string driver;
    double time;
    std::optional<double> fuel;
  };
  std::vector<Want> want;
  for (int lap = 1; lap <= 12; ++lap) {
    const int line = SwapLapStart(lap + 1);
    const double time =
        std::round(static_cast<double>(static_cast<float>(SwapLastLapTime(line + 30))) * 1000) /
        1000;
    std::optional<double> fuel;
    if (lap != 1 && lap != 6 && lap != 7) fuel = SwapFuel(SwapLapStart(lap)) - SwapFuel(line);
    want.push_back({lap <= 6 ? driverA : driverB, time, fuel});
  }

  const auto startLog = [&] {
    Start("log", RELAY_LOG_EXECUTABLE,
          {"--broker", "mqtt://127.0.0.1:" + std::to_string(tcpPort_), "--topic", "team/+/lap",
           "--topic", "team/+/pit", "--username", "relay-log", "--password-file",
           (dir_ / "relay-log.pw").string(), "--db", db, "--client-id", "relay-log-e2e"});
    return Logged("log", "connected to the broker at");
  };
  ASSERT_TRUE(startLog()) << Output("log");
  Start("web", RELAY_WEB_EXECUTABLE, {"--listen", "127.0.0.1:0"});
  ASSERT_TRUE(Logged("web", "serving http://127.0.0.1:")) << Output("web");
  const std::string served = Output("web");
  webPort_ = static_cast<unsigned short>(
      std::stoi(served.substr(served.find("serving http://127.0.0.1:") + 25)));
  Viewer viewer(tcpPort_, "viewer", "look", "team/#");
  StartBridge("bridge", Login("car42.pw"));
  // The bridge reads relay-web's feed once it relays its status.
  ASSERT_TRUE(WaitFor([&] {
    const std::string status = viewer.Last("team/car42/status");
    return !status.empty() && status != kRelayWebOffline;
  })) << Output("bridge");
  const auto lapsIn = [](const std::string& text) {
    const json log = json::parse(text, nullptr, false);
    return log.is_object() ? log["laps"].size() : 0;
  };

  Start("publisher", SIM_PUBLISHER_EXECUTABLE, {"--ibt", a, "--speed", "10"});
  ASSERT_TRUE(WaitFor([&] { return lapsIn(viewer.Last("team/car42/log")) >= 2; }, 15000))
      << Output("web") << Output("bridge") << Output("log");
  Kill("log");
  ASSERT_TRUE(WaitFor([&] { return viewer.On("team/car42/lap").size() >= 4; }, 15000));
  ASSERT_TRUE(startLog()) << Output("log");
  ASSERT_EQ(Finish("publisher"), 0) << Output("publisher");
  ASSERT_TRUE(Logged("web", "the simulator stopped")) << Output("web");
  Start("publisher", SIM_PUBLISHER_EXECUTABLE, {"--ibt", b, "--speed", "10"});
  ASSERT_EQ(Finish("publisher"), 0) << Output("publisher");
  ASSERT_TRUE(WaitFor([&] { return lapsIn(viewer.Last("team/car42/log")) >= 12; }))
      << Output("web") << Output("bridge") << Output("log");

  // A viewer who comes now gets the whole race, retained.
  Viewer late(tcpPort_, "viewer", "look", "team/car42/log");
  ASSERT_TRUE(WaitFor([&] { return !late.On("team/car42/log").empty(); }));
  EXPECT_TRUE(late.On("team/car42/log").front().retained);
  const json log = json::parse(late.Last("team/car42/log"));
  EXPECT_EQ(log["session"], "81234567/2");
  ASSERT_EQ(log["laps"].size(), want.size()) << log;
  for (std::size_t i = 0; i < want.size(); ++i) {
    const json& lap = log["laps"][i];
    EXPECT_EQ(lap[0], i + 1) << lap;
    EXPECT_EQ(log["drivers"][lap[1].get<int>()], want[i].driver) << lap;
    EXPECT_NEAR(lap[2].get<double>(), want[i].time, 1e-9) << lap;
    if (want[i].fuel) {
      EXPECT_NEAR(lap[3].get<double>(), *want[i].fuel, 1e-9) << lap;
    } else {
      EXPECT_TRUE(lap[3].is_null()) << lap;
    }
  }
  // The stop: on lap 6, A's, 30 litres, its ends within the rows a reader
  // skips at 600 a second.
  ASSERT_EQ(log["pits"].size(), 1u) << log;
  const json& pit = log["pits"][0];
  EXPECT_EQ(pit[0], 6);
  EXPECT_EQ(log["drivers"][pit[1].get<int>()], driverA);
  EXPECT_NEAR(pit[2].get<double>(), 600 + (SwapLapStart(6) + 0.92 * SwapLapRows(6)) / 60, 0.3);
  EXPECT_NEAR(pit[3].get<double>(), 600 + (SwapLapStart(7) + 60) / 60.0, 0.3);
  EXPECT_NEAR(pit[5].get<double>(), 30, 0.05);
  ASSERT_EQ(log["stints"].size(), 2u) << log["stints"];
  for (int s = 0; s < 2; ++s) {
    const json& stint = log["stints"][s];
    EXPECT_EQ(stint["driver"], s == 0 ? driverA : driverB) << stint;
    EXPECT_EQ(stint["firstLap"], 1 + 6 * s) << stint;
    EXPECT_EQ(stint["lastLap"], 6 + 6 * s) << stint;
  }

  // The export: the same laps, one row each.
  Start("export", RELAY_LOG_EXECUTABLE, {"--db", db, "--export", "-"});
  ASSERT_EQ(Finish("export"), 0) << Output("export");
  std::istringstream csv(Output("export"));
  std::string line;
  std::getline(csv, line);  // the header
  std::size_t row = 0;
  for (; std::getline(csv, line); ++row) {
    std::vector<std::string> field;
    std::istringstream cells(line);
    for (std::string cell; std::getline(cells, cell, ',');) field.push_back(cell);
    ASSERT_LT(row, want.size()) << line;
    ASSERT_GE(field.size(), 6u) << line;
    EXPECT_EQ(field[0] + "," + field[1] + "," + field[2] + "," + field[3],
              "team/car42,81234567/2," + std::to_string(row + 1) + "," + want[row].driver);
    EXPECT_NEAR(std::stod(field[4]), want[row].time, 1e-9) << line;
    EXPECT_EQ(field[5].empty(), !want[row].fuel) << line;
    if (want[row].fuel) {
      EXPECT_NEAR(std::stod(field[5]), *want[row].fuel, 1e-9) << line;
    }
  }
  EXPECT_EQ(row, want.size());
}

// A broker of the test's own behind a WebSocket (subprotocol mqtt), for
// what Mosquitto never does. Each connection: read the CONNECT, then
// `answer` (empty: nothing at all); the first connection ends at the first
// QoS 1 message, unacknowledged. The first two QoS 1 messages are kept.
class StandInBroker {
 public:
  explicit StandInBroker(std::string answer)
      : answer_(std::move(answer)),
        acceptor_(io_, {net::ip::make_address("127.0.0.1"), 0}),
        thread_([this] { Run(); }) {}
  ~StandInBroker() {
    done_ = true;
    beast::error_code ec;
    acceptor_.close(ec);
    if (const int fd = fd_.load(); fd >= 0) ::shutdown(fd, SHUT_RDWR);
    thread_.join();
  }
  std::string Url() const { return "ws://" + Where() + "/mqtt"; }
  std::string Where() const {
    return "127.0.0.1:" + std::to_string(acceptor_.local_endpoint().port());
  }
  // The QoS 1 packets of the first and the second connection.
  std::vector<std::string> Qos1() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return qos1_;
  }

 private:
  void Run() {
    for (int connection = 0; !done_; ++connection) {
      beast::error_code ec;
      tcp::socket socket(io_);
      acceptor_.accept(socket, ec);
      if (ec) return;
      fd_ = socket.native_handle();
      beast::websocket::stream<tcp::socket> ws(std::move(socket));
      ws.set_option(beast::websocket::stream_base::decorator([](auto& response) {
        response.set(beast::http::field::sec_websocket_protocol, "mqtt");
      }));
      ws.binary(true);
      ws.accept(ec);
      beast::flat_buffer buffer;
      if (!ec) ws.read(buffer, ec);  // the CONNECT
      if (!ec && !answer_.empty()) ws.write(net::buffer(answer_), ec);
      while (!ec) {
        buffer.clear();
        ws.read(buffer, ec);
        const std::string packet = beast::buffers_to_string(buffer.data());
        if (ec || packet.empty() || (packet[0] & 0xF6) != 0x32) continue;  // not QoS 1
        {
          std::lock_guard<std::mutex> lock(mutex_);
          if (qos1_.size() < 2) qos1_.push_back(packet);
        }
        if (connection == 0) break;
      }
      fd_ = -1;
    }
  }

  std::string answer_;
  net::io_context io_;
  tcp::acceptor acceptor_;
  std::atomic<bool> done_{false};
  std::atomic<int> fd_{-1};
  mutable std::mutex mutex_;
  std::vector<std::string> qos1_;
  std::thread thread_;
};

// The Windows bridge's own MQTT client against stand-in brokers: a malformed
// answer to the login, a refusal, a broker that says nothing, and one that
// drops the connection before acknowledging a QoS 1 message, which must come
// again on the next connection, marked a duplicate, ahead of anything new.
TEST_F(MqttProcess, WindowsBridgeSaysWhatABrokerDidWrongAndSendsAgainWhatItMissed) {
  if (WindowsBridge() == nullptr) GTEST_SKIP() << "libmosquitto speaks MQTT for the Linux bridge";
  StandInBroker malformed(std::string("\x20\x03\x00\x00\x00", 5));
  StandInBroker refusing(std::string("\x20\x02\x00\x04", 4));
  StandInBroker silent("");
  StandInBroker dropping(std::string("\x20\x02\x00\x00", 4));
  const auto failed = [](const StandInBroker& broker, const std::string& why) {
    return "cannot connect to the broker at " + broker.Where() + " (" + why + ")";
  };
  const std::vector<std::pair<StandInBroker*, std::string>> cases = {
      {&malformed,
       failed(malformed, "the broker sent a malformed packet: a CONNACK of 3 bytes, not 2")},
      {&refusing,
       failed(refusing,
              "the broker refused the login: Connection Refused: bad user name or password.")},
      {&silent,
       failed(silent, "timed out: " + silent.Where() +
                          " took the connection but did not answer the login within 10 s")},
      {&dropping, "reconnected to the broker at " + dropping.Where()},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    StartMqtt("bridge" + std::to_string(i), {"--web", "ws://127.0.0.1:1/ws", "--broker",
                                             cases[i].first->Url(), "--topic", "team/car42"});
  }
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const std::string name = "bridge" + std::to_string(i);
    EXPECT_TRUE(Logged(name, cases[i].second, 20000)) << Output(name);
  }
  ASSERT_TRUE(WaitFor([&] { return dropping.Qos1().size() == 2; })) << Output("bridge3");
  const std::vector<std::string> qos1 = dropping.Qos1();
  EXPECT_EQ(qos1[1][0], static_cast<char>(qos1[0][0] | 0x08)) << "DUP set on the second";
  EXPECT_EQ(qos1[1].substr(1), qos1[0].substr(1)) << "the same message, packet id and all";
}

// A broker that takes the connection and never answers the login: the
// console says it timed out, and where.
TEST_F(MqttProcess, SaysWhichBrokerTimedOut) {
  net::io_context io;
  tcp::acceptor silent(io, {net::ip::make_address("127.0.0.1"), 0});
  const std::string where = "127.0.0.1:" + std::to_string(silent.local_endpoint().port());
  Start("bridge", RELAY_MQTT_EXECUTABLE,
        {"--web", "ws://127.0.0.1:1/ws", "--broker", "mqtt://" + where, "--topic", "team/car42"});
  EXPECT_TRUE(Logged("bridge",
                     "cannot connect to the broker at " + where + " (timed out: " + where +
                         " took the connection but did not answer the login within 10 s)",
                     15000))
      << Output("bridge");
}

TEST_F(MqttProcess, BadCommandLinesAndFilesExitWithOneLine) {
  const std::string pw = (dir_ / "car42.pw").string();
  const std::string missing = (dir_ / "missing").string();
  const std::string notPem = (dir_ / "passwords").string();
  struct Case {
    std::vector<std::string> arguments;
    int status;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"--bogus"}, 2, "relay-mqtt: unknown argument --bogus (see --help)"},
      {{"--broker", "mqtt://x"}, 2, "relay-mqtt: --topic needs a prefix"},
      {{"--topic", "team/#"}, 2, "relay-mqtt: --topic team/#: a prefix is UTF-8 text"},
      {{"--topic", "t", "--rate", "61"}, 2, "relay-mqtt: --rate needs a whole number"},
      {{"--topic", "t", "--broker", "tcp://x"}, 2, "relay-mqtt: --broker needs mqtt://"},
      // libmosquitto has no WebSocket client: relay-mqtt.exe's alone.
      {{"--topic", "t", "--broker", "wss://x/mqtt"}, 2, "relay-mqtt: --broker needs mqtt://"},
      {{"--topic", "t", "--broker", "mqtt://x/path"}, 2, "relay-mqtt: --broker needs mqtt://"},
      {{"--topic", "t", "--broker", "mqtt://x:0"}, 2, "relay-mqtt: the broker's port must be"},
      {{"--topic", "t", "--cafile", pw}, 2, "relay-mqtt: --cafile is for a TLS broker"},
      {{"--topic", "t", "--password-file", pw}, 2, "relay-mqtt: --password-file needs --username"},
      {{"--topic", "t", "--web", "http://x/ws"}, 2, "relay-mqtt: --web needs ws://"},
      {{"--topic", "t", "--username", "u", "--password-file", missing},
       1,
       "relay-mqtt: cannot read the password file " + missing + ": No such file or directory"},
      {{"--topic", "t", "--broker", "mqtts://x", "--cafile", notPem},
       1,
       "relay-mqtt: cannot use the CA file " + notPem + ": it holds no PEM certificate"},
      {{"--topic", "t", "--broker", "mqtts://x", "--cafile", missing},
       1,
       "relay-mqtt: cannot use the CA file " + missing + ": No such file or directory"},
      {{"--write-page", pw + "/dir"}, 1, "relay-mqtt: cannot make the folder " + pw + "/dir: "},
  };
  for (const Case& c : cases) {
    Start("bad", RELAY_MQTT_EXECUTABLE, c.arguments);
    EXPECT_EQ(Finish("bad", 10000), c.status) << c.arguments.back();
    const std::string output = Output("bad");
    EXPECT_TRUE(output.starts_with(c.message)) << output;
    EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << output;
  }
}

}  // namespace
