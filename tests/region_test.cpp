// The telemetry region's fetch rules, its bounds checks against a hostile
// region, and the variable directory, over regions laid out in memory.
#include "simlink/region.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "simlink/variable_directory.h"
#include "support/test_support.h"

namespace {

namespace layout = simlink::layout;
using testsupport::InMemorySim;

void Poke(InMemorySim& sim, std::int64_t offset, std::int32_t value) {
  std::memcpy(sim.memory.data() + offset, &value, sizeof value);
}

void SetTick(InMemorySim& sim, int slot, std::int32_t tick) {
  Poke(sim, layout::kSlots + layout::kSlotSize * slot + layout::kSlotTickCount, tick);
}

// Marks each slot's row with its own first byte, so a test can tell which
// slot was copied.
void MarkSlots(InMemorySim& sim) {
  for (int slot = 0; slot < sim.publisher.layout.slotCount; ++slot) {
    sim.memory[publisher::RowOffset(sim.publisher.layout, slot)] =
        static_cast<std::uint8_t>(slot + 1);
  }
}

simlink::RowBuffer MakeRow(const InMemorySim& sim) {
  return simlink::RowBuffer{std::vector<std::uint8_t>(sim.row.size())};
}

TEST(FetchNewRow, FollowsTheTickCountRules) {
  constexpr std::int32_t kNone = simlink::kNoTickCount;
  struct Case {
    const char* name;
    std::int32_t ticks[3];
    std::int32_t slotCount;
    bool publishing;
    std::int32_t lastBefore;
    bool withBuffer;
    bool wantNew;
    std::int32_t wantLast;
    int wantSlot;  // 0-based slot copied, -1 for none
  } cases[] = {
      {"first sighting only records", {5, 6, 4}, 3, true, kNone, true, false, 6, -1},
      {"raised count is a new row", {5, 6, 4}, 3, true, 5, true, true, 6, 1},
      {"equal count is not new", {5, 6, 4}, 3, true, 6, true, false, 6, -1},
      {"lower count restarts", {2, 1, 0}, 3, true, 6, true, false, 2, -1},
      {"status bit off forgets", {5, 6, 4}, 3, false, 5, true, false, kNone, -1},
      {"equal highest keeps lower index", {7, 3, 7}, 3, true, 5, true, true, 7, 0},
      {"no buffer advances without copying", {5, 6, 4}, 3, true, 5, false, true, 6, -1},
      {"slot count 1 reads slot 0 only", {5, 9, 4}, 1, true, 4, true, true, 5, 0},
      {"slot count 0 reads slot 0 only", {5, 9, 4}, 0, true, 4, true, true, 5, 0},
      {"negative counts compare signed", {-3, -7, -9}, 3, true, -4, true, true, -3, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    InMemorySim sim;
    MarkSlots(sim);
    for (int slot = 0; slot < 3; ++slot) SetTick(sim, slot, c.ticks[slot]);
    Poke(sim, layout::kSlotCount, c.slotCount);
    publisher::SetConnected(sim.memory, c.publishing);
    simlink::TelemetryRegion region;
    simlink::AttachView(region, sim.View());
    region.lastTickCount = c.lastBefore;
    simlink::RowBuffer row = MakeRow(sim);

    EXPECT_EQ(simlink::FetchNewRow(region, c.withBuffer ? &row : nullptr), c.wantNew);
    EXPECT_EQ(region.lastTickCount, c.wantLast);
    EXPECT_EQ(row.bytes[0], c.wantSlot + 1);
  }
}

// Each rewrite stores a new row (its first byte numbers the rewrite) under a
// new tick count; a confirmed copy holds the row stored under its count.
TEST(FetchNewRow, RetriesOnceWhenTheSlotIsRewrittenDuringTheCopy) {
  struct Case {
    int rewrites;       // how many copies see the tick count change under them
    std::int32_t step;  // what each rewrite adds to the count
    bool wantNew;
    std::int32_t wantLast;
    int wantFirstByte;  // of the copied row, when one is reported
  } cases[] = {
      {0, 1, true, 3, 1},
      {1, 1, true, 4, 101},
      {2, 1, false, 2, 0},
      // A count that goes back during the copy is not a newer row: no second
      // copy is confirmed under it.
      {1, -1, false, 2, 0},
      {1, -5, false, 2, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.rewrites << " rewrites of " << c.step);
    struct Rewriter {
      InMemorySim sim;
      int left = 0;
      std::int32_t step = 0;
    } rewriter;
    rewriter.left = c.rewrites;
    rewriter.step = c.step;
    InMemorySim& sim = rewriter.sim;
    MarkSlots(sim);
    SetTick(sim, 0, 3);
    simlink::TelemetryRegion region;
    simlink::AttachView(region, sim.View());
    region.lastTickCount = 2;
    region.afterRowCopy = [](void* context) {
      auto* r = static_cast<Rewriter*>(context);
      if (r->left-- <= 0) return;
      std::int32_t tick = 0;
      std::memcpy(&tick, r->sim.memory.data() + layout::kSlots, sizeof tick);
      SetTick(r->sim, 0, tick + r->step);
      r->sim.memory[publisher::RowOffset(r->sim.publisher.layout, 0)] += 100;
    };
    region.afterRowCopyContext = &rewriter;
    simlink::RowBuffer row = MakeRow(sim);

    EXPECT_EQ(simlink::FetchNewRow(region, &row), c.wantNew);
    EXPECT_EQ(region.lastTickCount, c.wantLast);
    if (c.wantNew) {
      EXPECT_EQ(row.bytes[0], c.wantFirstByte);
    }
  }
}

// The row is still reported, so the loop sees the new length and remakes its
// buffer. An empty buffer is what the loop makes when the header's row length
// read 0 or less; copying into it must not touch its (null) storage.
TEST(FetchNewRow, CopiesWhatFitsWhenTheRowLengthHasGrown) {
  for (const std::size_t bufferSize : {100u, 0u}) {
    SCOPED_TRACE(bufferSize);
    InMemorySim sim;
    sim.row.assign(sim.row.size(), 0xAB);
    sim.Publish();
    simlink::TelemetryRegion region;
    simlink::AttachView(region, sim.View());
    region.lastTickCount = 0;
    simlink::RowBuffer row{std::vector<std::uint8_t>(bufferSize)};
    EXPECT_TRUE(simlink::FetchNewRow(region, &row));
    EXPECT_EQ(row.bytes.size(), bufferSize);
    EXPECT_EQ(std::count(row.bytes.begin(), row.bytes.end(), 0xAB), std::ptrdiff_t(bufferSize));
  }
}

// Each case breaks one thing in an otherwise sane region. None of them may
// read outside the mapping (the sanitizer build catches that), and none may
// report a row, a text or an offset.
TEST(Region, HostileHeadersGiveNothing) {
  const auto size = static_cast<std::int32_t>(InMemorySim().memory.size());
  struct Case {
    const char* name;
    std::int64_t field;
    std::int32_t value;
    bool rowOk, textOk, directoryOk;
  } cases[] = {
      {"huge slot count", layout::kSlotCount, 2147483647, false, true, true},
      {"row offset past the end", layout::kSlots + layout::kSlotRowOffset, size, false, true, true},
      {"negative row offset", layout::kSlots + layout::kSlotRowOffset, -8, false, true, true},
      {"row length beyond the mapping", layout::kRowLength, size, false, true, true},
      {"negative row length", layout::kRowLength, -1, false, true, true},
      {"session text past the end", layout::kSessionInfoOffset, size, true, false, true},
      {"negative session offset", layout::kSessionInfoOffset, -100, true, false, true},
      {"records past the end", layout::kVariableRecordsOffset, size - 100, true, true, false},
      {"huge variable count", layout::kVariableCount, 2147483647, true, true, true},
      {"no variables", layout::kVariableCount, 0, true, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    InMemorySim sim;
    publisher::SetInt(sim.row, sim.publisher.layout, "Gear", 3);
    sim.Publish();
    Poke(sim, c.field, c.value);
    // Slot 0 holds row 0; the published row went to slot 1. Point every slot
    // the same way so the slot-offset cases hit the slot in use.
    std::int32_t rowOffset = 0;
    std::memcpy(&rowOffset, sim.memory.data() + layout::kSlots + layout::kSlotRowOffset, 4);
    for (int slot = 1; slot < 3; ++slot) {
      Poke(sim, layout::kSlots + layout::kSlotSize * slot + layout::kSlotRowOffset, rowOffset);
    }
    simlink::TelemetryRegion region;
    simlink::AttachView(region, sim.View());
    region.lastTickCount = 0;
    simlink::RowBuffer row = MakeRow(sim);
    EXPECT_EQ(simlink::FetchNewRow(region, &row), c.rowOk);
    region.lastTickCount = 0;
    EXPECT_EQ(simlink::FetchNewRow(region, nullptr), c.rowOk);
    EXPECT_EQ(simlink::SessionInfoText(region) != nullptr, c.textOk);
    EXPECT_EQ(!simlink::SessionInfoArea(region).empty(), c.textOk);
    EXPECT_EQ(simlink::OffsetOf(region, "Gear") >= 0, c.directoryOk);
    EXPECT_EQ(simlink::OffsetOf(region, "NoSuchVariable"), -1);
  }
}

TEST(Region, SessionTextWithoutNulIsNotOffered) {
  InMemorySim sim;
  const std::int32_t tail = static_cast<std::int32_t>(sim.memory.size()) - 4;
  Poke(sim, layout::kSessionInfoOffset, tail);
  std::memset(sim.memory.data() + tail, 'x', 4);
  simlink::TelemetryRegion region;
  simlink::AttachView(region, sim.View());
  EXPECT_EQ(simlink::SessionInfoText(region), nullptr);
  EXPECT_TRUE(simlink::SessionInfoArea(region).empty());
  sim.memory.back() = 0;
  EXPECT_STREQ(simlink::SessionInfoText(region), "xxx");
  // The area still ends where the mapping ends, so a scan that loses the NUL
  // to a rewrite stops there.
  EXPECT_EQ(simlink::SessionInfoArea(region), std::string_view("xxx\0", 4));
}

TEST(Region, ATinyMappingGivesNothing) {
  std::vector<std::uint8_t> memory(30, 0xFF);
  simlink::TelemetryRegion region;
  simlink::AttachView(region, {memory.data(), memory.size()});
  simlink::RowBuffer row{std::vector<std::uint8_t>(8)};
  EXPECT_FALSE(simlink::FetchNewRow(region, &row));
  EXPECT_EQ(simlink::SessionInfoText(region), nullptr);
  EXPECT_TRUE(simlink::SessionInfoArea(region).empty());
  EXPECT_EQ(simlink::OffsetOf(region, "Gear"), -1);
  EXPECT_EQ(simlink::Header(region).rowLength, 0);
}


TEST(VariableDirectory, FindsTheFirstRecordByItsFirst32Characters) {
  using publisher::ValueType;
  const std::string name32 = "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345";
  InMemorySim sim(publisher::PackedLayout({{"Speed", ValueType::kFloat},
                                           {"Gear", ValueType::kInt},
                                           {"Gear", ValueType::kInt},
                                           {"RPMx", ValueType::kFloat},
                                           {name32, ValueType::kFloat}},
                                          3, 64));
  simlink::TelemetryRegion region;
  simlink::AttachView(region, sim.View());
  struct Case {
    std::string name;
    std::int32_t want;
  } cases[] = {
      {"Speed", 0},   {"Gear", 4}, {"RPM", -1},  {"RPMx", 12},          {"Spee", -1},
      {"SpeedX", -1}, {"", -1},    {name32, 16}, {name32 + "TAIL", 16}, {name32.substr(0, 31), -1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(simlink::OffsetOf(region, c.name.c_str()), c.want) << c.name;
  }
  EXPECT_EQ(simlink::OffsetOf(region, nullptr), -1);
}

TEST(VariableDirectory, AnEmptyDirectoryFindsNothing) {
  InMemorySim sim(publisher::PackedLayout({}, 3, 64));
  simlink::TelemetryRegion region;
  simlink::AttachView(region, sim.View());
  for (const char* name : {"Gear", "RPM", ""}) EXPECT_EQ(simlink::OffsetOf(region, name), -1);
}

}  // namespace
