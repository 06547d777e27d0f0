// A TCP socket for the web benchmark's clients that also tells when the
// kernel received the bytes each read returns (SO_TIMESTAMPNS), so that a
// message's receipt is timed where it reached the client's socket, not when
// the benchmark's one reading thread got round to it: with fifty clients
// written to in turn, the reader's own pace must not be what is measured.
//
// It is a Beast stream layer (websocket::stream<StampedSocket>): reads wait
// for the socket to be readable and take the bytes with recvmsg; writes,
// connecting and closing are the plain socket's.
#pragma once

#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>

#include <array>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core/role.hpp>
#include <boost/beast/websocket/teardown.hpp>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>

namespace bench {

class StampedSocket {
 public:
  using Tcp = boost::asio::ip::tcp;
  using ErrorCode = boost::system::error_code;
  using executor_type = Tcp::socket::executor_type;

  explicit StampedSocket(boost::asio::io_context& io) : socket_(io) {}

  Tcp::socket& socket() { return socket_; }
  executor_type get_executor() noexcept { return socket_.get_executor(); }

  // Asks the kernel for receive times; false when it will not give them
  // (then Arrival() is when the read returned).
  bool EnableStamps() {
    const int on = 1;
    return setsockopt(socket_.native_handle(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) == 0;
  }
  // When the bytes of the last read arrived, in CLOCK_MONOTONIC nanoseconds.
  std::int64_t Arrival() const { return arrival_; }
  // Reads whose bytes came with no receive time.
  std::int64_t Unstamped() const { return unstamped_; }

  template <class Buffers>
  std::size_t read_some(const Buffers& buffers, ErrorCode& error) {
    return socket_.read_some(buffers, error);
  }
  template <class Buffers>
  std::size_t read_some(const Buffers& buffers) {
    return socket_.read_some(buffers);
  }
  template <class Buffers>
  std::size_t write_some(const Buffers& buffers, ErrorCode& error) {
    return socket_.write_some(buffers, error);
  }
  template <class Buffers>
  std::size_t write_some(const Buffers& buffers) {
    return socket_.write_some(buffers);
  }
  template <class Buffers, class Token>
  auto async_write_some(const Buffers& buffers, Token&& token) {
    return socket_.async_write_some(buffers, std::forward<Token>(token));
  }

  template <class Buffers, class Token>
  auto async_read_some(const Buffers& buffers, Token&& token) {
    return boost::asio::async_initiate<Token, void(ErrorCode, std::size_t)>(
        [this](auto handler, const Buffers& into) { this->Read(std::move(handler), into); }, token,
        buffers);
  }

 private:
  // Takes what is there; waits for more when nothing is. The handler is
  // never called from within the initiating call.
  template <class Handler, class Buffers>
  void Read(Handler handler, const Buffers& buffers) {
    ErrorCode error;
    const std::size_t size = Receive(buffers, error);
    if (error == boost::asio::error::would_block) {
      socket_.async_wait(Tcp::socket::wait_read, [this, handler = std::move(handler),
                                                  buffers](const ErrorCode& waited) mutable {
        if (waited) return handler(waited, std::size_t{0});
        ErrorCode again;
        const std::size_t taken = Receive(buffers, again);
        if (again == boost::asio::error::would_block) {
          return Read(std::move(handler), buffers);
        }
        handler(again, taken);
      });
      return;
    }
    boost::asio::post(socket_.get_executor(), [handler = std::move(handler), error,
                                               size]() mutable { handler(error, size); });
  }

  template <class Buffers>
  std::size_t Receive(const Buffers& buffers, ErrorCode& error) {
    std::array<iovec, 16> vectors{};
    std::size_t count = 0;
    std::size_t room = 0;
    for (auto at = boost::asio::buffer_sequence_begin(buffers);
         at != boost::asio::buffer_sequence_end(buffers) && count < vectors.size(); ++at) {
      const boost::asio::mutable_buffer buffer(*at);
      vectors[count++] = {buffer.data(), buffer.size()};
      room += buffer.size();
    }
    if (room == 0) return 0;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    msghdr message{};
    message.msg_iov = vectors.data();
    message.msg_iovlen = count;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t received = -1;
    do {
      received = recvmsg(socket_.native_handle(), &message, MSG_DONTWAIT);
    } while (received < 0 && errno == EINTR);
    if (received < 0) {
      error = errno == EAGAIN || errno == EWOULDBLOCK
                  ? ErrorCode(boost::asio::error::would_block)
                  : ErrorCode(errno, boost::system::system_category());
      return 0;
    }
    if (received == 0) {
      error = boost::asio::error::eof;
      return 0;
    }
    arrival_ = Stamp(message);
    return static_cast<std::size_t>(received);
  }

  std::int64_t Stamp(msghdr& message) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const std::int64_t monotonic = Nanoseconds(now);
    for (cmsghdr* item = CMSG_FIRSTHDR(&message); item != nullptr;
         item = CMSG_NXTHDR(&message, item)) {
      if (item->cmsg_level != SOL_SOCKET || item->cmsg_type != SO_TIMESTAMPNS) continue;
      timespec stamp{};
      std::memcpy(&stamp, CMSG_DATA(item), sizeof stamp);
      // The stamp is wall-clock time: carried over to the monotonic clock
      // through both clocks read now, a few microseconds after it.
      clock_gettime(CLOCK_REALTIME, &now);
      return monotonic - (Nanoseconds(now) - Nanoseconds(stamp));
    }
    ++unstamped_;
    return monotonic;
  }

  static std::int64_t Nanoseconds(const timespec& time) {
    return static_cast<std::int64_t>(time.tv_sec) * 1000000000LL + time.tv_nsec;
  }

  Tcp::socket socket_;
  std::int64_t arrival_ = 0;
  std::int64_t unstamped_ = 0;
};

// Closing a WebSocket over this layer closes the plain socket.
inline void beast_close_socket(StampedSocket& stream) {
  boost::system::error_code ignored;
  stream.socket().close(ignored);
}

inline void teardown(boost::beast::role_type role, StampedSocket& stream,
                     boost::system::error_code& error) {
  boost::beast::websocket::teardown(role, stream.socket(), error);
}

template <class Handler>
void async_teardown(boost::beast::role_type role, StampedSocket& stream, Handler&& handler) {
  boost::beast::websocket::async_teardown(role, stream.socket(), std::forward<Handler>(handler));
}

}  // namespace bench
