// The vanishing relay on Linux: a socket filter that drops every segment.
#include <arpa/inet.h>
#include <linux/filter.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/platform.h"
#include "support/vanishing_relay.h"

namespace testsupport {

VanishingRelay::VanishingRelay() {
  listener_ = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(listener_, 4) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return;
  }
  port_ = ntohs(address.sin_port);
}

VanishingRelay::~VanishingRelay() {
  for (int connection : connections_) close(connection);
  if (listener_ >= 0) close(listener_);
}

const char* VanishingRelay::Unsupported() { return nullptr; }

bool VanishingRelay::Serve(const std::string& bytes, int timeoutMilliseconds) {
  pollfd pending{listener_, POLLIN, 0};
  if (port_ < 0 || poll(&pending, 1, timeoutMilliseconds) != 1) return false;
  const int connection = accept(listener_, nullptr, nullptr);
  if (connection < 0) return false;
  connections_.push_back(connection);
  for (std::size_t sent = 0; sent < bytes.size();) {
    const ssize_t n = send(connection, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

bool VanishingRelay::Vanish(int timeoutMilliseconds) {
  if (connections_.empty()) return false;
  const int connection = connections_.back();
  int unacknowledged = 0;
  for (int waited = 0; ioctl(connection, SIOCOUTQ, &unacknowledged) == 0 && unacknowledged > 0;
       waited += 5) {
    if (waited >= timeoutMilliseconds) return false;
    platform::SleepMilliseconds(5);
  }
  // Keeping 0 bytes of a segment refuses it, and TCP drops the segments a
  // socket filter refuses before it looks at them: nothing is answered.
  sock_filter dropAll[] = {{BPF_RET | BPF_K, 0, 0, 0}};
  sock_fprog program{1, dropAll};
  return setsockopt(connection, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) == 0;
}

}  // namespace testsupport
