// Reading the broker's options.
#include "mqtt-link/broker_options.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "mqtt-link/broker_link.h"

namespace mqtt_link {

namespace {

bool ParseBrokerUrl(std::string_view url, BrokerOptions* options, std::string* problem) {
  *problem = std::string("--broker needs ") + kBrokerUrlForms;
  struct Scheme {
    std::string_view prefix;
    bool tls;
    int port;
  };
  static constexpr Scheme kSchemes[] = {{"mqtt://", false, 1883},
                                        {"mqtts://", true, 8883},
                                        {"ws://", false, 80},
                                        {"wss://", true, 443}};
  const auto scheme = std::find_if(std::begin(kSchemes), std::end(kSchemes),
                                   [&](const Scheme& s) { return url.starts_with(s.prefix); });
  if (scheme == std::end(kSchemes)) return false;
  const std::string_view name = scheme->prefix.substr(0, scheme->prefix.size() - 3);
  if (!SpeaksScheme(name)) return false;
  url.remove_prefix(scheme->prefix.size());
  // A WebSocket's URL may go on with a path; an MQTT one ends at the port.
  std::string path = "/";
  const std::size_t slash = url.find('/');
  if (slash != std::string_view::npos) {
    const std::string_view rest = url.substr(slash);
    if (!name.starts_with("ws") && rest != "/") return false;
    path = std::string(rest);
    url = url.substr(0, slash);
  }
  std::string_view host, port;
  if (!SplitAuthority(url, &host, &port)) return false;
  options->scheme = std::string(name);
  options->tls = scheme->tls;
  options->brokerPort = scheme->port;
  if (!port.empty() && !ParseNumber(port, 1, 65535, &options->brokerPort)) {
    *problem = "the broker's port must be a number from 1 to 65535";
    return false;
  }
  options->brokerHost = std::string(host);
  options->brokerPath = std::move(path);
  return true;
}

}  // namespace

bool ParseNumber(std::string_view text, int lowest, int highest, int* number) {
  int value = 0;
  const auto parsed = std::from_chars(text.data(), text.data() + text.size(), value);
  if (parsed.ec != std::errc() || parsed.ptr != text.data() + text.size() || value < lowest ||
      value > highest) {
    return false;
  }
  *number = value;
  return true;
}

bool SplitAuthority(std::string_view text, std::string_view* host, std::string_view* port) {
  *port = {};
  if (text.starts_with('[')) {
    const std::size_t close = text.find(']');
    if (close == std::string_view::npos) return false;
    *host = text.substr(1, close - 1);
    const std::string_view rest = text.substr(close + 1);
    if (!rest.empty() && !rest.starts_with(':')) return false;
    if (!rest.empty()) *port = rest.substr(1);
    return !host->empty();
  }
  const std::size_t colon = text.find(':');
  if (colon != std::string_view::npos && text.find(':', colon + 1) != std::string_view::npos) {
    return false;  // an IPv6 address needs its brackets
  }
  *host = text.substr(0, colon);
  if (colon != std::string_view::npos) *port = text.substr(colon + 1);
  return !host->empty();
}

bool IsBrokerOption(std::string_view name) {
  return name == "--broker" || name == "--cafile" || name == "--username" ||
         name == "--password-file" || name == "--client-id";
}

bool TakeBrokerOption(std::string_view name, const std::string& value, BrokerOptions* options,
                      std::string* problem) {
  if (name == "--broker") return ParseBrokerUrl(value, options, problem);
  if (name == "--cafile") {
    options->caFile = value;
    options->caFileGiven = true;
  } else if (name == "--username") {
    options->username = value;
  } else if (name == "--password-file") {
    options->passwordFile = value;
  } else if (name == "--client-id") {
    options->clientId = value;
  }
  return true;
}

bool CheckBrokerOptions(const BrokerOptions& options, std::string* problem) {
  if (!SpeaksScheme(options.scheme)) {
    *problem = std::string("--broker needs ") + kBrokerUrlForms;
  } else if (options.caFileGiven && !options.tls) {
    *problem = "--cafile is for a TLS broker, mqtts:// or wss://";
  } else if (options.caFileGiven && options.caFile.empty()) {
    *problem = "--cafile needs a file";
  } else if (!options.passwordFile.empty() && options.username.empty()) {
    *problem = "--password-file needs --username";
  } else if (options.username.size() > 65535) {
    *problem = "--username is too long";
  } else {
    return true;
  }
  return false;
}

bool ReadPassword(const BrokerOptions& options, const char* variable, std::string* password,
                  bool* havePassword, std::string* problem) {
  *havePassword = false;
  if (options.username.empty()) return true;
  if (options.passwordFile.empty()) {
    const char* value = std::getenv(variable);
    if (value != nullptr) {
      *password = value;
      *havePassword = true;
    }
    return true;
  }
  // The first line: a file written by `echo` ends in a newline, which is
  // not part of the password.
  std::FILE* file = std::fopen(options.passwordFile.c_str(), "rb");
  std::string line(4096, '\0');
  std::size_t got = 0;
  const bool opened = file != nullptr;
  int error = opened ? 0 : errno;
  if (opened) {
    got = std::fread(line.data(), 1, line.size(), file);
    error = std::ferror(file) ? errno : 0;
    std::fclose(file);
  }
  line.resize(got);
  line.resize(std::min(line.find('\n'), line.size()));
  if (!opened || error != 0 || line.empty()) {
    *problem = "cannot read the password file " + options.passwordFile + ": " +
               (opened && error == 0 ? "its first line is empty" : std::strerror(error));
    return false;
  }
  if (line.ends_with('\r')) line.pop_back();
  *password = std::move(line);
  *havePassword = true;
  return true;
}

}  // namespace mqtt_link
