// Shared pieces of the tests: an in-memory simulator, a loopback client that
// collects what it receives, the keyword framing clients use, and the small
// text and waiting helpers every test file would otherwise repeat.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "sim-publisher/publisher.h"

namespace testsupport {

// The SESSION_INFO the relay sends for publisher::DefaultSessionText().
inline constexpr char kDefaultSessionInfo[] = "SESSION_INFO;5900;7400;7200;7600;porsche992rgt3";

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
  // Reads whatever arrives until nothing has come for `quietMilliseconds`
  // (0: only what is there already).
  void Drain(int quietMilliseconds = 50);
  // Reads until the relay closes the connection; false on time-out.
  bool ReceiveToEnd(int timeoutMilliseconds = 10000);
  // True once the relay has closed the connection.
  bool closed() const { return closed_; }
  void Close();
  const std::string& received() const { return received_; }

 private:
  platform::Socket socket_;
  std::string received_;
  bool closed_ = false;
};

// Connects to 127.0.0.1:`port`, retrying until something listens there;
// nullptr once `timeoutMilliseconds` have passed.
std::unique_ptr<TestClient> ConnectWhenListening(int port, int timeoutMilliseconds = 10000);
// Checks `condition` every few milliseconds until it holds; false if it still
// does not after `timeoutMilliseconds`, which only guards against a hang.
bool WaitFor(const std::function<bool()>& condition, int timeoutMilliseconds = 10000);

// platform::SendBytes, counting what it reported: a ClientService's `send`
// for tests that must see the real would-block and short-send paths taken.
struct SendCounts {
  long wouldBlock = 0;  // calls that took nothing
  long shortSends = 0;  // calls that took part of what they were given
};
inline SendCounts sendCounts;
long CountingSend(platform::Socket socket, const char* bytes, std::size_t length);

// Splits a stream into messages, each starting at a keyword.
std::vector<std::string> SplitMessages(std::string_view stream);
// Value `index` of a ";"-separated message read as an integer, counting the
// keyword as 0 (so 9 is a DATA_PACKET's Lap), or -1 when it has no such field.
long Field(std::string_view message, int index);
// A file's whole contents; empty when it cannot be read.
std::string ReadFile(const std::string& path);
// How often `part` occurs in `text`, overlapping occurrences included.
std::size_t Occurrences(std::string_view text, std::string_view part);

}  // namespace testsupport
