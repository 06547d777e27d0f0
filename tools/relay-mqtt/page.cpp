// Writing the page's folder.
#include "relay-mqtt/page.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace mqtt_bridge {

namespace {

// Writes `bytes` to a temporary file beside `path` and renames it into
// place, so a broker serving the folder never hands out half a file.
bool WriteWhole(const std::filesystem::path& path, std::string_view bytes, std::string* error) {
  const std::filesystem::path temporary = path.string() + ".tmp";
  std::FILE* file = std::fopen(temporary.string().c_str(), "wb");
  bool written =
      file != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  int savedErrno = errno;
  if (file != nullptr && std::fclose(file) != 0 && written) {
    written = false;
    savedErrno = errno;
  }
  std::error_code ec;
  if (written) std::filesystem::rename(temporary, path, ec);
  if (!written || ec) {
    *error = "cannot write " + path.string() + ": " +
             (ec ? ec.message() : std::string(std::strerror(savedErrno)));
    std::filesystem::remove(temporary, ec);
    return false;
  }
  return true;
}

}  // namespace

bool WritePage(const std::string& dir, std::string* error) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) {
    *error = "cannot make the folder " + dir + ": " + ec.message();
    return false;
  }
  const std::filesystem::path folder(dir);
  return WriteWhole(folder / "index.html", DashboardPage(), error) &&
         WriteWhole(folder / "mqtt.min.js", MqttLibrary(), error);
}

}  // namespace mqtt_bridge
