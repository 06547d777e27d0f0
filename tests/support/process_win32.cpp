// Starting the real executables from a test on Windows.
#include <windows.h>

#include <string>

#include "support/process.h"

namespace testsupport {

struct ChildProcess {
  HANDLE process;
  bool ended;
};

namespace {

// Quotes one argument the way the C runtime's command-line parser splits it.
void AppendQuoted(std::string& commandLine, const std::string& argument) {
  commandLine += '"';
  std::size_t backslashes = 0;
  for (const char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"')
      commandLine.append(backslashes * 2 + 1, '\\');
    else
      commandLine.append(backslashes, '\\');
    backslashes = 0;
    commandLine += c;
  }
  commandLine.append(backslashes * 2, '\\');
  commandLine += '"';
}

}  // namespace

long CurrentProcessId() { return static_cast<long>(GetCurrentProcessId()); }

ChildProcess* StartProcess(const std::string& path, const std::vector<std::string>& arguments,
                           const std::string& outputPath) {
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE output = CreateFileA(outputPath.c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inheritable,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (output == INVALID_HANDLE_VALUE) return nullptr;

  std::string commandLine;
  AppendQuoted(commandLine, path);
  for (const std::string& argument : arguments) {
    commandLine += ' ';
    AppendQuoted(commandLine, argument);
  }
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = output;
  startup.hStdError = output;
  PROCESS_INFORMATION info{};
  const BOOL started = CreateProcessA(path.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0,
                                      nullptr, nullptr, &startup, &info);
  CloseHandle(output);
  if (!started) return nullptr;
  CloseHandle(info.hThread);
  return new ChildProcess{info.hProcess, false};
}

bool WaitForExit(ChildProcess* process, int timeoutMilliseconds, int* exitStatus) {
  const DWORD wait = timeoutMilliseconds < 0 ? 0 : static_cast<DWORD>(timeoutMilliseconds);
  if (WaitForSingleObject(process->process, wait) != WAIT_OBJECT_0) return false;
  DWORD code = 0;
  GetExitCodeProcess(process->process, &code);
  process->ended = true;
  *exitStatus = static_cast<int>(code);
  return true;
}

// A console program's Ctrl-C can only be sent to a whole console group;
// the tests that need a graceful stop run on POSIX.
bool AskToStop(ChildProcess*, bool) { return false; }

long ResidentKilobytes(const ChildProcess*) { return -1; }

void KillProcess(ChildProcess* process) {
  if (!process->ended) {
    TerminateProcess(process->process, 137);
    WaitForSingleObject(process->process, INFINITE);
  }
  CloseHandle(process->process);
  delete process;
}

}  // namespace testsupport
