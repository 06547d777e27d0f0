// Writes the committed seed corpora: make_fuzz_seeds <fuzz/corpus directory>.
// Each seed is a sane input the fuzzer mutates from: session texts and paths
// in the simulator's style, and small regions laid out by the publisher (the
// relayed variables only, so a seed stays a few kilobytes).
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "relay/messages.h"
#include "sim-publisher/publisher.h"
#include "simlink/region.h"
#include "support/recording_file.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr char kDrivers[] =
    "DriverInfo:\n"
    " DriverCarIdx: 5\n"
    " Drivers:\n"
    " - CarIdx: 0\n"
    "   UserName: Driver A\n"
    " - CarIdx: 5\n"
    "   UserName: Driver B\n";

bool Write(const std::string& path, const void* data, std::size_t size) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool written = std::fwrite(data, 1, size, file) == size;
  return std::fclose(file) == 0 && written;
}

bool Write(const std::string& path, std::string_view text) {
  return Write(path, text.data(), text.size());
}

void Append(Bytes& bytes, const void* data, std::size_t size) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  bytes.insert(bytes.end(), p, p + size);
}

void Put(Bytes& bytes, std::size_t offset, std::int32_t value) {
  std::memcpy(bytes.data() + offset, &value, sizeof value);
}

publisher::Layout RelayedLayout() {
  using publisher::ValueType;
  std::vector<publisher::Variable> variables;
  for (std::size_t i = 0; i < relay::kRelayedVariableCount; ++i) {
    const std::string_view name = relay::kRelayedVariables[i];
    ValueType type = ValueType::kFloat;
    if (name == "Gear" || name == "Lap" || name == "RaceLaps" || name == "SessionLapsRemain") {
      type = ValueType::kInt;
    } else if (name == "SessionTimeRemain") {
      type = ValueType::kDouble;
    } else if (name == "OnPitRoad" || name == "IsOnTrack") {
      type = ValueType::kBool;
    }
    variables.push_back({std::string(name), type});
  }
  publisher::Layout layout = publisher::PackedLayout(variables, 3, 0);
  layout.sessionInfoCapacity = 1024;
  return layout;
}

// A region with three rows published, followed by the region fuzz target's
// trailer: last tick count, row buffer size, and two rewrites (offset, value)
// applied between copies.
Bytes Region(const publisher::Layout& layout, std::int32_t lastTick, std::uint16_t bufferSize,
             std::uint16_t rewriteOffset, std::int32_t rewriteValue) {
  Bytes memory(publisher::RegionSize(layout));
  publisher::Publisher sim;
  publisher::OpenInMemory(sim, memory, layout, publisher::DefaultSessionText());
  Bytes row(static_cast<std::size_t>(layout.rowLength));
  for (int tick = 1; tick <= 3; ++tick) {
    publisher::SetInt(row, layout, "Lap", tick);
    publisher::SetFloat(row, layout, "RPM", 5000.5f + static_cast<float>(tick));
    publisher::SetDouble(row, layout, "SessionTimeRemain", 1800.0 - tick);
    publisher::PublishRow(sim, row);
  }
  Append(memory, &lastTick, sizeof lastTick);
  Append(memory, &bufferSize, sizeof bufferSize);
  for (int i = 0; i < 2; ++i) {
    Append(memory, &rewriteOffset, sizeof rewriteOffset);
    Append(memory, &rewriteValue, sizeof rewriteValue);
  }
  return memory;
}

// A recording of `layout` (whose variables are packed in order, as the
// file's are) with `text`, its header counting `rows` rows of which only
// `written` (possibly a fraction) are in the file; Lap counts the rows and
// RPM is 5000.5 more.
Bytes Recording(const publisher::Layout& layout, std::string text, int rows, double written) {
  testsupport::RecordingFile file{{}, static_cast<int>(written), 60, std::move(text), rows};
  file.partial = static_cast<std::size_t>((written - file.rows) * layout.rowLength);
  for (const publisher::Variable& v : layout.variables) {
    file.variables.push_back({v.name, static_cast<std::int32_t>(v.type), v.count, "", ""});
    if (v.name == "Lap") file.variables.back().value = [](int r, int) -> double { return r; };
    if (v.name == "RPM") file.variables.back().value = [](int r, int) { return 5000.5 + r; };
  }
  return testsupport::WriteRecording(file);
}

