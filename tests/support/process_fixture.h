// A test fixture for tests that run the real executables: it starts each
// process under a name, its output going to a file of its own, and on tear
// down kills whatever still runs and removes the files. Every test starts
// without the simulator's objects, as on a fresh machine, unless it has
// nothing to do with them (and so may run beside tests that use them).
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "support/process.h"

namespace testsupport {

class ProcessFixture : public testing::Test {
 protected:
  // `outputPrefix` names the output files in the test's temporary folder.
  explicit ProcessFixture(std::string outputPrefix, bool removeSimulatorObjects = true);
  ~ProcessFixture() override;

  // Starts `path` as the process `name`; nullptr (and a failure) if it cannot.
  ChildProcess* Start(const std::string& name, const std::string& path,
                      const std::vector<std::string>& arguments);
  // The process's output so far, with Windows' text-mode "\r\n" made "\n".
  std::string Output(const std::string& name) const;
  // Waits for the process to end and forgets it; its exit status, or -1.
  int Finish(const std::string& name, int timeoutMilliseconds = 30000);
  // Asks the process to stop (SIGTERM, or SIGINT with `interrupt`); false
  // when it cannot be asked.
  bool AskToStop(const std::string& name, bool interrupt = false) {
    const auto process = processes_.find(name);
    return process != processes_.end() && process->second != nullptr &&
           testsupport::AskToStop(process->second, interrupt);
  }
  // Ends the process at once and forgets it.
  void Kill(const std::string& name);
  // True while the process `name` was started and neither finished nor killed.
  bool Running(const std::string& name) const {
    const auto process = processes_.find(name);
    return process != processes_.end() && process->second != nullptr;
  }

 private:
  std::string outputPrefix_;
  std::map<std::string, ChildProcess*> processes_;
  std::map<std::string, std::string> outputs_;
};

}  // namespace testsupport
