#include "app/console.h"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <climits>
#else
#include <unistd.h>

#include <cerrno>
#endif

namespace doz2era {

#if defined(_WIN32)
bool outputIsTerminal() {
    // A console answers GetConsoleMode; a pipe, a file or NUL (which _isatty takes for a
    // terminal) does not.
    DWORD mode = 0;
    return ::GetConsoleMode(reinterpret_cast<HANDLE>(::_get_osfhandle(1)), &mode) != 0;
}

void writeOutput(std::string_view text) {
    // Standard output is in binary mode (see main): _write passes the bytes unchanged.
    while (!text.empty()) {
        const auto chunk = static_cast<unsigned>(std::min<std::size_t>(text.size(), INT_MAX));
        const int written = ::_write(1, text.data(), chunk);
        if (written <= 0) {
            return;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}
#else
bool outputIsTerminal() {
    return ::isatty(STDOUT_FILENO) == 1;
}

void writeOutput(std::string_view text) {
    // One write of at most PIPE_BUF bytes (4096 on Linux, far above the longest line) into a pipe
    // is never mixed with another process's write; on a file opened for appending, one write lands
    // whole at the end. Only a signal or a full device leaves a part for a second write.
    while (!text.empty()) {
        const ssize_t written = ::write(STDOUT_FILENO, text.data(), text.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}
#endif

} // namespace doz2era
