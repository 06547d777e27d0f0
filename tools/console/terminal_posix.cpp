// Terminal and interrupt handling on POSIX systems.
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <csignal>

#include "console/terminal.h"

namespace terminal {

namespace {

volatile std::sig_atomic_t interrupted = 0;

void OnSignal(int) { interrupted = 1; }

}  // namespace

void InstallInterruptHandler() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a blocking connect or read returns early with EINTR, so
  // the loop sees the flag soon.
  action.sa_flags = 0;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
}

bool InterruptRequested() { return interrupted != 0; }

void CleanupDone() {}

bool OutputIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

bool EnableEscapeSequences() { return true; }

bool WindowSize(int* columns, int* rows) {
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0 || size.ws_row == 0) {
    return false;
  }
  *columns = size.ws_col;
  *rows = size.ws_row;
  return true;
}

}  // namespace terminal
