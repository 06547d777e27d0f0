// Splits the relay's byte stream into messages. A message has no terminator
// and no length prefix: it begins where its keyword ("DATA_PACKET" or
// "SESSION_INFO") begins and runs up to the next keyword. Bytes arrive in
// pieces cut anywhere, even inside a keyword, so the framer keeps the
// unfinished tail until more bytes, or the end of the stream, settle it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace stream {

inline constexpr std::string_view kDataPacketKeyword = "DATA_PACKET";
inline constexpr std::string_view kSessionInfoKeyword = "SESSION_INFO";

// No message handed out is longer than this: a longer run of bytes without a
// keyword is cut into pieces of this length (messages the checks then
// reject), so the framer's memory stays bounded. Where the cuts fall depends
// only on the bytes, never on how they were split into reads. The relay's own
// messages are at most 1024 bytes.
inline constexpr std::size_t kMaxMessageLength = 4096;

// When a DATA_PACKET is complete. Waiting for the next keyword is the strict
// reading (anything after the last ";" belongs to the packet and spoils it),
// but it holds every packet back until the next row arrives. Every packet the
// relay sends ends at its sixteenth ";", so a client that forwards rows as they
// come takes it from there; whatever follows, up to the next keyword, is then
// a message of its own.
enum class DataPacketEnd { kAtNextKeyword, kAtLastField };

class StreamFramer {
 public:
  explicit StreamFramer(DataPacketEnd dataPacketEnd = DataPacketEnd::kAtNextKeyword)
      : dataPacketEnd_(dataPacketEnd) {}

  // Appends `bytes` to the stream and adds every message they complete to
  // `messages`. Bytes before the first keyword come out as a message of
  // their own (one that does not begin with a keyword). The messages are
  // views of the framer's own buffer, valid until its next call: the buffer
  // keeps its size from row to row, so framing allocates nothing.
  void Feed(std::string_view bytes, std::vector<std::string_view>& messages);
  // The stream has ended: the message still open is complete (a view, as
  // above). Call Reset before the next stream.
  void Finish(std::vector<std::string_view>& messages);
  // Forgets everything pending, for a new connection.
  void Reset();

 private:
  // Forgets the messages handed out by the last call.
  void DropHandedOut();

  DataPacketEnd dataPacketEnd_;
  // The messages handed out last, [0, handedOut_), then the open one.
  std::string pending_;
  std::size_t handedOut_ = 0;
  // The open message holds no keyword start in [1, scanned_) (at 0 it may
  // have one).
  std::size_t scanned_ = 0;
};

}  // namespace stream
