// sim-publisher's command line: what it was asked to do, its --help text and
// the parsing that checks every value before anything is created.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace simpublisher {

enum class ActionKind { kPause, kResume, kRestart, kRowLength };

struct Action {
  double at = 0;
  ActionKind kind = ActionKind::kPause;
  std::int32_t rowLength = 0;
};

struct Options {
  int rate = 60;
  double duration = -1;
  std::uint64_t seed = 1;
  std::string sessionFile;
  bool remove = false;
  std::vector<Action> actions;
  // Replay.
  std::string ibt;
  bool info = false;
  bool loop = false;
  double speed = 1;
  std::string simulatedOnly;  // an option that only the simulated car takes
};

extern const char kUsage[];

// Parses the command line; false (with a message printed) when it is wrong.
bool ParseOptions(int argc, char** argv, Options* options, bool* help);

// "sim-publisher: TEXT" on standard output (news) or standard error (a failure).
void Say(const std::string& text);
void Fail(const std::string& text);

}  // namespace simpublisher
