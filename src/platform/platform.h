// The relay's whole contact with the operating system: the simulator's named
// shared-memory region and data-valid event, sleeping, the timer resolution,
// TCP sockets and the console. One implementation file per platform is picked
// by the build (platform_posix.cpp, platform_win32.cpp); nothing above this
// header sees an OS error code, a handle type or a would-block errno.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// ---- Named shared memory and event --------------------------------------
//
// Names are given as the simulator spells them ("Local\\IRSDKMemMapFileName").
// The POSIX stand-in replaces the "Local\\" prefix with "/" and uses a POSIX
// shared-memory object of that name (the event: a count in one, on which
// every waiter is woken).

struct Mapping;  // an opened named file mapping
struct Event;    // an opened named event; a signal wakes every waiter

// A contiguous run of bytes mapped into this process.
struct RegionView {
  const std::uint8_t* base = nullptr;
  std::size_t size = 0;
};

// Opens an existing mapping read-only; nullptr while it does not exist (on
// POSIX also while the name holds something other than a shared-memory
// object, such as a FIFO).
Mapping* OpenNamedMapping(const char* name);
// Maps the whole of `mapping` read-only; false on failure, and when the
// mapping has fewer than `minimumSize` bytes (checked before mapping).
bool MapWholeView(Mapping* mapping, RegionView* view, std::size_t minimumSize = 1);
// Unmaps `view` (when mapped) and closes `mapping`. The relay never lets go of
// the simulator's region while it is sound; tools and tests that only look
// in do. On Windows a named mapping lives as long as any handle to it.
void CloseNamedMapping(Mapping* mapping, RegionView* view);
// Opens an existing event for waiting; nullptr while it does not exist.
Event* OpenNamedEvent(const char* name);
// Waits until `event` is signalled or `milliseconds` pass, whichever is first.
// A null event (an in-memory region in tests) returns at once.
void WaitForNamedEvent(Event* event, int milliseconds);

// A shared-memory object shrunk by another process under a mapping of it
// (POSIX: ftruncate) would end the next read of a lost page with SIGBUS.
// Every mapping these calls make is watched instead: a fault inside one
// maps zero pages over the whole of it, so that the read goes on and reads
// zeros (the status word too: "not publishing"), and the mapping is marked
// lost. A lost mapping stays mapped, zeros and all, until it is closed; the
// caller notices with these calls and opens the name anew. Windows' mappings
// cannot shrink: never lost there.
bool MappingLost(const Mapping* mapping);
bool EventLost(const Event* event);

// Publisher side, as the simulator does it: creates the mapping (mode 0600 on
// POSIX) with `size` bytes, or opens an existing one, and maps it writable.
// `created` tells which happened. An existing mapping keeps its size, except
// an empty one (0 bytes, as left by a truncation), which gets `size` bytes.
// Room for every byte is reserved before it returns, so writing the region
// later cannot fail (on POSIX a write to a page the file system had no room
// for would end the process with SIGBUS). False on failure, with `failure`
// (when given) telling why; a mapping this call created is removed again.
struct WritableRegion {
  std::uint8_t* base = nullptr;
  std::size_t size = 0;
};
// kNoRoom: the system has no room for the bytes (on POSIX the shared-memory
// file system, /dev/shm, is full or too small; on Windows the commit limit
// is reached). kForeign: the name is taken by an object the publisher must
// not use (see ForeignObject).
enum class MappingFailure { kNone, kNoRoom, kForeign, kOther };
// An existing object under one of the publisher's names that it refuses,
// never adopts: on POSIX one that belongs to another user (who could
// rewrite, shrink or lock it at will) or that is no shared-memory object.
// Objects of the publisher's own user that others may write (group or other
// write bits; for the lock, any access by others) are removed and made
// anew, and an event of the wrong size is given its 4 bytes. `text` names
// the object and says why, in one line for the user. Windows refuses
// nothing here.
struct ForeignObject {
  char text[256] = {};
};
bool CreateNamedMapping(const char* name, std::size_t size, WritableRegion* region, bool* created,
                        MappingFailure* failure = nullptr, ForeignObject* foreign = nullptr);
