// The platform layer on Windows: the simulator's own kernel objects (a named
// file mapping and a named auto-reset event), the multimedia timer, Winsock 2
// and the C runtime's standard output. Winsock's error codes, SOCKET and
// HANDLE stay inside this file; callers see only the types of platform.h.

// clang-format off
// winsock2.h must come before windows.h, which would otherwise pull in the
// old winsock.h.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>
// WIN32_LEAN_AND_MEAN leaves the multimedia timer out of windows.h.
#include <mmsystem.h>
// clang-format on

#include <fcntl.h>  // _O_BINARY
#include <io.h>     // _setmode

#include <climits>
#include <cstdio>

#include "platform/platform.h"

// The keep-alive probe count, which Windows takes from 10 version 1703 on;
// MinGW-w64's headers lack its name.
#ifndef TCP_KEEPCNT
#define TCP_KEEPCNT 16
#endif

namespace platform {

static_assert(sizeof(Socket) == sizeof(SOCKET), "Socket must hold a Winsock SOCKET");
static_assert(kInvalidSocket == static_cast<Socket>(INVALID_SOCKET),
              "kInvalidSocket must be Winsock's INVALID_SOCKET");

struct Mapping {
  HANDLE handle;
};

struct Event {
  HANDLE handle;
};

namespace {

// Kernel object names are at most MAX_PATH characters.
constexpr std::size_t kMaxNameLength = MAX_PATH;

// Widens an object name for the W functions. The simulator's names are plain
// ASCII, so each byte becomes one wide character. False when the name is too
// long for `wide`.
bool WideName(const char* name, wchar_t (&wide)[kMaxNameLength + 1]) {
  std::size_t i = 0;
  for (; name[i] != '\0'; ++i) {
    if (i == kMaxNameLength) return false;
    wide[i] = static_cast<wchar_t>(static_cast<unsigned char>(name[i]));
  }
  wide[i] = L'\0';
  return true;
}

// The size of the view mapped at `base`. A view made with a size of 0 covers
// the whole mapping; VirtualQuery describes it as one or more runs of pages
// of the same allocation. The committed runs from the base are summed, so a
// view with reserved but uncommitted pages is never over-reported. The size
// is whole pages: the bytes past the end of the mapping within its last page
// are readable and read as zeros.
std::size_t ViewSize(const void* base) {
  std::size_t size = 0;
  const char* cursor = static_cast<const char*>(base);
  MEMORY_BASIC_INFORMATION info;
  while (VirtualQuery(cursor, &info, sizeof info) == sizeof info && info.AllocationBase == base &&
         info.State == MEM_COMMIT) {
    size += info.RegionSize;
    cursor += info.RegionSize;
  }
  return size;
}

// A negative time-out from a caller means "no wait", never INFINITE.
DWORD Milliseconds(int milliseconds) {
  return milliseconds < 0 ? 0 : static_cast<DWORD>(milliseconds);
}

}  // namespace

Mapping* OpenNamedMapping(const char* name) {
  wchar_t wide[kMaxNameLength + 1];
  if (!WideName(name, wide)) return nullptr;
  HANDLE handle = OpenFileMappingW(FILE_MAP_READ, FALSE, wide);
  if (handle == nullptr) return nullptr;
  return new Mapping{handle};
}

bool MapWholeView(Mapping* mapping, RegionView* view, std::size_t minimumSize) {
  const void* base = MapViewOfFile(mapping->handle, FILE_MAP_READ, 0, 0, 0);
  if (base == nullptr) return false;
  const std::size_t size = ViewSize(base);
  if (size == 0 || size < minimumSize) {
    UnmapViewOfFile(base);
    return false;
  }
  view->base = static_cast<const std::uint8_t*>(base);
  view->size = size;
  return true;
}

void CloseNamedMapping(Mapping* mapping, RegionView* view) {
  if (view->base != nullptr) UnmapViewOfFile(view->base);
  *view = RegionView{};
  CloseHandle(mapping->handle);
  delete mapping;
}

Event* OpenNamedEvent(const char* name) {
  wchar_t wide[kMaxNameLength + 1];
  if (!WideName(name, wide)) return nullptr;
  HANDLE handle = OpenEventW(SYNCHRONIZE, FALSE, wide);
  if (handle == nullptr) return nullptr;
  return new Event{handle};
}

void WaitForNamedEvent(Event* event, int milliseconds) {
  if (event == nullptr) return;
  // Whatever the outcome (signalled, timed out, failed), the caller checks
  // the tick counts itself afterwards.
  WaitForSingleObject(event->handle, Milliseconds(milliseconds));
}

// A view of a Windows mapping keeps its pages for as long as it is mapped.
bool MappingLost(const Mapping*) { return false; }
bool EventLost(const Event*) { return false; }
bool RegionLost(const WritableRegion&) { return false; }

bool CreateNamedMapping(const char* name, std::size_t size, WritableRegion* region, bool* created,
                        MappingFailure* failure, ForeignObject*) {
  MappingFailure ignored;
  MappingFailure& why = failure != nullptr ? *failure : ignored;
  why = MappingFailure::kOther;
  wchar_t wide[kMaxNameLength + 1];
  if (!WideName(name, wide)) return false;
  const auto wideSize = static_cast<unsigned long long>(size);
  // A mapping backed by the paging file commits all its pages when it is
  // created, so one that is made can always be written; one that does not
  // fit the commit limit is refused here and nothing is left behind.
  HANDLE handle = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                                     static_cast<DWORD>(wideSize >> 32),
                                     static_cast<DWORD>(wideSize & 0xFFFFFFFFull), wide);
  if (handle == nullptr) {
    const DWORD error = GetLastError();
    if (error == ERROR_NOT_ENOUGH_MEMORY || error == ERROR_OUTOFMEMORY ||
        error == ERROR_COMMITMENT_LIMIT || error == ERROR_DISK_FULL) {
      why = MappingFailure::kNoRoom;
    }
    return false;
  }
  // An existing mapping of that name is opened as it is, at its own size;
  // the size asked for is then ignored by Windows.
  const bool alreadyExisted = GetLastError() == ERROR_ALREADY_EXISTS;
  void* base = MapViewOfFile(handle, FILE_MAP_ALL_ACCESS, 0, 0, 0);
  if (base == nullptr) {
    CloseHandle(handle);
    return false;
  }
  const std::size_t actualSize = ViewSize(base);
  if (actualSize == 0) {
    UnmapViewOfFile(base);
    CloseHandle(handle);
    return false;
  }
  // The handle is kept open for the life of the process on purpose: a named
  // mapping disappears with its last handle, and the publisher's region must
  // stay findable by name while it publishes.
  region->base = static_cast<std::uint8_t*>(base);
  region->size = actualSize;
  *created = !alreadyExisted;
  why = MappingFailure::kNone;
  return true;
}

