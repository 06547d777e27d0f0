// The MQTT codec: every packet a broker may send decoded from its exact
// bytes, whole and cut short, and broken in the ways the
// standard forbids; the remaining-length field at each of its widths; and
// the packets the link sends, byte for byte, with the settings it refuses.
#include "mqtt-link/mqtt_codec.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

using mqtt_codec::AppendConnect;
using mqtt_codec::AppendPublish;
using mqtt_codec::Decoded;
using mqtt_codec::kMaxRemainingLength;
using mqtt_codec::kMaxStringLength;
using mqtt_codec::PacketType;
constexpr auto kPacket = Decoded::kPacket;
constexpr auto kMalformed = Decoded::kMalformed;

// Bytes given as numbers, then as text.
std::string B(std::initializer_list<int> head, std::string_view tail = {}) {
  std::string bytes;
  for (int byte : head) bytes.push_back(static_cast<char>(byte));
  return bytes.append(tail);
}

// A whole packet and what it decodes to.
struct Whole {
  std::string bytes;
  PacketType type;
  std::uint8_t flags;
  bool sessionPresent;
  std::uint16_t packetId;
  std::string topic;
  std::string payload;
  std::size_t used;
};
using enum PacketType;
const std::vector<Whole> kWhole = {
    {B({0x20, 2, 0, 0}), kConnack, 0, false, 0, "", "", 4},
    {B({0x20, 2, 1, 0}), kConnack, 0, true, 0, "", "", 4},
    {B({0x40, 2, 0x12, 0x34}), kPuback, 0, false, 0x1234, "", "", 4},
    {B({0x62, 2, 0, 1}), kPubrel, 2, false, 1, "", "", 4},
    {B({0x70, 2, 1, 0}), kPubcomp, 0, false, 256, "", "", 4},
    {B({0x90, 4, 0, 7, 0x01, 0x80}), kSuback, 0, false, 7, "", "", 6},
    {B({0xD0, 0}), kPingresp, 0, false, 0, "", "", 2},
    {B({0x30, 7, 0, 3}, "a/bhi"), kPublish, 0, false, 0, "a/b", "hi", 9},
    // DUP, QoS 1, retained; QoS 2 with no payload.
    {B({0x3B, 9, 0, 3}, "a/b") + B({0x12, 0x34}, "hi"), kPublish, 0xB, false, 0x1234, "a/b", "hi",
     11},
    {B({0x34, 8, 0, 4}, "\xC3\xA9/x") + B({0, 2}), kPublish, 4, false, 2, "\xC3\xA9/x", "", 10},
    // Lengths in more bytes than they need; a packet with the next after it.
    {B({0xD0, 0x80, 0x80, 0}), kPingresp, 0, false, 0, "", "", 4},
    {B({0x40, 0x82, 0x80, 0x80, 0, 0, 5}), kPuback, 0, false, 5, "", "", 7},
    {B({0x40, 2, 0, 1, 0xD0, 0}), kPuback, 0, false, 1, "", "", 4},
};

// Bytes that start no packet a broker may send, and a part of the reason.
struct Broken {
  std::string bytes;
  std::string problem;
  std::size_t maxRemaining = kMaxRemainingLength;
};
const std::vector<Broken> kBroken = {
    {B({0x00}), "reserved packet type 0"},
    {B({0xF0, 0}), "reserved packet type 15"},
    {B({0x10}), "a CONNECT from the broker"},
    {B({0xC0, 0}), "a PINGREQ from the broker"},
    {B({0x43}), "flags 0x3 on a PUBACK"},
    {B({0x60, 2, 0, 1}), "flags 0x0 on a PUBREL"},
    {B({0x36}), "a PUBLISH with QoS 3"},
    {B({0x39, 4, 0, 1}, "ax"), "DUP set and QoS 0"},
    {B({0x20, 3}), "a CONNACK of 3 bytes"},
    {B({0xD0, 1, 0}), "a PINGRESP of 1 bytes"},
    {B({0x90, 2, 0, 1}), "a SUBACK of 2 bytes"},
    {B({0x30, 0xFF, 0xFF, 0xFF, 0xFF}), "longer than four bytes"},
    {B({0x30, 0xE9, 0x07}), "over the bound of 1000", 1000},
    {B({0x30, 0xFF}), "over the bound of 100", 100},  // before the length's last byte
    {B({0x20, 2, 0, 9}), "CONNACK return code 9"},
    {B({0x20, 2, 2, 0}), "acknowledge flags 0x2"},
    {B({0x20, 2, 1, 5}), "refusing CONNACK with session present"},
    {B({0x40, 2, 0, 0}), "a PUBACK with packet id 0"},
    {B({0x90, 3, 0, 1, 3}), "SUBACK return code 0x3"},
    {B({0x30, 4, 0, 3}, "ab"), "topic runs past its end"},
    {B({0x30, 1, 0}), "topic runs past its end"},
    {B({0x32, 6, 0, 3}, "a/b1"), "packet id runs past its end"},
    {B({0x32, 7, 0, 3}, "a/b") + B({0, 0}), "a PUBLISH with packet id 0"},
    {B({0x30, 2, 0, 0}), "an empty topic"},
    {B({0x30, 5, 0, 3}, "a/#"), "topic with + or #"},
    {B({0x30, 4, 0, 2, 0xC0, 0x80}), "not UTF-8"},              // overlong
    {B({0x30, 6, 0, 4, 0xF4, 0x90, 0x80, 0x80}), "not UTF-8"},  // past U+10FFFF
    {B({0x30, 5, 0, 3, 0xED, 0xA0, 0x80}), "not UTF-8"},        // a surrogate
};

