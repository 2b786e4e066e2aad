#include "app/platform.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace doz2era {
namespace {

int descriptor(const FileHandle& file) {
    return static_cast<int>(file.native);
}

// One read() or write() moves at most this much: Linux caps a call just below 2 GiB anyway.
constexpr std::size_t kMaxCall = std::size_t{1} << 30;

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
    std::uint8_t* at = into.data();
    std::size_t left = into.size();
    while (left > 0) {
        if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
            return false;
        }
        const ssize_t n = ::pread(descriptor(file), at, left < kMaxCall ? left : kMaxCall,
                                  static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        // 0: the file ends before the bytes asked for (it shrank since its size was taken).
        if (n <= 0) {
            return false;
        }
        at += n;
        left -= static_cast<std::size_t>(n);
        offset += static_cast<std::uint64_t>(n);
    }
    return true;
}

bool openDestination(const char* path, FileHandle& file) {
    // O_NONBLOCK: a FIFO without a reader fails at once (ENXIO) instead of waiting for one. No
    // O_TRUNC: the file is truncated only once this run holds the lock.
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        return false;
    }
    file.native = fd;
    // The writes themselves may wait (a FIFO whose reader is slow).
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
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
    // A FIFO or a device (/dev/null) has nothing to truncate.
    return !S_ISREG(info.st_mode) || ::ftruncate(fd, 0) == 0;
}

bool writeAll(const FileHandle& file, std::span<const std::uint8_t> bytes) {
    const std::uint8_t* at = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(descriptor(file), at, left < kMaxCall ? left : kMaxCall);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        at += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
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

#ifdef __linux__
void reserveSpace(const FileHandle& file, std::uint64_t size) {
    if (size <= static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
        static_cast<void>(
            ::fallocate(descriptor(file), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size)));
    }
}
#else
void reserveSpace(const FileHandle&, std::uint64_t) {
    // posix_fallocate would change the size, and where the file system cannot reserve space it
    // writes zeros: slower than the writes it is meant to speed up.
}
#endif

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

} // namespace doz2era
