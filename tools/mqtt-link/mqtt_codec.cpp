// MQTT 3.1.1 encoding and decoding: the fixed header (type, flags, the
// remaining length in 1-4 bytes of 7 bits), 2-byte big-endian lengths before
// strings, and the checks that keep a hostile or broken broker's bytes from
// being taken for a packet.
#include "mqtt-link/mqtt_codec.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace mqtt_codec {
namespace {

constexpr const char* kTypeNames[16] = {"reserved packet type 0",
                                        "CONNECT",
                                        "CONNACK",
                                        "PUBLISH",
                                        "PUBACK",
                                        "PUBREC",
                                        "PUBREL",
                                        "PUBCOMP",
                                        "SUBSCRIBE",
                                        "SUBACK",
                                        "UNSUBSCRIBE",
                                        "UNSUBACK",
                                        "PINGREQ",
                                        "PINGRESP",
                                        "DISCONNECT",
                                        "reserved packet type 15"};

std::uint8_t Byte(std::string_view bytes, std::size_t at) {
  return static_cast<std::uint8_t>(bytes[at]);
}
std::uint16_t U16(std::string_view bytes, std::size_t at) {
  return static_cast<std::uint16_t>(Byte(bytes, at) << 8 | Byte(bytes, at + 1));
}

// ---- Encoding

enum class TextCheck { kValid, kDiscouraged, kInvalid };

// MQTT requires every string to be well-formed UTF-8 (no overlong forms, no
// surrogates, nothing past U+10FFFF) without U+0000; it discourages control
// characters and non-characters, which libmosquitto and the Mosquitto broker
// refuse as well (the broker by dropping the connection).
TextCheck CheckText(std::string_view text) {
  TextCheck result = TextCheck::kValid;
  for (std::size_t i = 0; i < text.size();) {
    const std::uint8_t lead = Byte(text, i);
    std::size_t length = 1;
    std::uint32_t point = lead;
    std::uint32_t least = 0;  // the smallest code point that needs `length` bytes
    if ((lead & 0xE0) == 0xC0) {
      length = 2, point = lead & 0x1Fu, least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, point = lead & 0x0Fu, least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, point = lead & 0x07u, least = 0x10000;
    } else if (lead >= 0x80) {
      return TextCheck::kInvalid;
    }
    if (text.size() - i < length) return TextCheck::kInvalid;
    for (std::size_t k = 1; k < length; ++k) {
      const std::uint8_t next = Byte(text, i + k);
      if ((next & 0xC0) != 0x80) return TextCheck::kInvalid;
      point = point << 6 | (next & 0x3Fu);
    }
    if (point == 0 || point < least || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
      return TextCheck::kInvalid;
    }
    if (point < 0x20 || (point >= 0x7F && point <= 0x9F) || (point >= 0xFDD0 && point <= 0xFDEF) ||
        (point & 0xFFFE) == 0xFFFE) {
      result = TextCheck::kDiscouraged;
    }
    i += length;
  }
  return result;
}

bool Refuse(std::string* problem, std::string_view what, std::string_view why = {}) {
  if (problem != nullptr) {
    problem->assign(what);
    problem->append(why);
  }
  return false;
}

// Whether `field` fits a string field (and with `isText`, is text a broker
// takes); if not, says why, calling it `what`.
bool CheckField(std::string_view field, std::string_view what, bool isText, std::string* problem) {
  if (field.size() > kMaxStringLength) return Refuse(problem, what, " is longer than 65,535 bytes");
  if (!isText) return true;
  switch (CheckText(field)) {
    case TextCheck::kValid:
      return true;
    case TextCheck::kDiscouraged:
      return Refuse(problem, what, " holds a control character or a non-character");
    case TextCheck::kInvalid:
      break;
  }
  return Refuse(problem, what, " is not UTF-8 (or holds U+0000)");
}

// A topic published to: not empty, and no wildcards, which only subscriptions use.
bool CheckTopic(std::string_view topic, std::string_view what, std::string* problem) {
  if (topic.empty()) return Refuse(problem, what, " is empty");
  if (topic.find_first_of("+#") != std::string_view::npos) {
    return Refuse(problem, what, " has + or #");
  }
  return CheckField(topic, what, true, problem);
}

void AppendU16(std::uint16_t value, std::string* out) {
  out->push_back(static_cast<char>(value >> 8));
  out->push_back(static_cast<char>(value & 0xFF));
}
// A string field, its length checked by the caller.
void AppendField(std::string_view field, std::string* out) {
  AppendU16(static_cast<std::uint16_t>(field.size()), out);
  out->append(field);
}

// ---- Decoding

// Sets the reason (formatted when there are arguments) and says kMalformed.
template <typename... Args>
Decoded Malformed(std::string* problem, const char* format, Args... args) {
  if (problem != nullptr) {
    if constexpr (sizeof...(Args) == 0) {
      problem->assign(format);
    } else {
      char text[96];
      std::snprintf(text, sizeof text, format, args...);
      problem->assign(text);
    }
  }
  return Decoded::kMalformed;
}

// The checks the first byte and the remaining length allow, before the body
// is there: client-only and reserved types, flags, lengths the type forbids.
Decoded CheckHeader(int type, unsigned flags, std::size_t remaining, bool lengthKnown,
                    std::string* problem) {
  const char* name = kTypeNames[type];
  switch (static_cast<PacketType>(type)) {
    case PacketType::kConnect:
    case PacketType::kSubscribe:
    case PacketType::kUnsubscribe:
    case PacketType::kPingreq:
    case PacketType::kDisconnect:
      return Malformed(problem, "a %s from the broker", name);
    case PacketType::kPublish:
      if ((flags & 0x6) == 0x6) return Malformed(problem, "a PUBLISH with QoS 3");
      if ((flags & 0xE) == 0x8) return Malformed(problem, "a PUBLISH with DUP set and QoS 0");
      return Decoded::kPacket;
    case PacketType::kConnack:
    case PacketType::kPuback:
    case PacketType::kPubrec:
    case PacketType::kPubrel:
    case PacketType::kPubcomp:
    case PacketType::kSuback:
    case PacketType::kUnsuback:
    case PacketType::kPingresp:
      break;
    default:
      return Malformed(problem, "%s", name);
  }
  const unsigned wantFlags = type == static_cast<int>(PacketType::kPubrel) ? 0x2 : 0x0;
  if (flags != wantFlags) return Malformed(problem, "flags 0x%X on a %s", flags, name);
  if (!lengthKnown) return Decoded::kPacket;
  const auto length = static_cast<unsigned long long>(remaining);
  if (type == static_cast<int>(PacketType::kPingresp)) {
    if (remaining != 0) return Malformed(problem, "a PINGRESP of %llu bytes, not 0", length);
  } else if (type == static_cast<int>(PacketType::kSuback)) {
    if (remaining < 3) return Malformed(problem, "a SUBACK of %llu bytes, under 3", length);
  } else if (remaining != 2) {
    return Malformed(problem, "a %s of %llu bytes, not 2", name, length);
  }
  return Decoded::kPacket;
}

// The body of a whole packet whose header passed CheckHeader.
Decoded DecodeBody(std::string_view body, Packet* packet, std::string* problem) {
  const char* name = kTypeNames[static_cast<int>(packet->type)];
  switch (packet->type) {
    case PacketType::kConnack: {
      if ((Byte(body, 0) & 0xFE) != 0) {
        return Malformed(problem, "CONNACK acknowledge flags 0x%X", Byte(body, 0));
      }
      packet->sessionPresent = Byte(body, 0) != 0;
      packet->returnCode = Byte(body, 1);
      if (packet->returnCode > 5) {
        return Malformed(problem, "CONNACK return code %d", packet->returnCode);
      }
      if (packet->returnCode != 0 && packet->sessionPresent) {
        return Malformed(problem, "a refusing CONNACK with session present");
      }
      return Decoded::kPacket;
    }
    case PacketType::kPingresp:
      return Decoded::kPacket;
    case PacketType::kPublish: {
      const std::size_t topicLength = body.size() < 2 ? body.size() : U16(body, 0);
      if (body.size() < 2 || topicLength > body.size() - 2) {
        return Malformed(problem, "a PUBLISH whose topic runs past its end");
      }
      packet->topic = body.substr(2, topicLength);
      if (packet->topic.empty()) return Malformed(problem, "a PUBLISH with an empty topic");
      if (packet->topic.find_first_of("+#") != std::string_view::npos) {
        return Malformed(problem, "a PUBLISH topic with + or #");
      }
      if (CheckText(packet->topic) == TextCheck::kInvalid) {
        return Malformed(problem, "a PUBLISH topic that is not UTF-8 (or holds U+0000)");
      }
      std::size_t at = 2 + topicLength;
      if ((packet->flags & 0x6) != 0) {
        if (body.size() - at < 2) {
          return Malformed(problem, "a PUBLISH whose packet id runs past its end");
        }
        packet->packetId = U16(body, at);
        if (packet->packetId == 0) return Malformed(problem, "a PUBLISH with packet id 0");
        at += 2;
      }
      packet->payload = body.substr(at);
      return Decoded::kPacket;
    }
    default:  // PUBACK, PUBREC, PUBREL, PUBCOMP, UNSUBACK, SUBACK: a packet id first
      break;
  }
  packet->packetId = U16(body, 0);
  if (packet->packetId == 0) return Malformed(problem, "a %s with packet id 0", name);
  if (packet->type == PacketType::kSuback) {
    for (std::size_t i = 2; i < body.size(); ++i) {
      const std::uint8_t code = Byte(body, i);
      if (code > 2 && code != 0x80) return Malformed(problem, "SUBACK return code 0x%X", code);
    }
  }
  return Decoded::kPacket;
}

}  // namespace

