// The benchmark's own arithmetic: if it split messages wrongly, lost count of
// rows or took the wrong percentile, every figure it prints would be wrong.
#include "measure.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using bench::MessageKind;

const std::string kData =
    "DATA_PACKET;90.50;85.25;3;42.70;6543;0.50;0.38;1234.50;417;3;12;1800.00;1;1.00;1;";
const std::string kSession = "SESSION_INFO;5900;7400;7200;7600;porsche992rgt3";

TEST(NextMessage, SplitsTheStreamAtKeywords) {
  struct Case {
    std::string stream;
    MessageKind kind;
    std::size_t length;  // of the message taken off the front
  };
  const std::string noKeyword = "0123456789abcdefghij";
  const Case cases[] = {
      {"", MessageKind::kIncomplete, 0},
      {"DATA_PA", MessageKind::kIncomplete, 0},
      {"SESSION_", MessageKind::kIncomplete, 0},
      {kData, MessageKind::kData, kData.size()},
      {kData + kData, MessageKind::kData, kData.size()},
      {kData.substr(0, kData.size() - 1), MessageKind::kIncomplete, 0},
      {kData + kSession, MessageKind::kData, kData.size()},
      // A SESSION_INFO has no end marker: it is whole when the next begins.
      {kSession, MessageKind::kIncomplete, 0},
      {kSession + "DATA_PA", MessageKind::kIncomplete, 0},
      {kSession + kData, MessageKind::kSessionInfo, kSession.size()},
      {kSession + kSession, MessageKind::kSessionInfo, kSession.size()},
      // Bytes that are no message are skipped up to the next keyword.
      {"1.00;1;" + kData, MessageKind::kGarbage, 7},
      {"DATA_PACKEX;" + kData, MessageKind::kGarbage, 12},
      // With no keyword in sight, a tail that could start one is kept.
      {noKeyword, MessageKind::kGarbage, noKeyword.size() - 12},
      {"0123", MessageKind::kIncomplete, 0},
  };
  for (const Case& c : cases) {
    const bench::Message message = bench::NextMessage(c.stream);
    EXPECT_EQ(message.kind, c.kind) << c.stream;
    EXPECT_EQ(message.text.size(), c.length) << c.stream;
    EXPECT_EQ(message.text, std::string_view(c.stream).substr(0, c.length)) << c.stream;
  }
}

TEST(TickOf, ReadsTheRaceLapsField) {
  struct Case {
    std::string packet;
    std::int64_t tick;
  };
  const Case cases[] = {
      {kData, 3},
      {"DATA_PACKET;0;0;0;0;0;0;0;0;1;2147483647;0;0;0;0;0;", 2147483647},
      {"DATA_PACKET;0;0;0;0;0;0;0;0;1;-5;0;0;0;0;0;", -1},
      {"DATA_PACKET;0;0;0;0;0;0;0;0;1;;0;0;0;0;0;", -1},
      {"DATA_PACKET;0;0;0;0;0;0;0;0;1;4x;0;0;0;0;0;", -1},
      {"DATA_PACKET;0;0;0;0;0;0;0;0;1;", -1},
  };
  for (const Case& c : cases) EXPECT_EQ(bench::TickOf(c.packet), c.tick) << c.packet;
}

