#include "app/platform.h"

#include <cerrno>
#include <fcntl.h>
#include <limits>
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
    // A FIFO or a device (/dev/null) has nothing to truncate, nor has a new, empty file.
    return !S_ISREG(info.st_mode) || info.st_size == 0 || ::ftruncate(fd, 0) == 0;
}

#if defined(__linux__)
void reserveSpace(const FileHandle& file, std::uint64_t size) {
    // Without it, ext4 and others reserve and map the destination block by block as the writes
    // arrive, a good part of the time a large picture takes. A file of one window leaves in one
    // write anyway: not worth the call.
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

} // namespace doz2era
