#include "run_program.h"

#ifdef _WIN32
#include <thread>
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <sstream>
#endif

#include <cstdlib>

namespace doz2era::test {

#ifdef _WIN32
namespace {

std::wstring widen(const std::string& utf8) {
    if (utf8.empty()) {
        return {};
    }
    const int length =
        ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(),
                          length);
    return wide;
}

// Appends `arg` to a command line so that the C runtime's parser of the child gives it back
// unchanged: quoted, with quotes escaped and backslashes doubled where they precede a quote.
void appendQuoted(std::wstring& commandLine, const std::wstring& arg) {
    commandLine += L" \"";
    std::size_t backslashes = 0;
    for (const wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes are special only before a quote, and so before the closing quote too.
        commandLine.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        commandLine += c;
        backslashes = 0;
    }
    commandLine.append(2 * backslashes, L'\\');
    commandLine += L'"';
}

struct Handle {
    HANDLE handle = nullptr;
    ~Handle() {
        if (handle != nullptr) {
            ::CloseHandle(handle);
        }
    }
};

// A pipe whose write end the child inherits and whose read end stays here.
bool makeChildPipe(Handle& readEnd, Handle& writeEnd, SECURITY_ATTRIBUTES& inheritable) {
    return ::CreatePipe(&readEnd.handle, &writeEnd.handle, &inheritable, 0) &&
           ::SetHandleInformation(readEnd.handle, HANDLE_FLAG_INHERIT, 0);
}

// Appends everything that comes through the pipe until every write end is closed.
void readToEnd(HANDLE pipe, std::string& into) {
    char buffer[4096];
    DWORD n = 0;
    while (::ReadFile(pipe, buffer, sizeof buffer, &n, nullptr) && n > 0) {
        into.append(buffer, n);
    }
}

} // namespace

// Arguments are UTF-8; the child gets them as UTF-16 through CreateProcessW, its standard output
// and error stream are pipes read here to the end, its standard input is the null device.
ProgramResult runProgram(const std::filesystem::path& program, const std::vector<std::string>& args,
                         const std::filesystem::path& workDir) {
    ProgramResult result;
    // A run that cannot start says why in place of the program's output: the test shows it.
    const auto failed = [&result](const char* call) {
        result.output = std::string{"runProgram: "} + call + " failed, error " +
                        std::to_string(::GetLastError());
        return result;
    };
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    Handle readEnd;
    Handle writeEnd;
    Handle errorReadEnd;
    Handle errorWriteEnd;
    if (!makeChildPipe(readEnd, writeEnd, inheritable) ||
        !makeChildPipe(errorReadEnd, errorWriteEnd, inheritable)) {
        return failed("CreatePipe");
    }
    Handle nul{::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_EXISTING, 0,
                             nullptr)};
    if (nul.handle == INVALID_HANDLE_VALUE) {
        nul.handle = nullptr;
        return failed("CreateFileW(NUL)");
    }

    // The program path may lack a drive letter (a build path under Wine): resolve it here, before
    // the child's working folder comes into play.
    const std::wstring application = std::filesystem::absolute(program).wstring();
    std::wstring commandLine = L"\"" + application + L"\"";
    for (const std::string& arg : args) {
        appendQuoted(commandLine, widen(arg));
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nul.handle;
    startup.hStdOutput = writeEnd.handle;
    startup.hStdError = errorWriteEnd.handle;
    PROCESS_INFORMATION child{};
    const std::wstring folder = workDir.wstring();
    if (!::CreateProcessW(application.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0,
                          nullptr, folder.c_str(), &startup, &child)) {
        return failed("CreateProcessW");
    }
    Handle process{child.hProcess};
    Handle thread{child.hThread};
    // Only the child holds the write ends now: the reads below end when the child ends. Both
    // pipes are read at once: a child that fills one while the other is read would wait forever.
    ::CloseHandle(writeEnd.handle);
    writeEnd.handle = nullptr;
    ::CloseHandle(errorWriteEnd.handle);
    errorWriteEnd.handle = nullptr;
    std::thread errorReader(readToEnd, errorReadEnd.handle, std::ref(result.error));
    readToEnd(readEnd.handle, result.output);
    errorReader.join();
    DWORD exitCode = 0;
    ::WaitForSingleObject(process.handle, INFINITE);
    if (::GetExitCodeProcess(process.handle, &exitCode)) {
        result.exitCode = static_cast<int>(exitCode);
    }
    return result;
}
#else
namespace {

struct User {
    uid_t uid;
    gid_t gid;
};

// The user an unprivileged run switches to: `nobody`, when the tests run as root.
std::optional<User> unprivilegedUser() {
    if (::geteuid() != 0) {
        return std::nullopt;
    }
    const passwd* entry = ::getpwnam("nobody");
    if (entry == nullptr) {
        return std::nullopt;
    }
    return User{entry->pw_uid, entry->pw_gid};
}

// Starts the child with its standard output on `outputFd` and, unless it is -1, its standard
// error on `errorFd`; -1 if it cannot be started. Switches to `user` first when one is given.
pid_t start(const std::filesystem::path& program, const std::vector<std::string>& args,
            const std::filesystem::path& workDir, int outputFd, int errorFd,
            const std::optional<User>& user) {
    std::vector<std::string> argStrings;
    if (const char* launcher = std::getenv("DOZ2ERA_TEST_LAUNCHER")) {
        std::istringstream words(launcher);
        for (std::string word; words >> word;) {
            argStrings.push_back(word);
        }
    }
    argStrings.push_back(program.string());
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : argStrings) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);

    const pid_t child = ::fork();
    if (child == 0) {
        if (::chdir(workDir.c_str()) != 0 || ::dup2(outputFd, STDOUT_FILENO) < 0 ||
            (errorFd >= 0 && ::dup2(errorFd, STDERR_FILENO) < 0)) {
            ::_exit(126);
        }
        // Groups first: after setuid the child may no longer change them.
        if (user && (::setgroups(0, nullptr) != 0 || ::setgid(user->gid) != 0 ||
                     ::setuid(user->uid) != 0)) {
            ::_exit(125);
        }
        // The timer outlives execv: a program that hangs is ended by SIGALRM.
        ::alarm(kRunTimeLimitSeconds);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return child;
}

