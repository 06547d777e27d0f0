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
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/platform.h"

// macOS names the idle time before the first keep-alive probe differently.
#if !defined(TCP_KEEPIDLE) && defined(TCP_KEEPALIVE)
#define TCP_KEEPIDLE TCP_KEEPALIVE
#endif

namespace platform {

namespace {

// A mapping watched for being shrunk under this process (see MappingLost).
// `begin` is set last when a watch is made and cleared first when it ends,
// so the SIGBUS handler, which may run at any moment on any thread, never
// sees half an entry.
struct Watch {
  std::atomic<bool> claimed{false};
  std::atomic<std::uintptr_t> begin{0};
  std::atomic<std::size_t> length{0};  // whole pages
  std::atomic<int> protection{0};
  std::atomic<bool> lost{false};
};

}  // namespace

struct Mapping {
  int fd;
  Watch* watch;  // the watch on its view while one is mapped
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
  Watch* watch;
};

namespace {

constexpr char kWindowsPrefix[] = "Local\\";
constexpr char kSharedMemoryDirectory[] = "/dev/shm";

// "Local\IRSDKMemMapFileName" becomes "/IRSDKMemMapFileName".
std::string PosixName(const char* name) {
  const std::size_t prefixLength = sizeof kWindowsPrefix - 1;
  if (std::strncmp(name, kWindowsPrefix, prefixLength) == 0) name += prefixLength;
  return std::string("/") + name;
}

// ---- Mappings that shrink under us ----------------------------------------
//
// A read or write of a page that a truncation took away raises SIGBUS, which
// would end the process. For a fault inside a watched mapping the handler
// maps private zero pages over the whole mapping (MAP_FIXED), marks it lost
// and returns: the faulting access is made again and meets the zero pages.
// mmap is a plain system call, safe in a handler in practice though POSIX
// does not list it. Faults anywhere else go to whatever handled SIGBUS
// before, or end the process as they always did.

constexpr std::size_t kWatchCount = 64;
Watch watches[kWatchCount];
struct sigaction previousBusAction;

void OnBusError(int signal, siginfo_t* info, void* context) {
  const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
  for (Watch& watch : watches) {
    const std::uintptr_t begin = watch.begin.load(std::memory_order_acquire);
    const std::size_t length = watch.length.load(std::memory_order_relaxed);
    if (begin == 0 || address < begin || address - begin >= length) continue;
    const int savedErrno = errno;
    void* zeros = mmap(reinterpret_cast<void*>(begin), length,
                       watch.protection.load(std::memory_order_relaxed),
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
    errno = savedErrno;
    if (zeros == MAP_FAILED) break;
    watch.lost.store(true, std::memory_order_release);
    return;
  }
  if ((previousBusAction.sa_flags & SA_SIGINFO) != 0) {
    previousBusAction.sa_sigaction(signal, info, context);
    return;
  }
  if (previousBusAction.sa_handler != SIG_DFL && previousBusAction.sa_handler != SIG_IGN) {
    previousBusAction.sa_handler(signal);
    return;
  }
  // The earlier disposition again: a fault recurs when the access is made
  // again on return; a signal another process sent is raised once more.
  sigaction(SIGBUS, &previousBusAction, nullptr);
  if (info->si_code <= 0) raise(signal);
}

// Starts watching `size` bytes mapped at `base` with `protection`; nullptr,
// and the mapping left unwatched as before, when every watch is taken.
Watch* StartWatching(void* base, std::size_t size, int protection) {
  static const bool installed = [] {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = OnBusError;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    return sigaction(SIGBUS, &action, &previousBusAction) == 0;
  }();
  if (!installed) return nullptr;
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  for (Watch& watch : watches) {
    if (watch.claimed.exchange(true, std::memory_order_acquire)) continue;
    watch.length.store((size + page - 1) / page * page, std::memory_order_relaxed);
    watch.protection.store(protection, std::memory_order_relaxed);
    watch.lost.store(false, std::memory_order_relaxed);
    watch.begin.store(reinterpret_cast<std::uintptr_t>(base), std::memory_order_release);
    return &watch;
  }
  return nullptr;
}

void StopWatching(Watch* watch) {
  if (watch == nullptr) return;
  watch->begin.store(0, std::memory_order_release);
  watch->claimed.store(false, std::memory_order_release);
}

bool Lost(const Watch* watch) {
  return watch != nullptr && watch->lost.load(std::memory_order_acquire);
}

// ---- The publisher's objects ----------------------------------------------

// What kind of file `mode` describes, for a message.
const char* FileKind(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISLNK(mode)) return "a symbolic link";
  if (S_ISSOCK(mode)) return "a socket";
  return "a device or other special file";
}

// True when `status` describes an object the publisher may use: a regular
// file of this process's user. Otherwise says why in `foreign`.
bool Ours(const struct stat& status, const std::string& posixName, ForeignObject* foreign) {
  const std::string path = kSharedMemoryDirectory + posixName;
  if (status.st_uid != geteuid()) {
    if (foreign != nullptr) {
      std::snprintf(foreign->text, sizeof foreign->text,
                    "%s belongs to another user (uid %u); remove it or run as that user",
                    path.c_str(), static_cast<unsigned>(status.st_uid));
    }
    return false;
  }
  if (!S_ISREG(status.st_mode)) {
    if (foreign != nullptr) {
      std::snprintf(foreign->text, sizeof foreign->text,
                    "%s is %s, not a shared-memory object; remove it", path.c_str(),
                    FileKind(status.st_mode));
    }
    return false;
  }
  return true;
}

// Opens the publisher's object `posixName` read-write, creating it (mode
// 0600, empty) when the name is free; `created` tells which. An existing
// object is used only when it is a regular file of this user's without any
// of the permission bits `othersMask`. One of this user's that has them may
// be held open by someone else already: it is removed and made anew. Any
// other is refused: -1 with `refused` set and `foreign` filled in. -1 on
// other failures, with errno telling why.
int OpenOwnObject(const std::string& posixName, mode_t othersMask, bool* created, bool* refused,
                  ForeignObject* foreign) {
  *refused = false;
  for (int attempt = 0; attempt < 3; ++attempt) {
    int fd = shm_open(posixName.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    *created = fd >= 0;
    if (fd >= 0 || errno != EEXIST) return fd;
    // O_NONBLOCK: a FIFO under the name must not hold the open up.
    fd = shm_open(posixName.c_str(), O_RDWR | O_NONBLOCK, 0);
    struct stat status;
    if (fd < 0) {
      const int error = errno;
      if (error == ENOENT) continue;  // removed meanwhile: create it
      // Not ours to open (another user's, mode 0600), or a symbolic link.
      const std::string path = kSharedMemoryDirectory + posixName;
      if (lstat(path.c_str(), &status) == 0 && !Ours(status, posixName, foreign)) {
        *refused = true;
      }
      errno = error;
      return -1;
    }
    if (fstat(fd, &status) != 0) {
      const int error = errno;
      close(fd);
      errno = error;
      return -1;
    }
    if (!Ours(status, posixName, foreign)) {
      close(fd);
      *refused = true;
      errno = EEXIST;
      return -1;
    }
    if ((status.st_mode & othersMask) == 0) return fd;
    close(fd);
    shm_unlink(posixName.c_str());
  }
  errno = EEXIST;
  return -1;
}

}  // namespace

Mapping* OpenNamedMapping(const char* name) {
  // O_NONBLOCK: opening a FIFO put under the name must not block the reader.
  const int fd = shm_open(PosixName(name).c_str(), O_RDONLY | O_NONBLOCK, 0);
  if (fd < 0) return nullptr;
  struct stat status;
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    close(fd);
    return nullptr;
  }
  return new Mapping{fd, nullptr};
}

bool MapWholeView(Mapping* mapping, RegionView* view, std::size_t minimumSize) {
  struct stat status;
  if (fstat(mapping->fd, &status) != 0 || status.st_size <= 0 ||
      static_cast<std::uint64_t>(status.st_size) < minimumSize) {
    return false;
  }
  const auto size = static_cast<std::size_t>(status.st_size);
  void* base = mmap(nullptr, size, PROT_READ, MAP_SHARED, mapping->fd, 0);
  if (base == MAP_FAILED) return false;
  StopWatching(mapping->watch);
  mapping->watch = StartWatching(base, size, PROT_READ);
  view->base = static_cast<const std::uint8_t*>(base);
  view->size = size;
  return true;
}

void CloseNamedMapping(Mapping* mapping, RegionView* view) {
  StopWatching(mapping->watch);
  if (view->base != nullptr) munmap(const_cast<std::uint8_t*>(view->base), view->size);
  *view = RegionView{};
  close(mapping->fd);
  delete mapping;
}

bool MappingLost(const Mapping* mapping) { return mapping != nullptr && Lost(mapping->watch); }

bool EventLost(const Event* event) { return event != nullptr && Lost(event->watch); }

namespace {

// Maps the event's count: read-only for a reader, writable for the
// publisher. nullptr when the object is missing, no regular file or too
// small.
Event* MapEvent(int fd, bool writable) {
  struct stat status;
  if (fd < 0) return nullptr;
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) ||
      status.st_size < static_cast<off_t>(sizeof(std::uint32_t))) {
    close(fd);
    return nullptr;
  }
  const int protection = writable ? PROT_READ | PROT_WRITE : PROT_READ;
  void* base = mmap(nullptr, sizeof(std::uint32_t), protection, MAP_SHARED, fd, 0);
  if (base == MAP_FAILED) {
    close(fd);
    return nullptr;
  }
  auto* count = static_cast<std::uint32_t*>(base);
  Watch* watch = StartWatching(base, sizeof(std::uint32_t), protection);
  return new Event{fd, count, __atomic_load_n(count, __ATOMIC_ACQUIRE), watch};
}

}  // namespace

