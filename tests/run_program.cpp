#include "run_program.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

namespace doz2era::test {

ProgramResult runProgram(const std::filesystem::path& program, const std::vector<std::string>& args,
                         const std::filesystem::path& workDir) {
    ProgramResult result;
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) {
        return result;
    }
    std::vector<std::string> argStrings{program.string()};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : argStrings) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);

    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeFds[0]);
        if (::chdir(workDir.c_str()) != 0 || ::dup2(pipeFds[1], STDOUT_FILENO) < 0) {
            ::_exit(126);
        }
        ::close(pipeFds[1]);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    if (child < 0) {
        ::close(pipeFds[0]);
        return result;
    }
    char buffer[4096];
    ssize_t n = 0;
    while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0) {
        result.output.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

} // namespace doz2era::test
