#include "support/test_support.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>

namespace testsupport {

InMemorySim::InMemorySim(publisher::Layout layout, const std::string& sessionText)
    : memory(std::max(publisher::RegionSize(layout), publisher::kNamedRegionSize)),
      row(static_cast<std::size_t>(layout.rowLength)) {
  publisher::OpenInMemory(publisher, memory, layout, sessionText);
}

TestClient::TestClient(int port, int receiveBuffer)
    : socket_(platform::ConnectTcp("127.0.0.1", std::to_string(port).c_str(), receiveBuffer)) {}

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

bool TestClient::ReceiveToEnd(int timeoutMilliseconds) {
  ReceiveAtLeast(std::numeric_limits<std::size_t>::max(), timeoutMilliseconds);
  return closed_;
}

std::unique_ptr<TestClient> ConnectWhenListening(int port, int timeoutMilliseconds) {
  std::unique_ptr<TestClient> client;
  WaitFor([&] { return (client = std::make_unique<TestClient>(port))->connected(); },
          timeoutMilliseconds);
  if (!client->connected()) client.reset();
  return client;
}

bool WaitFor(const std::function<bool()>& condition, int timeoutMilliseconds) {
  const std::int64_t deadline =
      platform::MonotonicNanoseconds() + std::int64_t{timeoutMilliseconds} * 1000000;
  while (!condition()) {
    if (platform::MonotonicNanoseconds() > deadline) return false;
    platform::SleepMilliseconds(5);
  }
  return true;
}

long CountingSend(platform::Socket socket, const char* bytes, std::size_t length) {
  const long sent = platform::SendBytes(socket, bytes, length);
  if (sent == 0 && length > 0) ++sendCounts.wouldBlock;
  if (sent > 0 && static_cast<std::size_t>(sent) < length) ++sendCounts.shortSends;
  return sent;
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

long Field(std::string_view message, int index) {
  for (int i = 0; i < index; ++i) {
    const std::size_t end = message.find(';');
    if (end == std::string_view::npos) return -1;
    message.remove_prefix(end + 1);
  }
  return std::strtol(std::string(message.substr(0, message.find(';'))).c_str(), nullptr, 10);
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::size_t Occurrences(std::string_view text, std::string_view part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string_view::npos;
       at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

}  // namespace testsupport
