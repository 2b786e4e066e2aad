#include "app/platform.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__linux__)
#include <linux/magic.h>
#include <sys/vfs.h>
#endif

namespace doz2era {
namespace {

int descriptor(const FileHandle& file) {
    return static_cast<int>(file.native);
}

// One read() or write() moves at most this much: Linux caps a call just below 2 GiB anyway.
constexpr std::size_t kMaxCall = std::size_t{1} << 30;

// Calls `call(done, count)`, one read or write of `count` bytes from byte `done` on that returns
// how many moved, until all `size` bytes have; again after a signal. False on an error, or when a
// call moves nothing (the end of the file, a device that takes no more).
template <typename Call> bool moveAll(std::size_t size, Call call) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = call(done, std::min(size - done, kMaxCall));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

FileHandle::~FileHandle() {
    if (isOpen()) {
        ::close(descriptor(*this));
    }
}

SourceStatus openSource(const char* path, FileHandle& file, std::uint64_t& size) {
    // O_NONBLOCK: opening a FIFO without a writer must not wait for one.
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return SourceStatus::CannotOpen;
    }
    file.native = fd;
    struct stat info {};
    // Only a regular file has a size to trust: a directory, FIFO or device (/dev/zero) has none.
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0) {
        return SourceStatus::CannotRead;
    }
    size = static_cast<std::uint64_t>(info.st_size);
    return SourceStatus::Opened;
}

bool readAt(const FileHandle& file, std::uint64_t offset, std::span<std::uint8_t> into) {
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) - into.size()) {
        return false;
    }
    // 0 bytes read: the file ends before the bytes asked for (it shrank since its size was taken).
    return moveAll(into.size(), [&](std::size_t done, std::size_t count) {
        return ::pread(descriptor(file), into.data() + done, count,
                       static_cast<off_t>(offset + done));
    });
}

bool openDestination(const char* path, FileHandle& file) {
    // O_NONBLOCK: a FIFO without a reader fails at once (ENXIO) instead of waiting for one. No
    // O_TRUNC: the file is truncated only once this run holds the lock.
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        return false;
    }
    file.native = fd;
    // The writes themselves may wait (a FIFO whose reader is slow). F_SETFL changes only the
    // status flags (O_NONBLOCK, O_APPEND and the like), none of which this run wants.
    if (::fcntl(fd, F_SETFL, 0) != 0) {
        return false;
    }
    // Waits while another run writes this destination. A file system without locks (ENOLCK,
    // EINVAL, EOPNOTSUPP on some network mounts) still gets its conversion, unprotected.
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            break;
        }
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        return false;
    }
    // A FIFO or a device (/dev/null) has nothing to truncate, nor has a new file. An empty file
    // with blocks still holds space that a killed run set aside: the truncation frees it.
    const bool empty = info.st_size == 0 && info.st_blocks == 0;
    return !S_ISREG(info.st_mode) || empty || ::ftruncate(fd, 0) == 0;
}

#if defined(__linux__)
void reserveSpace(const FileHandle& file, std::uint64_t size) {
    // Without it, ext4 and others reserve and map the destination block by block as the writes
    // arrive, a sixth of the time a large picture takes. A file under 1 MiB leaves in a few
    // writes: not worth the call.
    constexpr std::uint64_t kWorthReserving = std::uint64_t{1} << 20;
    if (size <= kWorthReserving ||
        size > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
        return;
    }
    const int fd = descriptor(file);
    struct stat info {};
    struct statfs fileSystem {};
    // Only a regular file has blocks; tmpfs has none to set aside and would only fill memory
    // pages ahead of the writes.
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || ::fstatfs(fd, &fileSystem) != 0 ||
        fileSystem.f_type == TMPFS_MAGIC) {
        return;
    }
    // FALLOC_FL_KEEP_SIZE: the file size stays as written. A refusal (a file system without the
    // call, no space left) is ignored: the writes then decide.
    static_cast<void>(::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size)));
}

void releaseUnwritten(const FileHandle& file) {
    const int fd = descriptor(file);
    struct stat info {};
    // Truncating a file to its own size frees the blocks set aside past its end.
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        static_cast<void>(::ftruncate(fd, info.st_size));
    }
}
#else
void reserveSpace(const FileHandle&, std::uint64_t) {}

void releaseUnwritten(const FileHandle&) {}
#endif

bool writeAll(const FileHandle& file, std::span<const std::uint8_t> bytes) {
    return moveAll(bytes.size(), [&](std::size_t done, std::size_t count) {
        return ::write(descriptor(file), bytes.data() + done, count);
    });
}

bool closeFile(FileHandle& file) {
    const int fd = descriptor(file);
    file.native = FileHandle::kClosed;
    // After close() the descriptor is gone whatever it returns (even EINTR on Linux): no retry.
    return ::close(fd) == 0;
}

bool sameFile(const char* first, const char* second) {
    struct stat a {};
    struct stat b {};
    return ::stat(first, &a) == 0 && ::stat(second, &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

std::string lastErrorText() {
    // The program never calls setlocale: the texts are those of the C locale, in English.
    return std::strerror(errno);
}

bool currentSize(const FileHandle& file, std::uint64_t& size) {
    struct stat info {};
    if (::fstat(descriptor(file), &info) != 0 || info.st_size < 0) {
        return false;
    }
    size = static_cast<std::uint64_t>(info.st_size);
    return true;
}

bool isSpecialFile(const char* path) {
    struct stat info {};
    return ::stat(path, &info) == 0 && !S_ISREG(info.st_mode);
}

bool createFileBeside(const char* destination, const char* prefix, FileHandle& file,
                      std::string& path) {
    const std::string_view whole{destination};
    const std::size_t slash = whole.rfind('/');
    std::string name{slash == std::string_view::npos ? std::string_view{}
                                                     : whole.substr(0, slash + 1)};
    name += prefix;
    name += "XXXXXX"; // replaced by mkostemp with a part that makes the name new
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    file.native = fd;
    // mkostemp creates the file with mode 0600; open(path, O_CREAT, 0666) would give 0666 less
    // the umask, which only umask() itself can tell.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (::fchmod(fd, 0666 & ~mask) != 0) {
        const int error = errno;
        ::unlink(name.c_str());
        errno = error;
        return false;
    }
    path = std::move(name);
    return true;
}

bool replaceFile(const char* from, const char* to) {
    return ::rename(from, to) == 0;
}

bool removeFile(const char* path) {
    return ::unlink(path) == 0;
}

void useBinaryStandardStreams() {
    // POSIX streams do not translate line ends.
}

bool openStandardOutput(FileHandle& file) {
    if (::fcntl(STDOUT_FILENO, F_GETFD) < 0) {
        return false;
    }
    file.native = STDOUT_FILENO;
    return true;
}

bool outputIsTerminal() {
    return ::isatty(STDOUT_FILENO) == 1;
}

void writeOutput(std::string_view text) {
    // One write of at most PIPE_BUF bytes (4096 on Linux, far above the longest line) into a pipe
    // is never mixed with another process's write; on a file opened for appending, one write lands
    // whole at the end. Only a signal or a full device leaves a part for a second write.
    static_cast<void>(moveAll(text.size(), [&](std::size_t done, std::size_t count) {
        return ::write(STDOUT_FILENO, text.data() + done, count);
    }));
}

} // namespace doz2era
