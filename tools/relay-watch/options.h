// relay-watch's command line.
#pragma once

#include <cstdint>
#include <string>

namespace watch {

struct Options {
  bool raw = false;
  std::int64_t count = -1;
  std::string host = "127.0.0.1";
  std::string port = "6667";
};

extern const char kUsage[];

// Parses the command line; false (with a message printed) when it is wrong.
bool ParseOptions(int argc, char** argv, Options* options, bool* help);

}  // namespace watch
