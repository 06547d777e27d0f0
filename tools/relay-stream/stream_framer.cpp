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
// `text`, just past its sixteenth ";", or npos.
std::size_t DataPacketLastField(std::string_view text) {
  if (!text.starts_with(kDataPacketKeyword)) return std::string_view::npos;
  constexpr int kSemicolons = 16;
  int seen = 0;
  for (std::size_t i = kDataPacketKeyword.size(); i < text.size(); ++i) {
    if (text[i] == ';' && ++seen == kSemicolons) return i + 1;
  }
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
    // A keyword at position 0 opens the pending message; only a later one
    // can close it.
    std::size_t start = FindKeyword(open, std::max<std::size_t>(scanned_, 1));
    if (dataPacketEnd_ == DataPacketEnd::kAtLastField) {
      start = std::min(start, DataPacketLastField(open));
    }
    if (start == std::string::npos) break;
    messages.push_back(open.substr(0, start));
    begin += start;
    scanned_ = 0;
  }
  // Past here no keyword begins, except perhaps one whose first bytes are the
  // last few of the stream so far: look at those again next time.
  const std::size_t keep = kLongestKeyword - 1;
  const std::size_t openSize = text.size() - begin;
  scanned_ = openSize > keep ? openSize - keep : 0;
  if (openSize > kMaxMessageLength) {
    messages.push_back(text.substr(begin, scanned_));
    begin += scanned_;
    scanned_ = 0;
  }
  handedOut_ = begin;
}

void StreamFramer::Finish(std::vector<std::string_view>& messages) {
  DropHandedOut();
  if (!pending_.empty()) messages.push_back(pending_);
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
