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

bool BrokerLink::Pause(std::chrono::seconds wait) {
  std::unique_lock<std::mutex> lock(mutex_);
  return !wake_.wait_for(lock, wait, [this] { return stopping_.load(); });
}

}  // namespace mqtt_link
