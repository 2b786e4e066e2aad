#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// What the programs need of the operating system: open a source and read it at offsets, open a
// destination that no other run writes at the same time, write it and close it; for a destination
// that must appear whole or not at all, a new file beside it that is renamed over it once complete.
// One source file per platform family implements it (platform_posix.cpp, platform_windows.cpp).
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

// The system's description of the error of the last call above that failed (strerror(errno) in the
// C locale, or the text of GetLastError()), for a message: one line, no final full stop.
std::string lastErrorText();

// Sets `size` to the size the open file has now; false if the system cannot tell.
bool currentSize(const FileHandle& file, std::uint64_t& size);

// True if `path` names something that exists and is not a regular file once links are followed:
// a device (/dev/null, NUL), a FIFO, a folder. Such a destination is written in place
// (openDestination): renaming a file over it would replace the device or the FIFO itself.
bool isSpecialFile(const char* path);

// Creates a new, empty file for writing in the folder of `destination` (the part of the path up to
// its last separator; the current folder if it has none), named `prefix` followed by a random part
// that no file there has yet, and sets `path` to its name. It gets the permissions that creating
// `destination` would give it (0666 less the umask on POSIX systems). The folder being the
// destination's, replaceFile can later put it in place in one step. False if the folder is missing
// or cannot be written.
bool createFileBeside(const char* destination, const char* prefix, FileHandle& file,
                      std::string& path);

// Renames the closed file `from` to `to`, replacing a file of that name in one step: a reader of
// `to` sees either the old file or the new one. False if it failed; then `from` is still there.
bool replaceFile(const char* from, const char* to);

// Deletes the file at `path`; false if it could not be deleted.
bool removeFile(const char* path);

// Makes standard output and standard error binary streams, so that a byte 0x0A leaves as it is and
// not as "\r\n" (Windows; nothing to do elsewhere). Called once, before anything is printed.
void useBinaryStandardStreams();

// Sets `file` to standard output, for writing a file's bytes there with writeAll; closeFile
// closes it, and its result says whether the last bytes went out. False if there is none.
bool openStandardOutput(FileHandle& file);

// True if standard output is a terminal (a console on Windows); false for a pipe, a file or a
// device that is not a terminal.
bool outputIsTerminal();

// Writes all of `text` to standard output with as few system writes as the system allows: one
// for any line of doz2era, so that runs sharing a pipe or a log file never split each other's
// lines. No stdio buffer stands between the caller and the system. A write that fails is dropped
// (doz2era's exit status never changes).
void writeOutput(std::string_view text);

} // namespace doz2era