// Starts the child with its standard output and standard error on new pipes, whose read ends
// it returns.
RunningProgram startPiped(const std::filesystem::path& program,
                          const std::vector<std::string>& args,
                          const std::filesystem::path& workDir, const std::optional<User>& user) {
    RunningProgram running;
    // Close-on-exec: a program started meanwhile does not inherit the pipes, so the reads of
    // finishProgram end when this child ends. dup2 clears the flag on the child's own ends.
    int pipeFds[2];
    int errorFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        return running;
    }
    if (::pipe2(errorFds, O_CLOEXEC) != 0) {
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        return running;
    }
    const pid_t child = start(program, args, workDir, pipeFds[1], errorFds[1], user);
    ::close(pipeFds[1]);
    ::close(errorFds[1]);
    if (child < 0) {
        ::close(pipeFds[0]);
        ::close(errorFds[0]);
        return running;
    }
    running.pid = child;
    running.outputFd = pipeFds[0];
    running.errorFd = errorFds[0];
    return running;
}

ProgramResult spawn(const std::filesystem::path& program, const std::vector<std::string>& args,
                    const std::filesystem::path& workDir, const std::optional<User>& user) {
    RunningProgram running = startPiped(program, args, workDir, user);
    return finishProgram(running);
}

} // namespace

ProgramResult runProgram(const std::filesystem::path& program, const std::vector<std::string>& args,
                         const std::filesystem::path& workDir) {
    return spawn(program, args, workDir, std::nullopt);
}

ProgramResult runProgramUnprivileged(const std::filesystem::path& program,
                                     const std::vector<std::string>& args,
                                     const std::filesystem::path& workDir) {
    const std::optional<User> user = unprivilegedUser();
    if (::geteuid() == 0 && !user) {
        return {};
    }
    return spawn(program, args, workDir, user);
}

pid_t startProgram(const std::filesystem::path& program, const std::vector<std::string>& args,
                   const std::filesystem::path& workDir, int outputFd) {
    return start(program, args, workDir, outputFd, -1, std::nullopt);
}

RunningProgram startProgram(const std::filesystem::path& program,
                            const std::vector<std::string>& args,
                            const std::filesystem::path& workDir) {
    return startPiped(program, args, workDir, std::nullopt);
}

bool hasEnded(const RunningProgram& running) {
    siginfo_t info{};
    // WNOWAIT: the child stays to be waited for by finishProgram.
    return ::waitid(P_PID, static_cast<id_t>(running.pid), &info, WEXITED | WNOHANG | WNOWAIT) ==
               0 &&
           info.si_pid == running.pid;
}

ProgramResult finishProgram(RunningProgram& running) {
    ProgramResult result;
    if (running.pid < 0) {
        return result;
    }
    // Both pipes are read as their bytes come: a program that fills one while the other is read
    // would wait forever. A pipe is done when its write end is closed (read() gives 0).
    pollfd pipes[2] = {{running.outputFd, POLLIN, 0}, {running.errorFd, POLLIN, 0}};
    std::string* into[2] = {&result.output, &result.error};
    char buffer[4096];
    while (pipes[0].fd >= 0 || pipes[1].fd >= 0) {
        if (::poll(pipes, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (pipes[i].fd < 0 || pipes[i].revents == 0) {
                continue;
            }
            const ssize_t n = ::read(pipes[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                into[i]->append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                ::close(pipes[i].fd);
                pipes[i].fd = -1; // poll() skips it from now on
            }
        }
    }
    for (const pollfd& end : pipes) {
        if (end.fd >= 0) {
            ::close(end.fd);
        }
    }
    result.exitCode = waitForProgram(running.pid);
    running = RunningProgram{};
    return result;
}

int waitForProgram(pid_t child) {
    int status = 0;
    if (::waitpid(child, &status, 0) != child) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool canRunUnprivileged() {
    return ::geteuid() != 0 || unprivilegedUser().has_value();
}
#endif

} // namespace doz2era::test
