// The benchmark's rows: the vars checks can only catch a stale or misplaced
// value if every value of a row is its own and changes from row to row.
#include "feed.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <vector>

#include "relay-web/standings.h"
#include "sessioninfo/car_facts.h"

namespace {

// Element `index` of `variable` in `row`, as its bytes.
std::vector<std::uint8_t> Element(const std::vector<std::uint8_t>& row,
                                  const publisher::Variable& variable, std::int32_t index) {
  const auto size = static_cast<std::int32_t>(publisher::ValueSize(variable.type));
  const auto at = row.begin() + variable.offset + index * size;
  return {at, at + size};
}

TEST(Feed, EveryValueIsItsOwnAndChangesWithTheRow) {
  const publisher::Layout layout = publisher::DefaultLayout();
  const relay::VariableOffsets offsets = bench::RelayedOffsets(layout);
  const auto length = static_cast<std::size_t>(layout.rowLength);
  std::vector<std::uint8_t> row(length), next(length);
  for (const std::int32_t tick : {1, 600, 123457}) {
    bench::FillEveryValue(row, layout, offsets, tick);
    bench::FillEveryValue(next, layout, offsets, tick + 1);
    for (const publisher::Variable& variable : layout.variables) {
      // A bool has two values: it cannot differ from both neighbours. The
      // relayed values are FillRow's, some of which change once a lap.
      if (variable.type == publisher::ValueType::kBool ||
          std::find(offsets.begin(), offsets.end(), variable.offset) != offsets.end()) {
        continue;
      }
      for (std::int32_t i = 0; i < variable.count; ++i) {
        EXPECT_NE(Element(row, variable, i), Element(next, variable, i))
            << variable.name << "[" << i << "] at tick " << tick;
        if (i > 0) {
          EXPECT_NE(Element(row, variable, i), Element(row, variable, i - 1))
              << variable.name << "[" << i << "] at tick " << tick;
        }
      }
    }
  }
}

// relay-web reads the field's text as a race of kFieldCars drivers in two
// classes, and the relay the same car as from the default text.
TEST(Feed, TheFieldIsARaceOfTwoClassesWithTheSameCar) {
  struct Case {
    std::string text;
    int drivers;
    std::size_t classes;
    const char* type;
  };
  const Case cases[] = {{publisher::DefaultSessionText(), bench::kDefaultDrivers, 1, "Practice"},
                        {bench::FieldSessionText(), bench::kFieldCars, 2, "Race"}};
  for (const Case& c : cases) {
    const standings::Field field = standings::ReadField(c.text);
    std::set<std::int32_t> classes;
    int drivers = 0;
    for (const standings::Driver& driver : field.drivers) {
      if (!driver.listed) continue;
      ++drivers;
      classes.insert(driver.classId);
    }
    EXPECT_EQ(drivers, c.drivers);
    EXPECT_EQ(classes.size(), c.classes);
    EXPECT_EQ(field.sessionTypes[0], c.type);
    EXPECT_TRUE(field.drivers[bench::kPlayerCar].listed);
    // The relay's SESSION_INFO is the one the benchmark expects.
    sessioninfo::CarFacts facts;
    sessioninfo::ReadCarFacts(c.text.c_str(), facts);
    char packet[relay::kPacketBufferSize];
    EXPECT_EQ(std::string(packet, relay::FormatSessionInfo(facts, packet)),
              bench::ExpectedSessionInfo());
  }
}

}  // namespace
