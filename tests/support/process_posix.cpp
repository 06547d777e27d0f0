#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "platform/platform.h"
#include "support/process.h"

namespace testsupport {

struct ChildProcess {
  pid_t pid;
  bool reaped;
};

long CurrentProcessId() { return static_cast<long>(getpid()); }

ChildProcess* StartProcess(const std::string& path, const std::vector<std::string>& arguments,
                           const std::string& outputPath) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = 0;
  const int failed = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) return nullptr;
  return new ChildProcess{pid, false};
}

bool WaitForExit(ChildProcess* process, int timeoutMilliseconds, int* exitStatus) {
  for (int waited = 0;; waited += 5) {
    int status = 0;
    if (waitpid(process->pid, &status, WNOHANG) == process->pid) {
      process->reaped = true;
      *exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return true;
    }
    if (waited >= timeoutMilliseconds) return false;
    platform::SleepMilliseconds(5);
  }
}

bool AskToStop(ChildProcess* process, bool interrupt) {
  return !process->reaped && kill(process->pid, interrupt ? SIGINT : SIGTERM) == 0;
}

long ResidentKilobytes(const ChildProcess* process) {
  std::ifstream status("/proc/" + std::to_string(process->pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
  }
  return -1;
}

void KillProcess(ChildProcess* process) {
  if (!process->reaped) {
    kill(process->pid, SIGKILL);
    waitpid(process->pid, nullptr, 0);
  }
  delete process;
}

}  // namespace testsupport
