// relay-watch's framing and message checks: a stream cut anywhere frames the
// same, and every field of both messages is checked.
#include "relay-stream/stream_framer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "relay-stream/message_parser.h"
#include "relay/messages.h"
#include "sim-publisher/publisher.h"
#include "support/test_support.h"

namespace {

using stream::MessageKind;
using stream::ParseMessage;
using stream::StreamFramer;

// The framer's messages are views that last until its next call: these keep
// copies.
void Feed(StreamFramer& framer, std::string_view bytes, std::vector<std::string>& messages) {
  std::vector<std::string_view> views;
  framer.Feed(bytes, views);
  messages.insert(messages.end(), views.begin(), views.end());
}
void Finish(StreamFramer& framer, std::vector<std::string>& messages) {
  std::vector<std::string_view> views;
  framer.Finish(views);
  messages.insert(messages.end(), views.begin(), views.end());
}

std::vector<std::string> Frame(
    const std::vector<std::string_view>& pieces,
    stream::DataPacketEnd dataPacketEnd = stream::DataPacketEnd::kAtNextKeyword) {
  StreamFramer framer(dataPacketEnd);
  std::vector<std::string> messages;
  for (std::string_view piece : pieces) Feed(framer, piece, messages);
  Finish(framer, messages);
  return messages;
}

std::string Join(const std::vector<std::string>& parts) {
  std::string joined;
  for (const std::string& part : parts) joined += part;
  return joined;
}

// The longest message the framer hands out whole, and a longer one, which it
// hands out in pieces of the limit. No keyword may begin inside either.
std::string LongSessionInfo(std::size_t length) {
  std::string message = "SESSION_INFO;1;2;3;4;";
  while (message.size() < length) message += "SESSION_INF DATA_PACKE ";
  message.resize(length);
  return message;
}
const std::string kLongest = LongSessionInfo(stream::kMaxMessageLength);
const std::string kTooLong = LongSessionInfo(stream::kMaxMessageLength + 700);

// Bytes before the first keyword, keyword look-alikes inside a car path, an
// empty car path right before a keyword, the longest message, one too long,
// and a SESSION_INFO at the very end (complete only when the stream ends).
const std::vector<std::string> kMessages = {
    "noise;",
    "DATA_PACKET;90.50;85.25;3;42.70;6543;0.50;0.38;1234.50;4;3;12;1800.00;1;1.00;1;",
    "SESSION_INFO;0;0;0;0;",
    "DATA_PACKET;nan;inf;-1;-inf;-2147483648;0.00;0.00;0.00;0;0;0;0.00;0;0.00;0;",
    "SESSION_INFO;5900;7400;7200;7600;DATA_PACKAGE SESSION_INF DATA_PACKE",
    "DATA_PACKET;1.00;2.00;N;",
    kLongest,
    kTooLong,
    "SESSION_INFO;5500;7100;6900;7250;bmwm4gt3",
};
// What the framer hands out for kMessages.
const std::vector<std::string> kFramed = [] {
  std::vector<std::string> framed(kMessages.begin(), kMessages.end() - 2);
  framed.push_back(kTooLong.substr(0, stream::kMaxMessageLength));
  framed.push_back(kTooLong.substr(stream::kMaxMessageLength));
  framed.push_back(kMessages.back());
  return framed;
}();

TEST(StreamFramer, FramesTheSameWhereverTheStreamIsCut) {
  const std::string stream = Join(kMessages);
  const std::string_view all(stream);
  const std::size_t shortPart = stream.find(kLongest);
  ASSERT_EQ(Frame({stream}), kFramed);
  for (std::size_t first = 0; first <= stream.size(); ++first) {
    ASSERT_EQ(Frame({all.substr(0, first), all.substr(first)}), kFramed) << "cut at " << first;
    // Two cuts close together split a keyword of the short messages over
    // three pieces.
    const std::size_t twoCutsEnd = first < shortPart ? first + 12 : 0;
    for (std::size_t second = first + 1; second < twoCutsEnd; ++second) {
      ASSERT_EQ(
          Frame({all.substr(0, first), all.substr(first, second - first), all.substr(second)}),
          kFramed)
          << "cuts at " << first << " and " << second;
    }
  }
  std::vector<std::string_view> bytes;
  for (std::size_t i = 0; i < stream.size(); ++i) bytes.push_back(all.substr(i, 1));
  EXPECT_EQ(Frame(bytes), kFramed);
  // Ending packets at their last field frames this stream the same.
  EXPECT_EQ(Frame(bytes, stream::DataPacketEnd::kAtLastField), kFramed);
  EXPECT_EQ(Frame({stream}, stream::DataPacketEnd::kAtLastField), kFramed);
}

TEST(StreamFramer, HandsOutAMessageOnlyOnceTheNextKeywordBegins) {
  StreamFramer framer;
  std::vector<std::string> messages;
  Feed(framer, "SESSION_INFO;1;2;3;4;car", messages);
  Feed(framer, "path DATA_", messages);
  EXPECT_TRUE(messages.empty());
  Feed(framer, "PACKET;", messages);
  EXPECT_EQ(messages, std::vector<std::string>{"SESSION_INFO;1;2;3;4;carpath "});
  // A new connection starts clean: the unfinished DATA_PACKET is dropped.
  framer.Reset();
  Finish(framer, messages);
  EXPECT_EQ(messages.size(), 1u);

  // Ending packets at their last field hands a packet out at once; what
  // follows it before the next keyword is a message of its own.
  StreamFramer early(stream::DataPacketEnd::kAtLastField);
  messages.clear();
  Feed(early, kMessages[1].substr(0, kMessages[1].size() - 1), messages);
  EXPECT_TRUE(messages.empty());
  Feed(early, ";junk", messages);
  EXPECT_EQ(messages, std::vector<std::string>{kMessages[1]});
  Feed(early, "SESSION_INFO;", messages);
  EXPECT_EQ(messages, (std::vector<std::string>{kMessages[1], "junk"}));
}

TEST(StreamFramer, BoundsARunWithoutKeywordsAndLosesNoByte) {
  const std::string junk(3 * stream::kMaxMessageLength, 'x');
  const std::string packet = kMessages[1];
  const std::string stream = junk + "DATA_PACKE" + junk + packet;
  std::vector<std::string> first;
  for (std::size_t piece : {std::size_t{1}, std::size_t{100}, stream.size()}) {
    StreamFramer framer;
    std::vector<std::string> messages;
    for (std::size_t at = 0; at < stream.size(); at += piece) {
      Feed(framer, std::string_view(stream).substr(at, piece), messages);
    }
    Finish(framer, messages);
    EXPECT_EQ(Join(messages), stream) << "pieces of " << piece;
    EXPECT_EQ(messages.back(), packet) << "pieces of " << piece;
    for (const std::string& message : messages) {
      EXPECT_LE(message.size(), stream::kMaxMessageLength) << "pieces of " << piece;
    }
    if (first.empty()) first = messages;
    EXPECT_EQ(messages, first) << "pieces of " << piece;
  }
}

TEST(MessageParser, AcceptsWellFormedMessagesAndReadsTheirValues) {
  // Every field a value of its own, so a field read into the wrong place shows.
  const auto data =
      ParseMessage("DATA_PACKET;1.01;-2.02;3;4.04;5;6.06;7.07;8.08;9;10;11;12.12;13;14.14;15;");
  ASSERT_EQ(data.kind, MessageKind::kDataPacket) << data.problem;
  const stream::DataPacket& d = data.data;
  const auto values = [](auto... v) { return std::vector<double>{static_cast<double>(v)...}; };
  const std::vector<double> got =
      values(d.oilTemp, d.waterTemp, d.gear, d.fuelLevel, d.rpm, d.lapDistPct, d.fuelLevelPct,
             d.lapDist, d.lap, d.raceLaps, d.sessionLapsRemain, d.sessionTimeRemain, d.onPitRoad,
             d.throttle, d.isOnTrack);
  const double want[] = {1.01, -2.02, 3,  4.04,  5,  6.06,  7.07, 8.08,
                         9,    10,    11, 12.12, 13, 14.14, 15};
  ASSERT_EQ(got.size(), std::size(want));
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_DOUBLE_EQ(got[i], want[i]) << "value " << i + 1;
  }

