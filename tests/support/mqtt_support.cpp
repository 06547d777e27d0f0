#include "support/mqtt_support.h"

#include <mosquitto.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

namespace testsupport {

unsigned short FreePort() {
  namespace net = boost::asio;
  net::io_context io;
  net::ip::tcp::acceptor acceptor(io, {net::ip::make_address("127.0.0.1"), 0});
  return acceptor.local_endpoint().port();
}

Viewer::Viewer(unsigned short port, const char* user, const char* password, std::string filter)
    : filter_(std::move(filter)), client_(mosquitto_new(nullptr, true, this)) {
  mosquitto_username_pw_set(client_, user, password);
  mosquitto_connect_callback_set(client_, [](mosquitto* client, void* self, int code) {
    auto* viewer = static_cast<Viewer*>(self);
    if (code != 0) return;
    if (!viewer->filter_.empty()) mosquitto_subscribe(client, nullptr, viewer->filter_.c_str(), 1);
    viewer->connected_ = true;
  });
  mosquitto_publish_callback_set(
      client_, [](mosquitto*, void* self, int) { ++static_cast<Viewer*>(self)->acknowledged_; });
  mosquitto_message_callback_set(client_, [](mosquitto*, void* self, const mosquitto_message* m) {
    auto* viewer = static_cast<Viewer*>(self);
    std::lock_guard<std::mutex> lock(viewer->mutex_);
    viewer->received_.push_back(
        {m->topic,
         std::string(static_cast<const char*>(m->payload), static_cast<std::size_t>(m->payloadlen)),
         m->retain, std::chrono::steady_clock::now(), m->qos});
  });
  mosquitto_connect_async(client_, "127.0.0.1", port, 10);
  mosquitto_loop_start(client_);
}

Viewer::~Viewer() {
  mosquitto_disconnect(client_);
  mosquitto_loop_stop(client_, false);
  mosquitto_destroy(client_);
}

std::vector<Received> Viewer::On(const std::string& topic) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Received> on;
  for (const Received& r : received_) {
    if (r.topic == topic ||
        (topic.ends_with('#') && r.topic.starts_with(topic.substr(0, topic.size() - 1))))
      on.push_back(r);
  }
  return on;
}

std::string Viewer::Last(const std::string& topic) const {
  const std::vector<Received> on = On(topic);
  return on.empty() ? "" : on.back().payload;
}

void Viewer::Publish(const std::string& topic, const std::string& payload, bool retained) {
  mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                    payload.data(), 1, retained);
}

}  // namespace testsupport
