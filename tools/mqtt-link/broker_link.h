// A program's connection to the MQTT broker, shared by relay-mqtt and
// relay-log. On Linux it is libmosquitto's client (mqtt:// and mqtts://,
// broker_link_mosquitto.cpp); on Windows relay-mqtt's own MQTT 3.1.1 client
// over the broker's WebSocket listener through WinHTTP (ws:// and wss://,
// broker_link_winhttp.cpp). A network thread of its own connects (DNS, TCP,
// TLS and the login may each take a while on a bad line, and must not hold
// up the program), runs the connection, and after a failure or a lost link
// tries again, backing off from 1 s to 30 s. Its events (connected,
// lost, a message) are handed to the program's `post`: relay-mqtt posts them
// to its io_context and publishes from there; relay-log runs them at once
// on the network thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace mqtt_link {

struct BrokerSettings {
  std::string program;  // the console's lines start with "PROGRAM: "
  std::string host;
  int port = 1883;
  bool tls = false;
  std::string caFile;      // with tls; empty: the system's CAs
  std::string path = "/";  // the WebSocket's, on Windows
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

// The broker URL schemes this platform's link speaks: "mqtt"/"mqtts" on
// Linux, "ws"/"wss" on Windows.
bool SpeaksScheme(std::string_view scheme);
// Those schemes' URLs in words, for the command line's messages.
extern const char kBrokerUrlForms[];

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
  // The platform's own: libmosquitto's client, or the WebSocket with its
  // reader and the MQTT session.
  struct Transport;
  // Defined beside it, so that this header need not know it.
  struct TransportDeleter {
    void operator()(Transport* transport) const;
  };
  // The platform's entry points from its library, which reach the members.
  struct Events;

  // The platform's part of publishing: counts the message as unwritten and
  // hands it to the transport; false, uncounted, when it cannot.
  bool Publish(const std::string& topic, std::string_view payload, int qos, bool retained);
  // The platform's part of stopping: wakes the network thread, wherever it
  // waits, once `stopping_` is set.
  void WakeToStop();
  // Lets go of the transport that a network thread still stuck in a system
  // call holds, as the process ends.
  void AbandonTransport();
  // A row written to the socket, or a QoS 1 message acknowledged.
  void WrittenOne();
  void Run();
  // Sleeps `wait`, or less when Stop() is called; false when stopping.
  bool Pause(std::chrono::seconds wait);
  void Log(const std::string& text) const;
  // Says "connected" (the first time) or "reconnected".
  void ReportConnected();
  // After a failed attempt or a lost link: says why, once per outage, and
  // resets `wait` after a link that had got in (`announced`).
  void ReportFailure(bool announced, const std::string& reason, bool* outageReported,
                     std::chrono::seconds* wait) const;
  // Why the broker counts as gone after kKeepAliveSeconds of silence.
  std::string TimeoutReason(bool accepted) const;

  Post post_;
  BrokerSettings settings_;
  std::string name_;  // host:port, for the console
  std::function<void()> onConnected_;
  std::function<void()> onLost_;
  MessageHandler onMessage_;
  std::unique_ptr<Transport, TransportDeleter> transport_;
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
