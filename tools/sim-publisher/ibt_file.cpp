// Reading and checking a telemetry recording. Every offset and length comes
// from the file and is checked against the file's size in 64-bit arithmetic
// before anything is read at it: a 32-bit offset plus a 32-bit length can
// exceed the 32-bit range.
#include "sim-publisher/ibt_file.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "console/printable.h"
#include "relay/messages.h"
#include "sessioninfo/car_facts.h"
#include "simlink/region.h"

namespace recording {

namespace {

namespace layout = simlink::layout;

// Offsets in the headers that only a recording has, or that the relay does
// not read in the live region.
constexpr std::size_t kTickRate = 8;
constexpr std::size_t kSessionInfoLength = 16;
constexpr std::size_t kFirstRowOffset = layout::kSlots + layout::kSlotRowOffset;
constexpr std::size_t kStartDate = 112;
constexpr std::size_t kStartTime = 120;
constexpr std::size_t kEndTime = 128;
constexpr std::size_t kLapCount = 136;
constexpr std::size_t kRowCount = 140;

using Headers = std::uint8_t[kHeadersSize];

template <typename T>
T Field(const Headers& headers, std::size_t offset) {
  T value;
  std::memcpy(&value, headers + offset, sizeof value);
  return value;
}

std::string Range(std::int64_t begin, std::int64_t length) {
  return "bytes " + std::to_string(begin) + " to " + std::to_string(begin + length);
}

bool ReadAt(std::ifstream& file, std::int64_t offset, void* out, std::int64_t length) {
  if (length == 0) return true;
  file.seekg(static_cast<std::streamoff>(offset));
  file.read(static_cast<char*>(out), static_cast<std::streamsize>(length));
  return static_cast<bool>(file);
}

// Checks the headers against the file's size and fills in what they say.
bool Check(const Headers& headers, Recording* r, std::string* error) {
  const std::string size = " (the file has " + std::to_string(r->fileSize) + " bytes)";
  r->tickRate = Field<std::int32_t>(headers, kTickRate);
  if (r->tickRate <= 0) {
    *error = "tick rate of " + std::to_string(r->tickRate) + " rows per second: it must be above 0";
    return false;
  }
  r->rowLength = Field<std::int32_t>(headers, layout::kRowLength);
  if (r->rowLength <= 0) {
    *error = "row length of " + std::to_string(r->rowLength) + " bytes: it must be above 0";
    return false;
  }
  r->variableCount = Field<std::int32_t>(headers, layout::kVariableCount);
  const std::int64_t recordsOffset = Field<std::int32_t>(headers, layout::kVariableRecordsOffset);
  const std::int64_t recordsLength = std::int64_t{r->variableCount} * layout::kVariableRecordSize;
  if (r->variableCount < 0 || recordsOffset < 0 || recordsOffset + recordsLength > r->fileSize) {
    *error = "the variable records (" + std::to_string(r->variableCount) + " at " +
             Range(recordsOffset, recordsLength) + ") lie outside the file" + size;
    return false;
  }
  const std::int64_t textOffset = Field<std::int32_t>(headers, layout::kSessionInfoOffset);
  const std::int64_t textLength = Field<std::int32_t>(headers, kSessionInfoLength);
  if (textOffset < 0 || textLength < 0 || textOffset + textLength > r->fileSize) {
    *error =
        "the session text (" + Range(textOffset, textLength) + ") lies outside the file" + size;
    return false;
  }
  r->rowOffset = Field<std::int32_t>(headers, kFirstRowOffset);
  if (r->rowOffset < 0 || r->rowOffset > r->fileSize) {
    *error = "the rows begin at byte " + std::to_string(r->rowOffset) + ", outside the file" + size;
    return false;
  }
  r->rowCount = Field<std::int32_t>(headers, kRowCount);
  if (r->rowCount < 0) {
    *error = "row count of " + std::to_string(r->rowCount) + ": it must not be negative";
    return false;
  }
  r->wholeRows = std::min<std::int64_t>(r->rowCount, (r->fileSize - r->rowOffset) / r->rowLength);
  r->startDate = Field<std::int64_t>(headers, kStartDate);
  r->startTime = Field<double>(headers, kStartTime);
  r->endTime = Field<double>(headers, kEndTime);
  r->lapCount = Field<std::int32_t>(headers, kLapCount);
  r->records.resize(static_cast<std::size_t>(recordsLength));
  r->sessionText.resize(static_cast<std::size_t>(textLength));
  return true;
}

std::string Date(std::int64_t secondsSince1970) {
  using namespace std::chrono;
  // Years 1970 to 9999; anything else is no date the simulator wrote.
  if (secondsSince1970 < 0 || secondsSince1970 > 253402300799) {
    return "unknown (" + std::to_string(secondsSince1970) + ")";
  }
  const sys_seconds time{seconds{secondsSince1970}};
  const sys_days day = floor<days>(time);
  const year_month_day date{day};
  const hh_mm_ss clock{time - day};
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u %02d:%02d:%02d UTC",
                static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                static_cast<unsigned>(date.day()), static_cast<int>(clock.hours().count()),
                static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()));
  return text;
}

