#pragma once

#include <filesystem>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/types.h>
#endif

namespace doz2era::test {

struct ProgramResult {
    int exitCode = -1;  // the process's exit status; 128 + signal number if a signal ended it
    std::string output; // everything it wrote to standard output
    std::string error;  // everything it wrote to standard error
};

// Runs `program` with `args` (not including the program name) in the folder `workDir`, waits for
// it to end and collects its standard output and standard error apart.
//
// On POSIX systems, a run that takes longer than kRunTimeLimitSeconds is ended (exit code
// 128 + SIGALRM), so that a hang fails the test instead of stalling it; and the environment
// variable DOZ2ERA_TEST_LAUNCHER, when set, holds words (split at spaces) that are put before the
// program, e.g. the path of tests/memcheck.sh to run every case under valgrind.
//
// On Windows, the arguments are UTF-8, and a crash shows as its exception code (0xC0000005 for
// an access violation) in exitCode.
ProgramResult runProgram(const std::filesystem::path& program, const std::vector<std::string>& args,
                         const std::filesystem::path& workDir);

#ifndef _WIN32
inline constexpr unsigned kRunTimeLimitSeconds = 120;

// As runProgram, but when the tests run as root the child first switches to the user `nobody`, so
// that file permissions apply to it (root passes every permission check); otherwise it runs as
// the tests' own user. Callers check canRunUnprivileged() first.
ProgramResult runProgramUnprivileged(const std::filesystem::path& program,
                                     const std::vector<std::string>& args,
                                     const std::filesystem::path& workDir);

// False only when the tests run as root and there is no user `nobody` to switch to.
bool canRunUnprivileged();

// Starts `program` as runProgram does, but with its standard output on `outputFd` (a pipe, a
// terminal), and returns at once: the child's process id, or -1 if it cannot be started. Only the
// child's standard output refers to `outputFd` after the start; the caller keeps its own
// descriptor and waits for the child with waitForProgram.
pid_t startProgram(const std::filesystem::path& program, const std::vector<std::string>& args,
                   const std::filesystem::path& workDir, int outputFd);

// A program started by the startProgram below and not yet finished.
struct RunningProgram {
    pid_t pid = -1;
    int outputFd = -1; // the read end of the pipe that is its standard output
    int errorFd = -1;  // the read end of the pipe that is its standard error
};

// Starts `program` as runProgram does, its standard output on a pipe, and returns at once, for
// tests that act while it runs. Every program started so must be given to finishProgram.
RunningProgram startProgram(const std::filesystem::path& program,
                            const std::vector<std::string>& args,
                            const std::filesystem::path& workDir);

// True once the program has ended (its output may still be unread).
bool hasEnded(const RunningProgram& running);

// Reads the program's standard output and standard error to the end and waits for it to end.
ProgramResult finishProgram(RunningProgram& running);

// Waits for a child of startProgram to end: its exit status, 128 + the signal number if a signal
// ended it, or -1 if there is no such child.
int waitForProgram(pid_t child);
#endif

} // namespace doz2era::test