Event* CreateNamedEvent(const char* name, ForeignObject*) {
  wchar_t wide[kMaxNameLength + 1];
  if (!WideName(name, wide)) return nullptr;
  // Manual-reset and initially unsignalled: a signal must wake every reader
  // (the relay, relay-web, ...), where an auto-reset event would wake one
  // and leave the others to their time-outs. An event that exists already
  // is opened as it is.
  HANDLE handle = CreateEventW(nullptr, TRUE, FALSE, wide);
  if (handle == nullptr) return nullptr;
  return new Event{handle};
}

void SignalNamedEvent(Event* event) {
  if (event == nullptr) return;
  // Setting a manual-reset event releases every thread waiting on it; it is
  // reset at once, so that the next wait waits for the next row.
  SetEvent(event->handle);
  ResetEvent(event->handle);
}

void CloseNamedEvent(Event* event) {
  if (event == nullptr) return;
  CloseHandle(event->handle);
  delete event;
}

// Windows removes a named object when its last handle closes; there is
// nothing to unlink by name.
void RemoveNamedMapping(const char*) {}
void RemoveNamedEvent(const char*) {}

LockResult AcquireNamedLock(const char* name, ForeignObject*) {
  wchar_t wide[kMaxNameLength + 1];
  if (!WideName(name, wide)) return LockResult::kFailed;
  // The mutex is never waited on: whoever created it holds the lock for as
  // long as its handle stays open, and Windows closes that handle when the
  // process ends. This handle is kept for the life of the process.
  HANDLE handle = CreateMutexW(nullptr, FALSE, wide);
  if (handle == nullptr) {
    // A mutex of that name made by another user cannot be opened at all.
    return GetLastError() == ERROR_ACCESS_DENIED ? LockResult::kHeldElsewhere : LockResult::kFailed;
  }
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(handle);
    return LockResult::kHeldElsewhere;
  }
  return LockResult::kAcquired;
}

