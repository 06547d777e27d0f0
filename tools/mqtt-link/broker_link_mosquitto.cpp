// The broker link on Linux: libmosquitto's client (mqtt:// and mqtts://), driven by a network
// thread of our own rather than mosquitto_loop_start(), whose thread gives up for good after a TLS
// or protocol error; this one keeps trying, with the back-off the bridge wants, and says once per
// outage what went wrong.
#include <mosquitto.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "mqtt-link/broker_link.h"

namespace mqtt_link {

namespace {

// How long a stopping link may take to write what waits and its goodbye.
constexpr std::chrono::milliseconds kGoodbyeFlush{500};

// The subscription's return code in a SUBACK that refuses it (MQTT 3.1.1).
constexpr int kSubscriptionRefused = 0x80;

// What a failed connect or a lost link came from, in words; `refusal` is
// the broker's answer to the login, `timedOut` what to say of a keep-alive
// that ran out.
std::string Reason(int code, int savedErrno, int refusal, const std::string& timedOut) {
  if (code == MOSQ_ERR_ERRNO) return std::strerror(savedErrno);
  if (code == MOSQ_ERR_CONN_REFUSED || refusal != 0) {
    return std::string("the broker refused the login: ") + mosquitto_connack_string(refusal);
  }
  // The library's keep-alive ran out; its own text for that (in the
  // versions Debian ships) is "Unknown error.".
  if (code == MOSQ_ERR_KEEPALIVE) return timedOut;
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

struct BrokerLink::Transport {
  mosquitto* client = nullptr;
};

// libmosquitto's callbacks, with the link as their user data.
struct BrokerLink::Events {
  static void OnConnect(mosquitto* client, void* self, int code);
  static void OnDisconnect(mosquitto* client, void* self, int code);
  static void OnPublish(mosquitto* client, void* self, int mid);
  static void OnMessage(mosquitto* client, void* self, const mosquitto_message* message);
  static void OnSubscribe(mosquitto* client, void* self, int mid, int count, const int* granted);
  static void OnLog(mosquitto* client, void* self, int level, const char* text);
};

bool SpeaksScheme(std::string_view scheme) { return scheme == "mqtt" || scheme == "mqtts"; }
const char kBrokerUrlForms[] = "mqtt://HOST[:PORT] or mqtts://HOST[:PORT]";

void BrokerLink::TransportDeleter::operator()(Transport* transport) const { delete transport; }

BrokerLink::~BrokerLink() {
  if (thread_.joinable()) {
    stopping_ = true;
    wake_.notify_all();
    mosquitto_disconnect(transport_->client);
    thread_.join();
  }
  if (transport_ != nullptr && transport_->client != nullptr) mosquitto_destroy(transport_->client);
}

bool BrokerLink::Prepare(std::string* error) {
  mosquitto_lib_init();  // once per process is enough; again is harmless
  transport_.reset(new Transport);
  transport_->client =
      mosquitto_new(settings_.clientId.empty() ? nullptr : settings_.clientId.c_str(),
                    settings_.cleanSession, this);
  if (transport_->client == nullptr) {
    *error = std::string("cannot make an MQTT client: ") + std::strerror(errno);
    return false;
  }
  // Publishing may happen on the program's thread, the network on ours.
  mosquitto_threaded_set(transport_->client, true);
  mosquitto_int_option(transport_->client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  // Small messages one after another: Nagle's algorithm would hold each
  // back for the acknowledgement of the one before.
  mosquitto_int_option(transport_->client, MOSQ_OPT_TCP_NODELAY, 1);
  mosquitto_connect_callback_set(transport_->client, &Events::OnConnect);
  mosquitto_disconnect_callback_set(transport_->client, &Events::OnDisconnect);
  mosquitto_publish_callback_set(transport_->client, &Events::OnPublish);
  mosquitto_log_callback_set(transport_->client, &Events::OnLog);
  mosquitto_message_callback_set(transport_->client, &Events::OnMessage);
  mosquitto_subscribe_callback_set(transport_->client, &Events::OnSubscribe);
  int code = MOSQ_ERR_SUCCESS;
  if (!settings_.willTopic.empty()) {
    code = mosquitto_will_set(transport_->client, settings_.willTopic.c_str(),
                              static_cast<int>(settings_.willPayload.size()),
                              settings_.willPayload.data(), 1, true);
  }
  if (code == MOSQ_ERR_SUCCESS && !settings_.username.empty()) {
    code = mosquitto_username_pw_set(transport_->client, settings_.username.c_str(),
                                     settings_.havePassword ? settings_.password.c_str() : nullptr);
  }
  if (code != MOSQ_ERR_SUCCESS) {
    *error = std::string("cannot set the client up: ") + mosquitto_strerror(code);
    return false;
  }
  if (settings_.tls) {
    if (settings_.caFile.empty()) {
      mosquitto_int_option(transport_->client, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
      code = mosquitto_tls_set(transport_->client, nullptr, "/etc/ssl/certs", nullptr, nullptr,
                               nullptr);
    } else if (const std::string problem = CaFileProblem(settings_.caFile); !problem.empty()) {
      *error = "cannot use the CA file " + settings_.caFile + ": " + problem;
      return false;
    } else {
      code = mosquitto_tls_set(transport_->client, settings_.caFile.c_str(), nullptr, nullptr,
                               nullptr, nullptr);
    }
    if (code != MOSQ_ERR_SUCCESS) {
      *error = std::string("cannot set TLS up: ") + mosquitto_strerror(code);
      return false;
    }
  }
  return true;
}

void BrokerLink::Events::OnConnect(mosquitto* client, void* self, int code) {
  auto* link = static_cast<BrokerLink*>(self);
  link->refusal_ = code;
  if (code != 0) return;  // refused: the loop ends with an error, and Run says why
  link->accepted_ = true;
  link->ReportConnected();
  // Again after every connect: a broker that lost the session (restarted
  // without persistence, or a clean session) has lost the subscriptions too.
  const std::vector<std::string>& filters = link->settings_.subscriptions;
  if (!filters.empty()) {
    std::vector<char*> names;
    for (const std::string& filter : filters) names.push_back(const_cast<char*>(filter.c_str()));
    mosquitto_subscribe_multiple(client, nullptr, static_cast<int>(names.size()), names.data(), 1,
                                 0, nullptr);
  }
  link->post_([link] {
    link->connected_ = true;
    link->unwritten_ = 0;  // what was queued before went with the old link
    link->onConnected_();
  });
}

void BrokerLink::Events::OnDisconnect(mosquitto*, void* self, int) {
  auto* link = static_cast<BrokerLink*>(self);
  // Nothing more is acknowledged on this link, so Stop need not wait for it.
  link->unwritten_ = 0;
  link->post_([link] {
    if (!link->connected_) return;
    link->connected_ = false;
    link->onLost_();
  });
}

void BrokerLink::Events::OnLog(mosquitto*, void* self, int level, const char* text) {
  // The library says what a TLS failure was (certificate verify failed,
  // wrong host name) only in its log.
  if (level != MOSQ_LOG_ERR) return;
  auto* link = static_cast<BrokerLink*>(self);
  std::lock_guard<std::mutex> lock(link->mutex_);
  link->lastError_ = text;
}

void BrokerLink::Events::OnPublish(mosquitto*, void* self, int) {
  // A row written to the socket, or a retained message acknowledged.
  static_cast<BrokerLink*>(self)->WrittenOne();
}

void BrokerLink::Events::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
  auto* link = static_cast<BrokerLink*>(self);
  if (!link->onMessage_) return;
  std::string payload(static_cast<const char*>(message->payload),
                      static_cast<std::size_t>(std::max(message->payloadlen, 0)));
  link->post_([link, topic = std::string(message->topic), payload = std::move(payload)] {
    link->onMessage_(topic, payload);
  });
}

void BrokerLink::Events::OnSubscribe(mosquitto*, void* self, int, int count, const int* granted) {
  // A broker whose ACL does not let this login read the filter says so
  // only here; it keeps the connection and sends nothing.
  auto* link = static_cast<BrokerLink*>(self);
  const std::vector<std::string>& filters = link->settings_.subscriptions;
  for (int i = 0; i < count && i < static_cast<int>(filters.size()); ++i) {
    const std::string& filter = filters[static_cast<std::size_t>(i)];
    if (granted[i] == kSubscriptionRefused) {
      link->Log("the broker at " + link->name_ + " refused the subscription to " + filter +
                " (does its ACL let this login read it?)");
    } else if (granted[i] == 0) {
      // Its max_qos: it keeps nothing for the client while it is away.
      link->Log("the broker at " + link->name_ + " grants the subscription to " + filter +
                " QoS 0 only: what is published while this client is away is lost");
    }
  }
}

void BrokerLink::Run() {
  std::chrono::seconds wait = kFirstRetry;
  bool first = true;
  bool outageReported = false;
  while (!stopping_) {
    accepted_ = false;
    refusal_ = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      lastError_.clear();
    }
    int code = first ? mosquitto_connect(transport_->client, settings_.host.c_str(), settings_.port,
                                         kKeepAliveSeconds)
                     : mosquitto_reconnect(transport_->client);
    first = false;
    int savedErrno = errno;
    while (code == MOSQ_ERR_SUCCESS && !stopping_) {
      code = mosquitto_loop(transport_->client, 1000, 1);
      savedErrno = errno;
    }
    if (stopping_) {
      // Stop queues the goodbye (DISCONNECT) behind whatever still waits to
      // be written, such as the acknowledgements of messages received, and
      // the library writes only in its loop: it runs until the goodbye has
      // gone and the library has closed the socket. (A pass may return at
      // once: the library wakes its loop with a byte per packet queued.) A
      // broker still sending may miss the goodbye all the same, when its
      // data arriving after the close makes the kernel reset the
      // connection; it then publishes the will and sends the messages not
      // acknowledged again, which neither program minds.
      const auto until = std::chrono::steady_clock::now() + kGoodbyeFlush;
      while (code == MOSQ_ERR_SUCCESS && std::chrono::steady_clock::now() < until) {
        code = mosquitto_loop(transport_->client, 100, 1);
      }
      break;
    }
    const bool announced = accepted_;  // OnConnect said "connected"
    std::string reason = Reason(code, savedErrno, refusal_, TimeoutReason(accepted_));
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (code == MOSQ_ERR_TLS && !lastError_.empty()) reason += " " + lastError_;
    }
    ReportFailure(announced, reason, &outageReported, &wait);
    // The bridge must hear of the loss however the loop ended; when the
    // library has reported it already, this second report is ignored.
    if (announced) Events::OnDisconnect(transport_->client, this, code);
    if (!Pause(wait)) break;
    wait = NextRetry(wait);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  finished_ = true;
  wake_.notify_all();
}

bool BrokerLink::Publish(const std::string& topic, std::string_view payload, int qos,
                         bool retained) {
  ++unwritten_;
  if (mosquitto_publish(transport_->client, nullptr, topic.c_str(),
                        static_cast<int>(payload.size()), payload.data(), qos,
                        retained) != MOSQ_ERR_SUCCESS) {
    WrittenOne();
    return false;
  }
  return true;
}

void BrokerLink::WakeToStop() { mosquitto_disconnect(transport_->client); }

void BrokerLink::AbandonTransport() {
  transport_->client = nullptr;  // still in use by the thread; the process is ending
}

}  // namespace mqtt_link
