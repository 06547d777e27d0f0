// Writing the laps as CSV.
#include "relay-log/csv.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

namespace race_log {

namespace {

std::string Number(const std::optional<double>& value) {
  return value ? nlohmann::json(*value).dump() : "";
}
std::string Number(const std::optional<int>& value) { return value ? std::to_string(*value) : ""; }
const char* Flag(bool value) { return value ? "true" : "false"; }

}  // namespace

std::string CsvField(std::string_view text) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + '"';
}

std::string CsvLine(const std::string& car, const Lap& lap) {
  return CsvField(car) + ',' + CsvField(lap.session) + ',' + std::to_string(lap.lap) + ',' +
         CsvField(lap.driver) + ',' + Number(lap.time) + ',' + Number(lap.fuelUsed) + ',' +
         Flag(lap.pit) + ',' + Flag(lap.caution) + ',' + Flag(lap.counted) + ',' +
         Number(lap.position) + ',' + Number(lap.classPosition) + ',' + Number(lap.incidents) +
         ',' + Number(lap.sessionTime) + "\r\n";
}

bool ExportCsv(Store& store, const std::string& car, const std::string& session,
               const std::string& path, std::string* error) {
  const bool toStdout = path == "-";
  std::FILE* out = toStdout ? stdout : std::fopen(path.c_str(), "wb");
  if (out == nullptr) {
    *error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  bool written = std::fputs(kCsvHeader, out) >= 0;
  const bool read = store.ReadLaps(
      car, session,
      [&](const std::string& lapCar, const Lap& lap) {
        const std::string line = CsvLine(lapCar, lap);
        written = written && std::fwrite(line.data(), 1, line.size(), out) == line.size();
      },
      error);
  written = std::fflush(out) == 0 && written;
  const int writeError = errno;
  if (!toStdout) written = std::fclose(out) == 0 && written;
  if (!read) return false;
  if (!written) {
    *error = "cannot write " + (toStdout ? std::string("the standard output") : path) + ": " +
             std::strerror(writeError);
    return false;
  }
  return true;
}

}  // namespace race_log
