// Starting other programs without a shell. Safe for concurrent use by
// multiple threads.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// Starts `program` (a path, not searched in PATH) with `args` after the
// program name, as a process of its own: a new session (no controlling
// terminal, not in the caller's process group), standard input, output and
// error on /dev/null, no other descriptor inherited, default signal
// dispositions and an empty signal mask, this process's environment, and
// `workingDir` as its current directory (unchanged when empty). No shell is
// involved. Returns the child's pid, or -1 with *error set to the system's
// error number when the program cannot be started.
// The caller may poll the child with childExitStatus; when the caller ends
// first, the child is adopted and reaped by the system.
pid_t spawnDetached(const std::string& program, const std::vector<std::string>& args,
                    const std::string& workingDir, int* error);

// As spawnDetached, with standard output and error appended to the file at
// `outputPath` (created with mode 0644 when missing, opened O_APPEND in the
// child only, so the caller holds no descriptor of it). A file that cannot
// be opened makes the start fail with its error number.
pid_t spawnDetachedAppendingOutput(const std::string& program, const std::vector<std::string>& args,
                                   const std::string& workingDir, const std::string& outputPath, int* error);

// Whether a child of this process has ended, without waiting: 0 while it
// runs; 1 when it ended, with *exitCode set (128 + signal number when a
// signal ended it) and the child reaped; -1 when it is not (or no longer) a
// child of this process.
int childExitStatus(pid_t pid, int* exitCode);
