// Helpers shared by the fuzz targets: exact-size copies of the input, so that
// AddressSanitizer sees a read even one byte past them, and a check that
// aborts with a message (libFuzzer then saves the input that broke it).
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace fuzzsupport {

// `size` bytes at `data` in an allocation of exactly that size, plus a NUL
// when `terminate` is set.
inline std::unique_ptr<char[]> ExactCopy(const void* data, std::size_t size, bool terminate) {
  std::unique_ptr<char[]> copy(new char[size + (terminate ? 1 : 0)]);
  if (size > 0) std::memcpy(copy.get(), data, size);
  if (terminate) copy[size] = '\0';
  return copy;
}

[[noreturn]] inline void Fail(const char* what, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
  std::abort();
}

}  // namespace fuzzsupport

#define FUZZ_CHECK(condition) \
  ((condition) ? (void)0 : fuzzsupport::Fail(#condition, __FILE__, __LINE__))