  const auto special = ParseMessage(kMessages[3]);
  ASSERT_EQ(special.kind, MessageKind::kDataPacket) << special.problem;
  EXPECT_TRUE(std::isnan(special.data.oilTemp));
  EXPECT_EQ(special.data.waterTemp, std::numeric_limits<double>::infinity());
  EXPECT_EQ(special.data.gear, -1);
  EXPECT_EQ(special.data.rpm, std::numeric_limits<std::int32_t>::min());

  const auto session = ParseMessage(testsupport::kDefaultSessionInfo);
  ASSERT_EQ(session.kind, MessageKind::kSessionInfo) << session.problem;
  EXPECT_EQ(session.session.firstRpm, 5900);
  EXPECT_EQ(session.session.lastRpm, 7400);
  EXPECT_EQ(session.session.shiftRpm, 7200);
  EXPECT_EQ(session.session.blinkRpm, 7600);
  EXPECT_EQ(session.session.carPath, "porsche992rgt3");
  EXPECT_EQ(ParseMessage("SESSION_INFO;0;0;0;0;").kind, MessageKind::kSessionInfo);
  // The car path is free text to the end of the message.
  EXPECT_EQ(ParseMessage("SESSION_INFO;1;2;3;4;a;b").session.carPath, "a;b");
}

