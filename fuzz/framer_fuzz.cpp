// The stream framer over any bytes fed in any pieces, and the message checks
// on every message it hands out.
//
// Input: a settings byte (bit 0: packets end at their last field), a count n
// and n piece lengths (each byte + 1, used in turn), then the stream.
// Checked: the messages are the same whether the stream comes whole, in the
// input's pieces or a byte at a time; none is longer than kMaxMessageLength;
// together they are the stream, byte for byte; a message the checks accept
// begins with its keyword.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "relay-stream/message_parser.h"
#include "relay-stream/stream_framer.h"

namespace {

// Frames `stream` fed in pieces of the given lengths, in turn (whole when
// there are none), and copies the messages out.
std::vector<std::string> Frame(std::string_view stream, const std::vector<std::size_t>& pieces,
                               stream::DataPacketEnd end) {
  stream::StreamFramer framer(end);
  std::vector<std::string> messages;
  std::vector<std::string_view> views;
  for (std::size_t at = 0, i = 0; at < stream.size(); ++i) {
    const std::size_t length = pieces.empty() ? stream.size() : pieces[i % pieces.size()];
    views.clear();
    framer.Feed(stream.substr(at, length), views);
    messages.insert(messages.end(), views.begin(), views.end());
    at += length;
  }
  views.clear();
  framer.Finish(views);
  messages.insert(messages.end(), views.begin(), views.end());
  return messages;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const auto end = (data[0] & 1) != 0 ? stream::DataPacketEnd::kAtLastField
                                      : stream::DataPacketEnd::kAtNextKeyword;
  const std::size_t count = std::min<std::size_t>(data[1], size - 2);
  std::vector<std::size_t> pieces;
  for (std::size_t i = 0; i < count; ++i) pieces.push_back(std::size_t{data[2 + i]} + 1);
  const std::string_view stream(reinterpret_cast<const char*>(data) + 2 + count, size - 2 - count);

  const std::vector<std::string> whole = Frame(stream, {}, end);
  FUZZ_CHECK(Frame(stream, pieces, end) == whole);
  FUZZ_CHECK(Frame(stream, {1}, end) == whole);
  std::string joined;
  for (const std::string& message : whole) {
    FUZZ_CHECK(!message.empty() && message.size() <= stream::kMaxMessageLength);
    joined += message;
    const stream::ParsedMessage parsed = stream::ParseMessage(message);
    if (parsed.kind == stream::MessageKind::kDataPacket) {
      FUZZ_CHECK(message.starts_with("DATA_PACKET;"));
    } else if (parsed.kind == stream::MessageKind::kSessionInfo) {
      FUZZ_CHECK(message.starts_with("SESSION_INFO;"));
    } else {
      FUZZ_CHECK(!parsed.problem.empty());
    }
  }
  FUZZ_CHECK(joined == stream);
  return 0;
}
