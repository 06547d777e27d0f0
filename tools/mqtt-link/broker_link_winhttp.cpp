// The broker link on Windows: MQTT 3.1.1 (mqtt_codec) over the broker's
// WebSocket listener (ws:// and wss://), through WinHTTP, so that TLS,
// proxies and the certificate store are the system's and nothing ships with
// relay-mqtt.exe. Each MQTT packet goes as one binary WebSocket message, with
// the subprotocol "mqtt".
//
// Two threads per connection: the network thread opens it, sends (the
// program's messages, the pings, the goodbye) and reads what came in; a
// reader thread sits in WinHttpWebSocketReceive, which has no timeout, and
// hands over the bytes. A broker that goes silent is noticed by the missing
// answers to the pings; its connection is then closed, which on Windows
// ends the reader's receive (under Wine it ends only with the TCP
// connection, so the reader is left behind, holding nothing of the link;
// with a few of them waiting so, no new connection is tried until one ends,
// which keeps the threads a broker that keeps going silent can cost bounded).
#include <windows.h>
// windows.h first: the others build on its types.
#include <wincrypt.h>
#include <winhttp.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <vector>

#include "mqtt-link/broker_link.h"
#include "mqtt-link/mqtt_codec.h"

namespace mqtt_link {

namespace {

using Clock = std::chrono::steady_clock;

// How long a stopping link may take to say goodbye and see the socket close.
constexpr std::chrono::milliseconds kGoodbyeFlush{500};
// A ping this often, answered or not: with rows going out at QoS 0 the broker
// would otherwise have nothing to answer, and its silence would mean nothing.
constexpr auto kPingEvery = std::chrono::seconds(kKeepAliveSeconds) / 2;
// The broker sends this client acknowledgements and pings only; anything
// longer is not meant for it, and is not buffered.
constexpr std::size_t kLargestFromBroker = 64 * 1024;
// Readers left in a receive that never ended: with this many, no new
// connection is tried until one of them ends.
constexpr int kMostLeftBehind = 4;
// Spare packet buffers kept for reuse, so rows are not an allocation each.
constexpr std::size_t kSpareBuffers = 8;

std::wstring Wide(std::string_view text) {
  if (text.empty()) return {};
  const int size =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(std::max(size, 0)), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
  return wide;
}

// WinHTTP's failures in words (its message table is not always installed).
std::string WinHttpText(DWORD code) {
  switch (code) {
    case ERROR_WINHTTP_TIMEOUT:
      return "timed out";
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
      return "the host name could not be resolved";
    case ERROR_WINHTTP_CANNOT_CONNECT:
      return "cannot connect";
    case ERROR_WINHTTP_CONNECTION_ERROR:
      return "the connection was reset or closed";
    case ERROR_WINHTTP_SECURE_FAILURE:
      return "TLS failed: the broker's certificate is not trusted by Windows or is not for "
             "this host name";
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
      return "the broker's answer is not HTTP or not a WebSocket";
    case ERROR_WINHTTP_OPERATION_CANCELLED:
      return "the connection was closed";
    default:
      return "WinHTTP error " + std::to_string(code);
  }
}

std::string SystemText(DWORD code) {
  return code >= WINHTTP_ERROR_BASE && code <= WINHTTP_ERROR_LAST
             ? WinHttpText(code)
             : "Windows error " + std::to_string(code);
}

// What the reader thread and the program's thread share with the network
// thread. Held by a shared pointer: a reader left behind in a receive that
// never ends keeps it alive after the link is gone.
struct Channel {
  std::mutex mutex;
  std::condition_variable wake;
  // The program's packets, whole, waiting for the network thread. A QoS 1
  // one is kept after it has gone, in `unacknowledged`, until the broker
  // acknowledges it, and sent again (marked a duplicate) after a reconnect.
  struct Outgoing {
    std::string packet;
    std::uint16_t id = 0;  // 0: QoS 0
  };
  std::deque<Outgoing> outbox;
  std::deque<Outgoing> unacknowledged;
  std::vector<std::string> spare;
  std::uint16_t lastId = 0;
  // From the reader: the bytes it received, or why it stopped. Its
  // connection's number tells a reader left behind from the current one.
  int connection = 0;
  int leftBehind = 0;  // readers of earlier connections still in a receive
  std::string inbox;
  bool readerEnded = false;
  std::string readerReason;

