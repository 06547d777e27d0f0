// Message splitting, delivery accounting and latency summaries.
#include "measure.h"

#include <algorithm>
#include <cmath>

namespace bench {

namespace {

constexpr std::string_view kDataKeyword = "DATA_PACKET;";
constexpr std::string_view kSessionKeyword = "SESSION_INFO;";
// A DATA_PACKET is its keyword and fifteen fields, each ended by ';'.
constexpr int kDataSemicolons = 16;
// "Lap" is field 10, counting the keyword as field 1: nine ';' precede it.
constexpr std::size_t kSemicolonsBeforeTick = 10;  // RaceLaps, field 11

// Where the next keyword begins at or after `from`, or npos.
std::size_t FindKeyword(std::string_view stream, std::size_t from) {
  return std::min(stream.find(kDataKeyword, from), stream.find(kSessionKeyword, from));
}

// True when `stream` is too short to tell, but could still become `keyword`.
bool CouldBecome(std::string_view stream, std::string_view keyword) {
  return stream.size() < keyword.size() && keyword.starts_with(stream);
}

std::int64_t Span(std::int64_t low, std::int64_t high) {
  return std::max<std::int64_t>(0, high - low + 1);
}

// Rows from `low` to `high` that the client has no DATA_PACKET for: those a
// SESSION_INFO stood in for count as delivered, the rest as missing.
void CountGap(Tally& tally, std::int64_t low, std::int64_t high) {
  const std::int64_t gap = Span(low, high);
  const std::int64_t covered = std::min(gap, tally.sessionInfosSinceData);
  tally.sessionInfosSinceData -= covered;
  tally.delivered += covered;
  tally.missing += gap - covered;
}

}  // namespace

Message NextMessage(std::string_view stream) {
  if (stream.starts_with(kDataKeyword)) {
    int semicolons = 0;
    for (std::size_t i = 0; i < stream.size(); ++i) {
      if (stream[i] == ';' && ++semicolons == kDataSemicolons) {
        return {MessageKind::kData, stream.substr(0, i + 1)};
      }
    }
    return {};
  }
  if (stream.starts_with(kSessionKeyword)) {
    const std::size_t next = FindKeyword(stream, kSessionKeyword.size());
    if (next == std::string_view::npos) return {};
    return {MessageKind::kSessionInfo, stream.substr(0, next)};
  }
  if (stream.empty() || CouldBecome(stream, kDataKeyword) || CouldBecome(stream, kSessionKeyword)) {
    return {};
  }
  std::size_t next = FindKeyword(stream, 1);
  if (next == std::string_view::npos) {
    // Keep a tail that may be the start of a keyword still arriving.
    const std::size_t keep = kSessionKeyword.size() - 1;
    if (stream.size() <= keep) return {};
    next = stream.size() - keep;
  }
  return {MessageKind::kGarbage, stream.substr(0, next)};
}

std::int64_t TickOf(std::string_view dataPacket) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < kSemicolonsBeforeTick; ++i) {
    start = dataPacket.find(';', start);
    if (start == std::string_view::npos) return -1;
    ++start;
  }
  const std::size_t end = dataPacket.find(';', start);
  if (end == std::string_view::npos || end == start || end - start > 10) return -1;
  std::int64_t tick = 0;
  for (std::size_t i = start; i < end; ++i) {
    if (dataPacket[i] < '0' || dataPacket[i] > '9') return -1;
    tick = tick * 10 + (dataPacket[i] - '0');
  }
  return tick;
}

void OpenWindow(Tally& tally) {
  tally.delivered = 0;
  tally.missing = 0;
}

bool CountData(Tally& tally, const Window& window, std::int64_t tick) {
  if (tally.lastTick >= 0 && tick <= tally.lastTick) {
    ++tally.outOfOrder;
    return false;
  }
  CountGap(tally, std::max(tally.lastTick + 1, window.first), std::min(tick - 1, window.last));
  tally.lastTick = tick;
  tally.sessionInfosSinceData = 0;
  if (tick < window.first || tick > window.last) return false;
  ++tally.delivered;
  return true;
}

void CountSessionInfo(Tally& tally) { ++tally.sessionInfosSinceData; }

void CloseWindow(Tally& tally, const Window& window) {
  CountGap(tally, std::max(tally.lastTick + 1, window.first), window.last);
}

bool CaughtUp(const Tally& tally, std::int64_t tick) {
  return tally.lastTick + tally.sessionInfosSinceData >= tick;
}

std::int64_t Percentile(const std::vector<std::int64_t>& sorted, double percent) {
  if (sorted.empty()) return 0;
  const auto rank =
      static_cast<std::size_t>(std::ceil(percent * static_cast<double>(sorted.size()) / 100.0));
  return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

LatencySummary Summarise(std::vector<std::int64_t>& samples) {
  std::sort(samples.begin(), samples.end());
  LatencySummary summary;
  summary.count = samples.size();
  summary.p50 = Percentile(samples, 50);
  summary.p99 = Percentile(samples, 99);
  summary.p999 = Percentile(samples, 99.9);
  summary.max = samples.empty() ? 0 : samples.back();
  return summary;
}

}  // namespace bench
