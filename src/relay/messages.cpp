// Formatting of DATA_PACKET and SESSION_INFO.
#include "relay/messages.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace relay {

namespace {

// How a relayed value is read from the row and written into the message.
enum class Field {
  kFloat,           // 32-bit float, "%.2f"
  kFloatTruncated,  // 32-bit float, "%d" of the value truncated toward zero
  kDouble,          // 64-bit float, "%.2f"
  kInt,             // signed 32-bit, "%d"
  kByte,            // one unsigned byte, "%d"
};

constexpr std::array<Field, kRelayedVariableCount> kFields = {
    Field::kFloat, Field::kFloat,  Field::kInt,   Field::kFloat, Field::kFloatTruncated,
    Field::kFloat, Field::kFloat,  Field::kFloat, Field::kInt,   Field::kInt,
    Field::kInt,   Field::kDouble, Field::kByte,  Field::kFloat, Field::kByte,
};

std::size_t FieldSize(Field field) {
  switch (field) {
    case Field::kDouble:
      return 8;
    case Field::kByte:
      return 1;
    default:
      return 4;
  }
}

// Appends to a fixed buffer; the bounded formatter cuts rather than overflows,
// and the longest possible messages fit with room to spare.
class Writer {
 public:
  explicit Writer(char (&buffer)[kPacketBufferSize]) : buffer_(buffer) { buffer_[0] = '\0'; }

  void Text(const char* text) { Format("%s", text); }
  void Integer(long long value) { Format("%lld", value); }
  // "%.2f", with non-finite values spelled the same on every platform (the C
  // runtimes disagree on "-nan", "1.#QNAN" and the like).
  void Fixed2(double value) {
    if (std::isnan(value)) {
      Text("nan");
    } else if (std::isinf(value)) {
      Text(value > 0 ? "inf" : "-inf");
    } else {
      Format("%.2f", value);
    }
  }
  std::size_t Length() const { return length_; }

 private:
  template <typename Value>
  void Format(const char* format, Value value) {
    const std::size_t room = kPacketBufferSize - length_;
    const int written = std::snprintf(buffer_ + length_, room, format, value);
    if (written < 0) return;
    length_ +=
        static_cast<std::size_t>(written) < room ? static_cast<std::size_t>(written) : room - 1;
  }

  char* buffer_;
  std::size_t length_ = 0;
};

// Reads the field's bytes at `offset`, or leaves `out` at zero when they do
// not lie wholly inside the row.
void ReadField(std::span<const std::uint8_t> row, std::int32_t offset, std::size_t size,
               void* out) {
  if (offset < 0 || static_cast<std::size_t>(offset) > row.size() ||
      size > row.size() - static_cast<std::size_t>(offset)) {
    return;
  }
  std::memcpy(out, row.data() + offset, size);
}

}  // namespace

const std::array<const char*, kRelayedVariableCount> kRelayedVariables = {
    "OilTemp",           "WaterTemp",         "Gear",      "FuelLevel", "RPM",
    "LapDistPct",        "FuelLevelPct",      "LapDist",   "Lap",       "RaceLaps",
    "SessionLapsRemain", "SessionTimeRemain", "OnPitRoad", "Throttle",  "IsOnTrack",
};

std::int32_t TruncateToInt32(double value) {
  // Converting NaN or an out-of-range value to an integer is undefined; the
  // negated test also catches NaN.
  if (!(value > -2147483649.0 && value < 2147483648.0)) return -2147483647 - 1;
  return static_cast<std::int32_t>(value);
}

std::size_t FormatDataPacket(std::span<const std::uint8_t> row, const VariableOffsets& offsets,
                             char (&buffer)[kPacketBufferSize]) {
  Writer writer(buffer);
  writer.Text("DATA_PACKET");
  for (std::size_t i = 0; i < kRelayedVariableCount; ++i) {
    writer.Text(";");
    const Field field = kFields[i];
    const std::size_t size = FieldSize(field);
    switch (field) {
      case Field::kFloat: {
        float value = 0;
        ReadField(row, offsets[i], size, &value);
        writer.Fixed2(value);
        break;
      }
      case Field::kFloatTruncated: {
        float value = 0;
        ReadField(row, offsets[i], size, &value);
        writer.Integer(TruncateToInt32(value));
        break;
      }
      case Field::kDouble: {
        double value = 0;
        ReadField(row, offsets[i], size, &value);
        writer.Fixed2(value);
        break;
      }
      case Field::kInt: {
        std::int32_t value = 0;
        ReadField(row, offsets[i], size, &value);
        writer.Integer(value);
        break;
      }
      case Field::kByte: {
        std::uint8_t value = 0;
        ReadField(row, offsets[i], size, &value);
        writer.Integer(value);
        break;
      }
    }
  }
  writer.Text(";");
  return writer.Length();
}

std::size_t FormatSessionInfo(const sessioninfo::CarFacts& facts,
                              char (&buffer)[kPacketBufferSize]) {
  Writer writer(buffer);
  writer.Text("SESSION_INFO");
  for (const float rpm : {facts.firstRpm, facts.lastRpm, facts.shiftRpm, facts.blinkRpm}) {
    writer.Text(";");
    writer.Integer(TruncateToInt32(rpm));
  }
  writer.Text(";");
  writer.Text(facts.carPath);
  return writer.Length();
}

}  // namespace relay
