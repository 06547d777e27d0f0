// Socket settings on Windows.
#include <boost/asio/socket_base.hpp>

#include "relay-web/socket_options.h"

namespace web {

// SO_REUSEADDR on Windows lets another socket bind a port in use; a
// restarted relay-web binds without it anyway.
bool ReuseListeningAddress() { return false; }

// Windows has no limit on unsent bytes alone, so the send buffer as a whole
// is kept small: 4 KiB, about ten data messages. That still carries 80 KB/s
// over a 50 ms round trip, three times what 60 rows a second need.
void KeepUnsentBytesFew(boost::asio::ip::tcp::socket& socket) {
  boost::system::error_code ignored;
  socket.set_option(boost::asio::socket_base::send_buffer_size(4 * 1024), ignored);
}

}  // namespace web