TEST(MessageParser, RejectsWrongFieldCountsAndNumbers) {
  const std::string good = kMessages[1];
  struct Case {
    std::string message;
    const char* problem;
  };
  const Case cases[] = {
      {"DATA_PACKET;90.50;85.25;3;42.70;6543;0.50;0.38;1234.50;4;3;12;1800.00;1;1.00;",
       "15 fields"},
      {good + "1;", "17 fields"},
      {good.substr(0, good.size() - 1), "no final"},
      {"DATA_PACKET;90.50;85.25;3.0;42.70;6543;0.50;0.38;1234.50;4;3;12;1800.00;1;1.00;1;",
       "field 4"},
      {"DATA_PACKET;90.5;85.25;3;42.70;6543;0.50;0.38;1234.50;4;3;12;1800.00;1;1.00;1;", "field 2"},
      {"DATA_PACKET;90.50;85.25;3;42.70;6543;.50;0.38;1234.50;4;3;12;1800.00;1;1.00;1;", "field 7"},
      {"DATA_PACKET;90.50;85.25;3;42.70;6543;0.50;0.38;1234.50;4;3;12;1800.00;1;1.00;;",
       "field 16"},
      {"DATA_PACKET;90.50;85.25;3;42.70;2147483648;0.50;0.38;1234.50;4;3;12;1800.00;1;1.00;1;",
       "field 6"},
      {"DATA_PACKET;90.50;85.25;3;42.70;6543;0.50;0.38;1234.50;4;3;1a;1800.00;1;1.00;1;",
       "field 12"},
      {"DATA_PACKET;-nan;85.25;3;42.70;6543;0.50;0.38;1234.50;4;3;12;1800.00;1;1.00;1;", "field 2"},
      // More digits than any double has: no value the relay can send.
      {"DATA_PACKET;90.50;85.25;3;42.70;6543;0.50;0.38;1234.50;4;3;12;" + std::string(310, '9') +
           ".00;1;1.00;1;",
       "field 13"},
      {"SESSION_INFO;5900;7400;7200;7600", "5 fields"},
      {"SESSION_INFO;5900;7400;7200.000;7600;car", "field 4"},
      {"SESSION_INFO;5900;;7200;7600;car", "field 3"},
      {"DATA_PACKETS;1;", "does not begin"},
      {"noise;", "does not begin"},
      {"", "does not begin"},
  };
  for (const Case& c : cases) {
    const auto parsed = ParseMessage(c.message);
    EXPECT_EQ(parsed.kind, MessageKind::kMalformed) << c.message;
    EXPECT_NE(parsed.problem.find(c.problem), std::string::npos)
        << c.message << ": " << parsed.problem;
  }
}

// Whatever the relay's formatter writes, the checks accept, and the values
// read back are the row's to within the two decimals sent: at a float's
// largest magnitude the doubles are at theirs, 309 digits.
TEST(MessageParser, AcceptsEveryDataPacketTheRelayFormats) {
  using T = publisher::ValueType;
  const publisher::Layout layout = publisher::DefaultLayout();
  relay::VariableOffsets offsets{};
  for (std::size_t i = 0; i < offsets.size(); ++i) {
    offsets[i] = publisher::OffsetOf(layout, relay::kRelayedVariables[i]);
  }
  const float big = std::numeric_limits<float>::max();
  for (float value :
       {0.0f, -0.004f, 1.005f, 7654.321f, -big, big, std::numeric_limits<float>::quiet_NaN()}) {
    const double wide = std::fabs(value) == big
                            ? std::copysign(std::numeric_limits<double>::max(), value)
                            : double{value};
    std::vector<std::uint8_t> row(static_cast<std::size_t>(layout.rowLength));
    for (const publisher::Variable& v : layout.variables) {
      if (v.type == T::kFloat) publisher::SetFloat(row, layout, v.name, value);
      if (v.type == T::kDouble) publisher::SetDouble(row, layout, v.name, wide);
      if (v.type == T::kInt) publisher::SetInt(row, layout, v.name, -9);
      if (v.type == T::kBool) publisher::SetBool(row, layout, v.name, true);
    }
    char buffer[relay::kPacketBufferSize];
    const std::string message(buffer, relay::FormatDataPacket(row, offsets, buffer));
    const auto parsed = ParseMessage(message);
    ASSERT_EQ(parsed.kind, MessageKind::kDataPacket) << message << ": " << parsed.problem;
    if (std::isnan(value)) {
      EXPECT_TRUE(std::isnan(parsed.data.oilTemp));
    } else if (std::fabs(value) < 1e6f) {
      EXPECT_NEAR(parsed.data.oilTemp, value, 0.0051) << message;
    } else {
      EXPECT_DOUBLE_EQ(parsed.data.oilTemp, value) << message;
      EXPECT_EQ(parsed.data.sessionTimeRemain, wide) << message;
    }
  }
}

}  // namespace