// The framer target's input: the settings byte, the piece lengths, the stream.
std::string FramerInput(std::uint8_t settings, std::string_view pieces, std::string_view stream) {
  std::string input(1, static_cast<char>(settings));
  input += static_cast<char>(pieces.size());
  input += pieces;
  input += stream;
  return input;
}

// The mqtt_codec target's input: the topic's and the payload's lengths and
// the bits that pick a PUBLISH to encode, then the stream.
std::string MqttInput(std::uint8_t topicLength, std::uint16_t payloadLength, std::uint8_t bits,
                      std::string_view stream) {
  std::string input(1, static_cast<char>(topicLength));
  input += static_cast<char>(payloadLength >> 8);
  input += static_cast<char>(payloadLength & 0xFF);
  input += static_cast<char>(bits);
  input += stream;
  return input;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_fuzz_seeds <corpus directory>\n");
    return 2;
  }
  const std::string dir = argv[1];
  bool ok = true;
  using namespace std::string_literals;

  // query: the path, a NUL, the text.
  ok &= Write(dir + "/query/selected_user_name",
              "DriverInfo:Drivers:CarIdx:{5}UserName:\0"s + kDrivers);
  ok &= Write(dir + "/query/direct_key", "DriverInfo:DriverCarIdx:\0"s + kDrivers);
  ok &= Write(dir + "/query/unclosed_selector", "DriverInfo:Drivers:CarIdx:{5\0"s + kDrivers);
  ok &= Write(dir + "/query/crlf_empty_selector", "D:I:{}N:\0D:\r\n - I:\r\n   N: x\r\n"s);
  ok &= Write(dir + "/query/default_text",
              "DriverInfo:Drivers:CarIdx:{2}CarPath:\0"s + publisher::DefaultSessionText());

  // car_facts: the text alone.
  ok &= Write(dir + "/car_facts/default_text", publisher::DefaultSessionText());
  ok &= Write(dir + "/car_facts/drivers", kDrivers);

  // region
  const publisher::Layout layout = RelayedLayout();
  const auto rowLength = static_cast<std::uint16_t>(layout.rowLength);
  const std::uint16_t slot0Tick = simlink::layout::kSlots + simlink::layout::kSlotTickCount;
  Bytes region = Region(layout, 0, rowLength, 0xFFFF, 0);
  ok &= Write(dir + "/region/three_rows", region.data(), region.size());
  region = Region(layout, 2, rowLength, slot0Tick, 7);
  ok &= Write(dir + "/region/rewritten_during_copy", region.data(), region.size());
  region = Region(layout, 0, 8, 0xFFFF, 0);
  ok &= Write(dir + "/region/short_buffer", region.data(), region.size());
  // The session text moved to the region's last bytes, with no NUL after it.
  region = Region(layout, 0, rowLength, 0xFFFF, 0);
  const std::size_t end = publisher::RegionSize(layout);
  std::memset(region.data() + end - 16, 'x', 16);
  Put(region, simlink::layout::kSessionInfoOffset, static_cast<std::int32_t>(end - 16));
  ok &= Write(dir + "/region/text_without_nul", region.data(), region.size());

  // messages: 15 offsets, 4 engine speeds, the car path, a NUL, the row.
  Bytes message;
  relay::VariableOffsets offsets{};
  for (std::size_t i = 0; i < offsets.size(); ++i) {
    offsets[i] = publisher::OffsetOf(layout, relay::kRelayedVariables[i]);
  }
  Append(message, offsets.data(), sizeof offsets);
  const float rpm[4] = {5900.0f, 7400.0f, 7200.0f, 7600.5f};
  Append(message, rpm, sizeof rpm);
  Append(message, "porsche992rgt3", 15);
  Bytes row(static_cast<std::size_t>(layout.rowLength));
  publisher::SetFloat(row, layout, "OilTemp", 90.125f);
  publisher::SetInt(row, layout, "Gear", -1);
  publisher::SetFloat(row, layout, "RPM", 6543.9f);
  publisher::SetDouble(row, layout, "SessionTimeRemain", 1234.567);
  publisher::SetBool(row, layout, "OnPitRoad", true);
  Append(message, row.data(), row.size());
  ok &= Write(dir + "/messages/relayed_row", message.data(), message.size());

  // recording: a whole file and one cut short in its third row.
  Bytes recording = Recording(layout, kDrivers, 3, 3);
  ok &= Write(dir + "/recording/three_rows", recording.data(), recording.size());
  recording = Recording(layout, publisher::DefaultSessionText(), 5, 2.5);
  ok &= Write(dir + "/recording/cut_short", recording.data(), recording.size());

  // framer and web_feed: the relay's stream, with a message too long to be
  // handed out whole.
  const std::string packets =
      "DATA_PACKET;90.50;85.25;3;42.70;6543;0.50;0.38;1234.50;4;3;12;1800.00;1;1.00;1;"
      "SESSION_INFO;5900;7400;7200;7600;porsche992rgt3"
      "DATA_PACKET;nan;inf;-1;-inf;-2147483648;0.00;0.00;0.00;0;0;0;0.00;0;0.00;0;";
  std::string tooLong = "SESSION_INFO;1;2;3;4;";
  while (tooLong.size() < 5000) tooLong += "SESSION_INF DATA_PACKE ";
  ok &= Write(dir + "/framer/relayed", FramerInput(0, "\x05\x00\x30"s, "noise" + packets));
  ok &= Write(dir + "/framer/last_field", FramerInput(1, "\x0a", packets + "junk" + packets));
  ok &= Write(dir + "/framer/too_long", FramerInput(0, "\xff\x07", packets + tooLong + packets));
  ok &= Write(dir + "/web_feed/relayed", packets);
  ok &= Write(dir + "/web_feed/odd_car_path",
              "SESSION_INFO;0;0;0;0;\xff\xfe\x1b[2J\"quoted\\" + packets);

  // mqtt_codec: what a broker sends a publishing client, alone and in a row.
  const std::string connack = "\x20\x02\x01\x00"s;
  const std::string puback = "\x40\x02\x00\x01"s;
  const std::string pingresp = "\xd0\x00"s;
  const std::string publish = "\x32\x0f\x00\x07"s + "car/rpm" + "\x00\x01"s + "6543";
  ok &= Write(dir + "/mqtt_codec/connack", MqttInput(3, 2, 0x01, connack));
  ok &= Write(dir + "/mqtt_codec/refused", MqttInput(1, 0, 0x00, "\x20\x02\x00\x05"s));
  ok &= Write(dir + "/mqtt_codec/puback", MqttInput(9, 300, 0x0b, puback));
  ok &= Write(dir + "/mqtt_codec/pingresp", MqttInput(0, 0, 0x00, pingresp));
  ok &= Write(dir + "/mqtt_codec/publish", MqttInput(7, 4, 0x05, publish));
  ok &= Write(dir + "/mqtt_codec/in_a_row",
              MqttInput(12, 1000, 0x01, connack + publish + puback + pingresp + publish));
  ok &= Write(dir + "/mqtt_codec/over_the_bound", MqttInput(3, 0, 0x10, pingresp + publish));

  if (!ok) std::fprintf(stderr, "make_fuzz_seeds: cannot write into %s\n", dir.c_str());
  return ok ? 0 : 1;
}
