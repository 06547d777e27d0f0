// A program's connection to the MQTT broker, on libmosquitto, shared by
// relay-mqtt and relay-log. A network thread of its own connects (DNS, TCP,
// TLS and the login may each take a while on a bad line, and must not hold
// up the program), runs the client's loop, and after a failure or a lost
// link tries again, backing off from 1 s to 30 s. Its events (connected,
// lost, a message) are handed to the program's `post`: relay-mqtt posts them
// to its io_context and publishes from there; relay-log runs them at once
// on the network thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

struct mosquitto;
struct mosquitto_message;

namespace mqtt_link {

struct BrokerSettings {
  std::string program;  // the console's lines start with "PROGRAM: "
  std::string host;
  int port = 1883;
  bool tls = false;
  std::string caFile;  // with tls; empty: the system's CAs
  std::string username;
  std::string password;
  bool havePassword = false;
  std::string clientId;  // empty: one the library makes up
  // False: the broker keeps the client's session (its subscriptions, and
  // the QoS 1 messages for them) while it is away, under its client id,
  // which must then be given.
  bool cleanSession = true;
  // The topic filters subscribed to with QoS 1 after every connect.
  std::vector<std::string> subscriptions;
  // Unless empty, set as the broker's last will (retained, QoS 1): what the
  // broker publishes when the link dies without a clean goodbye.
  std::string willTopic;
  std::string willPayload;
};

// Hands an event to the program's thread (or runs it at once).
using Post = std::function<void(std::function<void()>)>;
// A message that came on a subscription.
using MessageHandler = std::function<void(const std::string& topic, std::string_view payload)>;

// The broker's silence after which the link counts as lost (and the
// broker's own wait before it publishes the will is 1.5 times this).
inline constexpr int kKeepAliveSeconds = 10;
inline constexpr std::chrono::seconds kFirstRetry{1};
inline constexpr std::chrono::seconds kLongestRetry{30};
// Rows handed to the library that it has not yet written to the socket (or
// retained messages not yet acknowledged): with this many, a new row is
// dropped rather than queued behind them, so a slow uplink never builds up
// a backlog in memory.
inline constexpr int kMaxUnwritten = 4;

// The next wait after `wait` failed: doubled, at most kLongestRetry.
std::chrono::seconds NextRetry(std::chrono::seconds wait);

class BrokerLink {
 public:
  // `onConnected`, `onLost` and `onMessage` run where `post` runs them.
  // The library acknowledges a QoS 1 message to the broker only after
  // `post` has returned: a program that stores what it receives runs the
  // handler in `post` itself, so that a message it had no time to store
  // comes again.
  BrokerLink(Post post, BrokerSettings settings, std::function<void()> onConnected,
             std::function<void()> onLost, MessageHandler onMessage = {});
  ~BrokerLink();
  BrokerLink(const BrokerLink&) = delete;
  BrokerLink& operator=(const BrokerLink&) = delete;

  // Sets the client up. False, with one line in `error`, when the settings
  // cannot work (a CA file that holds no certificate, a client the library
  // refuses).
  bool Prepare(std::string* error);
  // Starts the network thread, which connects and keeps connecting.
  void Start();

  // On the thread the events run on: the broker has accepted the login and
  // the link has not been lost since.
  bool Connected() const { return connected_; }
  // A QoS 0 message, retained or not; false (dropped) when the broker is
  // away or earlier rows still wait to be written.
  bool PublishRow(const std::string& topic, std::string_view payload, bool retained);
  // A retained QoS 1 message; false when the broker is away.
  bool PublishRetained(const std::string& topic, std::string_view payload);
  // A QoS 1 message that is not retained (an event, such as a lap); false
  // when the broker is away. Once handed over, the library sends it again
  // after a reconnect until the broker acknowledges it.
  bool PublishEvent(const std::string& topic, std::string_view payload);

  // Publishes `payload` on `topic` (retained, QoS 1) if connected and waits
  // up to `timeout` for the broker to acknowledge it and what was published
  // before, then says goodbye to the broker (so that, as a rule, the will
  // is not published) and ends the network thread. With an empty `topic`
  // it publishes nothing, and may be called from any thread.
  void Stop(const std::string& topic, std::string_view payload, std::chrono::milliseconds timeout);

 private:
  static void OnConnect(mosquitto* client, void* self, int code);
  static void OnDisconnect(mosquitto* client, void* self, int code);
  static void OnPublish(mosquitto* client, void* self, int mid);
  static void OnMessage(mosquitto* client, void* self, const mosquitto_message* message);
  static void OnSubscribe(mosquitto* client, void* self, int mid, int count, const int* granted);
  static void OnLog(mosquitto* client, void* self, int level, const char* text);
  bool PublishQos1(const std::string& topic, std::string_view payload, bool retained);
  void Run();
  // Sleeps `wait`, or less when Stop() is called; false when stopping.
  bool Pause(std::chrono::seconds wait);

  void Log(const std::string& text) const;

  Post post_;
  BrokerSettings settings_;
  std::string name_;  // host:port, for the console
  std::function<void()> onConnected_;
  std::function<void()> onLost_;
  MessageHandler onMessage_;
  mosquitto* client_ = nullptr;
  std::thread thread_;
  bool connected_ = false;      // the view of the thread the events run on
  bool everConnected_ = false;  // the network thread's: said "connected" once

  // Shared with the network thread.
  std::atomic<bool> stopping_{false};
  std::atomic<bool> accepted_{false};  // the last attempt got in
  std::atomic<int> refusal_{0};        // the CONNACK's code, 0 when accepted
  std::atomic<int> unwritten_{0};
  std::mutex mutex_;
  std::condition_variable wake_;
  bool finished_ = false;  // under mutex_: the network thread has ended
  std::string lastError_;  // under mutex_: the library's last error message
};

}  // namespace mqtt_link
