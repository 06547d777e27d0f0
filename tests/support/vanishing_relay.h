// A relay stand-in that vanishes as a relay does when its PC is switched off
// or drops off the network: it serves a client a few messages, then falls
// silent without closing the connection. No FIN, no reset, and nothing the
// client sends is answered, keep-alive probes included, so only the client's
// keep-alive can tell it is gone. On Linux a socket filter on the connection
// drops every segment (SO_ATTACH_FILTER, no privilege needed); Windows has no
// such filter, and there Unsupported() says so.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

class VanishingRelay {
 public:
  // Listens on 127.0.0.1 at a free port (port() is -1 when it cannot).
  VanishingRelay();
  ~VanishingRelay();
  VanishingRelay(const VanishingRelay&) = delete;
  VanishingRelay& operator=(const VanishingRelay&) = delete;

  // Why this platform cannot make a connection vanish, or nullptr.
  static const char* Unsupported();
  int port() const { return port_; }
  // Accepts the next client and sends it `bytes`; false when none came in
  // time or the bytes could not be sent.
  bool Serve(const std::string& bytes, int timeoutMilliseconds = 10000);
  // Falls silent on the last connection served, once its client has
  // acknowledged everything (which would otherwise be sent again). The
  // connection stays open until the stand-in is destroyed.
  bool Vanish(int timeoutMilliseconds = 10000);

 private:
  int listener_ = -1;
  int port_ = -1;
  std::vector<int> connections_;
};

}  // namespace testsupport
