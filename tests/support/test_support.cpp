#include "support/test_support.h"

#include <algorithm>
#include <string>

namespace testsupport {

InMemorySim::InMemorySim(publisher::Layout layout, const std::string& sessionText)
    : memory(std::max(publisher::RegionSize(layout), publisher::kNamedRegionSize)),
      row(static_cast<std::size_t>(layout.rowLength)) {
  publisher::OpenInMemory(publisher, memory, layout, sessionText);
}

TestClient::TestClient(int port, int receiveBuffer) {
  const std::string portText = std::to_string(port);
  socket_ = platform::ConnectTcp("127.0.0.1", portText.c_str());
  if (socket_ != platform::kInvalidSocket && receiveBuffer > 0) {
    platform::SetReceiveBufferSize(socket_, receiveBuffer);
  }
}

TestClient::~TestClient() { Close(); }

void TestClient::Close() {
  if (socket_ != platform::kInvalidSocket) platform::CloseSocket(socket_);
  socket_ = platform::kInvalidSocket;
}

bool TestClient::ReceiveAtLeast(std::size_t total, int timeoutMilliseconds) {
  const std::int64_t deadline =
      platform::MonotonicNanoseconds() + std::int64_t{timeoutMilliseconds} * 1000000;
  char buffer[4096];
  while (received_.size() < total) {
    const std::int64_t left = (deadline - platform::MonotonicNanoseconds()) / 1000000;
    if (left <= 0 || closed_) return false;
    const long got = platform::ReceiveBytes(socket_, buffer, sizeof buffer, static_cast<int>(left));
    if (got == 0) closed_ = true;
    if (got <= 0) continue;
    received_.append(buffer, static_cast<std::size_t>(got));
  }
  return true;
}

void TestClient::Drain(int quietMilliseconds) {
  char buffer[4096];
  while (!closed_) {
    const long got = platform::ReceiveBytes(socket_, buffer, sizeof buffer, quietMilliseconds);
    if (got == 0) closed_ = true;
    if (got <= 0) return;
    received_.append(buffer, static_cast<std::size_t>(got));
  }
}

std::vector<std::string> SplitMessages(std::string_view stream) {
  std::vector<std::string> messages;
  std::size_t start = std::string_view::npos;
  for (std::size_t i = 0; i < stream.size(); ++i) {
    if (stream.substr(i).starts_with("DATA_PACKET") ||
        stream.substr(i).starts_with("SESSION_INFO")) {
      if (start != std::string_view::npos) messages.emplace_back(stream.substr(start, i - start));
      start = i;
    }
  }
  if (start != std::string_view::npos) messages.emplace_back(stream.substr(start));
  return messages;
}

}  // namespace testsupport