TEST(MqttCodecDecode, EachPacketWholeAndCutShort) {
  for (const Whole& c : kWhole) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    mqtt_codec::Packet packet;
    std::size_t used = 999;
    std::string problem;
    ASSERT_EQ(mqtt_codec::DecodePacket(c.bytes, &packet, &used, &problem), kPacket) << problem;
    EXPECT_EQ(packet.type, c.type);
    EXPECT_EQ(packet.flags, c.flags);
    EXPECT_EQ(packet.sessionPresent, c.sessionPresent);
    EXPECT_EQ(packet.returnCode, 0);
    EXPECT_EQ(packet.packetId, c.packetId);
    EXPECT_EQ(packet.topic, c.topic);
    EXPECT_EQ(packet.payload, c.payload);
    EXPECT_EQ(used, c.used);
    for (std::size_t cut = 0; cut < c.used; ++cut) {
      used = 999;
      EXPECT_EQ(mqtt_codec::DecodePacket(c.bytes.substr(0, cut), &packet, &used, &problem),
                Decoded::kNeedMore)
          << "cut after " << cut << " bytes";
      EXPECT_EQ(used, 999u);
    }
  }
}

TEST(MqttCodecDecode, MalformedAndWhy) {
  for (const Broken& c : kBroken) {
    mqtt_codec::Packet packet;
    std::size_t used = 999;
    std::string problem;
    EXPECT_EQ(mqtt_codec::DecodePacket(c.bytes, &packet, &used, &problem, c.maxRemaining),
              kMalformed)
        << testing::PrintToString(c.bytes);
    EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
    EXPECT_EQ(used, 999u);
  }
}

// Each CONNACK code, and libmosquitto's text for it (the console says it).
TEST(MqttCodecDecode, RefusalCodesAndTheirTexts) {
  constexpr std::string_view kTexts[] = {"Connection Accepted.",
                                         "Connection Refused: unacceptable protocol version.",
                                         "Connection Refused: identifier rejected.",
                                         "Connection Refused: broker unavailable.",
                                         "Connection Refused: bad user name or password.",
                                         "Connection Refused: not authorised."};
  for (int code = 0; code <= 5; ++code) {
    mqtt_codec::Packet packet;
    std::size_t used = 0;
    ASSERT_EQ(mqtt_codec::DecodePacket(B({0x20, 2, 0, code}), &packet, &used, nullptr), kPacket);
    EXPECT_EQ(packet.returnCode, code);
    EXPECT_EQ(mqtt_codec::RefusalText(code), kTexts[code]);
  }
}

