// Telemetry recordings written by the tests, byte by byte in the
// simulator's file layout: the region's header, the disk header, the
// variable records, the session text and the rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

// The simulator's value types as its records number them.
enum RecordedType : std::int32_t { kChar, kBool, kInt, kBitField, kFloat, kDouble };

struct RecordedVariable {
  std::string name;
  std::int32_t type = kFloat;  // any number, for a broken record
  std::int32_t count = 1;
  std::string unit;
  std::string description;
  // Value `index` of row `row`; stored as the type says.
  double (*value)(int row, int index) = nullptr;
  // A record that points elsewhere than its place in the packed row (past
  // the row, say); -1: where the packing puts it.
  std::int32_t offset = -1;
};

struct RecordingFile {
  std::vector<RecordedVariable> variables;
  int rows = 0;
  int tickRate = 60;
  std::string sessionText;
  int countedRows = -1;     // rows as the disk header says; -1: `rows`
  std::size_t partial = 0;  // bytes of one more row, cut short
};

// The bytes of the file, its disk header dated 2024-05-01 12:51:30 UTC with
// 100 s to 105 s of session time and 4 laps. Variables are packed back to back from row offset
// 0 in the order given (so most sit at unaligned offsets), each taking its
// type's size (4 for a type outside 0 to 5) times its count.
std::vector<std::uint8_t> WriteRecording(const RecordingFile& recording);
// Writes `bytes` to `path`.
void WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes);

}  // namespace testsupport
