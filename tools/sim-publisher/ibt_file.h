// A telemetry recording as the simulator writes it to disk (files commonly
// ending in .ibt): the live region's header, a disk header with the session's
// date, times, lap and row counts, the variable records, the session text and
// then the rows, one after another.
//
// Open reads and checks everything but the rows; RowReader then streams the
// rows one at a time, so a recording of any length costs one row of memory.
#pragma once

#include <cstdint>
#include <fstream>
#include <span>
#include <string>
#include <vector>

namespace recording {

// The region's header (112 bytes) and the disk header after it.
inline constexpr std::int64_t kHeadersSize = 144;

struct Recording {
  std::string path;
  std::int64_t fileSize = 0;
  std::int32_t tickRate = 0;  // rows per second
  std::int32_t variableCount = 0;
  std::int32_t rowLength = 0;
  std::int64_t rowOffset = 0;  // where the first row begins
  std::int32_t rowCount = 0;   // as the disk header says
  std::int64_t wholeRows = 0;  // rows wholly inside the file: at most rowCount
  std::int64_t startDate = 0;  // seconds since 1970, UTC
  double startTime = 0;        // session time of the first and last row, seconds
  double endTime = 0;
  std::int32_t lapCount = 0;
  std::vector<std::uint8_t> records;  // variableCount records of 144 bytes
  std::string sessionText;            // as long as the file says; the file has no NUL
};

// Reads and checks the headers, the variable records and the session text of
// the file at `path`. False, with `error` set to one line that names the file
// and what is wrong with it, when it is no file or not a usable recording:
// too short for the headers, a tick rate or row length of 0 or less, records,
// text or rows outside the file. A file cut short is usable: `wholeRows` then
// tells how many of the counted rows it really holds.
bool Open(const std::string& path, Recording* recording, std::string* error);

// Reads the rows of a recording in order, one at a time.
struct RowReader {
  std::ifstream file;
  std::int64_t next = 0;  // index of the row the next ReadRow returns
};

// Opens the file for its rows, positioned at the first; false when it cannot
// be opened any more.
bool OpenRows(const Recording& recording, RowReader* reader);
// Reads the next whole row into `row` (rowLength bytes). False after the last
// whole row, or when the file can no longer be read.
bool ReadRow(const Recording& recording, RowReader& reader, std::span<std::uint8_t> row);
// Starts over at the first row.
bool Rewind(const Recording& recording, RowReader& reader);

// What the recording holds, for people: tick rate, variables, row length, rows,
// duration, laps, start date, and the driver, car and shift-light speeds read
// from the session text with the relay's own code. Several lines, each ending
// in a line end.
std::string Describe(const Recording& recording);

}  // namespace recording
