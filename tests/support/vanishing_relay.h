// A relay stand-in that vanishes the way a relay does when its PC is switched
// off or drops off the network: it accepts a client, sends it a few messages
// and then falls silent without closing the connection. Nothing more comes
// from it, no FIN and no reset, and nothing the client sends is answered,
// keep-alive probes included; only the client's keep-alive can tell that it
// is gone. For the tests of relay-watch and relay-web on a loopback port.
//
// On Linux the silence is a socket filter on the accepted connection that
// drops every segment arriving on it (SO_ATTACH_FILTER, no privilege
// needed). Windows has no such filter: there Unsupported() says so and the
// tests skip.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

class VanishingRelay {
 public:
  // Listens on 127.0.0.1 at a free port.
  VanishingRelay();
  ~VanishingRelay();
  VanishingRelay(const VanishingRelay&) = delete;
  VanishingRelay& operator=(const VanishingRelay&) = delete;

  // Why this platform cannot make a connection vanish, or nullptr.
  static const char* Unsupported();
  // The port it listens on, or -1 when it could not listen.
  int port() const { return port_; }
  // Accepts the next client (waiting up to `timeoutMilliseconds`) and sends
  // it `bytes`; false when none came or the bytes could not be sent.
  bool Serve(const std::string& bytes, int timeoutMilliseconds = 10000);
  // Falls silent on the last connection Serve accepted, once the client has
  // acknowledged all it was sent (so that nothing is sent again). The
  // connection stays open here until the stand-in is destroyed. False when
  // that cannot be done.
  bool Vanish(int timeoutMilliseconds = 10000);

 private:
  int listener_ = -1;
  int port_ = -1;
  std::vector<int> connections_;
};

}  // namespace testsupport
