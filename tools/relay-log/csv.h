// The laps as comma-separated values (RFC 4180: CRLF line ends, a field
// quoted when it holds a comma, a quote or a line break, its quotes
// doubled), for a spreadsheet after the race: a header line, then one line
// per lap by car, session and lap number. An absent value is an empty
// field; numbers are written as in the log message.
#pragma once

#include <string>
#include <string_view>

#include "relay-log/messages.h"
#include "relay-log/store.h"

namespace race_log {

inline constexpr char kCsvHeader[] =
    "car,session,lap,driver,time,fuelUsed,pit,caution,counted,position,classPosition,incidents,"
    "sessionTime\r\n";

// One field, quoted if it must be.
std::string CsvField(std::string_view text);
// One lap's line, with its line end.
std::string CsvLine(const std::string& car, const Lap& lap);

// Writes the laps of `car` and `session` (all when empty) to the file
// `path`, or to standard output for "-"; false with one line in `error`.
bool ExportCsv(Store& store, const std::string& car, const std::string& session,
               const std::string& path, std::string* error);

}  // namespace race_log