void SleepMilliseconds(int milliseconds) { Sleep(Milliseconds(milliseconds)); }

void RequestTimerResolution(int milliseconds) {
  if (milliseconds > 0) timeBeginPeriod(static_cast<UINT>(milliseconds));
}

void ConsoleWrite(const char* text) {
  // The C runtime opens stdout in text mode, which turns every "\n" into
  // "\r\n" on the way out. The status texts are meant to be the same bytes on
  // every platform, so anything reading the output (a log file, a launcher
  // watching for "Client 0 connected") sees exactly them; a console window
  // moves to a new line on a bare "\n" all the same.
  static const bool binary = _setmode(_fileno(stdout), _O_BINARY) != -1;
  (void)binary;
  std::fputs(text, stdout);
  std::fflush(stdout);
}

std::int64_t MonotonicNanoseconds() {
  // The counter's frequency is fixed at boot.
  static const std::int64_t perSecond = [] {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<std::int64_t>(frequency.QuadPart);
  }();
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  // Whole seconds and the remainder separately, so that counter * 10^9 cannot
  // overflow however long the machine has been up.
  const std::int64_t ticks = counter.QuadPart;
  return ticks / perSecond * 1000000000LL + ticks % perSecond * 1000000000LL / perSecond;
}

// ---- TCP sockets ------------------------------------------------------------

namespace {

SOCKET Handle(Socket socket) { return static_cast<SOCKET>(socket); }

// Winsock counts WSAStartup calls and shuts down at the matching number of
// WSACleanup calls. Tools and tests that only connect take one reference for
// the life of the process here.
bool EnsureWinsockForClients() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

// Clamps a buffer length to what Winsock's int-sized length parameters take.
int WinsockLength(std::size_t length) {
  return length > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(length);
}

}  // namespace

ListenFailure OpenTcpListener(const char* port, Socket* listener) {
  // Each listener holds its own Winsock reference, so the WSACleanup on a
  // failure below undoes only this call's WSAStartup and leaves sockets
  // opened elsewhere in the process working.
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return ListenFailure::kStartup;

  addrinfo hints{};
  hints.ai_flags = AI_PASSIVE;
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* result = nullptr;
  if (getaddrinfo(nullptr, port, &hints, &result) != 0) {
    WSACleanup();
    return ListenFailure::kResolve;
  }

  const SOCKET handle = socket(result->ai_family, result->ai_socktype, result->ai_protocol);
  if (handle == INVALID_SOCKET) {
    freeaddrinfo(result);
    WSACleanup();
    return ListenFailure::kSocket;
  }
  u_long nonBlocking = 1;
  if (ioctlsocket(handle, FIONBIO, &nonBlocking) == SOCKET_ERROR) {
    freeaddrinfo(result);
    closesocket(handle);
    WSACleanup();
    return ListenFailure::kNonBlocking;
  }
  // No SO_REUSEADDR: Windows already lets a restarted relay bind while old
  // connections sit in TIME_WAIT, and on Windows the option would let another
  // program bind the same port alongside the relay.
  if (bind(handle, result->ai_addr, static_cast<int>(result->ai_addrlen)) == SOCKET_ERROR) {
    freeaddrinfo(result);
    closesocket(handle);
    WSACleanup();
    return ListenFailure::kBind;
  }
  freeaddrinfo(result);
  if (listen(handle, SOMAXCONN) == SOCKET_ERROR) {
    closesocket(handle);
    WSACleanup();
    return ListenFailure::kListen;
  }
  *listener = static_cast<Socket>(handle);
  return ListenFailure::kNone;
}

int LocalPort(Socket socket) {
  sockaddr_in address{};
  int length = static_cast<int>(sizeof address);
  if (getsockname(Handle(socket), reinterpret_cast<sockaddr*>(&address), &length) == SOCKET_ERROR ||
      address.sin_family != AF_INET) {
    return -1;
  }
  return ntohs(address.sin_port);
}

Socket AcceptClient(Socket listener) {
  // A socket accepted from a non-blocking listener is non-blocking too.
  const SOCKET client = accept(Handle(listener), nullptr, nullptr);
  if (client == INVALID_SOCKET) return kInvalidSocket;
  return static_cast<Socket>(client);
}