  std::string TakeSpare() {
    if (spare.empty()) return {};
    std::string buffer = std::move(spare.back());
    spare.pop_back();
    buffer.clear();
    return buffer;
  }
  void Recycle(std::string buffer) {
    if (spare.size() < kSpareBuffers) spare.push_back(std::move(buffer));
  }
  // The next packet id not waiting for its acknowledgement (0 is not one).
  std::uint16_t NextId() {
    for (;;) {
      if (++lastId == 0) lastId = 1;
      const bool taken = std::any_of(unacknowledged.begin(), unacknowledged.end(),
                                     [&](const Outgoing& o) { return o.id == lastId; }) ||
                         std::any_of(outbox.begin(), outbox.end(),
                                     [&](const Outgoing& o) { return o.id == lastId; });
      if (!taken) return lastId;
    }
  }
};

// One WebSocket: its WinHTTP handles, closed in turn.
struct Socket {
  HINTERNET connect = nullptr;
  HINTERNET request = nullptr;
  HINTERNET websocket = nullptr;
  Socket() = default;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  ~Socket() { Close(); }
  void Close() {
    for (HINTERNET* handle : {&websocket, &request, &connect}) {
      if (*handle != nullptr) WinHttpCloseHandle(*handle);
      *handle = nullptr;
    }
  }
};

bool Send(HINTERNET websocket, std::string_view packet, std::string* reason) {
  const DWORD code =
      WinHttpWebSocketSend(websocket, WINHTTP_WEB_SOCKET_BINARY_MESSAGE_BUFFER_TYPE,
                           const_cast<char*>(packet.data()), static_cast<DWORD>(packet.size()));
  if (code == NO_ERROR) return true;
  *reason = SystemText(code);
  return false;
}

// Sits in WinHttpWebSocketReceive until the connection ends, handing what
// comes to the network thread.
void Read(std::shared_ptr<Channel> channel, HINTERNET websocket, int connection) {
  std::array<char, 4096> buffer;
  for (;;) {
    DWORD got = 0;
    WINHTTP_WEB_SOCKET_BUFFER_TYPE type{};
    const DWORD code = WinHttpWebSocketReceive(websocket, buffer.data(),
                                               static_cast<DWORD>(buffer.size()), &got, &type);
    std::lock_guard<std::mutex> lock(channel->mutex);
    if (channel->connection != connection) {  // left behind, and now done
      --channel->leftBehind;
      channel->wake.notify_all();
      return;
    }
    std::string reason;
    if (code != NO_ERROR) {
      reason = SystemText(code);
    } else if (type == WINHTTP_WEB_SOCKET_CLOSE_BUFFER_TYPE) {
      reason = "the broker closed the connection";
    } else if (type == WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE ||
               type == WINHTTP_WEB_SOCKET_UTF8_FRAGMENT_BUFFER_TYPE) {
      reason = "the broker sent a text message, where MQTT is binary";
    } else if (channel->inbox.size() + got > kLargestFromBroker) {
      reason = "the broker sent more than 64 KiB this client did not ask for";
    } else {
      channel->inbox.append(buffer.data(), got);
      channel->wake.notify_all();
      continue;
    }
    channel->readerEnded = true;
    channel->readerReason = std::move(reason);
    channel->wake.notify_all();
    return;
  }
}

// The CAs of a PEM file in a memory store; null, with the reason in
// `problem`, when the file cannot be read or holds none.
HCERTSTORE LoadAuthorities(const std::string& path, std::string* problem) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *problem = std::strerror(errno);
    return nullptr;
  }
  std::string text;
  std::array<char, 4096> chunk;
  std::size_t got = 0;
  while ((got = std::fread(chunk.data(), 1, chunk.size(), file)) > 0 && text.size() < 4 << 20) {
    text.append(chunk.data(), got);
  }
  std::fclose(file);
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  if (store == nullptr) {
    *problem = "cannot make a certificate store";
    return nullptr;
  }
  constexpr std::string_view kBegin = "-----BEGIN CERTIFICATE-----";
  constexpr std::string_view kEnd = "-----END CERTIFICATE-----";
  int added = 0;
  for (std::size_t at = text.find(kBegin); at != std::string::npos; at = text.find(kBegin, at)) {
    const std::size_t end = text.find(kEnd, at);
    if (end == std::string::npos) break;
    const std::string block = text.substr(at, end + kEnd.size() - at);
    at = end;
    DWORD size = 0;
    if (!CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()),
                              CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr)) {
      continue;
    }
    std::vector<BYTE> der(size);
    if (CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()),
                             CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr) &&
        CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size,
                                         CERT_STORE_ADD_ALWAYS, nullptr)) {
      ++added;
    }
  }
  if (added == 0) {
    CertCloseStore(store, 0);
    *problem = "it holds no PEM certificate";
    return nullptr;
  }
  return store;
}

