// Shared pieces of the tests: an in-memory simulator, a loopback client that
// collects what it receives, and the keyword framing clients use.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "publisher/publisher.h"

namespace testsupport {

// A simulator whose region is a byte vector laid out like the real one.
struct InMemorySim {
  explicit InMemorySim(publisher::Layout layout = publisher::DefaultLayout(),
                       const std::string& sessionText = publisher::DefaultSessionText());
  platform::RegionView View() const { return {memory.data(), memory.size()}; }
  // Publishes `row` into the next slot with the next tick count.
  void Publish() { publisher::PublishRow(publisher, row); }
  void SetFloat(std::string_view name, float value) {
    publisher::SetFloat(row, publisher.layout, name, value);
  }
  void SetInt(std::string_view name, std::int32_t value) {
    publisher::SetInt(row, publisher.layout, name, value);
  }

  std::vector<std::uint8_t> memory;
  publisher::Publisher publisher;
  std::vector<std::uint8_t> row;
};

// A blocking loopback client that accumulates everything it receives.
class TestClient {
 public:
  // `receiveBuffer` > 0 shrinks the socket's receive buffer before connecting.
  explicit TestClient(int port, int receiveBuffer = 0);
  ~TestClient();
  TestClient(const TestClient&) = delete;
  TestClient& operator=(const TestClient&) = delete;

  bool connected() const { return socket_ != platform::kInvalidSocket; }
  // Reads until at least `total` bytes have arrived in all; false on time-out
  // or when the relay closes the connection first.
  bool ReceiveAtLeast(std::size_t total, int timeoutMilliseconds = 5000);
  // Reads whatever arrives until nothing has come for `quietMilliseconds`.
  void Drain(int quietMilliseconds = 50);
  // True once the relay has closed the connection.
  bool closed() const { return closed_; }
  void Close();
  const std::string& received() const { return received_; }

 private:
  platform::Socket socket_;
  std::string received_;
  bool closed_ = false;
};

// Splits a stream into messages, each starting at a keyword.
std::vector<std::string> SplitMessages(std::string_view stream);

}  // namespace testsupport
