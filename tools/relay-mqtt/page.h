// The dashboard for teammates who read the broker: relay-web's page and the
// browser's MQTT library, both built into relay-mqtt, written to a folder
// that the broker's websockets listener serves (Mosquitto's http_dir).
#pragma once

#include <string>
#include <string_view>

namespace mqtt_bridge {

// The embedded files (generated at build time from tools/relay-web/
// dashboard.html and the npm package mqtt's dist/mqtt.min.js).
std::string_view DashboardPage();
std::string_view MqttLibrary();

// Writes DIR/index.html and DIR/mqtt.min.js, making DIR if needed. False,
// with one line in `error`, when a file cannot be written whole.
bool WritePage(const std::string& dir, std::string* error);

}  // namespace mqtt_bridge
