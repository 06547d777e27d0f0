// The few socket settings of relay-web that differ between platforms, one
// implementation file per platform (chosen in CMakeLists.txt).
#pragma once

#include <boost/asio/ip/tcp.hpp>

namespace web {

// Whether the listening socket takes SO_REUSEADDR: on POSIX a restarted
// relay-web needs it to bind while old connections linger in TIME_WAIT; on
// Windows it would let a second program take a port already in use.
bool ReuseListeningAddress();

// Keeps the bytes a WebSocket connection has queued but not yet sent to a
// few hundred where the kernel can (TCP_NOTSENT_LOWAT), or else keeps its
// send buffer small. What waits in the kernel can no longer be replaced by
// a newer row: with a long queue a slow phone would see every row late by
// the whole queue.
void KeepUnsentBytesFew(boost::asio::ip::tcp::socket& socket);

}  // namespace web
