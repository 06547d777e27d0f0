// What the broker link does the same on every platform: the retries'
// back-off, the console's lines, and the wait between attempts.
#include "mqtt-link/broker_link.h"

#include <algorithm>
#include <cstdio>

namespace mqtt_link {

std::chrono::seconds NextRetry(std::chrono::seconds wait) {
  return std::min(wait * 2, kLongestRetry);
}

BrokerLink::BrokerLink(Post post, BrokerSettings settings, std::function<void()> onConnected,
                       std::function<void()> onLost, MessageHandler onMessage)
    : post_(std::move(post)),
      settings_(std::move(settings)),
      name_(settings_.host + ":" + std::to_string(settings_.port)),
      onConnected_(std::move(onConnected)),
      onLost_(std::move(onLost)),
      onMessage_(std::move(onMessage)) {}

void BrokerLink::Start() {
  thread_ = std::thread([this] { Run(); });
}

void BrokerLink::Log(const std::string& text) const {
  std::printf("%s: %s\n", settings_.program.c_str(), text.c_str());
  std::fflush(stdout);
}

void BrokerLink::ReportConnected() {
  Log(std::string(everConnected_ ? "reconnected" : "connected") + " to the broker at " + name_);
  everConnected_ = true;
}

void BrokerLink::ReportFailure(bool announced, const std::string& reason, bool* outageReported,
                               std::chrono::seconds* wait) const {
  if (announced) {
    Log("lost the broker at " + name_ + " (" + reason +
        "); reconnecting, backing off from 1 s to 30 s");
    *outageReported = true;
    *wait = kFirstRetry;
  } else if (!*outageReported) {
    Log("cannot connect to the broker at " + name_ + " (" + reason +
        "); retrying, backing off from 1 s to 30 s");
    *outageReported = true;
  }
}

std::string BrokerLink::TimeoutReason(bool accepted) const {
  const std::string seconds = std::to_string(kKeepAliveSeconds);
  return accepted
             ? "timed out: " + name_ + " answered nothing for " + seconds + " s"
             : "timed out: " + name_ + " took the connection but did not answer the login within " +
                   seconds + " s";
}

bool BrokerLink::PublishRow(const std::string& topic, std::string_view payload, bool retained) {
  if (!connected_ || unwritten_.load() >= kMaxUnwritten) return false;
  return Publish(topic, payload, 0, retained);
}

bool BrokerLink::PublishRetained(const std::string& topic, std::string_view payload) {
  return connected_ && Publish(topic, payload, 1, true);
}

bool BrokerLink::PublishEvent(const std::string& topic, std::string_view payload) {
  return connected_ && Publish(topic, payload, 1, false);
}

void BrokerLink::WrittenOne() {
  int count = unwritten_.load();
  while (count > 0 && !unwritten_.compare_exchange_weak(count, count - 1)) {
  }
}

void BrokerLink::Stop(const std::string& topic, std::string_view payload,
                      std::chrono::milliseconds timeout) {
  if (!thread_.joinable()) return;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  if (topic.empty() || PublishRetained(topic, payload)) {
    // Everything handed over is written and the goodbye acknowledged.
    while (unwritten_.load() > 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  stopping_ = true;
  WakeToStop();
  std::unique_lock<std::mutex> lock(mutex_);
  wake_.notify_all();
  // The thread may be inside a connect to a host that does not answer, or
  // a send to one that stopped reading; rather than wait for the system to
  // give up, leave it to the exit.
  if (wake_.wait_until(lock, deadline + std::chrono::seconds(1), [this] { return finished_; })) {
    lock.unlock();
    thread_.join();
  } else {
    thread_.detach();
    AbandonTransport();
  }
}

bool BrokerLink::Pause(std::chrono::seconds wait) {
  std::unique_lock<std::mutex> lock(mutex_);
  return !wake_.wait_for(lock, wait, [this] { return stopping_.load(); });
}

}  // namespace mqtt_link
