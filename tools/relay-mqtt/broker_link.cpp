// The broker link: libmosquitto's client, driven by a network thread of our
// own rather than mosquitto_loop_start(), whose thread gives up for good
// after a TLS or protocol error; this one keeps trying, with the back-off
// the bridge wants, and says once per outage what went wrong.
#include "relay-mqtt/broker_link.h"

#include <mosquitto.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <boost/asio/post.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace mqtt_bridge {

namespace {

void Log(const std::string& text) {
  std::printf("relay-mqtt: %s\n", text.c_str());
  std::fflush(stdout);
}

// What a failed connect or a lost link to `name` came from, in words;
// `refusal` is the broker's answer to the login, `accepted` whether it
// accepted it.
std::string Reason(int code, int savedErrno, int refusal, bool accepted, const std::string& name) {
  if (code == MOSQ_ERR_ERRNO) return std::strerror(savedErrno);
  if (code == MOSQ_ERR_CONN_REFUSED || refusal != 0) {
    return std::string("the broker refused the login: ") + mosquitto_connack_string(refusal);
  }
  // The library's keep-alive ran out; its own text for that (in the
  // versions Debian ships) is "Unknown error.".
  if (code == MOSQ_ERR_KEEPALIVE) {
    const std::string seconds = std::to_string(kKeepAliveSeconds);
    return accepted ? "timed out: " + name + " answered nothing for " + seconds + " s"
                    : "timed out: " + name +
                          " took the connection but did not answer the login "
                          "within " +
                          seconds + " s";
  }
  const std::string text = mosquitto_strerror(code);
  // A code newer than the library's texts: at least which one.
  if (text == "Unknown error.") return "error " + std::to_string(code) + " of libmosquitto";
  return text;
}

// libmosquitto only checks that the CA file can be opened and loads it at
// each connect; loading it here, as it will, turns a file that holds no
// certificate into an error at start rather than a failure on every retry.
// Empty when it loads, else what is wrong with it.
std::string CaFileProblem(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return std::strerror(errno);
  std::fclose(file);
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  if (context == nullptr) return "cannot make a TLS context";
  const bool loaded = SSL_CTX_load_verify_locations(context, path.c_str(), nullptr) == 1;
  SSL_CTX_free(context);
  return loaded ? "" : "it holds no PEM certificate";
}

}  // namespace

std::chrono::seconds NextRetry(std::chrono::seconds wait) {
  return std::min(wait * 2, kLongestRetry);
}

BrokerLink::BrokerLink(boost::asio::io_context& io, BrokerSettings settings,
                       std::function<void()> onConnected, std::function<void()> onLost)
    : io_(io),
      settings_(std::move(settings)),
      name_(settings_.host + ":" + std::to_string(settings_.port)),
      onConnected_(std::move(onConnected)),
      onLost_(std::move(onLost)) {}

BrokerLink::~BrokerLink() {
  if (thread_.joinable()) {
    stopping_ = true;
    wake_.notify_all();
    mosquitto_disconnect(client_);
    thread_.join();
  }
  if (client_ != nullptr) mosquitto_destroy(client_);
}