// With --cafile WinHTTP is told not to mind a CA it does not know, and this
// checks instead, before the login is sent, that the broker's chain ends in
// one of the file's CAs and has no other fault. (The host name and the
// dates WinHTTP has checked.)
bool ChainEndsInOurCa(HINTERNET request, HCERTSTORE authorities) {
  PCCERT_CONTEXT certificate = nullptr;
  DWORD size = sizeof certificate;
  if (!WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &certificate, &size) ||
      certificate == nullptr) {
    return false;
  }
  CERT_CHAIN_PARA parameters{};
  parameters.cbSize = sizeof parameters;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  bool trusted = false;
  if (CertGetCertificateChain(nullptr, certificate, nullptr, authorities, &parameters, 0, nullptr,
                              &chain) &&
      chain->cChain > 0 && chain->rgpChain[0]->cElement > 0) {
    const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
    PCCERT_CONTEXT root = simple->rgpElement[simple->cElement - 1]->pCertContext;
    const DWORD faults =
        chain->TrustStatus.dwErrorStatus &
        ~static_cast<DWORD>(CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_REVOCATION_STATUS_UNKNOWN |
                            CERT_TRUST_IS_OFFLINE_REVOCATION);
    PCCERT_CONTEXT ours = CertFindCertificateInStore(authorities, X509_ASN_ENCODING, 0,
                                                     CERT_FIND_EXISTING, root, nullptr);
    trusted = faults == 0 && ours != nullptr;
    if (ours != nullptr) CertFreeCertificateContext(ours);
  }
  if (chain != nullptr) CertFreeCertificateChain(chain);
  CertFreeCertificateContext(certificate);
  return trusted;
}

}  // namespace

bool SpeaksScheme(std::string_view scheme) { return scheme == "ws" || scheme == "wss"; }
const char kBrokerUrlForms[] =
    "ws://HOST[:PORT][/PATH] or wss://HOST[:PORT][/PATH], the broker's WebSocket listener";

struct BrokerLink::Transport {
  HINTERNET session = nullptr;
  HCERTSTORE authorities = nullptr;  // --cafile's CAs; null: the system's
  std::wstring host;
  std::wstring path;
  std::string connectPacket;
  std::shared_ptr<Channel> channel = std::make_shared<Channel>();
  // The network thread's: bytes received and not yet decoded.
  std::string received;

  ~Transport() {
    if (authorities != nullptr) CertCloseStore(authorities, 0);
    if (session != nullptr) WinHttpCloseHandle(session);
  }
};

// The network thread's work on one connection.
struct BrokerLink::Events {
  // Opens the WebSocket; false with the reason when it cannot.
  static bool Open(BrokerLink* link, Socket* socket, std::string* reason);
  // Logs in and carries the link until it fails or stops; true when the
  // broker accepted the login.
  static bool Carry(BrokerLink* link, Socket* socket, std::string* reason);
  // Waits until `until` for something to do (with `sending`, the program's
  // messages are something); false when the reader ended.
  static bool Wait(BrokerLink* link, Clock::time_point until, bool sending, std::string* reason);
  // Sends what the program queued; false when the connection failed.
  static bool Flush(BrokerLink* link, HINTERNET websocket, std::string* reason);
  // Decodes what came and acts on it; false with the reason when the
  // broker broke the protocol.
  static bool Handle(BrokerLink* link, HINTERNET websocket, bool* acceptedNow, std::string* reason);
};

void BrokerLink::TransportDeleter::operator()(Transport* transport) const { delete transport; }

BrokerLink::~BrokerLink() {
  if (thread_.joinable()) Stop("", {}, std::chrono::milliseconds(0));
}

