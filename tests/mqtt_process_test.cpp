// relay-mqtt as a real process between the real relay-web (fed by the relay
// and sim-publisher) and a real Mosquitto that the test starts on free
// loopback ports, with the team's ACL from docs/, a password file, a TLS
// listener whose CA and certificate openssl makes here, and a websockets
// listener serving the page that relay-mqtt writes. A WebSocket client of
// relay-web beside the bridge sees the texts the broker's viewers must get.
#include <gtest/gtest.h>
#include <mosquitto.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/mqtt_support.h"
#include "support/process_fixture.h"
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
                                  " && mosquitto_passwd -b passwords viewer look"));
    std::ofstream(d + "/car42.pw") << "pit\n";
    std::ofstream(d + "/wrong.pw") << "guess\n";
    Start("page", RELAY_MQTT_EXECUTABLE, {"--write-page", d + "/www"});
    ASSERT_EQ(Finish("page"), 0) << Output("page");
    tcpPort_ = FreePort();
    tlsPort_ = FreePort();
    wsPort_ = FreePort();
    std::ofstream(d + "/broker.conf")
        << (geteuid() == 0 ? "user root\n" : "") << "per_listener_settings false\n"
        << "allow_anonymous false\npassword_file " << d << "/passwords\n"
        << "acl_file " SOURCE_DIR "/docs/mosquitto/acl\npersistence false\n"
        << "listener " << tcpPort_ << " 127.0.0.1\n"
        << "listener " << tlsPort_ << " 127.0.0.1\ncafile " << d << "/ca.pem\ncertfile " << d
        << "/server.pem\nkeyfile " << d << "/server.key\n"
        << "listener " << wsPort_ << " 127.0.0.1\nprotocol websockets\nhttp_dir " << d << "/www\n";
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
    Start(name, RELAY_MQTT_EXECUTABLE, arguments);
  }
  bool Logged(const std::string& name, const std::string& part, int milliseconds = 10000) {
    return WaitFor([&] { return Output(name).find(part) != std::string::npos; }, milliseconds);
  }
  std::vector<std::string> Login(const char* password, const char* topic = "team/car42") {
    return {"--broker",        "mqtt://127.0.0.1:" + std::to_string(tcpPort_),
            "--topic",         topic,
            "--username",      "car42",
            "--password-file", (dir_ / password).string()};
  }

  std::filesystem::path dir_;
  unsigned short tcpPort_ = 0, tlsPort_ = 0, wsPort_ = 0, webPort_ = 0;
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
  StartBridge("intruder", {"--broker", "mqtt://127.0.0.1:" + std::to_string(tcpPort_), "--topic",
                           "team/car42", "--username", "car42"});
  StartBridge("outsider", Login("car42.pw", "team/car7"));
  viewer.Publish("team/car42/status", "forged");
  EXPECT_TRUE(Logged("intruder", "cannot connect to the broker at 127.0.0.1:" +
                                     std::to_string(tcpPort_) + " (the broker refused the login"))
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

  // Over TLS, trusting the test's CA; SIGTERM ends it cleanly with offline.
  const std::size_t before = late.On("team/car42/data").size();
  StartBridge("tls", {"--broker", "mqtts://127.0.0.1:" + std::to_string(tlsPort_), "--cafile",
                      (dir_ / "ca.pem").string(), "--topic", "team/car42", "--username", "car42",
                      "--password-file", (dir_ / "car42.pw").string()});
  ASSERT_TRUE(WaitFor([&] { return late.On("team/car42/data").size() >= before + 10; }))
      << Output("tls");
  EXPECT_EQ(late.Last("team/car42/bridge"), "online");
  ASSERT_TRUE(AskToStop("tls"));
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
  std::thread feed([&] {
    beast::error_code ec;
    tcp::socket socket(io);
    acceptor.accept(socket, ec);
    beast::websocket::stream<tcp::socket> ws(std::move(socket));
    if (!ec) ws.accept(ec);
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
  Start("bridge", RELAY_MQTT_EXECUTABLE, arguments);
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
