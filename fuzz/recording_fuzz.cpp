// The recording reader over any file bytes: the checks of Open, Describe, and
// every whole row read twice (once after a Rewind), as a replay reads them.
//
// Input: the file's bytes, written to an in-memory file whose /proc path is
// opened like any other. Checked: a refused file says why; an accepted one
// has whole rows only inside the file, read back as the file's own bytes;
// Describe's text holds no control byte but its line ends.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "sim-publisher/ibt_file.h"
#include "simlink/region.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const int fd = memfd_create("recording", 0);
  static const std::string path = "/proc/self/fd/" + std::to_string(fd);
  FUZZ_CHECK(fd >= 0);
  FUZZ_CHECK(ftruncate(fd, 0) == 0);
  FUZZ_CHECK(pwrite(fd, data, size, 0) == static_cast<ssize_t>(size));

  recording::Recording file;
  std::string error;
  if (!recording::Open(path, &file, &error)) {
    FUZZ_CHECK(error.starts_with(path + ": ") && error.size() > path.size() + 2);
    return 0;
  }
  FUZZ_CHECK(file.fileSize == static_cast<std::int64_t>(size));
  FUZZ_CHECK(file.tickRate > 0 && file.rowLength > 0);
  FUZZ_CHECK(file.records.size() ==
             static_cast<std::size_t>(file.variableCount) * simlink::layout::kVariableRecordSize);
  FUZZ_CHECK(file.wholeRows >= 0 && file.wholeRows <= file.rowCount);
  FUZZ_CHECK(file.rowOffset + file.wholeRows * file.rowLength <= file.fileSize);

  for (const char c : recording::Describe(file)) {
    const auto byte = static_cast<unsigned char>(c);
    FUZZ_CHECK(c == '\n' || (byte >= 0x20 && byte != 0x7f));
  }

  if (file.wholeRows == 0) return 0;
  recording::RowReader reader;
  FUZZ_CHECK(recording::OpenRows(file, &reader));
  std::vector<std::uint8_t> row(static_cast<std::size_t>(file.rowLength));
  for (int pass = 0; pass < 2; ++pass) {
    std::int64_t rows = 0;
    for (; recording::ReadRow(file, reader, row); ++rows) {
      const std::uint8_t* expected = data + file.rowOffset + rows * file.rowLength;
      FUZZ_CHECK(std::memcmp(row.data(), expected, row.size()) == 0);
    }
    FUZZ_CHECK(rows == file.wholeRows);
    FUZZ_CHECK(recording::Rewind(file, reader));
  }
  return 0;
}
