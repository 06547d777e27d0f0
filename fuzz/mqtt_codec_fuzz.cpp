// The MQTT codec: packets decoded from any stream, one after another as the
// link reads them, and PUBLISH packets encoded from any fields.
//
// Input: four bytes that pick a PUBLISH to encode (the topic's length, the
// payload's length in two bytes, then bits 0-1 QoS, 2 retained, 3 DUP, 4 a
// remaining-length bound of 4 * the topic's length byte for the decoding),
// then the stream, whose bytes also fill the topic and payload.
// Checked: a decoded packet lies within the bytes given, and every shorter
// cut of it needs more; a decoded PUBLISH encodes again to the same fields
// (to the same bytes when its length took no extra bytes), or is refused only
// for a control character; a PUBACK encodes again to its own bytes; an
// encoded PUBLISH decodes to its fields, with PublishSize's size, and one
// refused leaves the output as it was and says why.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "mqtt-link/mqtt_codec.h"

namespace {

using mqtt_codec::Decoded;

bool Inside(std::string_view part, std::string_view whole) {
  return part.empty() ||
         (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

void CheckPublishDecodes(const mqtt_codec::Publish& publish, std::string_view bytes) {
  mqtt_codec::Packet packet;
  std::size_t used = 0;
  FUZZ_CHECK(mqtt_codec::DecodePacket(bytes, &packet, &used, nullptr) == Decoded::kPacket);
  FUZZ_CHECK(used == bytes.size());
  FUZZ_CHECK(used ==
             mqtt_codec::PublishSize(publish.topic.size(), publish.payload.size(), publish.qos));
  FUZZ_CHECK(packet.type == mqtt_codec::PacketType::kPublish);
  FUZZ_CHECK(packet.topic == publish.topic && packet.payload == publish.payload);
  FUZZ_CHECK(((packet.flags >> 1) & 3) == publish.qos);
  FUZZ_CHECK(((packet.flags & 1) != 0) == publish.retained);
  FUZZ_CHECK(((packet.flags & 8) != 0) == publish.duplicate);
  FUZZ_CHECK(packet.packetId == (publish.qos != 0 ? publish.packetId : 0));
}

// One packet decoded from the front of `rest`, checked; its length, or 0
// when there is none.
std::size_t DecodeOne(std::string_view rest, std::size_t bound) {
  mqtt_codec::Packet packet;
  std::size_t used = 0;
  std::string problem;
  const Decoded decoded = mqtt_codec::DecodePacket(rest, &packet, &used, &problem, bound);
  if (decoded == Decoded::kMalformed) FUZZ_CHECK(!problem.empty());
  if (decoded != Decoded::kPacket) return 0;
  FUZZ_CHECK(used > 0 && used <= rest.size());
  const std::string_view bytes = rest.substr(0, used);
  FUZZ_CHECK(Inside(packet.topic, bytes) && Inside(packet.payload, bytes));
  // What follows the packet plays no part, and no shorter cut of it is whole.
  mqtt_codec::Packet again;
  std::size_t usedAgain = 0;
  FUZZ_CHECK(mqtt_codec::DecodePacket(bytes, &again, &usedAgain, nullptr, bound) ==
             Decoded::kPacket);
  FUZZ_CHECK(usedAgain == used && again.topic == packet.topic && again.flags == packet.flags);
  for (std::size_t cut = 0; cut < used; cut += used <= 300 ? 1 : used / 37 + 1) {
    FUZZ_CHECK(mqtt_codec::DecodePacket(bytes.substr(0, cut), &again, &usedAgain, nullptr, bound) ==
               Decoded::kNeedMore);
  }

  std::string out;
  if (packet.type == mqtt_codec::PacketType::kPuback && used == 4) {
    mqtt_codec::AppendPuback(packet.packetId, &out);
    FUZZ_CHECK(out == bytes);
  }
  const int qos = (packet.flags >> 1) & 3;
  if (packet.type == mqtt_codec::PacketType::kPublish && qos <= 1) {
    const mqtt_codec::Publish publish{
        packet.topic,   packet.payload, qos, (packet.flags & 1) != 0, (packet.flags & 8) != 0,
        packet.packetId};
    if (mqtt_codec::AppendPublish(publish, &out, &problem)) {
      CheckPublishDecodes(publish, out);
      if (used == out.size()) FUZZ_CHECK(out == bytes);
    } else {
      // The broker's topic is valid MQTT but holds what libmosquitto refuses to send.
      FUZZ_CHECK(problem.find("control character") != std::string::npos);
    }
  }
  return used;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const auto copy = fuzzsupport::ExactCopy(data + 4, size - 4, false);
  const std::string_view stream(copy.get(), size - 4);

  const std::size_t bound =
      (data[3] & 0x10) != 0 ? std::size_t{data[0]} * 4 : mqtt_codec::kMaxRemainingLength;
  for (std::string_view rest = stream; !rest.empty();) {
    const std::size_t used = DecodeOne(rest, bound);
    if (used == 0) break;
    rest.remove_prefix(used);
  }

  std::string topic(data[0], 'a');
  std::string payload(std::size_t{data[1]} << 8 | data[2], 'p');
  for (std::size_t i = 0; i < topic.size() && i < stream.size(); ++i) topic[i] = stream[i];
  for (std::size_t i = 0; i < payload.size() && i < stream.size(); ++i) payload[i] = stream[i];
  const mqtt_codec::Publish publish{topic,
                                    payload,
                                    data[3] & 3,
                                    (data[3] & 4) != 0,
                                    (data[3] & 8) != 0,
                                    static_cast<std::uint16_t>(data[1] << 8 | data[2])};
  std::string out = "before";
  std::string problem;
  if (mqtt_codec::AppendPublish(publish, &out, &problem)) {
    FUZZ_CHECK(out.starts_with("before"));
    CheckPublishDecodes(publish, std::string_view(out).substr(6));
  } else {
    FUZZ_CHECK(out == "before" && !problem.empty());
    // Sound fields with a plain topic are never refused.
    bool plain = !topic.empty() && publish.qos <= 1 && (publish.qos == 1 || !publish.duplicate) &&
                 (publish.qos == 0 || publish.packetId != 0);
    for (char c : topic) plain = plain && c >= 0x20 && c < 0x7F && c != '+' && c != '#';
    FUZZ_CHECK(!plain);
  }
  return 0;
}