void SetNoDelay(Socket socket) {
  // Winsock documents TCP_NODELAY as a BOOL. Windows also takes a single
  // byte, but the result is not checked here, so a layer that insisted on the
  // documented size would leave Nagle's algorithm silently on; the BOOL is
  // accepted everywhere.
  BOOL on = TRUE;
  setsockopt(Handle(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
             static_cast<int>(sizeof on));
}

long SendBytes(Socket socket, const char* bytes, std::size_t length) {
  // Windows has no SIGPIPE: a send to a dead connection only fails.
  const int sent = send(Handle(socket), bytes, WinsockLength(length), 0);
  if (sent != SOCKET_ERROR) return sent;
  return WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

void CloseSocket(Socket socket) {
  if (socket != kInvalidSocket) closesocket(Handle(socket));
}

Socket ConnectTcp(const char* host, const char* port, int receiveBuffer) {
  if (!EnsureWinsockForClients()) return kInvalidSocket;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* result = nullptr;
  if (getaddrinfo(host, port, &hints, &result) != 0) return kInvalidSocket;
  SOCKET handle = socket(result->ai_family, result->ai_socktype, result->ai_protocol);
  if (handle != INVALID_SOCKET && receiveBuffer > 0) {
    SetReceiveBufferSize(static_cast<Socket>(handle), receiveBuffer);
  }
  if (handle != INVALID_SOCKET &&
      connect(handle, result->ai_addr, static_cast<int>(result->ai_addrlen)) == SOCKET_ERROR) {
    closesocket(handle);
    handle = INVALID_SOCKET;
  }
  freeaddrinfo(result);
  return handle == INVALID_SOCKET ? kInvalidSocket : static_cast<Socket>(handle);
}

bool EnableKeepAlive(Socket socket) {
  BOOL on = TRUE;
  if (setsockopt(Handle(socket), SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on),
                 static_cast<int>(sizeof on)) == SOCKET_ERROR) {
    return false;
  }
  // The idle time and the interval, in milliseconds, go together through
  // SIO_KEEPALIVE_VALS on every Windows version.
  tcp_keepalive values{1, kKeepAliveIdleSeconds * 1000, kKeepAliveIntervalSeconds * 1000};
  DWORD returned = 0;
  if (WSAIoctl(Handle(socket), SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned,
               nullptr, nullptr) == SOCKET_ERROR) {
    return false;
  }
  // Before Windows 10 version 1703, and under Wine 8, the count cannot be
  // set (WSAENOPROTOOPT) and stays at 10 probes: a vanished peer is then
  // found gone after 15 s instead of 8.
  DWORD probes = kKeepAliveProbes;
  setsockopt(Handle(socket), IPPROTO_TCP, TCP_KEEPCNT, reinterpret_cast<const char*>(&probes),
             static_cast<int>(sizeof probes));
  return true;
}

void SetReceiveBufferSize(Socket socket, int bytes) {
  setsockopt(Handle(socket), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes),
             static_cast<int>(sizeof bytes));
}

void SetSendBufferSize(Socket socket, int bytes) {
  setsockopt(Handle(socket), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&bytes),
             static_cast<int>(sizeof bytes));
}

bool WaitForConnection(Socket listener, int timeoutMilliseconds) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(Handle(listener), &readable);
  timeval timeout{timeoutMilliseconds / 1000, timeoutMilliseconds % 1000 * 1000};
  // A listener is readable when a connection is pending.
  return select(0, &readable, nullptr, nullptr, &timeout) == 1;
}

long ReceiveBytes(Socket socket, char* buffer, std::size_t capacity, int timeoutMilliseconds) {
  for (;;) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(Handle(socket), &readable);
    timeval timeout{timeoutMilliseconds / 1000, timeoutMilliseconds % 1000 * 1000};
    // A negative time-out waits for as long as it takes. The first argument
    // of select is ignored by Winsock.
    const int ready =
        select(0, &readable, nullptr, nullptr, timeoutMilliseconds < 0 ? nullptr : &timeout);
    if (ready == 0) return -1;
    if (ready == SOCKET_ERROR) return -2;
    const int received = recv(Handle(socket), buffer, WinsockLength(capacity), 0);
    if (received != SOCKET_ERROR) return received;
    // A non-blocking socket can report readiness and then have nothing to
    // read; wait again.
    if (WSAGetLastError() != WSAEWOULDBLOCK) return -2;
  }
}

}  // namespace platform
