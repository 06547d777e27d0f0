// Both wire messages over arbitrary rows, offsets and car facts.
//
// Input: 15 little-endian int32 offsets, 4 float engine speeds, then the car
// path up to a NUL byte (cut to 511 characters, as the car facts cut it),
// then the row's bytes. Checked: every message fits the 1024-byte buffer and
// is exactly its length, keeps its keyword and field count, spells each field
// in its format, and sends a field whose bytes lie outside the row as 0.
#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "relay/messages.h"
#include "sessioninfo/car_facts.h"

namespace {

enum class Format { kFixed2, kInt, kByte };

// The DATA_PACKET fields' formats and value sizes, in the order of the
// relayed variables.
constexpr Format kFormats[relay::kRelayedVariableCount] = {
    Format::kFixed2, Format::kFixed2, Format::kInt,    Format::kFixed2, Format::kInt,
    Format::kFixed2, Format::kFixed2, Format::kFixed2, Format::kInt,    Format::kInt,
    Format::kInt,    Format::kFixed2, Format::kByte,   Format::kFixed2, Format::kByte,
};
constexpr std::size_t kSizes[relay::kRelayedVariableCount] = {4, 4, 4, 4, 4, 4, 4, 4,
                                                              4, 4, 4, 8, 1, 4, 1};

bool Digits(std::string_view text) {
  if (text.empty()) return false;
  for (const char c : text) {
    if (std::isdigit(static_cast<unsigned char>(c)) == 0) return false;
  }
  return true;
}

bool IsInteger(std::string_view text) {
  if (text.starts_with('-')) text.remove_prefix(1);
  return Digits(text) && (text.size() == 1 || text[0] != '0');
}

bool IsFixed2(std::string_view text) {
  if (text == "nan" || text == "inf" || text == "-inf") return true;
  if (text.starts_with('-')) text.remove_prefix(1);
  const std::size_t point = text.find('.');
  return point != std::string_view::npos && Digits(text.substr(0, point)) &&
         text.size() == point + 3 && Digits(text.substr(point + 1));
}

std::vector<std::string_view> Split(std::string_view text) {
  std::vector<std::string_view> fields;
  for (std::size_t at = 0;;) {
    const std::size_t next = text.find(';', at);
    fields.push_back(text.substr(at, next - at));
    if (next == std::string_view::npos) return fields;
    at = next + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  relay::VariableOffsets offsets{};
  float rpm[4] = {};
  constexpr std::size_t kHead = sizeof offsets + sizeof rpm;
  if (size < kHead) return 0;
  std::memcpy(offsets.data(), data, sizeof offsets);
  std::memcpy(rpm, data + sizeof offsets, sizeof rpm);
  const std::string_view rest(reinterpret_cast<const char*>(data) + kHead, size - kHead);
  const std::size_t nul = rest.find('\0');
  const std::string_view path = rest.substr(0, nul);
  const std::string_view rowBytes =
      nul == std::string_view::npos ? std::string_view() : rest.substr(nul + 1);
  const auto rowCopy = fuzzsupport::ExactCopy(rowBytes.data(), rowBytes.size(), false);
  const std::span<const std::uint8_t> row(reinterpret_cast<const std::uint8_t*>(rowCopy.get()),
                                          rowBytes.size());

  char buffer[relay::kPacketBufferSize];
  const std::size_t length = relay::FormatDataPacket(row, offsets, buffer);
  FUZZ_CHECK(length < sizeof buffer && std::strlen(buffer) == length);
  const std::string_view packet(buffer, length);
  FUZZ_CHECK(packet.starts_with("DATA_PACKET;") && packet.ends_with(';'));
  const auto fields = Split(packet.substr(0, length - 1));
  FUZZ_CHECK(fields.size() == 1 + relay::kRelayedVariableCount);
  for (std::size_t i = 0; i < relay::kRelayedVariableCount; ++i) {
    const std::string_view field = fields[i + 1];
    switch (kFormats[i]) {
      case Format::kFixed2:
        FUZZ_CHECK(IsFixed2(field));
        break;
      case Format::kInt:
        FUZZ_CHECK(IsInteger(field));
        break;
      case Format::kByte:
        FUZZ_CHECK(Digits(field) && field.size() <= 3);
        break;
    }
    const std::int64_t offset = offsets[i];
    if (offset < 0 || offset + static_cast<std::int64_t>(kSizes[i]) > std::int64_t(row.size())) {
      FUZZ_CHECK(field == (kFormats[i] == Format::kFixed2 ? "0.00" : "0"));
    }
  }

  sessioninfo::CarFacts facts;
  facts.firstRpm = rpm[0];
  facts.lastRpm = rpm[1];
  facts.shiftRpm = rpm[2];
  facts.blinkRpm = rpm[3];
  const std::size_t pathLength = path.size() < sizeof facts.carPath ? path.size() : 511;
  std::memcpy(facts.carPath, path.data(), pathLength);
  facts.carPath[pathLength] = '\0';
  const std::size_t infoLength = relay::FormatSessionInfo(facts, buffer);
  FUZZ_CHECK(infoLength < sizeof buffer && std::strlen(buffer) == infoLength);
  const std::string_view info(buffer, infoLength);
  FUZZ_CHECK(info.starts_with("SESSION_INFO;"));
  // The car path may itself hold ';', so the four numbers are split off the
  // front and the rest must be the path exactly.
  std::string_view tail = info.substr(13);
  for (int i = 0; i < 4; ++i) {
    const std::size_t semicolon = tail.find(';');
    FUZZ_CHECK(semicolon != std::string_view::npos && IsInteger(tail.substr(0, semicolon)));
    tail.remove_prefix(semicolon + 1);
  }
  FUZZ_CHECK(tail == std::string_view(facts.carPath, pathLength));
  return 0;
}