Event* OpenNamedEvent(const char* name) {
  return MapEvent(shm_open(PosixName(name).c_str(), O_RDONLY | O_NONBLOCK, 0), false);
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
                        MappingFailure* failure, ForeignObject* foreign) {
  MappingFailure ignored;
  MappingFailure& why = failure != nullptr ? *failure : ignored;
  why = MappingFailure::kOther;
  const std::string posixName = PosixName(name);
  bool refused = false;
  int fd = OpenOwnObject(posixName, S_IWGRP | S_IWOTH, created, &refused, foreign);
  if (fd < 0) {
    if (refused) {
      why = MappingFailure::kForeign;
    } else if (errno == ENOSPC) {
      why = MappingFailure::kNoRoom;
    }
    return false;
  }
  auto fail = [&](int error) {
    if (error == ENOSPC || error == EFBIG) why = MappingFailure::kNoRoom;
    close(fd);
    if (*created) shm_unlink(posixName.c_str());
    return false;
  };
  // A new object gets `size` bytes, all reserved, and so does an empty one
  // (truncated, or left by a creator that died before reserving: no reader
  // holds a view of it). Any other existing one keeps its size, and any
  // pages of it not yet reserved are reserved now.
  struct stat status;
  if (fstat(fd, &status) != 0) return fail(0);
  const std::size_t wanted = status.st_size > 0 ? static_cast<std::size_t>(status.st_size) : size;
  if (wanted == 0) return fail(0);
  if (const int error = ReserveBytes(fd, wanted); error != 0) return fail(error);
  if (fstat(fd, &status) != 0 || status.st_size <= 0) return fail(0);
  const auto actualSize = static_cast<std::size_t>(status.st_size);
  void* base = mmap(nullptr, actualSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (base == MAP_FAILED) return fail(0);
  close(fd);
  // The publisher keeps its mapping for the life of the process.
  StartWatching(base, actualSize, PROT_READ | PROT_WRITE);
  why = MappingFailure::kNone;
  region->base = static_cast<std::uint8_t*>(base);
  region->size = actualSize;
  return true;
}

bool RegionLost(const WritableRegion& region) {
  const auto base = reinterpret_cast<std::uintptr_t>(region.base);
  for (const Watch& watch : watches) {
    if (base != 0 && watch.begin.load(std::memory_order_acquire) == base) return Lost(&watch);
  }
  return false;
}

Event* CreateNamedEvent(const char* name, ForeignObject* foreign) {
  bool created = false;
  bool refused = false;
  const int fd = OpenOwnObject(PosixName(name), S_IWGRP | S_IWOTH, &created, &refused, foreign);
  if (fd < 0) return nullptr;
  // A new object is empty and one of the wrong size (not made by a
  // publisher) gets exactly the count's 4 bytes; one left by an earlier
  // publisher keeps its count.
  struct stat status;
  if (fstat(fd, &status) != 0 || (status.st_size != static_cast<off_t>(sizeof(std::uint32_t)) &&
                                  ftruncate(fd, sizeof(std::uint32_t)) != 0)) {
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
  StopWatching(event->watch);
  munmap(event->count, sizeof(std::uint32_t));
  close(event->fd);
  delete event;
}

void RemoveNamedMapping(const char* name) { shm_unlink(PosixName(name).c_str()); }

void RemoveNamedEvent(const char* name) { shm_unlink(PosixName(name).c_str()); }

LockResult AcquireNamedLock(const char* name, ForeignObject* foreign) {
  // Any access by others counts: a descriptor opened for reading alone is
  // enough to flock the object and pose as a running publisher.
  bool created = false;
  bool refused = false;
  const int fd = OpenOwnObject(PosixName(name), S_IRWXG | S_IRWXO, &created, &refused, foreign);
  if (fd < 0) return refused ? LockResult::kForeign : LockResult::kFailed;
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