std::string VariableName(const Recording& recording, std::int32_t index) {
  // NUL-padded; a name of the full 32 characters has no NUL.
  const char* name = reinterpret_cast<const char*>(recording.records.data()) +
                     index * layout::kVariableRecordSize + layout::kVariableName;
  const void* end = std::memchr(name, 0, layout::kVariableNameLength);
  return std::string(
      name, end != nullptr ? static_cast<const char*>(end) - name : layout::kVariableNameLength);
}

}  // namespace

bool Open(const std::string& path, Recording* recording, std::string* error) {
  Recording& r = *recording;
  r = Recording{};
  r.path = path;
  auto fail = [&](const std::string& what) {
    *error = path + ": " + what;
    return false;
  };
  std::error_code failure;
  const auto status = std::filesystem::status(path, failure);
  if (!std::filesystem::exists(status)) return fail("no such file");
  if (!std::filesystem::is_regular_file(status)) return fail("not a file");
  const auto size = std::filesystem::file_size(path, failure);
  std::ifstream file(path, std::ios::binary);
  if (failure || !file) return fail("cannot be read");
  r.fileSize = static_cast<std::int64_t>(size);
  if (r.fileSize < kHeadersSize) {
    return fail("too short for a telemetry file's headers (" + std::to_string(r.fileSize) +
                " bytes, at least " + std::to_string(kHeadersSize) + " needed)");
  }
  Headers headers;
  if (!ReadAt(file, 0, headers, kHeadersSize)) return fail("cannot be read");
  std::string what;
  if (!Check(headers, &r, &what)) return fail(what);
  if (!ReadAt(file, Field<std::int32_t>(headers, layout::kVariableRecordsOffset), r.records.data(),
              static_cast<std::int64_t>(r.records.size())) ||
      !ReadAt(file, Field<std::int32_t>(headers, layout::kSessionInfoOffset), r.sessionText.data(),
              static_cast<std::int64_t>(r.sessionText.size()))) {
    return fail("cannot be read");
  }
  return true;
}

bool OpenRows(const Recording& recording, RowReader* reader) {
  reader->file.open(recording.path, std::ios::binary);
  return reader->file.is_open() && Rewind(recording, *reader);
}

bool ReadRow(const Recording& recording, RowReader& reader, std::span<std::uint8_t> row) {
  if (reader.next >= recording.wholeRows || row.size() < std::size_t(recording.rowLength)) {
    return false;
  }
  reader.file.read(reinterpret_cast<char*>(row.data()), recording.rowLength);
  if (!reader.file) return false;
  ++reader.next;
  return true;
}

bool Rewind(const Recording& recording, RowReader& reader) {
  reader.file.clear();
  reader.file.seekg(static_cast<std::streamoff>(recording.rowOffset));
  reader.next = 0;
  return static_cast<bool>(reader.file);
}

std::string Describe(const Recording& r) {
  // The relay's own reading of the session text, which ends at the text's
  // length here (the file gives the text no NUL; the string adds one).
  sessioninfo::CarFacts facts;
  sessioninfo::ReadCarFacts(r.sessionText.c_str(), facts);

  std::string missing;
  for (const char* name : relay::kRelayedVariables) {
    bool found = false;
    for (std::int32_t i = 0; i < r.variableCount && !found; ++i) found = VariableName(r, i) == name;
    if (!found) missing += std::string(missing.empty() ? "" : ", ") + name;
  }

  // The values come from the file: shown escaped, none of them acts on the
  // terminal.
  std::string text;
  char line[1200];
  auto add = [&](const char* label, std::string_view value) {
    char padded[32];
    std::snprintf(padded, sizeof padded, "  %-14s", label);
    text += padded;
    terminal::AppendPrintable(value, text);
    text += '\n';
  };
  terminal::AppendPrintable(r.path, text);
  text += '\n';
  add("tick rate", std::to_string(r.tickRate) + " rows/s");
  add("variables", std::to_string(r.variableCount) +
                       (missing.empty() ? " (all 15 the relay sends)"
                                        : " (the relay sends 0 for the missing " + missing + ")"));
  add("row length", std::to_string(r.rowLength) + " bytes");
  std::string rows = std::to_string(r.rowCount);
  if (r.wholeRows < r.rowCount) {
    rows += " counted, " + std::to_string(r.wholeRows) + " whole in the file (cut short)";
  } else {
    rows += ", all whole";
  }
  add("rows", rows);
  std::snprintf(line, sizeof line, "%.2f s at %d rows/s (session time %.2f s to %.2f s)",
                static_cast<double>(r.wholeRows) / r.tickRate, r.tickRate, r.startTime, r.endTime);
  add("duration", line);
  add("laps", std::to_string(r.lapCount));
  add("start date", Date(r.startDate));
  add("user name", facts.userName);
  add("car path", facts.carPath);
  // As SESSION_INFO carries them: the relay's own conversion.
  std::snprintf(line, sizeof line, "first %d, shift %d, last %d, blink %d RPM",
                relay::TruncateToInt32(facts.firstRpm), relay::TruncateToInt32(facts.shiftRpm),
                relay::TruncateToInt32(facts.lastRpm), relay::TruncateToInt32(facts.blinkRpm));
  add("shift lights", line);
  return text;
}

}  // namespace recording