// True once the publisher's own mapping of the region was found shrunk under
// it (see MappingLost); its writes since went to zero pages of its own.
bool RegionLost(const WritableRegion& region);
// Creates (or opens) the data-valid event; nullptr on failure, with
// `foreign` (when given) filled in when the name is taken by a foreign object.
Event* CreateNamedEvent(const char* name, ForeignObject* foreign = nullptr);
// Signals the event: every process waiting on it wakes, so that any number
// of readers (the relay, relay-web, ...) each hear of every row. On POSIX a
// reader busy at that moment finds the signal on its next wait; on Windows
// (a manual-reset event, set and reset) it does not, and waits out its time.
void SignalNamedEvent(Event* event);
// Releases this process's handle on an event it created; the named object
// itself stays (see Remove* below).
void CloseNamedEvent(Event* event);
// Removes the named objects so that the next publisher creates them anew.
// Windows has nothing to remove: its objects vanish with their last handle.
void RemoveNamedMapping(const char* name);
void RemoveNamedEvent(const char* name);

// Claims a lock named `name` for the rest of the process, so that two
// publishers never feed the same objects. The operating system releases it
// when the process ends, however it ends, so a crashed holder leaves nothing
// stale behind. On POSIX it is an advisory lock (flock) on a shared-memory
// object of that name; on Windows a named mutex, held by its existence.
// kForeign: the name holds a foreign object (`foreign` tells which and why),
// which says nothing about another publisher.
enum class LockResult { kAcquired, kHeldElsewhere, kForeign, kFailed };
LockResult AcquireNamedLock(const char* name, ForeignObject* foreign = nullptr);

// ---- Time and console ----------------------------------------------------

void SleepMilliseconds(int milliseconds);
// Asks for a system timer resolution of `milliseconds` for the rest of the
// process (Windows' timeBeginPeriod); nothing to do elsewhere.
void RequestTimerResolution(int milliseconds);
// Writes `text` to standard output and makes it visible at once.
void ConsoleWrite(const char* text);
// Monotonic clock, in nanoseconds from an arbitrary origin.
std::int64_t MonotonicNanoseconds();

// ---- TCP sockets ------------------------------------------------------------

using Socket = std::uintptr_t;
inline constexpr Socket kInvalidSocket = ~Socket{0};

// Which step of setting up the listener failed.
enum class ListenFailure { kNone, kStartup, kResolve, kSocket, kNonBlocking, kBind, kListen };

// Starts the network library and opens a non-blocking IPv4 listener on every
// local address at `port` ("0" picks a free port, for tests). On failure
// everything obtained so far is released and the failing step is returned.
ListenFailure OpenTcpListener(const char* port, Socket* listener);
// The port a socket is bound to, or -1.
int LocalPort(Socket socket);
// Takes one pending connection; kInvalidSocket when none is pending or accept
// fails for any other reason.
Socket AcceptClient(Socket listener);
// Switches Nagle's algorithm off; best effort.
void SetNoDelay(Socket socket);
// Sends without blocking and without raising SIGPIPE. Returns the number of
// bytes taken (possibly fewer than `length`), 0 when the call would block, or
// -1 when the connection has failed.
long SendBytes(Socket socket, const char* bytes, std::size_t length);
void CloseSocket(Socket socket);

// Client side, for tests and tools.
// Connects (blocking) to host:port; kInvalidSocket on failure. A
// `receiveBuffer` above 0 sets SO_RCVBUF before the handshake, so that the
// window the client offers is that small from the start.
Socket ConnectTcp(const char* host, const char* port, int receiveBuffer = 0);
// Switches TCP keep-alive on for a client's connection: once nothing has
// arrived for kKeepAliveIdleSeconds the system probes the peer every
// kKeepAliveIntervalSeconds, and after kKeepAliveProbes probes without an
// answer the connection fails, so that a receive reports an error as for a
// reset one. A client that only reads notices this way a peer whose host
// vanished without closing the connection (switched off, off the network),
// about 8 s after the last bytes. False when the system refused a setting;
// a probe count Windows cannot set (before 10 version 1703, where it is 10)
// is no failure.
inline constexpr int kKeepAliveIdleSeconds = 5;
inline constexpr int kKeepAliveIntervalSeconds = 1;
inline constexpr int kKeepAliveProbes = 3;
bool EnableKeepAlive(Socket socket);
// Sets SO_RCVBUF before or after connecting; best effort.
void SetReceiveBufferSize(Socket socket, int bytes);
// Sets SO_SNDBUF, so that a test can make a relay-side socket fill after a
// few kilobytes; best effort.
void SetSendBufferSize(Socket socket, int bytes);
// Waits up to `timeoutMilliseconds` for a connection to be pending on
// `listener`; true if one is.
bool WaitForConnection(Socket listener, int timeoutMilliseconds);
// Waits up to `timeoutMilliseconds` for data and reads what is there.
// Returns bytes read, 0 when the peer closed, -1 on time-out, -2 on error.
long ReceiveBytes(Socket socket, char* buffer, std::size_t capacity, int timeoutMilliseconds);

}  // namespace platform
