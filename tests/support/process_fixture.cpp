#include "support/process_fixture.h"

#include <cstdio>

#include "platform/platform.h"
#include "simlink/region.h"
#include "support/test_support.h"

namespace testsupport {

ProcessFixture::ProcessFixture(std::string outputPrefix, bool removeSimulatorObjects)
    : outputPrefix_(std::move(outputPrefix)) {
  if (!removeSimulatorObjects) return;
  platform::RemoveNamedMapping(simlink::kMappingName);
  platform::RemoveNamedEvent(simlink::kDataValidEventName);
}

ProcessFixture::~ProcessFixture() {
  for (auto& [name, process] : processes_) {
    if (process != nullptr) KillProcess(process);
  }
  for (auto& [name, path] : outputs_) std::remove(path.c_str());
}

ChildProcess* ProcessFixture::Start(const std::string& name, const std::string& path,
                                    const std::vector<std::string>& arguments) {
  // Runs of the suites from two work trees share the temporary folder; the
  // process id keeps one run from reading or truncating the other's files.
  outputs_[name] =
      testing::TempDir() + outputPrefix_ + std::to_string(CurrentProcessId()) + "-" + name + ".txt";
  // Wine ends a killed process a little after TerminateProcess returns, and
  // a start right after one of the same name has now and then failed there:
  // try a few times before calling it a failure.
  ChildProcess* process = nullptr;
  for (int attempt = 0; attempt < 5 && process == nullptr; ++attempt) {
    if (attempt > 0) platform::SleepMilliseconds(200);
    process = StartProcess(path, arguments, outputs_[name]);
  }
  if (process == nullptr) ADD_FAILURE() << "cannot start " << path;
  processes_[name] = process;
  return process;
}

std::string ProcessFixture::Output(const std::string& name) const {
  const auto output = outputs_.find(name);
  if (output == outputs_.end()) return "";
  std::string text = ReadFile(output->second);
  std::erase(text, '\r');
  return text;
}

int ProcessFixture::Finish(const std::string& name, int timeoutMilliseconds) {
  int status = -1;
  ChildProcess*& process = processes_[name];
  if (process == nullptr || !WaitForExit(process, timeoutMilliseconds, &status)) return -1;
  KillProcess(process);  // only releases it: it has ended
  process = nullptr;
  return status;
}

void ProcessFixture::Kill(const std::string& name) {
  ChildProcess*& process = processes_[name];
  if (process != nullptr) KillProcess(process);
  process = nullptr;
}

}  // namespace testsupport
