// The publisher's restart, its tick counts past 2^31 - 1 and its
// single-publisher lock.
#include "sim-publisher/publisher.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
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

// The first `size` bytes of a region with the three slots' tick counts 0.
std::vector<std::uint8_t> WithoutTickCounts(const std::vector<std::uint8_t>& region,
                                            std::size_t size) {
  std::vector<std::uint8_t> bytes(region.begin(), region.begin() + size);
  for (std::int64_t slot = 0; slot < 3; ++slot) {
    std::memset(bytes.data() + simlink::layout::kSlots + simlink::layout::kSlotSize * slot, 0, 4);
  }
  return bytes;
}

TEST(PublisherTicks, StartOverAfterTheLargestCountAndTheRelayTakesRowsAgain) {
  constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
  testsupport::InMemorySim sim;
  const publisher::Layout& layout = sim.publisher.layout;
  const auto rows = static_cast<std::size_t>(publisher::RowOffset(layout, 0));
  const std::vector<std::uint8_t> before(sim.memory.begin(), sim.memory.begin() + rows);
  simlink::TelemetryRegion region;
  simlink::AttachView(region, sim.View());
  simlink::RowBuffer row{std::vector<std::uint8_t>(sim.row.size())};
  sim.publisher.tickCount = kMax - 3;
  sim.Publish();
  simlink::FetchNewRow(region, &row);  // the relay's first sighting takes no row

  struct Case {
    std::int32_t tick;  // the count the row is published under
    bool taken;         // by the relay's next fetch
  };
  // Past the largest count the relay sees the count go back, as at a
  // restart, and takes the rows from the second one on.
  const Case cases[] = {{kMax - 1, true}, {kMax, true}, {1, false},
                        {2, true},        {3, true},    {4, true}};
  std::int32_t lap = 100;
  for (const Case& c : cases) {
    sim.SetInt("Lap", ++lap);
    sim.Publish();
    // Before the rows only the slots' tick counts change, and each stays a
    // published count or 0.
    ASSERT_TRUE(WithoutTickCounts(sim.memory, rows) == WithoutTickCounts(before, rows))
        << "the header changed at tick " << c.tick;
    for (std::int32_t slot = 0; slot < layout.slotCount; ++slot) {
      std::int32_t tick = -1;
      simlink::ReadInt32(sim.View(), simlink::layout::kSlots + simlink::layout::kSlotSize * slot,
                         &tick);
      EXPECT_GE(tick, 0) << "slot " << slot << " at tick " << c.tick;
    }
    EXPECT_EQ(sim.publisher.tickCount, c.tick);
    ASSERT_EQ(simlink::FetchNewRow(region, &row), c.taken) << "tick " << c.tick;
    if (!c.taken) continue;
    EXPECT_EQ(region.lastTickCount, c.tick);
    std::int32_t taken = 0;
    std::memcpy(&taken, row.bytes.data() + simlink::OffsetOf(region, "Lap"), sizeof taken);
    EXPECT_EQ(taken, lap);
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
