// relay-mqtt's command line; the broker's part of it is mqtt-link's, which
// relay-log shares.
#pragma once

#include <string>

#include "mqtt-link/broker_options.h"

namespace mqtt_bridge {

// Where relay-web's feed is: ws://HOST[:PORT][/PATH][?QUERY].
struct FeedAddress {
  std::string host = "127.0.0.1";
  std::string port = "8667";
  std::string target = "/ws";  // the path and query sent in the handshake
  bool wantsVars = false;      // the query asks for vars=NAME,...
};

// The broker's options (brokerHost, tls, username, clientId, ...; an empty
// client id: the broker's library makes one up), and the bridge's own.
struct Options : mqtt_link::BrokerOptions {
  FeedAddress feed;
  std::string topic;    // the prefix, without a trailing '/'
  int rate = 10;        // rows a second on PREFIX/data and PREFIX/vars
  std::string pageDir;  // --write-page DIR: write the page and exit
};

extern const char kUsage[];
// The environment variable the password is read from without --password-file.
inline constexpr char kPasswordVariable[] = "RELAY_MQTT_PASSWORD";

// Parses the command line; false (with one line printed) when it is wrong.
bool ParseOptions(int argc, char** argv, Options* options, bool* help);

// Splits ws://HOST[:PORT][/PATH][?QUERY] into `address`, adding hz=`rate`
// to the query when it names no hz; false with the reason in `problem`.
bool ParseFeedUrl(const std::string& url, int rate, FeedAddress* address, std::string* problem);

}  // namespace mqtt_bridge
