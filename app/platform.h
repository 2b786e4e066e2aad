#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// What the programs need of the operating system: open a source and read it at offsets, open a
// destination that no other run writes at the same time, write it and close it. One source file
// per platform family implements it (platform_posix.cpp, platform_windows.cpp).
namespace doz2era {

// An open file, closed when the handle goes. `native` is a POSIX descriptor or a Windows HANDLE.
struct FileHandle {
    FileHandle() = default;
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle();

    bool isOpen() const { return native != kClosed; }

    static constexpr std::intptr_t kClosed = -1;
    std::intptr_t native = kClosed;
};

enum class SourceStatus {
    Opened,
    CannotOpen, // the file does not exist or may not be opened
    CannotRead, // opened, but not a regular file (a directory, FIFO or device has no size to trust)
};

// Opens the regular file at `path` for reading and sets `size` to its size. Never blocks on a
// FIFO or a device.
SourceStatus openSource(const char* path, FileHandle& file, std::uint64_t& size);

// Reads exactly `into.size()` bytes at `offset`; false on an error or when the file ends first.
bool readAt(const FileHandle& file, std::uint64_t offset, std::span<std::uint8_t> into);

// Opens the destination at `path` for writing, creating it if needed, without waiting for a
// reader (a FIFO that nobody reads is refused). Then waits until no other run holds the
// destination, takes it (an advisory lock, held until the handle is closed) and only then
// truncates a regular file, so that two runs naming one destination never write it at once.
// False if the file cannot be opened, taken or truncated.
bool openDestination(const char* path, FileHandle& file);

// Tells the file system, where it can be told, that `size` bytes are about to be written to the
// destination, so that it sets the space aside in one step instead of block by block while the
// runs arrive (on Linux, fallocate without changing the file size). A hint only: the content,
// the outcome and the message are the same whether or not it is taken. Until the space is
// written or released, it stays set aside past the end of the file.
void reserveSpace(const FileHandle& file, std::uint64_t size);

// Gives back the space that reserveSpace set aside beyond what was written, after a failed
// conversion (the file keeps its size and the bytes written).
void releaseUnwritten(const FileHandle& file);

// Writes every byte of `bytes` at the current position; false if any did not go out.
bool writeAll(const FileHandle& file, std::span<const std::uint8_t> bytes);

// Closes the file now; false if the system reports that the close failed (a write that only shows
// at the close on some file systems).
bool closeFile(FileHandle& file);

// True if both paths name one existing file (the same name, a link, or another spelling of it).
bool sameFile(const char* first, const char* second);

} // namespace doz2era
