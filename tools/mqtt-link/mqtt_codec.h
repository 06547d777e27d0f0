// MQTT 3.1.1 packets, encoded and decoded in plain standard C++, for a link
// that talks to the broker itself (over a WebSocket on Windows) rather than
// through libmosquitto. Only what a publishing client needs: CONNECT,
// PUBLISH QoS 0/1, PUBACK, PINGREQ and DISCONNECT out; anything a broker
// may send a 3.1.1 client in, checked against the standard's rules.
//
// The encoders refuse what libmosquitto refuses (a wildcard in a topic, a
// string over 65,535 bytes, text that is not UTF-8 or holds control
// characters), so a setting the Linux build turns down is turned down here
// too, before the broker would drop the connection for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace mqtt_codec {

inline constexpr std::size_t kMaxRemainingLength = 268'435'455;
inline constexpr std::size_t kMaxStringLength = 65'535;

enum class PacketType : std::uint8_t {
  kConnect = 1,
  kConnack = 2,
  kPublish = 3,
  kPuback = 4,
  kPubrec = 5,
  kPubrel = 6,
  kPubcomp = 7,
  kSubscribe = 8,
  kSuback = 9,
  kUnsubscribe = 10,
  kUnsuback = 11,
  kPingreq = 12,
  kPingresp = 13,
  kDisconnect = 14,
};

// Members default to empty, so designated initializers may leave any out.
struct Will {  // always retained, QoS 1
  std::string_view topic{};
  std::string_view payload{};
};
struct Connect {
  std::string_view clientId{};  // may be empty only with cleanSession
  bool cleanSession = true;
  std::uint16_t keepAliveSeconds = 0;
  const Will* will = nullptr;                  // none when null
  const std::string_view* username = nullptr;  // none when null
  const std::string_view* password = nullptr;  // none when null (needs a username)
};
struct Publish {
  std::string_view topic{};
  std::string_view payload{};
  int qos = 0;  // 0 or 1
  bool retained = false;
  bool duplicate = false;      // DUP: a QoS 1 message sent again after a reconnect
  std::uint16_t packetId = 0;  // QoS 1 only, never 0
};

// Each Append* adds one whole packet to the end of `out`. The ones that can
// fail return false and leave `out` as it was, with the reason in `problem`
// (which may be null): a string over 65,535 bytes, a packet over MQTT's
// 268,435,455 bytes, an empty topic or one with + or #, text that is not
// UTF-8 or holds a control character, a password without a username, a QoS
// other than 0 and 1, QoS 1 with packet id 0, DUP on QoS 0, an empty client
// id without a clean session.
bool AppendConnect(const Connect& connect, std::string* out, std::string* problem);
bool AppendPublish(const Publish& publish, std::string* out, std::string* problem);
void AppendPuback(std::uint16_t packetId, std::string* out);
void AppendPingreq(std::string* out);
void AppendDisconnect(std::string* out);
// The remaining-length field; false (nothing added) above kMaxRemainingLength.
bool AppendRemainingLength(std::size_t length, std::string* out);
// The size of a whole PUBLISH packet for these fields (to check a limit
// before building it). Fields too long for one packet give more than
// 1 + 4 + kMaxRemainingLength (at most SIZE_MAX, never wrapping round).
std::size_t PublishSize(std::size_t topicSize, std::size_t payloadSize, int qos);

// One packet the broker sent. Only the fields of its type are set.
struct Packet {
  PacketType type{};
  std::uint8_t flags = 0;       // the low four bits of the first byte
  bool sessionPresent = false;  // CONNACK
  int returnCode = 0;           // CONNACK: 0 accepted, 1..5 refused
  std::uint16_t packetId = 0;   // PUBACK, PUBREC, PUBREL, PUBCOMP, SUBACK, UNSUBACK, PUBLISH QoS>0
  std::string_view topic{};     // PUBLISH (points into the bytes given)
  std::string_view payload{};   // PUBLISH
};
enum class Decoded { kPacket, kNeedMore, kMalformed };
// Reads the first packet in `bytes` (a client's received stream: bytes may
// hold several packets, or only the start of one; MQTT over WebSocket allows
// a packet to span messages).
//   kPacket: `*packet` set, `*used` = its length.
//   kNeedMore: the bytes end inside a packet whose fixed header (type,
//     flags, remaining length) is valid so far; nothing is set. The rest
//     (a CONNACK's return code, a PUBLISH's topic) is checked once the
//     packet is whole.
//   kMalformed: these bytes can never start a packet a broker may send a
//     3.1.1 client, with one short reason in `*problem` (which may be null):
//     "a remaining length longer than four bytes", "reserved packet type 0",
//     "CONNACK return code 9", "flags 0x3 on a PUBACK", "a PUBLISH with QoS
//     3", "a PUBLISH whose topic runs past its end", "a CONNECT from the
//     broker", ... A remaining length over `maxRemaining` is malformed too
//     (as soon as its first bytes show it), so a hostile length never makes
//     the link buffer more than it chose. A remaining length in more bytes
//     than it needs is accepted, as 3.1.1 does not forbid it.
// Never reads outside `bytes`, never throws, and allocates only to write
// `*problem`'s text (not even then when its capacity holds the reason).
Decoded DecodePacket(std::string_view bytes, Packet* packet, std::size_t* used,
                     std::string* problem, std::size_t maxRemaining = kMaxRemainingLength);

// The broker's refusal in words, the texts libmosquitto 2.0's
// mosquitto_connack_string gives, so the console lines match the Linux
// build's: 0 "Connection Accepted.", 1..5 "Connection Refused: ..." and any
// other code "Connection Refused: unknown reason.".
std::string_view RefusalText(int returnCode);

// True when `text` may stand in a topic or a client id as the encoders
// take them: well-formed UTF-8 without U+0000, control characters or
// non-characters (what libmosquitto takes too).
bool IsText(std::string_view text);

}  // namespace mqtt_codec
