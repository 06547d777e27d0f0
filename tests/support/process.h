// Starting the real executables from a test: one implementation per platform.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

struct ChildProcess;

// This process's id.
long CurrentProcessId();

// Starts `path` with `arguments`, its standard output and error going to the
// file `outputPath`. nullptr on failure.
ChildProcess* StartProcess(const std::string& path, const std::vector<std::string>& arguments,
                           const std::string& outputPath);
// Waits up to `timeoutMilliseconds` for the process to end; true, with its
// exit status, if it did.
bool WaitForExit(ChildProcess* process, int timeoutMilliseconds, int* exitStatus);
// Asks the process to stop as SIGTERM does on POSIX (or with `interrupt`,
// as Ctrl-C does: SIGINT, which a Windows program under Wine hears as
// Ctrl-C), so that it can clean up; false where there is no such request
// (Windows).
bool AskToStop(ChildProcess* process, bool interrupt = false);
// Its resident memory in KiB (Linux's VmRSS); -1 where it cannot be read.
long ResidentKilobytes(const ChildProcess* process);

// Ends the process at once and releases it.
void KillProcess(ChildProcess* process);

}  // namespace testsupport