bool BrokerLink::Prepare(std::string* error) {
  transport_.reset(new Transport);
  Transport& transport = *transport_;
  if (!settings_.subscriptions.empty() || onMessage_) {
    *error = "subscriptions are not supported on Windows";
    return false;
  }
  if (settings_.tls && !settings_.caFile.empty()) {
    std::string problem;
    transport.authorities = LoadAuthorities(settings_.caFile, &problem);
    if (transport.authorities == nullptr) {
      *error = "cannot use the CA file " + settings_.caFile + ": " + problem;
      return false;
    }
  }
  // The system's proxy settings, as the browser has them where Windows
  // can tell (8.1 and later); else those of `netsh winhttp`.
  transport.session = WinHttpOpen(L"relay-mqtt", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                  WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  if (transport.session == nullptr) {
    transport.session = WinHttpOpen(L"relay-mqtt", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  }
  if (transport.session == nullptr) {
    *error = "cannot start WinHTTP: " + SystemText(GetLastError());
    return false;
  }
  // Name lookup, connect, and each send and receive of the upgrade: no
  // longer than the keep-alive.
  const int limit = kKeepAliveSeconds * 1000;
  WinHttpSetTimeouts(transport.session, limit, limit, limit, limit);
  transport.host = Wide(settings_.host);
  transport.path = Wide(settings_.path);

  mqtt_codec::Connect connect;
  connect.clientId = settings_.clientId;
  connect.cleanSession = settings_.cleanSession;
  connect.keepAliveSeconds = static_cast<std::uint16_t>(kKeepAliveSeconds);
  const mqtt_codec::Will will{settings_.willTopic, settings_.willPayload};
  if (!settings_.willTopic.empty()) connect.will = &will;
  const std::string_view username = settings_.username;
  const std::string_view password = settings_.password;
  if (!username.empty()) connect.username = &username;
  if (!username.empty() && settings_.havePassword) connect.password = &password;
  std::string problem;
  if (!mqtt_codec::AppendConnect(connect, &transport.connectPacket, &problem)) {
    *error = "cannot set the client up: " + problem;
    return false;
  }
  return true;
}

bool BrokerLink::Events::Open(BrokerLink* link, Socket* socket, std::string* reason) {
  Transport& transport = *link->transport_;
  const auto failed = [&] {
    *reason = SystemText(GetLastError());
    return false;
  };
  socket->connect = WinHttpConnect(transport.session, transport.host.c_str(),
                                   static_cast<INTERNET_PORT>(link->settings_.port), 0);
  if (socket->connect == nullptr) return failed();
  socket->request = WinHttpOpenRequest(socket->connect, L"GET", transport.path.c_str(), nullptr,
                                       WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                       link->settings_.tls ? WINHTTP_FLAG_SECURE : 0);
  if (socket->request == nullptr ||
      !WinHttpSetOption(socket->request, WINHTTP_OPTION_UPGRADE_TO_WEB_SOCKET, nullptr, 0) ||
      !WinHttpAddRequestHeaders(socket->request, L"Sec-WebSocket-Protocol: mqtt",
                                static_cast<DWORD>(-1), WINHTTP_ADDREQ_FLAG_ADD)) {
    return failed();
  }
  if (transport.authorities != nullptr) {
    DWORD flags = SECURITY_FLAG_IGNORE_UNKNOWN_CA;
    if (!WinHttpSetOption(socket->request, WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof flags)) {
      return failed();
    }
  }
  if (!WinHttpSendRequest(socket->request, WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                          WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
      !WinHttpReceiveResponse(socket->request, nullptr)) {
    return failed();
  }
  DWORD status = 0;
  DWORD size = sizeof status;
  WinHttpQueryHeaders(socket->request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                      WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
  if (status != HTTP_STATUS_SWITCH_PROTOCOLS) {
    *reason = "the broker answered HTTP " + std::to_string(status) + " to a WebSocket on " +
              link->settings_.path + ": is this its websockets listener?";
    return false;
  }
  if (transport.authorities != nullptr &&
      !ChainEndsInOurCa(socket->request, transport.authorities)) {
    *reason =
        "TLS failed: the broker's certificate is not signed by a CA in " + link->settings_.caFile;
    return false;
  }
  socket->websocket = WinHttpWebSocketCompleteUpgrade(socket->request, 0);
  if (socket->websocket == nullptr) return failed();
  return true;
}

bool BrokerLink::Events::Wait(BrokerLink* link, Clock::time_point until, bool sending,
                              std::string* reason) {
  Channel& channel = *link->transport_->channel;
  std::unique_lock<std::mutex> lock(channel.mutex);
  channel.wake.wait_until(lock, until, [&] {
    return link->stopping_ || channel.readerEnded || !channel.inbox.empty() ||
           (sending && !channel.outbox.empty());
  });
  link->transport_->received.append(channel.inbox);
  channel.inbox.clear();
  if (!channel.readerEnded) return true;
  *reason = channel.readerReason;
  return false;
}

bool BrokerLink::Events::Flush(BrokerLink* link, HINTERNET websocket, std::string* reason) {
  Channel& channel = *link->transport_->channel;
  std::unique_lock<std::mutex> lock(channel.mutex);
  while (!channel.outbox.empty()) {
    Channel::Outgoing message = std::move(channel.outbox.front());
    channel.outbox.pop_front();
    lock.unlock();
    const bool sent = Send(websocket, message.packet, reason);
    lock.lock();
    if (message.id != 0) {
      // Kept even when the send failed: the next connection sends it again.
      channel.unacknowledged.push_back(std::move(message));
    } else {
      channel.Recycle(std::move(message.packet));
      link->WrittenOne();  // room for the next row
    }
    if (!sent) return false;
  }
  return true;
}

bool BrokerLink::Events::Handle(BrokerLink* link, HINTERNET websocket, bool* acceptedNow,
                                std::string* reason) {
  std::string& received = link->transport_->received;
  std::size_t at = 0;
  bool fine = true;
  while (fine && at < received.size()) {
    mqtt_codec::Packet packet;
    std::size_t used = 0;
    std::string problem;
    const mqtt_codec::Decoded decoded = mqtt_codec::DecodePacket(
        std::string_view(received).substr(at), &packet, &used, &problem, kLargestFromBroker);
    if (decoded == mqtt_codec::Decoded::kNeedMore) break;
    if (decoded == mqtt_codec::Decoded::kMalformed) {
      *reason = "the broker sent a malformed packet: " + problem;
      fine = false;
      break;
    }
    at += used;
    switch (packet.type) {
      case mqtt_codec::PacketType::kConnack:
        if (link->accepted_) break;  // only the first one counts
        link->refusal_ = packet.returnCode;
        if (packet.returnCode != 0) {
          *reason = std::string("the broker refused the login: ") +
                    std::string(mqtt_codec::RefusalText(packet.returnCode));
          fine = false;
        } else {
          link->accepted_ = true;
          *acceptedNow = true;
        }
        break;
      case mqtt_codec::PacketType::kPuback: {
        Channel& channel = *link->transport_->channel;
        std::lock_guard<std::mutex> lock(channel.mutex);
        const auto acknowledged =
            std::find_if(channel.unacknowledged.begin(), channel.unacknowledged.end(),
                         [&](const Channel::Outgoing& o) { return o.id == packet.packetId; });
        if (acknowledged == channel.unacknowledged.end()) break;  // a duplicate's
        channel.Recycle(std::move(acknowledged->packet));
        channel.unacknowledged.erase(acknowledged);
        link->WrittenOne();
        break;
      }
      case mqtt_codec::PacketType::kPublish:
        // Nothing is subscribed to; a broker that sends anyway at QoS 1 is
        // acknowledged, so it does not send again.
        if ((packet.flags & 0x06) != 0) {
          std::string puback;
          mqtt_codec::AppendPuback(packet.packetId, &puback);
          fine = Send(websocket, puback, reason);
        }
        break;
      default:  // PINGRESP, and what needs no answer
        break;
    }
  }
  received.erase(0, at);
  return fine;
}

bool BrokerLink::Events::Carry(BrokerLink* link, Socket* socket, std::string* reason) {
  Transport& transport = *link->transport_;
  Channel& channel = *transport.channel;
  transport.received.clear();
  std::thread reader;
  {
    std::lock_guard<std::mutex> lock(channel.mutex);
    channel.inbox.clear();
    channel.readerEnded = false;
    reader = std::thread(Read, transport.channel, socket->websocket, channel.connection);
  }
  bool gotIn = false;
  bool fine = Send(socket->websocket, transport.connectPacket, reason);
  auto heard = Clock::now();
  auto pinged = heard;
  while (fine && !link->stopping_) {
    const auto now = Clock::now();
    const auto silentSince = now - heard;
    if (silentSince >= std::chrono::seconds(kKeepAliveSeconds)) {
      *reason = link->TimeoutReason(gotIn);
      fine = false;
      break;
    }
    if (gotIn && now - pinged >= kPingEvery) {
      std::string ping;
      mqtt_codec::AppendPingreq(&ping);
      fine = Send(socket->websocket, ping, reason);
      pinged = now;
      continue;
    }
    const std::size_t before = transport.received.size();
    const bool readerFine =
        Wait(link, std::min(heard + std::chrono::seconds(kKeepAliveSeconds), pinged + kPingEvery),
             gotIn, reason);
    if (transport.received.size() != before) heard = Clock::now();
    bool acceptedNow = false;
    fine = Handle(link, socket->websocket, &acceptedNow, reason);
    if (fine && !readerFine) fine = false;
    if (fine && acceptedNow) {
      gotIn = true;
      pinged = Clock::now();
      link->ReportConnected();
      link->post_([link] {
        link->connected_ = true;
        link->unwritten_ = 0;  // what was queued before went with the old link
        link->onConnected_();
      });
      // What the broker never acknowledged goes again, ahead of anything
      // new, marked as a duplicate.
      std::lock_guard<std::mutex> lock(channel.mutex);
      while (!channel.unacknowledged.empty()) {
        Channel::Outgoing message = std::move(channel.unacknowledged.back());
        channel.unacknowledged.pop_back();
        message.packet[0] = static_cast<char>(message.packet[0] | 0x08);
        channel.outbox.push_front(std::move(message));
      }
    }
    if (fine && gotIn) fine = Flush(link, socket->websocket, reason);
  }
  if (link->stopping_ && fine) {
    // The rest of what was queued, then the goodbye: the broker publishes
    // no will, and closes the connection, which ends the reader.
    std::string goodbye;
    mqtt_codec::AppendDisconnect(&goodbye);
    if (!gotIn ||
        (Flush(link, socket->websocket, reason) && Send(socket->websocket, goodbye, reason))) {
      WinHttpWebSocketShutdown(socket->websocket, WINHTTP_WEB_SOCKET_SUCCESS_CLOSE_STATUS, nullptr,
                               0);
    }
  }
  // Rows not yet written went with this connection; QoS 1 messages stay.
  {
    std::lock_guard<std::mutex> lock(channel.mutex);
    for (auto it = channel.outbox.begin(); it != channel.outbox.end();) {
      it = it->id == 0 ? channel.outbox.erase(it) : std::next(it);
    }
  }
  // Wait a moment for the reader to see the end; a reader still in its
  // receive (a silent broker) is left behind.
  std::unique_lock<std::mutex> lock(channel.mutex);
  channel.wake.wait_for(lock, kGoodbyeFlush, [&] { return channel.readerEnded; });
  ++channel.connection;
  const bool readerDone = channel.readerEnded;
  if (!readerDone) ++channel.leftBehind;
  lock.unlock();
  socket->Close();
  if (readerDone) {
    reader.join();
  } else {
    reader.detach();
  }
  return gotIn;
}

void BrokerLink::Run() {
  std::chrono::seconds wait = kFirstRetry;
  bool outageReported = false;
  Channel& channel = *transport_->channel;
  while (!stopping_) {
    {
      std::unique_lock<std::mutex> lock(channel.mutex);
      channel.wake.wait(lock,
                        [&] { return stopping_.load() || channel.leftBehind < kMostLeftBehind; });
    }
    if (stopping_) break;
    accepted_ = false;
    refusal_ = 0;
    std::string reason;
    Socket socket;
    const bool announced =
        Events::Open(this, &socket, &reason) && Events::Carry(this, &socket, &reason);
    if (stopping_) break;
    ReportFailure(announced, reason, &outageReported, &wait);
    if (announced) {
      unwritten_ = 0;  // nothing more is written or acknowledged on this link
      post_([this] {
        if (!connected_) return;
        connected_ = false;
        onLost_();
      });
    }
    if (!Pause(wait)) break;
    wait = NextRetry(wait);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  finished_ = true;
  wake_.notify_all();
}

bool BrokerLink::Publish(const std::string& topic, std::string_view payload, int qos,
                         bool retained) {
  Channel& channel = *transport_->channel;
  std::lock_guard<std::mutex> lock(channel.mutex);
  std::string packet = channel.TakeSpare();
  const std::uint16_t id = qos == 0 ? 0 : channel.NextId();
  std::string problem;
  if (!mqtt_codec::AppendPublish({topic, payload, qos, retained, false, id}, &packet, &problem)) {
    return false;
  }
  ++unwritten_;
  channel.outbox.push_back({std::move(packet), id});
  channel.wake.notify_all();
  return true;
}

void BrokerLink::WakeToStop() {
  std::lock_guard<std::mutex> lock(transport_->channel->mutex);
  transport_->channel->wake.notify_all();
}

void BrokerLink::AbandonTransport() {
  (void)transport_.release();  // still in use by the thread; the process is ending
}

}  // namespace mqtt_link
