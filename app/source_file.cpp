#include "app/source_file.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <new>
#include <system_error>

#if defined(__unix__) || defined(__APPLE__)
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#define DOZ2ERA_POSIX 1
#endif

#if defined(__linux__)
#include <linux/magic.h>
#include <sys/vfs.h>
#endif

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <io.h>
#include <windows.h>
#endif

namespace doz2era {
namespace {

// Output buffer of the destination stream: large enough that a row of runs rarely needs more than
// one write, small beside any picture worth timing.
constexpr std::size_t kOutputBufferSize = std::size_t{1} << 20;

std::uint8_t* allocateBlock(std::size_t size) {
    // malloc(0) may return null; a one-byte block keeps "null" meaning "out of memory".
    return static_cast<std::uint8_t*>(std::malloc(size == 0 ? 1 : size));
}

#if DOZ2ERA_POSIX
// Reading a large picture into fresh 4 KiB pages costs one page fault per page, about as much as
// the whole rest of the conversion. A block of at least one huge page is therefore aligned to
// the huge page size and offered to the kernel for transparent huge pages: one fault per 2 MiB.
// The advice is only a hint: where it is refused the block is just a plain block.
constexpr std::size_t kHugePageSize = std::size_t{2} << 20;

std::uint8_t* allocateLargeBlock(std::size_t size) {
    if (size < kHugePageSize || size > SIZE_MAX - kHugePageSize) {
        return allocateBlock(size);
    }
    // Whole huge pages only (the last one would otherwise be left to 4 KiB pages): the block
    // takes less than 2 MiB more memory than the file.
    const std::size_t rounded = (size + kHugePageSize - 1) / kHugePageSize * kHugePageSize;
    void* block = nullptr;
    if (::posix_memalign(&block, kHugePageSize, rounded) != 0) {
        return nullptr;
    }
#ifdef MADV_HUGEPAGE
    static_cast<void>(::madvise(block, rounded, MADV_HUGEPAGE));
#endif
    return static_cast<std::uint8_t*>(block);
}

struct FileDescriptor {
    int fd = -1;
    ~FileDescriptor() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};
#endif

} // namespace

void BlockDeleter::operator()(std::uint8_t* block) const noexcept {
    std::free(block);
}

void StreamCloser::operator()(std::FILE* stream) const noexcept {
    std::fclose(stream);
}

#if DOZ2ERA_POSIX
LoadStatus loadSource(const char* path, SourceBlock& block) {
    // O_NONBLOCK: opening a FIFO without a writer must not wait for one.
    FileDescriptor file{::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
    if (file.fd < 0) {
        return LoadStatus::CannotOpen;
    }
    struct stat info {};
    // Only a regular file has a size to trust: a directory, FIFO or device (/dev/zero) has none.
    if (::fstat(file.fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0) {
        return LoadStatus::CannotRead;
    }
    const auto size = static_cast<std::size_t>(info.st_size);
    block.bytes.reset(allocateLargeBlock(size));
    if (!block.bytes) {
        return LoadStatus::CannotRead;
    }
    block.size = size;
    // read() may deliver less than asked (Linux caps one call near 2 GiB); go on until the end.
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = ::read(file.fd, block.bytes.get() + got, size - got);
        if (n <= 0) {
            return LoadStatus::CannotRead;
        }
        got += static_cast<std::size_t>(n);
    }
    return LoadStatus::Loaded;
}
#else
LoadStatus loadSource(const char* path, SourceBlock& block) {
    std::unique_ptr<std::FILE, StreamCloser> file{std::fopen(path, "rb")};
    if (!file) {
        return LoadStatus::CannotOpen;
    }
#if defined(_WIN32)
    // Only a disk file has a size to trust: a device (NUL, CON, COM1, in any folder and with any
    // extension) or a pipe has none.
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file.get())));
    if (::GetFileType(handle) != FILE_TYPE_DISK || _fseeki64(file.get(), 0, SEEK_END) != 0) {
        return LoadStatus::CannotRead;
    }
    const long long end = _ftelli64(file.get());
#else
    if (std::fseek(file.get(), 0, SEEK_END) != 0) {
        return LoadStatus::CannotRead;
    }
    const long long end = std::ftell(file.get());
#endif
    if (end < 0 || std::fseek(file.get(), 0, SEEK_SET) != 0) {
        return LoadStatus::CannotRead;
    }
    const auto size = static_cast<std::size_t>(end);
    block.bytes.reset(allocateBlock(size));
    if (!block.bytes) {
        return LoadStatus::CannotRead;
    }
    block.size = size;
    if (std::fread(block.bytes.get(), 1, size, file.get()) != size) {
        return LoadStatus::CannotRead;
    }
    return LoadStatus::Loaded;
}
#endif

bool createDestination(const char* path, DestinationStream& destination) {
    destination.stream.reset(std::fopen(path, "wb"));
    if (!destination.stream) {
        return false;
    }
    destination.buffer.reset(new (std::nothrow) char[kOutputBufferSize]);
    if (destination.buffer) {
        std::setvbuf(destination.stream.get(), destination.buffer.get(), _IOFBF, kOutputBufferSize);
    }
    return true;
}

#if defined(__linux__)
void reserveDestination(DestinationStream& destination, std::uint64_t size) {
    // Without the hint, ext4 and others reserve and map the destination 4 KiB block by 4 KiB
    // block as the writes arrive, a good part of the time a large picture takes. A file that
    // fits the output buffer leaves in one write anyway: not worth the call.
    if (size <= kOutputBufferSize ||
        size > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
        return;
    }
    const int fd = ::fileno(destination.stream.get());
    struct statfs fileSystem {};
    // tmpfs has no blocks to set aside: it would only fill memory pages ahead of the writes.
    if (fd < 0 || ::fstatfs(fd, &fileSystem) != 0 || fileSystem.f_type == TMPFS_MAGIC) {
        return;
    }
    // FALLOC_FL_KEEP_SIZE: the file size stays as written. A refusal (a device, a file system
    // without the call, no space left) is ignored: the writes then decide.
    static_cast<void>(::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size)));
}
#else
void reserveDestination(DestinationStream&, std::uint64_t) {}
#endif

bool closeDestination(DestinationStream& destination) {
    std::FILE* stream = destination.stream.release();
    const bool flushed = std::ferror(stream) == 0;
    return std::fclose(stream) == 0 && flushed;
}

bool sameFile(const char* first, const char* second) {
    std::error_code error;
    return std::filesystem::equivalent(first, second, error) && !error;
}

} // namespace doz2era