// Feeds a client's stream (ticks of DATA_PACKETs, 0 for a SESSION_INFO) through
// one window and checks the counts.
TEST(Tally, AccountsForEveryRowOfTheWindow) {
  struct Case {
    const char* name;
    std::vector<std::int64_t> stream;
    bench::Window window;
    std::int64_t delivered, missing, outOfOrder;
  };
  const Case cases[] = {
      {"every row", {10, 11, 12, 13, 14}, {10, 14}, 5, 0, 0},
      {"rows outside the window are not counted", {8, 9, 10, 11, 12, 13}, {10, 11}, 2, 0, 0},
      {"a gap inside", {10, 11, 14, 15}, {10, 15}, 4, 2, 0},
      {"a gap across the start", {7, 12, 13}, {10, 13}, 2, 2, 0},
      {"a SESSION_INFO stands in for a row", {10, 11, 0, 13}, {10, 13}, 4, 0, 0},
      {"it covers one row only", {10, 0, 14}, {10, 14}, 3, 2, 0},
      {"the first row of the window as a SESSION_INFO", {9, 0, 11, 12}, {10, 12}, 3, 0, 0},
      {"a missing tail", {10, 11}, {10, 14}, 2, 3, 0},
      {"a tail that ends in a SESSION_INFO", {10, 11, 0}, {10, 12}, 3, 0, 0},
      {"nothing at all", {}, {10, 14}, 0, 5, 0},
      {"a repeated row counts once", {10, 11, 11, 12}, {10, 12}, 3, 0, 1},
      {"a row from the past", {10, 12, 11, 13}, {10, 13}, 3, 1, 1},
  };
  for (const Case& c : cases) {
    bench::Tally tally;
    bench::OpenWindow(tally);
    for (const std::int64_t event : c.stream) {
      if (event == 0) {
        bench::CountSessionInfo(tally);
      } else {
        bench::CountData(tally, c.window, event);
      }
    }
    bench::CloseWindow(tally, c.window);
    EXPECT_EQ(tally.delivered, c.delivered) << c.name;
    EXPECT_EQ(tally.missing, c.missing) << c.name;
    EXPECT_EQ(tally.outOfOrder, c.outOfOrder) << c.name;
  }
}

TEST(Tally, CountsOnlyTheNewRowsOfEachWindow) {
  bench::Tally tally;
  const bench::Window first{1, 3};
  bench::OpenWindow(tally);
  for (const std::int64_t tick : {1, 2, 3}) EXPECT_TRUE(bench::CountData(tally, first, tick));
  bench::CloseWindow(tally, first);
  EXPECT_EQ(tally.delivered, 3);

  // Rows published between the windows are nobody's; the next window starts
  // where it says, whatever the stream did before.
  const bench::Window second{10, 12};
  bench::OpenWindow(tally);
  EXPECT_FALSE(bench::CountData(tally, second, 9));
  EXPECT_TRUE(bench::CountData(tally, second, 11));
  EXPECT_FALSE(bench::CaughtUp(tally, 12));
  bench::CountSessionInfo(tally);
  EXPECT_TRUE(bench::CaughtUp(tally, 12));
  bench::CloseWindow(tally, second);
  EXPECT_EQ(tally.delivered, 2);
  EXPECT_EQ(tally.missing, 1);
}

TEST(Percentile, TakesTheNearestRank) {
  std::vector<std::int64_t> hundred;
  for (std::int64_t i = 1; i <= 100; ++i) hundred.push_back(i);
  std::vector<std::int64_t> thousandAndOne;
  for (std::int64_t i = 1; i <= 1001; ++i) thousandAndOne.push_back(i);
  struct Case {
    const std::vector<std::int64_t>* sorted;
    double percent;
    std::int64_t want;
  };
  const std::vector<std::int64_t> none;
  const std::vector<std::int64_t> one = {7};
  const Case cases[] = {
      {&none, 50, 0},
      {&one, 50, 7},
      {&one, 99.9, 7},
      {&hundred, 50, 50},
      {&hundred, 99, 99},
      {&hundred, 99.9, 100},
      {&hundred, 100, 100},
      {&hundred, 0, 1},
      {&thousandAndOne, 99.9, 1000},
      {&thousandAndOne, 50, 501},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(bench::Percentile(*c.sorted, c.percent), c.want)
        << c.percent << "% of " << c.sorted->size();
  }
}

TEST(Summarise, SortsAndSummarises) {
  std::vector<std::int64_t> samples = {5, 1, 4, 2, 3};
  const bench::LatencySummary summary = bench::Summarise(samples);
  EXPECT_EQ(summary.count, 5u);
  EXPECT_EQ(summary.p50, 3);
  EXPECT_EQ(summary.p99, 5);
  EXPECT_EQ(summary.max, 5);
}

}  // namespace
