// Keyword framing of the relay's stream.
#include "stream_framer.h"

#include <algorithm>

namespace watch {

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

void StreamFramer::Feed(std::string_view bytes, std::vector<std::string>& messages) {
  pending_.append(bytes);
  for (;;) {
    // A keyword at position 0 opens the pending message; only a later one
    // can close it.
    std::size_t start = FindKeyword(pending_, std::max<std::size_t>(scanned_, 1));
    if (dataPacketEnd_ == DataPacketEnd::kAtLastField) {
      start = std::min(start, DataPacketLastField(pending_));
    }
    if (start == std::string::npos) break;
    messages.push_back(pending_.substr(0, start));
    pending_.erase(0, start);
    scanned_ = 0;
  }
  // Past here no keyword begins, except perhaps one whose first bytes are the
  // last few of the stream so far: look at those again next time.
  const std::size_t keep = kLongestKeyword - 1;
  scanned_ = pending_.size() > keep ? pending_.size() - keep : 0;
  if (pending_.size() > kMaxMessageLength) {
    messages.push_back(pending_.substr(0, scanned_));
    pending_.erase(0, scanned_);
    scanned_ = 0;
  }
}

void StreamFramer::Finish(std::vector<std::string>& messages) {
  if (!pending_.empty()) messages.push_back(pending_);
  Reset();
}

void StreamFramer::Reset() {
  pending_.clear();
  scanned_ = 0;
}

}  // namespace watch