bool BrokerLink::Prepare(std::string* error) {
  client_ =
      mosquitto_new(settings_.clientId.empty() ? nullptr : settings_.clientId.c_str(), true, this);
  if (client_ == nullptr) {
    *error = std::string("cannot make an MQTT client: ") + std::strerror(errno);
    return false;
  }
  // Publishing happens on the bridge's thread, the network on ours.
  mosquitto_threaded_set(client_, true);
  mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  // Small messages one after another: Nagle's algorithm would hold each
  // back for the acknowledgement of the one before.
  mosquitto_int_option(client_, MOSQ_OPT_TCP_NODELAY, 1);
  mosquitto_connect_callback_set(client_, &BrokerLink::OnConnect);
  mosquitto_disconnect_callback_set(client_, &BrokerLink::OnDisconnect);
  mosquitto_publish_callback_set(client_, &BrokerLink::OnPublish);
  mosquitto_log_callback_set(client_, &BrokerLink::OnLog);
  int code = mosquitto_will_set(client_, settings_.willTopic.c_str(),
                                static_cast<int>(settings_.willPayload.size()),
                                settings_.willPayload.data(), 1, true);
  if (code == MOSQ_ERR_SUCCESS && !settings_.username.empty()) {
    code = mosquitto_username_pw_set(client_, settings_.username.c_str(),
                                     settings_.havePassword ? settings_.password.c_str() : nullptr);
  }
  if (code != MOSQ_ERR_SUCCESS) {
    *error = std::string("cannot set the client up: ") + mosquitto_strerror(code);
    return false;
  }
  if (settings_.tls) {
    if (settings_.caFile.empty()) {
      mosquitto_int_option(client_, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
      code = mosquitto_tls_set(client_, nullptr, "/etc/ssl/certs", nullptr, nullptr, nullptr);
    } else if (const std::string problem = CaFileProblem(settings_.caFile); !problem.empty()) {
      *error = "cannot use the CA file " + settings_.caFile + ": " + problem;
      return false;
    } else {
      code =
          mosquitto_tls_set(client_, settings_.caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
    }
    if (code != MOSQ_ERR_SUCCESS) {
      *error = std::string("cannot set TLS up: ") + mosquitto_strerror(code);
      return false;
    }
  }
  return true;
}

void BrokerLink::Start() {
  thread_ = std::thread([this] { Run(); });
}

void BrokerLink::OnConnect(mosquitto*, void* self, int code) {
  auto* link = static_cast<BrokerLink*>(self);
  link->refusal_ = code;
  if (code != 0) return;  // refused: the loop ends with an error, and Run says why
  link->accepted_ = true;
  boost::asio::post(link->io_, [link] {
    link->connected_ = true;
    link->unwritten_ = 0;  // what was queued before went with the old link
    link->onConnected_();
  });
}

void BrokerLink::OnDisconnect(mosquitto*, void* self, int) {
  auto* link = static_cast<BrokerLink*>(self);
  boost::asio::post(link->io_, [link] {
    if (!link->connected_) return;
    link->connected_ = false;
    link->onLost_();
  });
}

void BrokerLink::OnLog(mosquitto*, void* self, int level, const char* text) {
  // The library says what a TLS failure was (certificate verify failed,
  // wrong host name) only in its log.
  if (level != MOSQ_LOG_ERR) return;
  auto* link = static_cast<BrokerLink*>(self);
  std::lock_guard<std::mutex> lock(link->mutex_);
  link->lastError_ = text;
}

void BrokerLink::OnPublish(mosquitto*, void* self, int) {
  // A row written to the socket, or a retained message acknowledged.
  auto* link = static_cast<BrokerLink*>(self);
  int count = link->unwritten_.load();
  while (count > 0 && !link->unwritten_.compare_exchange_weak(count, count - 1)) {
  }
}

void BrokerLink::Run() {
  std::chrono::seconds wait = kFirstRetry;
  bool first = true;
  bool everConnected = false;
  bool outageReported = false;
  while (!stopping_) {
    accepted_ = false;
    refusal_ = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      lastError_.clear();
    }
    int code = first ? mosquitto_connect(client_, settings_.host.c_str(), settings_.port,
                                         kKeepAliveSeconds)
                     : mosquitto_reconnect(client_);
    first = false;
    int savedErrno = errno;
    bool announced = false;
    while (code == MOSQ_ERR_SUCCESS && !stopping_) {
      if (accepted_ && !announced) {
        Log(std::string(everConnected ? "reconnected" : "connected") + " to the broker at " +
            name_);
        announced = everConnected = true;
        outageReported = false;
        wait = kFirstRetry;
      }
      code = mosquitto_loop(client_, 1000, 1);
      savedErrno = errno;
    }
    if (stopping_) break;
    std::string reason = Reason(code, savedErrno, refusal_, accepted_, name_);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (code == MOSQ_ERR_TLS && !lastError_.empty()) reason += " " + lastError_;
    }
    if (announced) {
      Log("lost the broker at " + name_ + " (" + reason +
          "); reconnecting, backing off from 1 s to 30 s");
      outageReported = true;
      // The bridge must hear of the loss however the loop ended; when the
      // library has reported it already, this second report is ignored.
      OnDisconnect(client_, this, code);
    } else if (!outageReported) {
      Log("cannot connect to the broker at " + name_ + " (" + reason +
          "); retrying, backing off from 1 s to 30 s");
      outageReported = true;
    }
    if (!Pause(wait)) break;
    wait = NextRetry(wait);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  finished_ = true;
  wake_.notify_all();
}

bool BrokerLink::Pause(std::chrono::seconds wait) {
  std::unique_lock<std::mutex> lock(mutex_);
  return !wake_.wait_for(lock, wait, [this] { return stopping_.load(); });
}

bool BrokerLink::PublishRow(const std::string& topic, std::string_view payload, bool retained) {
  if (!connected_ || unwritten_.load() >= kMaxUnwritten) return false;
  ++unwritten_;
  if (mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                        payload.data(), 0, retained) != MOSQ_ERR_SUCCESS) {
    OnPublish(client_, this, 0);
    return false;
  }
  return true;
}

bool BrokerLink::PublishRetained(const std::string& topic, std::string_view payload) {
  if (!connected_) return false;
  ++unwritten_;
  if (mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                        payload.data(), 1, true) != MOSQ_ERR_SUCCESS) {
    OnPublish(client_, this, 0);
    return false;
  }
  return true;
}

void BrokerLink::Stop(const std::string& topic, std::string_view payload,
                      std::chrono::milliseconds timeout) {
  if (!thread_.joinable()) return;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  if (PublishRetained(topic, payload)) {
    // Everything handed over is written and the goodbye acknowledged.
    while (unwritten_.load() > 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  stopping_ = true;
  mosquitto_disconnect(client_);
  std::unique_lock<std::mutex> lock(mutex_);
  wake_.notify_all();
  // The thread may be inside a connect to a host that does not answer;
  // rather than wait for the kernel to give up, leave it to the exit.
  if (wake_.wait_until(lock, deadline + std::chrono::seconds(1), [this] { return finished_; })) {
    lock.unlock();
    thread_.join();
  } else {
    thread_.detach();
    client_ = nullptr;  // still in use by the thread; the process is ending
  }
}

}  // namespace mqtt_bridge