bool AppendRemainingLength(std::size_t length, std::string* out) {
  if (length > kMaxRemainingLength) return false;
  do {
    auto byte = static_cast<std::uint8_t>(length & 0x7F);
    length >>= 7;
    if (length > 0) byte |= 0x80;
    out->push_back(static_cast<char>(byte));
  } while (length > 0);
  return true;
}

std::size_t PublishSize(std::size_t topicSize, std::size_t payloadSize, int qos) {
  const std::size_t fields = qos != 0 ? 4 : 2;  // the topic's length, the packet id
  if (topicSize > SIZE_MAX - fields || payloadSize > SIZE_MAX - fields - topicSize) {
    return SIZE_MAX;
  }
  const std::size_t remaining = fields + topicSize + payloadSize;
  std::size_t lengthBytes = 1;
  for (std::size_t rest = remaining >> 7; rest > 0; rest >>= 7) ++lengthBytes;
  return remaining > SIZE_MAX - 1 - lengthBytes ? SIZE_MAX : 1 + lengthBytes + remaining;
}

bool AppendConnect(const Connect& connect, std::string* out, std::string* problem) {
  if (connect.clientId.empty() && !connect.cleanSession) {
    return Refuse(problem, "an empty client id without a clean session");
  }
  if (!CheckField(connect.clientId, "the client id", true, problem)) return false;
  // Protocol name, level, flags, keep-alive; then the client id.
  std::size_t remaining = 10 + 2 + connect.clientId.size();
  std::uint8_t flags = connect.cleanSession ? 0x02 : 0x00;
  if (connect.will != nullptr) {
    if (!CheckTopic(connect.will->topic, "the will topic", problem) ||
        !CheckField(connect.will->payload, "the will payload", false, problem)) {
      return false;
    }
    flags |= 0x04 | 0x08 | 0x20;  // a will, at QoS 1, retained
    remaining += 4 + connect.will->topic.size() + connect.will->payload.size();
  }
  if (connect.username != nullptr) {
    if (!CheckField(*connect.username, "the username", true, problem)) return false;
    flags |= 0x80;
    remaining += 2 + connect.username->size();
  }
  if (connect.password != nullptr) {
    if (connect.username == nullptr) return Refuse(problem, "a password without a username");
    if (!CheckField(*connect.password, "the password", false, problem)) return false;
    flags |= 0x40;
    remaining += 2 + connect.password->size();
  }
  // Five strings of at most 65,537 bytes each stay far below the limit.
  out->push_back(0x10);
  AppendRemainingLength(remaining, out);
  out->append(std::string_view("\x00\x04MQTT\x04", 7));
  out->push_back(static_cast<char>(flags));
  AppendU16(connect.keepAliveSeconds, out);
  AppendField(connect.clientId, out);
  if (connect.will != nullptr) {
    AppendField(connect.will->topic, out);
    AppendField(connect.will->payload, out);
  }
  if (connect.username != nullptr) AppendField(*connect.username, out);
  if (connect.password != nullptr) AppendField(*connect.password, out);
  return true;
}

