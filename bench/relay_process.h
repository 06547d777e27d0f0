// The real telemetry-relay (or relay-web) as a child process of the
// benchmark, and what the kernel reports about a process or thread: its CPU
// time and peak memory.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

struct RelayProcess {
  pid_t pid = -1;
  // For messages: what the process is and the port it listens on.
  std::string name = "the relay";
  std::string port = "6667";
};

// Starts `path` with `arguments` and its console output discarded.
bool StartRelay(RelayProcess& relay, const std::string& path, std::string* error,
                const std::vector<std::string>& arguments = {});
// False, with a description, once the process has ended.
bool RelayAlive(RelayProcess& relay, std::string* error);
// SIGSTOP, returning once the process is seen stopped: a stopped relay takes
// no part in the run (it does not wait on the semaphore, so it cannot take a
// signal meant for the floor). SIGCONT lets it go on where it was.
bool PauseRelay(RelayProcess& relay);
void ResumeRelay(RelayProcess& relay);
void EndRelay(RelayProcess& relay);

// CPU time (user and system) consumed so far by thread `tid` of process
// `pid`, in nanoseconds: the scheduler's exact run time from
// /proc/PID/task/TID/schedstat, or the utime and stime of
// /proc/PID/task/TID/stat (clock-tick resolution) where the kernel keeps no
// schedstat. -1 when the process is gone.
std::int64_t CpuNanoseconds(pid_t pid, pid_t tid);
// The same summed over every thread of process `pid` (a thread that ended
// meanwhile takes its time with it); -1 when the process is gone.
std::int64_t ProcessCpuNanoseconds(pid_t pid);
// Where CpuNanoseconds takes its figures from on this kernel.
const char* CpuSource();
// Peak resident set size (VmHWM), in KiB; -1 when unknown.
std::int64_t PeakResidentKilobytes(pid_t pid);

}  // namespace bench
