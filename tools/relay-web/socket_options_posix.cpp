// Socket settings on Linux and other POSIX systems.
#include <netinet/in.h>
#include <netinet/tcp.h>

#include <boost/asio/socket_base.hpp>

#include "relay-web/socket_options.h"

namespace web {

bool ReuseListeningAddress() { return true; }

void KeepUnsentBytesFew([[maybe_unused]] boost::asio::ip::tcp::socket& socket) {
#ifdef TCP_NOTSENT_LOWAT
  // A data message is about 400 bytes: at most about two wait unsent.
  using NotSentLowWater =
      boost::asio::detail::socket_option::integer<IPPROTO_TCP, TCP_NOTSENT_LOWAT>;
  boost::system::error_code ignored;
  socket.set_option(NotSentLowWater(512), ignored);
#endif
}

}  // namespace web
