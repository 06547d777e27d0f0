// The relay's TCP side: the listener on port 6667, the table of connected
// clients, admission of at most one client per call, and the broadcast of one
// message to every client.
//
// A client's stream never carries part of a message: when the network takes
// only part of one, the rest is kept for that client and sent before anything
// new, and a client whose send would block misses that one message without
// costing any other client theirs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>

#include "platform/platform.h"

namespace clients {

inline constexpr char kPort[] = "6667";
inline constexpr std::size_t kMaxMessageLength = 1024;

struct Client {
  platform::Socket socket = platform::kInvalidSocket;
  // The unsent tail of a message the network took only part of.
  std::size_t pendingStart = 0;
  std::size_t pendingEnd = 0;
  char pending[kMaxMessageLength];
};

using SendFunction = long (*)(platform::Socket, const char*, std::size_t);

struct ClientService {
  platform::Socket listener = platform::kInvalidSocket;
  // Keyed by client number as an unsigned value: ascending order puts the
  // longest-connected client first.
  std::map<std::uint32_t, Client> table;
  // platform::SendBytes, or a test's stand-in that takes fewer bytes.
  SendFunction send = platform::SendBytes;
};

// Opens the listener on `port` (6667; tests pass "0" for any free port), or
// prints the failing step's message with no line end and ends the process
// with status 1.
void OpenListener(ClientService& service, const char* port = kPort);

// Takes one pending connection and stores it under `clientNumber`. False when
// none is pending (or the number is still taken by a connected client, which
// needs the numbers to have wrapped around: the newcomer is turned away).
bool AdmitClient(ClientService& service, std::uint32_t clientNumber);
std::size_t ClientCount(const ClientService& service);
// Sends `length` bytes of `text` (at most kMaxMessageLength) to every client
// in ascending client number, dropping those whose connection has failed.
void Broadcast(ClientService& service, const char* text, std::size_t length);

}  // namespace clients
