// The publisher's restart, its tick counts past 2^31 - 1, its
// single-publisher lock, its shared objects shrunk under it and its readers,
// and its arrays written at once.
#include "sim-publisher/publisher.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#ifndef _WIN32
#include <unistd.h>
#endif
#include <string>
#include <vector>

#include "platform/platform.h"
#include "simlink/region.h"
#include "simlink/variable_directory.h"
#include "support/test_support.h"

namespace {

TEST(PublisherRestart, CountsTicksAnewAndTheRelayTakesTheNextRow) {
  testsupport::InMemorySim sim;
  ASSERT_TRUE(publisher::ChangeRowLength(sim.publisher, sim.publisher.layout.rowLength + 100));
  sim.row.resize(static_cast<std::size_t>(sim.publisher.layout.rowLength));
  simlink::TelemetryRegion region;
  simlink::AttachView(region, sim.View());
  simlink::RowBuffer row{std::vector<std::uint8_t>(sim.row.size())};
  for (int i = 0; i < 5; ++i) sim.Publish();
  simlink::FetchNewRow(region, &row);
  sim.Publish();
  ASSERT_TRUE(simlink::FetchNewRow(region, &row));
  ASSERT_EQ(region.lastTickCount, 6);

  ASSERT_TRUE(publisher::Restart(sim.publisher, publisher::DefaultSessionText()));
  // The changed row length survives the restart.
  EXPECT_EQ(simlink::Header(region).rowLength, sim.publisher.layout.rowLength);
  EXPECT_EQ(simlink::Header(region).status & 1, 1);
  EXPECT_FALSE(simlink::FetchNewRow(region, &row));
  sim.SetInt("Lap", 12);
  sim.Publish();
  ASSERT_TRUE(simlink::FetchNewRow(region, &row));
  EXPECT_EQ(region.lastTickCount, 1);
  std::int32_t lap = 0;
  std::memcpy(&lap, row.bytes.data() + simlink::OffsetOf(region, "Lap"), sizeof lap);
  EXPECT_EQ(lap, 12);
}

TEST(PublisherTicks, StartOverAfterTheLargestCountAndTheRelayTakesRowsAgain) {
  constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
  testsupport::InMemorySim sim;
  const publisher::Layout& layout = sim.publisher.layout;
  const auto rows = static_cast<std::size_t>(publisher::RowOffset(layout, 0));
  const std::vector<std::uint8_t> laidOut(sim.memory.begin(), sim.memory.begin() + rows);
  simlink::TelemetryRegion region;
  simlink::AttachView(region, sim.View());
  simlink::RowBuffer row{std::vector<std::uint8_t>(sim.row.size())};
  sim.publisher.tickCount = kMax - 3;
  sim.Publish();
  simlink::FetchNewRow(region, &row);  // the relay's first sighting takes no row
  // Past the largest count the relay sees the count go back, as at a
  // restart, and takes the rows from the second one on.
  const std::pair<std::int32_t, bool> ticksTaken[] = {{kMax - 1, true}, {kMax, true}, {1, false},
                                                      {2, true},        {3, true},    {4, true}};
  for (const auto& [tick, taken] : ticksTaken) {
    sim.SetInt("Lap", tick);
    sim.Publish();
    ASSERT_EQ(sim.publisher.tickCount, tick);
    // Before the rows only the slots' counts change, each to a published
    // count or 0.
    std::vector<std::uint8_t> header(sim.memory.begin(), sim.memory.begin() + rows);
    for (std::int32_t slot = 0; slot < layout.slotCount; ++slot) {
      std::uint8_t* count =
          header.data() + simlink::layout::kSlots + simlink::layout::kSlotSize * slot;
      std::int32_t value = 0;
      std::memcpy(&value, count, sizeof value);
      EXPECT_GE(value, 0) << "slot " << slot << " at tick " << tick;
      std::memset(count, 0, sizeof value);
    }
    ASSERT_TRUE(header == laidOut) << "the header changed at tick " << tick;
    ASSERT_EQ(simlink::FetchNewRow(region, &row), taken) << "tick " << tick;
    std::int32_t lap = 0;
    std::memcpy(&lap, row.bytes.data() + simlink::OffsetOf(region, "Lap"), sizeof lap);
    if (taken) {
      EXPECT_EQ(lap, tick);
    }
  }
}

// An array written at once stops at the array's length and at the row's end
// (a row cut short by a row-length change), whole values only.
TEST(PublisherArrays, StopAtTheArraysLengthAndTheRowsEnd) {
  const publisher::Layout layout =
      publisher::PackedLayout({{"Before", publisher::ValueType::kInt},
                               {"Times", publisher::ValueType::kFloat, 3},
                               {"After", publisher::ValueType::kInt}},
                              1, 0);
  const float values[] = {1.5f, 2.5f, 3.5f, 4.5f};
  struct Case {
    std::size_t rowLength;
    int written;  // values of the array that land in the row
  };
  for (const Case c : {Case{20, 3}, Case{16, 3}, Case{15, 2}, Case{8, 1}, Case{5, 0}, Case{0, 0}}) {
    std::vector<std::uint8_t> row(c.rowLength + 8, 0xee);
    publisher::SetFloats(std::span(row).first(c.rowLength), layout, "Times", values);
    for (int i = 0; i < 4 && 8 + 4 * static_cast<std::size_t>(i) <= row.size(); ++i) {
      float value = 0;
      std::memcpy(&value, row.data() + 4 + 4 * i, sizeof value);
      if (i < c.written) {
        EXPECT_EQ(value, values[i]) << c.rowLength << " bytes, value " << i;
      } else {
        EXPECT_EQ(std::vector<std::uint8_t>(row.begin() + 4 + 4 * i, row.begin() + 8 + 4 * i),
                  std::vector<std::uint8_t>(4, 0xee))
            << c.rowLength << " bytes, value " << i;
      }
    }
  }
}

TEST(PublisherLock, IsHeldUntilTheProcessEnds) {
  // A name of this test's own, so that it runs alongside real publishers.
  const std::string name =
      "Local\\TelemetryRelayLockTest" + std::to_string(platform::MonotonicNanoseconds());
  EXPECT_EQ(platform::AcquireNamedLock(name.c_str()), platform::LockResult::kAcquired);
  EXPECT_EQ(platform::AcquireNamedLock(name.c_str()), platform::LockResult::kHeldElsewhere);
  // On POSIX the lock is a shared-memory object; remove it again.
  platform::RemoveNamedMapping(name.c_str());
}

}  // namespace
