// The broker's part of a command line, the same in every program that talks
// to one (relay-mqtt, relay-log): where the broker is (mqtt:// or mqtts://
// on Linux, ws:// or wss:// on Windows),
// the CA file for TLS, the login and the client id, and the password, read
// from a file or the environment (never from the command line, where `ps`
// would show it).
#pragma once

#include <string>
#include <string_view>

namespace mqtt_link {

struct BrokerOptions {
  std::string scheme = "mqtt";  // mqtt, mqtts, ws or wss
  std::string brokerHost = "127.0.0.1";
  int brokerPort = 1883;
  std::string brokerPath = "/";  // a WebSocket's
  bool tls = false;              // mqtts:// or wss://
  std::string caFile;            // empty: the system's CAs
  bool caFileGiven = false;      // --cafile was on the command line
  std::string username;          // empty: no login
  std::string passwordFile;
  std::string clientId;
};

// A whole number from `lowest` to `highest`.
bool ParseNumber(std::string_view text, int lowest, int highest, int* number);

// Splits "HOST", "HOST:PORT", "[V6]" or "[V6]:PORT"; the brackets go.
bool SplitAuthority(std::string_view text, std::string_view* host, std::string_view* port);

// True when `name` is one of the broker's options: --broker, --cafile,
// --username, --password-file, --client-id. Each takes a value.
bool IsBrokerOption(std::string_view name);

// Takes the value of the broker's option `name` into `options`; false with
// the reason in `problem` when the value is wrong.
bool TakeBrokerOption(std::string_view name, const std::string& value, BrokerOptions* options,
                      std::string* problem);

// The checks that need the whole command line; false with the reason in
// `problem`.
bool CheckBrokerOptions(const BrokerOptions& options, std::string* problem);

// The password for `options`: the first line of --password-file, or the
// environment variable `variable`, or none. False, with the reason in
// `problem`, when the file cannot be read.
bool ReadPassword(const BrokerOptions& options, const char* variable, std::string* password,
                  bool* havePassword, std::string* problem);

}  // namespace mqtt_link