bool AppendPublish(const Publish& publish, std::string* out, std::string* problem) {
  if (publish.qos != 0 && publish.qos != 1) {
    return Refuse(problem, "QoS " + std::to_string(publish.qos), " (only 0 and 1 are sent)");
  }
  if (publish.qos == 1 && publish.packetId == 0) {
    return Refuse(problem, "a QoS 1 message with packet id 0");
  }
  if (publish.qos == 0 && publish.duplicate) return Refuse(problem, "DUP on a QoS 0 message");
  if (!CheckTopic(publish.topic, "the topic", problem)) return false;
  const std::size_t size = PublishSize(publish.topic.size(), publish.payload.size(), publish.qos);
  if (size > 1 + 4 + kMaxRemainingLength) {
    return Refuse(problem, "the packet would be longer than MQTT's 268,435,455 bytes");
  }
  out->push_back(static_cast<char>(0x30 | (publish.duplicate ? 0x08 : 0) | publish.qos << 1 |
                                   (publish.retained ? 0x01 : 0)));
  AppendRemainingLength(publish.topic.size() + publish.payload.size() + (publish.qos != 0 ? 4 : 2),
                        out);
  AppendField(publish.topic, out);
  if (publish.qos != 0) AppendU16(publish.packetId, out);
  out->append(publish.payload);
  return true;
}

