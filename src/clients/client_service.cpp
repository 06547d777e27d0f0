// Listener, admission and broadcast.
#include "clients/client_service.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace clients {

namespace {

const char* FailureMessage(platform::ListenFailure failure) {
  switch (failure) {
    case platform::ListenFailure::kStartup:
      return "WSASTARTUP FAILED";
    case platform::ListenFailure::kResolve:
      return "getaddrinfo failed";
    case platform::ListenFailure::kSocket:
      return "socket failed";
    case platform::ListenFailure::kNonBlocking:
      return "ioctlsocket failed";
    case platform::ListenFailure::kBind:
      return "bind failed";
    case platform::ListenFailure::kListen:
      return "listen failed";
    case platform::ListenFailure::kNone:
      break;
  }
  return nullptr;
}

enum class Delivery { kDone, kBlocked, kFailed };

// Sends what is left of the client's pending tail.
Delivery FlushPending(const ClientService& service, Client& client) {
  while (client.pendingStart < client.pendingEnd) {
    const long sent = service.send(client.socket, client.pending + client.pendingStart,
                                   client.pendingEnd - client.pendingStart);
    if (sent < 0) return Delivery::kFailed;
    if (sent == 0) return Delivery::kBlocked;
    client.pendingStart += static_cast<std::size_t>(sent);
  }
  client.pendingStart = client.pendingEnd = 0;
  return Delivery::kDone;
}

// Sends a whole message, keeping whatever the network did not take.
Delivery SendMessage(const ClientService& service, Client& client, const char* text,
                     std::size_t length) {
  const long sent = service.send(client.socket, text, length);
  if (sent < 0) return Delivery::kFailed;
  if (sent == 0) return Delivery::kBlocked;
  const auto taken = static_cast<std::size_t>(sent);
  if (taken < length) {
    std::memcpy(client.pending, text + taken, length - taken);
    client.pendingStart = 0;
    client.pendingEnd = length - taken;
  }
  return Delivery::kDone;
}

}  // namespace

void OpenListener(ClientService& service, const char* port) {
  const platform::ListenFailure failure = platform::OpenTcpListener(port, &service.listener);
  if (failure == platform::ListenFailure::kNone) return;
  platform::ConsoleWrite(FailureMessage(failure));
  std::exit(1);
}

bool AdmitClient(ClientService& service, std::uint32_t clientNumber) {
  const platform::Socket socket = platform::AcceptClient(service.listener);
  if (socket == platform::kInvalidSocket) return false;
  if (service.table.count(clientNumber) != 0) {
    platform::CloseSocket(socket);
    return false;
  }
  platform::SetNoDelay(socket);
  service.table[clientNumber].socket = socket;
  return true;
}

std::size_t ClientCount(const ClientService& service) { return service.table.size(); }

void Broadcast(ClientService& service, const char* text, std::size_t length) {
  if (length > kMaxMessageLength) return;
  for (auto entry = service.table.begin(); entry != service.table.end();) {
    Client& client = entry->second;
    // A client still owed the tail of an earlier message gets that first; if
    // it cannot take all of it now, it misses this message whole.
    Delivery delivery = FlushPending(service, client);
    if (delivery == Delivery::kDone) delivery = SendMessage(service, client, text, length);
    if (delivery == Delivery::kFailed) {
      platform::ConsoleWrite("\n Client disconnected");
      platform::CloseSocket(client.socket);
      entry = service.table.erase(entry);
      continue;
    }
    ++entry;
  }
}

}  // namespace clients
