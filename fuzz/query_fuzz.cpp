// The session-info query over arbitrary text and an arbitrary path. The input
// is the path, a NUL byte, then the text (which may hold further NULs and
// need not end in one). Paths with closed, unclosed and empty selectors all
// come from the same bytes.
//
// Checked: nothing outside the path or the text is read (AddressSanitizer);
// a found value lies inside the text and on one line; and the NUL-terminated
// and the bounded forms agree on the same text.
#include <cstdint>
#include <cstring>
#include <string_view>

#include "fuzz_support.h"
#include "sessioninfo/query.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto* bytes = reinterpret_cast<const char*>(data);
  const void* nul = std::memchr(bytes, '\0', size);
  const std::size_t pathLength =
      nul == nullptr ? size : static_cast<std::size_t>(static_cast<const char*>(nul) - bytes);
  const std::size_t textStart = nul == nullptr ? size : pathLength + 1;
  const std::size_t textSize = size - textStart;

  const auto path = fuzzsupport::ExactCopy(bytes, pathLength, true);
  const auto terminated = fuzzsupport::ExactCopy(bytes + textStart, textSize, true);
  const auto bounded = fuzzsupport::ExactCopy(bytes + textStart, textSize, false);
  // Where either form must stop: the text's first NUL, or its end.
  const std::size_t textLength = ::strnlen(terminated.get(), textSize);

  const char* start = nullptr;
  std::int32_t length = -1;
  const bool found = sessioninfo::FindValue(terminated.get(), path.get(), &start, &length);
  FUZZ_CHECK(length >= 0);
  FUZZ_CHECK(found || (start == nullptr && length == 0));
  if (found && length > 0) {
    FUZZ_CHECK(start >= terminated.get());
    FUZZ_CHECK(start + length <= terminated.get() + textLength);
    FUZZ_CHECK(std::memchr(start, '\n', static_cast<std::size_t>(length)) == nullptr);
    FUZZ_CHECK(std::memchr(start, '\r', static_cast<std::size_t>(length)) == nullptr);
  }

  const char* boundedStart = nullptr;
  std::int32_t boundedLength = -1;
  const bool boundedFound = sessioninfo::FindValue(std::string_view(bounded.get(), textSize),
                                                   path.get(), &boundedStart, &boundedLength);
  FUZZ_CHECK(boundedFound == found);
  FUZZ_CHECK(boundedLength == length);
  if (found && length > 0) FUZZ_CHECK(boundedStart - bounded.get() == start - terminated.get());
  return 0;
}