void AppendPuback(std::uint16_t packetId, std::string* out) {
  out->append(std::string_view("\x40\x02", 2));
  AppendU16(packetId, out);
}

void AppendPingreq(std::string* out) { out->append(std::string_view("\xC0\x00", 2)); }

void AppendDisconnect(std::string* out) { out->append(std::string_view("\xE0\x00", 2)); }

Decoded DecodePacket(std::string_view bytes, Packet* packet, std::size_t* used,
                     std::string* problem, std::size_t maxRemaining) {
  if (bytes.empty()) return Decoded::kNeedMore;
  const int type = Byte(bytes, 0) >> 4;
  const unsigned flags = Byte(bytes, 0) & 0x0Fu;
  if (CheckHeader(type, flags, 0, false, problem) == Decoded::kMalformed) {
    return Decoded::kMalformed;
  }
  // The remaining length: 7 bits a byte, least significant first, while the
  // top bit is set. Its bytes only ever add to it, so a value over the bound
  // is refused before the rest of them arrive.
  std::size_t remaining = 0;
  std::size_t header = 1;
  for (;; ++header) {
    if (header == 5) return Malformed(problem, "a remaining length longer than four bytes");
    if (header == bytes.size()) return Decoded::kNeedMore;
    remaining += std::size_t{Byte(bytes, header) & 0x7Fu} << (7 * (header - 1));
    if (remaining > maxRemaining) {
      return Malformed(problem, "a remaining length over the bound of %llu bytes",
                       static_cast<unsigned long long>(maxRemaining));
    }
    if ((Byte(bytes, header) & 0x80) == 0) break;
  }
  ++header;
  if (CheckHeader(type, flags, remaining, true, problem) == Decoded::kMalformed) {
    return Decoded::kMalformed;
  }
  if (bytes.size() - header < remaining) return Decoded::kNeedMore;

  Packet decoded;
  decoded.type = static_cast<PacketType>(type);
  decoded.flags = static_cast<std::uint8_t>(flags);
  if (DecodeBody(bytes.substr(header, remaining), &decoded, problem) == Decoded::kMalformed) {
    return Decoded::kMalformed;
  }
  *packet = decoded;
  *used = header + remaining;
  return Decoded::kPacket;
}

bool IsText(std::string_view text) { return CheckText(text) == TextCheck::kValid; }

std::string_view RefusalText(int returnCode) {
  static constexpr std::string_view kTexts[] = {
      "Connection Accepted.",
      "Connection Refused: unacceptable protocol version.",
      "Connection Refused: identifier rejected.",
      "Connection Refused: broker unavailable.",
      "Connection Refused: bad user name or password.",
      "Connection Refused: not authorised.",
  };
  if (returnCode < 0 || returnCode > 5) return "Connection Refused: unknown reason.";
  return kTexts[returnCode];
}

}  // namespace mqtt_codec
