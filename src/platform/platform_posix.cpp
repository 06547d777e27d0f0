// The platform layer on Linux. The simulator's named objects are stood in
// for by POSIX shared-memory objects whose names replace the Windows
// "Local\" prefix with "/": the region itself, and a count that stands for
// the data-valid event (see Event below).
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/platform.h"

// macOS names the idle time before the first keep-alive probe differently.
#if !defined(TCP_KEEPIDLE) && defined(TCP_KEEPALIVE)
#define TCP_KEEPIDLE TCP_KEEPALIVE
#endif

namespace platform {

struct Mapping {
  int fd;
};

// A named event every waiter hears, as every reader of the simulator's rows
// must: a 32-bit count in a shared-memory object of the event's name, which
// a signal raises, waking every process waiting on it (a futex). Each
// opener remembers the count it last saw, so a signal given while it was
// busy is not lost to it either, just as with an event of its own.
struct Event {
  int fd;
  std::uint32_t* count;  // mapped shared
  std::uint32_t seen;    // what this opener last saw
};

namespace {

constexpr char kWindowsPrefix[] = "Local\\";

// "Local\IRSDKMemMapFileName" becomes "/IRSDKMemMapFileName".
std::string PosixName(const char* name) {
  const std::size_t prefixLength = sizeof kWindowsPrefix - 1;
  if (std::strncmp(name, kWindowsPrefix, prefixLength) == 0) name += prefixLength;
  return std::string("/") + name;
}

}  // namespace

Mapping* OpenNamedMapping(const char* name) {
  const int fd = shm_open(PosixName(name).c_str(), O_RDONLY, 0);
  if (fd < 0) return nullptr;
  return new Mapping{fd};
}

bool MapWholeView(Mapping* mapping, RegionView* view) {
  struct stat status;
  if (fstat(mapping->fd, &status) != 0 || status.st_size <= 0) return false;
  const auto size = static_cast<std::size_t>(status.st_size);
  void* base = mmap(nullptr, size, PROT_READ, MAP_SHARED, mapping->fd, 0);
  if (base == MAP_FAILED) return false;
  view->base = static_cast<const std::uint8_t*>(base);
  view->size = size;
  return true;
}

void CloseNamedMapping(Mapping* mapping, RegionView* view) {
  if (view->base != nullptr) munmap(const_cast<std::uint8_t*>(view->base), view->size);
  *view = RegionView{};
  close(mapping->fd);
  delete mapping;
}

namespace {

// Maps the event's count: read-only for a reader, writable for the
// publisher. nullptr when the object is missing or too small.
Event* MapEvent(int fd, bool writable) {
  struct stat status;
  if (fd < 0) return nullptr;
  if (fstat(fd, &status) != 0 || status.st_size < static_cast<off_t>(sizeof(std::uint32_t))) {
    close(fd);
    return nullptr;
  }
  void* base = mmap(nullptr, sizeof(std::uint32_t), writable ? PROT_READ | PROT_WRITE : PROT_READ,
                    MAP_SHARED, fd, 0);
  if (base == MAP_FAILED) {
    close(fd);
    return nullptr;
  }
  auto* count = static_cast<std::uint32_t*>(base);
  return new Event{fd, count, __atomic_load_n(count, __ATOMIC_ACQUIRE)};
}

}  // namespace

Event* OpenNamedEvent(const char* name) {
  return MapEvent(shm_open(PosixName(name).c_str(), O_RDONLY, 0), false);
}

void WaitForNamedEvent(Event* event, int milliseconds) {
  if (event == nullptr) return;
  const std::uint32_t now = __atomic_load_n(event->count, __ATOMIC_ACQUIRE);
  if (now == event->seen) {
    // Sleeps until the count moves from `now`, the time is up, or a signal
    // to the process interrupts: the caller looks at the tick counts itself
    // whatever the outcome, so an early return is harmless.
    timespec timeout{milliseconds / 1000, static_cast<long>(milliseconds % 1000) * 1000000L};
    syscall(SYS_futex, event->count, FUTEX_WAIT, now, &timeout, nullptr, 0);
  }
  event->seen = __atomic_load_n(event->count, __ATOMIC_ACQUIRE);
}

namespace {

// Reserves the pages of the object's first `size` bytes (and grows it to
// them). ftruncate alone leaves a sparse file, which a tmpfs too small for
// it (a container's 64 MiB /dev/shm) accepts; the first write to a page it
// then has no room for raises SIGBUS. An error number, or 0.
int ReserveBytes(int fd, std::size_t size) {
  int result = 0;
  while ((result = posix_fallocate(fd, 0, static_cast<off_t>(size))) == EINTR) {
  }
  return result;
}

}  // namespace

bool CreateNamedMapping(const char* name, std::size_t size, WritableRegion* region, bool* created,
                        MappingFailure* failure) {
  MappingFailure ignored;
  MappingFailure& why = failure != nullptr ? *failure : ignored;
  why = MappingFailure::kOther;
  const std::string posixName = PosixName(name);
  *created = true;
  int fd = shm_open(posixName.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  if (fd < 0 && errno == EEXIST) {
    *created = false;
    fd = shm_open(posixName.c_str(), O_RDWR, 0);
  }
  if (fd < 0) {
    if (errno == ENOSPC) why = MappingFailure::kNoRoom;
    return false;
  }
  // A new object gets `size` bytes, all reserved; an existing one keeps its
  // size, and any pages of it not yet reserved are reserved now.
  auto fail = [&](int error) {
    if (error == ENOSPC || error == EFBIG) why = MappingFailure::kNoRoom;
    close(fd);
    if (*created) shm_unlink(posixName.c_str());
    return false;
  };
  struct stat status;
  if (*created) {
    if (const int error = ReserveBytes(fd, size); error != 0) return fail(error);
  }
  if (fstat(fd, &status) != 0 || status.st_size <= 0) return fail(0);
  const auto actualSize = static_cast<std::size_t>(status.st_size);
  if (!*created) {
    if (const int error = ReserveBytes(fd, actualSize); error != 0) return fail(error);
  }
  void* base = mmap(nullptr, actualSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (base == MAP_FAILED) return fail(0);
  close(fd);
  why = MappingFailure::kNone;
  region->base = static_cast<std::uint8_t*>(base);
  region->size = actualSize;
  return true;
}

Event* CreateNamedEvent(const char* name) {
  const int fd = shm_open(PosixName(name).c_str(), O_RDWR | O_CREAT, 0600);
  // A new object is empty; one left by an earlier publisher keeps its count.
  struct stat status;
  if (fd >= 0 && fstat(fd, &status) == 0 &&
      status.st_size < static_cast<off_t>(sizeof(std::uint32_t)) &&
      ftruncate(fd, sizeof(std::uint32_t)) != 0) {
    close(fd);
    return nullptr;
  }
  return MapEvent(fd, true);
}

void SignalNamedEvent(Event* event) {
  __atomic_add_fetch(event->count, 1, __ATOMIC_RELEASE);
  syscall(SYS_futex, event->count, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

void CloseNamedEvent(Event* event) {
  if (event == nullptr) return;
  munmap(event->count, sizeof(std::uint32_t));
  close(event->fd);
  delete event;
}

void RemoveNamedMapping(const char* name) { shm_unlink(PosixName(name).c_str()); }

void RemoveNamedEvent(const char* name) { shm_unlink(PosixName(name).c_str()); }

LockResult AcquireNamedLock(const char* name) {
  const int fd = shm_open(PosixName(name).c_str(), O_RDWR | O_CREAT, 0600);
  if (fd < 0) return LockResult::kFailed;
  // flock belongs to this open file description: a second claim, even from
  // this same process, is refused. The descriptor stays open (and so the lock
  // held) until the process ends; shm_open sets FD_CLOEXEC, so children
  // started later do not inherit it.
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    const bool held = errno == EWOULDBLOCK;
    close(fd);
    return held ? LockResult::kHeldElsewhere : LockResult::kFailed;
  }
  return LockResult::kAcquired;
}

void SleepMilliseconds(int milliseconds) {
  timespec remaining{milliseconds / 1000, static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

void RequestTimerResolution(int) {}

void ConsoleWrite(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
}

std::int64_t MonotonicNanoseconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

namespace {

int Fd(Socket socket) { return static_cast<int>(socket); }

}  // namespace

ListenFailure OpenTcpListener(const char* port, Socket* listener) {
  addrinfo hints{};
  hints.ai_flags = AI_PASSIVE;
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* result = nullptr;
  if (getaddrinfo(nullptr, port, &hints, &result) != 0) return ListenFailure::kResolve;

  const int fd = socket(result->ai_family, result->ai_socktype, result->ai_protocol);
  if (fd < 0) {
    freeaddrinfo(result);
    return ListenFailure::kSocket;
  }
  int nonBlocking = 1;
  if (ioctl(fd, FIONBIO, &nonBlocking) != 0) {
    freeaddrinfo(result);
    close(fd);
    return ListenFailure::kNonBlocking;
  }
  // Windows lets a restarted relay bind while old connections sit in
  // TIME_WAIT; on POSIX that takes SO_REUSEADDR.
  int reuse = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  if (bind(fd, result->ai_addr, result->ai_addrlen) != 0) {
    freeaddrinfo(result);
    close(fd);
    return ListenFailure::kBind;
  }
  freeaddrinfo(result);
  if (listen(fd, SOMAXCONN) != 0) {
    close(fd);
    return ListenFailure::kListen;
  }
  *listener = static_cast<Socket>(fd);
  return ListenFailure::kNone;
}

int LocalPort(Socket socket) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (getsockname(Fd(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0) return -1;
  return ntohs(address.sin_port);
}

Socket AcceptClient(Socket listener) {
  // The relay asks on every row, and almost always nobody is waiting. Linux
  // sets up a whole new socket file before accept finds the queue empty and
  // tears it down again, which costs ten times a poll of the listener, so
  // look first and accept only when a connection is pending.
  pollfd entry{Fd(listener), POLLIN, 0};
  if (poll(&entry, 1, 0) <= 0) return kInvalidSocket;
  // Linux does not pass the listener's O_NONBLOCK on to accepted sockets
  // (Windows does), so ask for it explicitly.
  const int fd = accept4(Fd(listener), nullptr, nullptr, SOCK_NONBLOCK);
  if (fd < 0) return kInvalidSocket;
  return static_cast<Socket>(fd);
}

void SetNoDelay(Socket socket) {
  // Linux rejects a one-byte option value, so pass an int.
  int on = 1;
  setsockopt(Fd(socket), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

long SendBytes(Socket socket, const char* bytes, std::size_t length) {
  for (;;) {
    const ssize_t sent = send(Fd(socket), bytes, length, MSG_NOSIGNAL);
    if (sent >= 0) return static_cast<long>(sent);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    return -1;
  }
}

void CloseSocket(Socket socket) { close(Fd(socket)); }

Socket ConnectTcp(const char* host, const char* port, int receiveBuffer) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* result = nullptr;
  if (getaddrinfo(host, port, &hints, &result) != 0) return kInvalidSocket;
  const int fd = socket(result->ai_family, result->ai_socktype, result->ai_protocol);
  if (fd >= 0 && receiveBuffer > 0) SetReceiveBufferSize(static_cast<Socket>(fd), receiveBuffer);
  if (fd >= 0 && connect(fd, result->ai_addr, result->ai_addrlen) != 0) {
    close(fd);
    freeaddrinfo(result);
    return kInvalidSocket;
  }
  freeaddrinfo(result);
  return fd < 0 ? kInvalidSocket : static_cast<Socket>(fd);
}

bool EnableKeepAlive(Socket socket) {
  int on = 1;
  int idle = kKeepAliveIdleSeconds;
  int interval = kKeepAliveIntervalSeconds;
  int probes = kKeepAliveProbes;
  return setsockopt(Fd(socket), SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) == 0 &&
         setsockopt(Fd(socket), IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) == 0 &&
         setsockopt(Fd(socket), IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) == 0 &&
         setsockopt(Fd(socket), IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes) == 0;
}

void SetReceiveBufferSize(Socket socket, int bytes) {
  setsockopt(Fd(socket), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

void SetSendBufferSize(Socket socket, int bytes) {
  setsockopt(Fd(socket), SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

bool WaitForConnection(Socket listener, int timeoutMilliseconds) {
  pollfd entry{Fd(listener), POLLIN, 0};
  return poll(&entry, 1, timeoutMilliseconds) == 1;
}

long ReceiveBytes(Socket socket, char* buffer, std::size_t capacity, int timeoutMilliseconds) {
  pollfd entry{Fd(socket), POLLIN, 0};
  for (;;) {
    const int ready = poll(&entry, 1, timeoutMilliseconds);
    if (ready == 0) return -1;
    if (ready < 0) {
      if (errno == EINTR) continue;
      return -2;
    }
    const ssize_t received = recv(Fd(socket), buffer, capacity, 0);
    if (received >= 0) return static_cast<long>(received);
    if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
    return -2;
  }
}

}  // namespace platform
