// What the tools need from the terminal and the console beyond plain output:
// a clean stop on Ctrl-C, the window size, and ANSI escape sequences. One
// implementation file per platform is picked by the build (terminal_posix.cpp,
// terminal_win32.cpp).
#pragma once

namespace terminal {

// From now on Ctrl-C (and, on POSIX, SIGTERM; on Windows, closing the console
// window) only sets a flag that the tool's loop polls, so it can finish its
// work and restore what it changed before it exits.
void InstallInterruptHandler();
bool InterruptRequested();
// Tells the platform that the tool has finished cleaning up after an
// interrupt (Windows holds a closing console open until then).
void CleanupDone();

// True when standard output is a terminal.
bool OutputIsTerminal();
// Switches the console to interpret ANSI escape sequences where that needs
// switching on (Windows 10 and later); false where it cannot be done.
bool EnableEscapeSequences();
// The terminal's size in character cells; false when it cannot be told.
bool WindowSize(int* columns, int* rows);

}  // namespace terminal
