// The connection, the framing and the redraws of relay-watch.
#include "relay-watch/watch.h"

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "console/printable.h"
#include "console/terminal.h"
#include "platform/platform.h"
#include "relay-stream/message_parser.h"
#include "relay-stream/stream_framer.h"
#include "relay-watch/dashboard.h"

namespace watch {

namespace {

constexpr int kReceiveTimeoutMilliseconds = 50;
constexpr int kRedrawMilliseconds = 50;
constexpr std::int64_t kQuietNanoseconds = 2000000000LL;
constexpr std::int64_t kNanosecondsPerMillisecond = 1000000;

std::int64_t Now() { return platform::MonotonicNanoseconds(); }

class Watch {
 public:
  explicit Watch(const Options& options) : options_(options) {
    state_.endpoint = options.host + ":" + options.port;
  }

  // Runs until --count messages arrived (true) or Ctrl-C (false).
  bool Run() {
    if (!options_.raw) {
      terminal::EnableEscapeSequences();
      // Alternate screen, cursor hidden, no line wrap.
      platform::ConsoleWrite("\x1b[?1049h\x1b[?25l\x1b[?7l");
    }
    bool reported = false;  // the current outage has been reported
    bool everConnected = false;
    while (!Done()) {
      const platform::Socket socket =
          platform::ConnectTcp(options_.host.c_str(), options_.port.c_str());
      if (socket == platform::kInvalidSocket) {
        if (!reported) {
          Report(everConnected ? "the relay went away; reconnecting every second"
                               : "cannot connect (is telemetry-relay running?); retrying every "
                                 "second");
          reported = true;
        }
        Pause(1000);
        continue;
      }
      // The relay never hears from relay-watch, so without keep-alive a
      // relay whose host vanished (switched off, off the network) would
      // look connected and quiet forever. The probes make such a connection
      // fail within seconds, and it is then left and retried like a closed
      // one. Should the system refuse them, the connection is used anyway.
      platform::EnableKeepAlive(socket);
      Report(everConnected ? "reconnected" : "connected");
      everConnected = true;
      reported = false;
      Receive(socket);
      platform::CloseSocket(socket);
      if (!Done()) {
        Report("the relay went away; reconnecting every second");
        reported = true;
        Pause(1000);
      }
    }
    if (!options_.raw) {
      platform::ConsoleWrite("\x1b[?7h\x1b[?25h\x1b[?1049l");
      std::printf("relay-watch: %lld messages, %lld malformed\n",
                  static_cast<long long>(state_.messages),
                  static_cast<long long>(state_.malformed));
    }
    std::fflush(stdout);
    return CountReached();
  }

 private:
  bool CountReached() const { return options_.count > 0 && state_.messages >= options_.count; }
  bool Done() const { return CountReached() || terminal::InterruptRequested(); }

  void Report(const std::string& status) {
    state_.status = status;
    if (options_.raw) {
      std::fprintf(stderr, "relay-watch: %s: %s\n", state_.endpoint.c_str(), status.c_str());
      std::fflush(stderr);
    }
    Redraw(true);
  }

  // Waits, redrawing, until `milliseconds` passed or it is time to stop.
  void Pause(int milliseconds) {
    const std::int64_t until = Now() + milliseconds * kNanosecondsPerMillisecond;
    while (!Done() && Now() < until) {
      platform::SleepMilliseconds(kReceiveTimeoutMilliseconds);
      Redraw(false);
    }
  }

  void Receive(platform::Socket socket) {
    framer_.Reset();
    std::vector<std::string_view> messages;
    static char buffer[65536];
    lastMessage_ = Now();
    bool quiet = false;
    while (!Done()) {
      const long got =
          platform::ReceiveBytes(socket, buffer, sizeof buffer, kReceiveTimeoutMilliseconds);
      messages.clear();
      if (got > 0) {
        framer_.Feed(std::string_view(buffer, static_cast<std::size_t>(got)), messages);
      } else if (got == 0 || got == -2) {
        framer_.Finish(messages);
      }
      for (std::string_view message : messages) {
        if (Done()) break;
        Handle(message);
      }
      if (options_.raw && !messages.empty()) std::fflush(stdout);
      if (!messages.empty()) {
        lastMessage_ = Now();
        if (quiet) Report("connected");
        quiet = false;
      } else if (!quiet && Now() - lastMessage_ > kQuietNanoseconds) {
        Report("connected; no telemetry for 2 s (is the simulator publishing?)");
        quiet = true;
      }
      if (got == 0 || got == -2) return;
      Redraw(false);
    }
  }

  void Handle(std::string_view message) {
    ++state_.messages;
    ++messagesThisSecond_;
    const stream::ParsedMessage parsed = stream::ParseMessage(message);
    if (options_.raw) {
      // One message a line, whatever bytes it holds.
      line_.clear();
      terminal::AppendPrintable(message, line_);
      line_ += '\n';
      std::fwrite(line_.data(), 1, line_.size(), stdout);
    }
    switch (parsed.kind) {
      case stream::MessageKind::kDataPacket:
        state_.data = parsed.data;
        state_.haveData = true;
        break;
      case stream::MessageKind::kSessionInfo:
        state_.session = parsed.session;
        state_.haveSession = true;
        break;
      case stream::MessageKind::kMalformed:
        ++state_.malformed;
        state_.lastProblem = parsed.problem;
        if (options_.raw) {
          std::fprintf(stderr, "relay-watch: malformed message (%s)\n",
                       terminal::Printable(parsed.problem).c_str());
        }
        break;
    }
  }

  void Redraw(bool now) {
    const std::int64_t time = Now();
    if (time - rateStart_ >= 1000 * kNanosecondsPerMillisecond) {
      state_.messagesPerSecond =
          static_cast<double>(messagesThisSecond_) * 1e9 / static_cast<double>(time - rateStart_);
      messagesThisSecond_ = 0;
      rateStart_ = time;
    }
    if (options_.raw) return;
    if (!now && time - lastDraw_ < kRedrawMilliseconds * kNanosecondsPerMillisecond) return;
    lastDraw_ = time;
    int columns = 80, rows = 24;
    terminal::WindowSize(&columns, &rows);
    // The shift lights blink four times a second.
    const bool blinkOn = time / (125 * kNanosecondsPerMillisecond) % 2 == 0;
    platform::ConsoleWrite(watch::RenderDashboard(state_, columns, blinkOn).c_str());
  }

  const Options& options_;
  watch::DashboardState state_;
  stream::StreamFramer framer_;
  std::string line_;  // a message as --raw prints it
  std::int64_t lastMessage_ = 0;
  std::int64_t lastDraw_ = 0;
  std::int64_t rateStart_ = Now();
  std::int64_t messagesThisSecond_ = 0;
};

}  // namespace

bool RunWatch(const Options& options) {
  Watch watch(options);
  return watch.Run();
}

}  // namespace watch
