// Starting and pausing the relay, and reading /proc.
#include "relay_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/platform.h"

extern char** environ;

namespace bench {

namespace {

std::string ProcPath(pid_t pid, pid_t tid, const char* file) {
  return "/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/" + file;
}

// The state letter of /proc/PID/stat: the field after the command name,
// which is in parentheses and may itself contain spaces or ')'.
char State(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(file, line)) return '?';
  const std::size_t close = line.rfind(')');
  if (close == std::string::npos || close + 2 >= line.size()) return '?';
  return line[close + 2];
}

bool HaveSchedstat() {
  std::ifstream file("/proc/self/schedstat");
  std::int64_t runtime = -1;
  return static_cast<bool>(file >> runtime);
}

}  // namespace

bool StartRelay(RelayProcess& relay, const std::string& path, std::string* error,
                const std::vector<std::string>& arguments) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::vector<char*> argv{const_cast<char*>(path.c_str())};
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  const int failed = posix_spawn(&relay.pid, path.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) {
    *error = "cannot start " + path + ": " + std::strerror(failed);
    relay.pid = -1;
    return false;
  }
  return true;
}

bool RelayAlive(RelayProcess& relay, std::string* error) {
  int status = 0;
  if (relay.pid > 0 && waitpid(relay.pid, &status, WNOHANG) == 0) return true;
  if (WIFEXITED(status)) {
    *error = relay.name + " exited with status " + std::to_string(WEXITSTATUS(status)) +
             " (is port " + relay.port + " taken?)";
  } else {
    *error = relay.name + " was ended by signal " + std::to_string(WTERMSIG(status));
  }
  relay.pid = -1;
  return false;
}

bool PauseRelay(RelayProcess& relay) {
  if (kill(relay.pid, SIGSTOP) != 0) return false;
  for (int waited = 0; waited < 2000; ++waited) {
    if (State(relay.pid) == 'T') return true;
    platform::SleepMilliseconds(1);
  }
  return false;
}

void ResumeRelay(RelayProcess& relay) { kill(relay.pid, SIGCONT); }

void EndRelay(RelayProcess& relay) {
  if (relay.pid <= 0) return;
  kill(relay.pid, SIGKILL);
  waitpid(relay.pid, nullptr, 0);
  relay.pid = -1;
}

std::int64_t CpuNanoseconds(pid_t pid, pid_t tid) {
  static const bool schedstat = HaveSchedstat();
  if (schedstat) {
    std::ifstream file(ProcPath(pid, tid, "schedstat"));
    std::int64_t runtime = -1;
    if (file >> runtime) return runtime;
    return -1;
  }
  std::ifstream file(ProcPath(pid, tid, "stat"));
  std::string line;
  if (!std::getline(file, line)) return -1;
  const std::size_t close = line.rfind(')');
  if (close == std::string::npos) return -1;
  // After the command: state is field 3; utime and stime are fields 14 and 15.
  std::istringstream fields(line.substr(close + 2));
  std::string field;
  std::int64_t utime = 0;
  std::int64_t stime = 0;
  for (int number = 3; number <= 15 && fields >> field; ++number) {
    if (number == 14) utime = std::stoll(field);
    if (number == 15) stime = std::stoll(field);
  }
  return (utime + stime) * (1000000000LL / sysconf(_SC_CLK_TCK));
}

std::int64_t ProcessCpuNanoseconds(pid_t pid) {
  std::error_code error;
  std::filesystem::directory_iterator tasks("/proc/" + std::to_string(pid) + "/task", error);
  if (error) return -1;
  std::int64_t total = 0;
  for (; !error && tasks != std::filesystem::directory_iterator(); tasks.increment(error)) {
    const auto tid = static_cast<pid_t>(std::atoll(tasks->path().filename().c_str()));
    const std::int64_t thread = CpuNanoseconds(pid, tid);
    if (thread > 0) total += thread;
  }
  return total;
}

const char* CpuSource() {
  return HaveSchedstat() ? "/proc/PID/task/TID/schedstat" : "/proc/PID/task/TID/stat";
}

std::int64_t PeakResidentKilobytes(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(file, line)) {
    if (line.starts_with("VmHWM:")) return std::stoll(line.substr(6));
  }
  return -1;
}

}  // namespace bench
