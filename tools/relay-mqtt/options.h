// relay-mqtt's command line, and the password it reads from a file or the
// environment (never from the command line, where `ps` would show it).
#pragma once

#include <string>

namespace mqtt_bridge {

// Where relay-web's feed is: ws://HOST[:PORT][/PATH][?QUERY].
struct FeedAddress {
  std::string host = "127.0.0.1";
  std::string port = "8667";
  std::string target = "/ws";  // the path and query sent in the handshake
  bool wantsVars = false;      // the query asks for vars=NAME,...
};

struct Options {
  FeedAddress feed;
  std::string brokerHost = "127.0.0.1";
  int brokerPort = 1883;
  bool tls = false;      // mqtts://
  std::string caFile;    // empty: the system's CAs
  std::string topic;     // the prefix, without a trailing '/'
  int rate = 10;         // rows a second on PREFIX/data and PREFIX/vars
  std::string username;  // empty: no login
  std::string passwordFile;
  std::string clientId;  // empty: the broker's library makes one up
  std::string pageDir;   // --write-page DIR: write the page and exit
};

extern const char kUsage[];
// The environment variable the password is read from without --password-file.
inline constexpr char kPasswordVariable[] = "RELAY_MQTT_PASSWORD";

// Parses the command line; false (with one line printed) when it is wrong.
bool ParseOptions(int argc, char** argv, Options* options, bool* help);

// Splits ws://HOST[:PORT][/PATH][?QUERY] into `address`, adding hz=`rate`
// to the query when it names no hz; false with the reason in `problem`.
bool ParseFeedUrl(const std::string& url, int rate, FeedAddress* address, std::string* problem);

// The password for `options`: the first line of --password-file, or the
// environment variable, or none. False (with one line printed) when the file
// cannot be read.
bool ReadPassword(const Options& options, std::string* password, bool* havePassword);

}  // namespace mqtt_bridge
