// The publisher's restart and its single-publisher lock.
#include "sim-publisher/publisher.h"

#include <gtest/gtest.h>

#include <cstring>
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
