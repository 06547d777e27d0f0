// What the tests with a real Mosquitto share: a free loopback port for the
// broker they start, and an MQTT client (libmosquitto, on its own thread)
// that logs in, subscribes, keeps all that arrives and publishes.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

struct mosquitto;

namespace testsupport {

// A TCP port on 127.0.0.1 that nothing listens on just now.
unsigned short FreePort();

struct Received {
  std::string topic;
  std::string payload;
  bool retained;
  std::chrono::steady_clock::time_point at;
  int qos = 0;  // as delivered: the subscription's QoS 1 at most
};

// A teammate's MQTT client (or a stand-in for a driver's bridge): logs in,
// subscribes to `filter` (unless empty) and keeps all that arrives.
class Viewer {
 public:
  Viewer(unsigned short port, const char* user, const char* password, std::string filter);
  ~Viewer();
  Viewer(const Viewer&) = delete;
  Viewer& operator=(const Viewer&) = delete;

  // The broker has accepted the login.
  bool Connected() const { return connected_; }
  // What arrived on `topic`, or under it for a filter ending in #.
  std::vector<Received> On(const std::string& topic) const;
  std::string Last(const std::string& topic) const;
  // A QoS 1 message, retained unless told otherwise.
  void Publish(const std::string& topic, const std::string& payload, bool retained = true);
  // The QoS 1 messages the broker has acknowledged.
  int Acknowledged() const { return acknowledged_; }

 private:
  std::string filter_;
  mosquitto* client_;
  std::atomic<bool> connected_{false};
  std::atomic<int> acknowledged_{0};
  mutable std::mutex mutex_;
  std::vector<Received> received_;
};

}  // namespace testsupport