TEST(MqttCodecRemainingLength, EachWidthAndItsEdges) {
  const std::vector<std::pair<std::size_t, std::string>> cases = {
      {0, B({0x00})},
      {127, B({0x7F})},
      {128, B({0x80, 0x01})},
      {16'383, B({0xFF, 0x7F})},
      {16'384, B({0x80, 0x80, 0x01})},
      {2'097'151, B({0xFF, 0xFF, 0x7F})},
      {2'097'152, B({0x80, 0x80, 0x80, 0x01})},
      {268'435'455, B({0xFF, 0xFF, 0xFF, 0x7F})},
  };
  for (const auto& [length, encoding] : cases) {
    SCOPED_TRACE(length);
    std::string out = "x";
    ASSERT_TRUE(mqtt_codec::AppendRemainingLength(length, &out));
    EXPECT_EQ(out, "x" + encoding);
    // Decoded back: a whole PUBLISH of this length, or its header alone
    // against bounds just above and just below.
    mqtt_codec::Packet packet;
    std::size_t used = 0;
    if (length >= 3 && length <= 2'097'152) {
      out.clear();
      const std::string payload(length - 3, 'p');
      ASSERT_TRUE(mqtt_codec::AppendPublish({"t", payload}, &out, nullptr));
      EXPECT_EQ(out.size(), mqtt_codec::PublishSize(1, payload.size(), 0));
      ASSERT_EQ(mqtt_codec::DecodePacket(out, &packet, &used, nullptr), kPacket);
      EXPECT_EQ(used, 1 + encoding.size() + length);
      EXPECT_EQ(packet.payload.size(), payload.size());
    }
    if (length > 0) {
      EXPECT_EQ(mqtt_codec::DecodePacket("\x30" + encoding, &packet, &used, nullptr, length),
                Decoded::kNeedMore);
      EXPECT_EQ(mqtt_codec::DecodePacket("\x30" + encoding, &packet, &used, nullptr, length - 1),
                kMalformed);
    }
  }
  std::string out = "x";
  EXPECT_FALSE(mqtt_codec::AppendRemainingLength(kMaxRemainingLength + 1, &out));
  EXPECT_EQ(out, "x");
}

bool Append(const mqtt_codec::Connect& connect, std::string* out, std::string* problem) {
  return AppendConnect(connect, out, problem);
}
bool Append(const mqtt_codec::Publish& publish, std::string* out, std::string* problem) {
  return AppendPublish(publish, out, problem);
}
// Each case's fields appended after other bytes: accepted, with the bytes
// given, or refused, with the output untouched and the reason given.
template <typename Fields>
void ExpectAppend(const std::vector<std::pair<Fields, std::string>>& cases, bool accepted) {
  for (const auto& [fields, want] : cases) {
    std::string out = "before", problem;
    ASSERT_EQ(Append(fields, &out, &problem), accepted) << want << problem;
    if (accepted) {
      EXPECT_EQ(out, "before" + want);
    } else {
      EXPECT_EQ(out, "before");
      EXPECT_NE(problem.find(want), std::string::npos) << problem;
    }
  }
}

TEST(MqttCodecEncode, PacketsByteForByte) {
  const std::string_view username = "user", password = "pw";
  const mqtt_codec::Will will{"relay/status", "offline"};
  // Flags 0xEE: username, password, will retained at QoS 1, clean session.
  ExpectAppend<mqtt_codec::Connect>(
      {{{"relay", true, 10, &will, &username, &password},
        B({0x10, 50, 0, 4}, "MQTT") + B({4, 0xEE, 0, 10, 0, 5}, "relay") +
            B({0, 12}, "relay/status") + B({0, 7}, "offline") + B({0, 4}, "user") +
            B({0, 2}, "pw")},
       {{}, B({0x10, 12, 0, 4}, "MQTT") + B({4, 0x02, 0, 0, 0, 0})},
       {{"c", false, 300}, B({0x10, 13, 0, 4}, "MQTT") + B({4, 0x00, 1, 44, 0, 1}, "c")}},
      true);
  ExpectAppend<mqtt_codec::Publish>(
      {{{"a/b", "hi", 0, true}, B({0x31, 7, 0, 3}, "a/bhi")},
       {{"a/b", "hi", 1, false, true, 0x1234}, B({0x3A, 9, 0, 3}, "a/b") + B({0x12, 0x34}, "hi")}},
      true);
  std::string out;
  mqtt_codec::AppendPuback(0xBEEF, &out);
  mqtt_codec::AppendPingreq(&out);
  mqtt_codec::AppendDisconnect(&out);
  EXPECT_EQ(out, B({0x40, 2, 0xBE, 0xEF, 0xC0, 0, 0xE0, 0}));
}

TEST(MqttCodecEncode, RefusesWhatTheBrokerWouldNotTake) {
  const std::string tooLong(kMaxStringLength + 1, 't');
  const std::string_view password = "pw", badName = "\xFF";
  const mqtt_codec::Will wildWill{"w/#", "x"}, bigWill{"w", tooLong};
  ExpectAppend<mqtt_codec::Publish>({{{tooLong}, "the topic is longer than 65,535 bytes"},
                                     {{""}, "the topic is empty"},
                                     {{"a/#"}, "the topic has + or #"},
                                     {{"a\x01"}, "a control character"},
                                     {{"\xC0\x80"}, "not UTF-8"},
                                     {{"a", "", 2}, "QoS 2"},
                                     {{"a", "", 1}, "packet id 0"},
                                     {{"a", "", 0, false, true}, "DUP on a QoS 0"}},
                                    false);
  ExpectAppend<mqtt_codec::Connect>(
      {{{"", false}, "an empty client id without a clean session"},
       {{tooLong}, "the client id is longer than 65,535 bytes"},
       {{"c", true, 0, nullptr, nullptr, &password}, "a password without a username"},
       {{"c", true, 0, &wildWill}, "the will topic has + or #"},
       {{"c", true, 0, &bigWill}, "the will payload is longer than 65,535 bytes"},
       {{"c", true, 0, nullptr, &badName}, "the username is not UTF-8"}},
      false);
  // The longest topic is fine, and so is the longest packet, as far as the
  // sizes go (it is not built: 256 MiB).
  std::string out;
  EXPECT_TRUE(AppendPublish({tooLong.substr(1)}, &out, nullptr));
  EXPECT_EQ(out.size(), mqtt_codec::PublishSize(kMaxStringLength, 0, 0));
  const std::size_t payload = kMaxRemainingLength - 2 - 2 - 10;
  EXPECT_EQ(mqtt_codec::PublishSize(10, payload, 1), 1 + 4 + kMaxRemainingLength);
  EXPECT_GT(mqtt_codec::PublishSize(10, payload + 1, 1), 1 + 4 + kMaxRemainingLength);
  EXPECT_EQ(mqtt_codec::PublishSize(SIZE_MAX - 3, 1, 1), SIZE_MAX);
  EXPECT_EQ(mqtt_codec::PublishSize(1, SIZE_MAX, 0), SIZE_MAX);
}

}  // namespace
