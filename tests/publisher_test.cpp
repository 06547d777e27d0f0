// The publisher's restart, its tick counts past 2^31 - 1, its
// single-publisher lock, and its shared objects shrunk under it and its
// readers.
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
