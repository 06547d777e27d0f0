// The car facts over arbitrary session text, read as the relay reads the
// simulator's text: bounded by the end of the mapping, with or without a NUL.
//
// Checked: nothing outside the text is read; the user name and car path stay
// terminated inside their fields and are copied from the text; the engine
// speeds are whole numbers in the 32-bit range; and the NUL-terminated form
// reads the same facts from the same text.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "fuzz_support.h"
#include "sessioninfo/car_facts.h"

namespace {

void CheckText(const char (&field)[512], std::string_view text) {
  const void* end = std::memchr(field, '\0', sizeof field);
  FUZZ_CHECK(end != nullptr);
  const std::string_view value(field,
                               static_cast<std::size_t>(static_cast<const char*>(end) - field));
  FUZZ_CHECK(value.empty() || text.find(value) != std::string_view::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto bounded = fuzzsupport::ExactCopy(data, size, false);
  const auto terminated = fuzzsupport::ExactCopy(data, size, true);
  const std::string_view text(bounded.get(), size);

  sessioninfo::CarFacts facts;
  sessioninfo::ReadCarFacts(text, facts);
  const std::string_view upToNul(bounded.get(), ::strnlen(terminated.get(), size));
  CheckText(facts.userName, upToNul);
  CheckText(facts.carPath, upToNul);
  for (const float rpm : {facts.firstRpm, facts.lastRpm, facts.shiftRpm, facts.blinkRpm}) {
    FUZZ_CHECK(std::trunc(rpm) == rpm);
    FUZZ_CHECK(rpm >= -2147483648.0f && rpm <= 2147483648.0f);
  }

  sessioninfo::CarFacts same;
  sessioninfo::ReadCarFacts(terminated.get(), same);
  FUZZ_CHECK(same.carIndex == facts.carIndex);
  FUZZ_CHECK(std::strcmp(same.userName, facts.userName) == 0);
  FUZZ_CHECK(std::strcmp(same.carPath, facts.carPath) == 0);
  FUZZ_CHECK(same.firstRpm == facts.firstRpm && same.lastRpm == facts.lastRpm);
  FUZZ_CHECK(same.shiftRpm == facts.shiftRpm && same.blinkRpm == facts.blinkRpm);
  return 0;
}
