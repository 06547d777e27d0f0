// The car facts over arbitrary session text, read as the relay reads the
// simulator's text: bounded by the end of the mapping, with or without a NUL.
//
// Checked: nothing outside the text is read; the user name and car path stay
// terminated inside their fields and are whole values of the text, each
// running up to its line's end; an engine speed other than 0 is the number
// found in the text; and the NUL-terminated form reads the same facts
// from the same text.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "sessioninfo/car_facts.h"

namespace {

void CheckText(const char (&field)[512], std::string_view text) {
  const void* end = std::memchr(field, '\0', sizeof field);
  FUZZ_CHECK(end != nullptr);
  const std::string_view value(field,
                               static_cast<std::size_t>(static_cast<const char*>(end) - field));
  if (value.empty() || value.size() == 511) return;  // 511: perhaps cut to fit
  // A value runs to its line's end; one that begins at a second colon after
  // its key stops one character short of it.
  const std::size_t slack = value.starts_with(':') ? 1 : 0;
  bool found = false;
  for (std::size_t at = text.find(value); !found && at != text.npos;
       at = text.find(value, at + 1)) {
    found = text.substr(at + value.size(), slack + 1).find_first_of("\r\n") != text.npos;
  }
  FUZZ_CHECK(found);
}

// A speed other than 0 was read from the text, so its digits are there
// (those of a speed that needed rounding to fit a float, or clamping to 32
// bits, are not compared).
void CheckRpm(float rpm, std::string_view text) {
  if (rpm != 0 && std::fabs(rpm) < 16777216.0f) {
    FUZZ_CHECK(text.find(std::to_string(static_cast<long>(std::fabs(rpm)))) != text.npos);
  }
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
    CheckRpm(rpm, upToNul);
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
