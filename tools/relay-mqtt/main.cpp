// relay-mqtt: relay-web's feed published to an MQTT broker, so that a
// teammate, spotter or coach on another network sees the telemetry through
// the broker (Mosquitto, EMQX, HiveMQ, a cloud provider's). It is the
// broker's client only, and runs beside relay-web: on Linux through
// libmosquitto, on Windows over the broker's WebSocket listener.
#include <boost/asio/io_context.hpp>
#include <cstdio>
#include <exception>
#include <string>

#include "relay-mqtt/bridge.h"
#include "relay-mqtt/options.h"
#include "relay-mqtt/page.h"

namespace {

int Run(const mqtt_bridge::Options& options) {
  mqtt_link::BrokerSettings broker;
  std::string problem;
  if (!mqtt_link::ReadPassword(options, mqtt_bridge::kPasswordVariable, &broker.password,
                               &broker.havePassword, &problem)) {
    std::fprintf(stderr, "relay-mqtt: %s\n", problem.c_str());
    return 1;
  }
  broker.program = "relay-mqtt";
  broker.host = options.brokerHost;
  broker.port = options.brokerPort;
  broker.path = options.brokerPath;
  broker.tls = options.tls;
  broker.caFile = options.caFile;
  broker.username = options.username;
  broker.clientId = options.clientId;
  broker.willTopic = options.topic + "/bridge";
  broker.willPayload = "offline";
  boost::asio::io_context io(1);
  mqtt_bridge::Bridge bridge(io, options, std::move(broker));
  std::string error;
  if (!bridge.Start(&error)) {
    std::fprintf(stderr, "relay-mqtt: %s\n", error.c_str());
    return 1;
  }
  io.run();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  mqtt_bridge::Options options;
  bool help = false;
  if (!mqtt_bridge::ParseOptions(argc, argv, &options, &help)) return 2;
  if (help) {
    std::fputs(mqtt_bridge::kUsage, stdout);
    return 0;
  }
  try {
    if (!options.pageDir.empty()) {
      std::string error;
      if (!mqtt_bridge::WritePage(options.pageDir, &error)) {
        std::fprintf(stderr, "relay-mqtt: %s\n", error.c_str());
        return 1;
      }
      std::printf("relay-mqtt: wrote %s/index.html and %s/mqtt.min.js\n", options.pageDir.c_str(),
                  options.pageDir.c_str());
      return 0;
    }
    return Run(options);
  } catch (const std::exception& e) {
    // The libraries' own failures, such as running out of memory.
    std::fprintf(stderr, "relay-mqtt: %s\n", e.what());
    return 1;
  }
}
