// Keyword framing of the relay's stream.
#include "relay-stream/stream_framer.h"

#include <algorithm>

namespace stream {

namespace {

constexpr std::size_t kLongestKeyword =
    std::max(kDataPacketKeyword.size(), kSessionInfoKeyword.size());

// The first keyword at or after `from`, or npos.
std::size_t FindKeyword(std::string_view text, std::size_t from) {
  return std::min(text.find(kDataPacketKeyword, from), text.find(kSessionInfoKeyword, from));
}

// With DataPacketEnd::kAtLastField: the end of a DATA_PACKET that opens
// `text`, just past its sixteenth ";", or npos. Only the first
// kMaxMessageLength bytes can hold it.
std::size_t DataPacketLastField(std::string_view text) {
  if (!text.starts_with(kDataPacketKeyword)) return std::string_view::npos;
  constexpr int kSemicolons = 16;
  int seen = 0;
  const std::size_t end = std::min(text.size(), kMaxMessageLength);
  for (std::size_t i = kDataPacketKeyword.size(); i < end; ++i) {
    if (text[i] == ';' && ++seen == kSemicolons) return i + 1;
  }
  return std::string_view::npos;
}

// Where the message that opens `open` ends, or npos while the bytes so far
// cannot tell. The message ends where the next keyword begins (or, with
// kAtLastField, at a DATA_PACKET's last field), but after at most
// kMaxMessageLength bytes. That cut is made only once every keyword that
// could begin before it is wholly there, so it falls in the same place
// however the stream was split into reads.
std::size_t MessageEnd(std::string_view open, std::size_t scanned, DataPacketEnd dataPacketEnd) {
  // A keyword at position 0 opens the message; only a later one can close it.
  std::size_t end = FindKeyword(open, std::max<std::size_t>(scanned, 1));
  if (dataPacketEnd == DataPacketEnd::kAtLastField) end = std::min(end, DataPacketLastField(open));
  if (end <= kMaxMessageLength) return end;
  if (open.size() >= kMaxMessageLength - 1 + kLongestKeyword) return kMaxMessageLength;
  return std::string_view::npos;
}

}  // namespace

void StreamFramer::Feed(std::string_view bytes, std::vector<std::string_view>& messages) {
  DropHandedOut();
  pending_.append(bytes);
  const std::string_view text(pending_);
  std::size_t begin = 0;  // where the message still open begins
  for (;;) {
    const std::string_view open = text.substr(begin);
    const std::size_t end = MessageEnd(open, scanned_, dataPacketEnd_);
    if (end == std::string_view::npos) break;
    messages.push_back(open.substr(0, end));
    begin += end;
    scanned_ = 0;
  }
  // Past here no keyword begins, except perhaps one whose first bytes are the
  // last few of the stream so far: look at those again next time.
  const std::size_t keep = kLongestKeyword - 1;
  const std::size_t openSize = text.size() - begin;
  scanned_ = openSize > keep ? openSize - keep : 0;
  handedOut_ = begin;
}

void StreamFramer::Finish(std::vector<std::string_view>& messages) {
  DropHandedOut();
  // No keyword can begin any more, so an open message longer than the limit
  // is cut at it, as a longer stream would have cut it.
  std::string_view open(pending_);
  while (open.size() > kMaxMessageLength) {
    messages.push_back(open.substr(0, kMaxMessageLength));
    open.remove_prefix(kMaxMessageLength);
  }
  if (!open.empty()) messages.push_back(open);
  handedOut_ = pending_.size();
  scanned_ = 0;
}

void StreamFramer::Reset() {
  pending_.clear();
  handedOut_ = 0;
  scanned_ = 0;
}

void StreamFramer::DropHandedOut() {
  pending_.erase(0, handedOut_);
  handedOut_ = 0;
}

}  // namespace stream
