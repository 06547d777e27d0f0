#include "support/recording_file.h"

#include <algorithm>
#include <cstring>
#include <fstream>

namespace testsupport {

namespace {

int Size(std::int32_t type) { return type == kChar || type == kBool ? 1 : type == kDouble ? 8 : 4; }

void Put32(std::vector<std::uint8_t>& file, std::size_t at, std::int32_t value) {
  std::memcpy(file.data() + at, &value, sizeof value);
}

void PutValue(std::uint8_t* at, std::int32_t type, double value) {
  const auto put = [at](auto typed) { std::memcpy(at, &typed, sizeof typed); };
  switch (type) {
    case kChar:
      return put(static_cast<std::uint8_t>(value));
    case kBool:
      return put(static_cast<std::uint8_t>(value != 0));
    case kInt:
      return put(static_cast<std::int32_t>(value));
    case kBitField:
      return put(static_cast<std::uint32_t>(value));
    case kDouble:
      return put(value);
    default:
      return put(static_cast<float>(value));
  }
}

}  // namespace

std::vector<std::uint8_t> WriteRecording(const RecordingFile& recording) {
  std::vector<int> offsets;
  int rowLength = 0;
  for (const RecordedVariable& variable : recording.variables) {
    offsets.push_back(rowLength);
    rowLength += Size(variable.type) * variable.count;
  }
  const std::size_t records = 144;
  const std::size_t text = records + 144 * recording.variables.size();
  const std::size_t rows = text + recording.sessionText.size();
  std::vector<std::uint8_t> file(
      rows + static_cast<std::size_t>(rowLength) * recording.rows + recording.partial, 0);
  Put32(file, 0, 2);  // version
  Put32(file, 4, 1);  // status
  Put32(file, 8, recording.tickRate);
  Put32(file, 16, static_cast<std::int32_t>(recording.sessionText.size()));
  Put32(file, 20, static_cast<std::int32_t>(text));
  Put32(file, 24, static_cast<std::int32_t>(recording.variables.size()));
  Put32(file, 28, static_cast<std::int32_t>(records));
  Put32(file, 32, 1);
  Put32(file, 36, rowLength);
  Put32(file, 52, static_cast<std::int32_t>(rows));
  const std::int64_t date = 1714567890;
  const double start = 100, end = 105;
  std::memcpy(file.data() + 112, &date, sizeof date);
  std::memcpy(file.data() + 120, &start, sizeof start);
  std::memcpy(file.data() + 128, &end, sizeof end);
  Put32(file, 136, 4);
  Put32(file, 140, recording.countedRows >= 0 ? recording.countedRows : recording.rows);
  for (std::size_t i = 0; i < recording.variables.size(); ++i) {
    const RecordedVariable& v = recording.variables[i];
    const std::size_t record = records + 144 * i;
    Put32(file, record, v.type);
    Put32(file, record + 4, v.offset >= 0 ? v.offset : offsets[i]);
    Put32(file, record + 8, v.count);
    std::memcpy(file.data() + record + 16, v.name.data(), std::min<std::size_t>(v.name.size(), 32));
    std::memcpy(file.data() + record + 48, v.description.data(),
                std::min<std::size_t>(v.description.size(), 64));
    std::memcpy(file.data() + record + 112, v.unit.data(),
                std::min<std::size_t>(v.unit.size(), 32));
  }
  std::memcpy(file.data() + text, recording.sessionText.data(), recording.sessionText.size());
  for (int r = 0; r < recording.rows; ++r) {
    std::uint8_t* row = file.data() + rows + static_cast<std::size_t>(rowLength) * r;
    for (std::size_t i = 0; i < recording.variables.size(); ++i) {
      const RecordedVariable& v = recording.variables[i];
      if (v.value == nullptr) continue;
      for (int e = 0; e < v.count; ++e) {
        PutValue(row + offsets[i] + Size(v.type) * e, v.type, v.value(r, e));
      }
    }
  }
  return file;
}

void WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

}  // namespace testsupport
