#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

// The few places where the conversion run touches the operating system: loading the source file
// into one block, and creating the destination stream. Everything here releases what it took on
// every path.
namespace doz2era {

struct BlockDeleter {
    void operator()(std::uint8_t* block) const noexcept;
};

// The whole source file in one heap block (not zero-filled: every byte is read from the file).
struct SourceBlock {
    std::unique_ptr<std::uint8_t[], BlockDeleter> bytes;
    std::size_t size = 0;
};

enum class LoadStatus {
    Loaded,
    CannotOpen, // the file does not exist or may not be opened
    CannotRead, // opened, but not a regular file, too large for memory, or read short
};

// Reads the whole file at `path` into `block` with one read. Never blocks on a FIFO or device.
LoadStatus loadSource(const char* path, SourceBlock& block);

struct StreamCloser {
    void operator()(std::FILE* stream) const noexcept;
};

// A destination stream with its own large output buffer, so that the runs leave in large writes.
struct DestinationStream {
    std::unique_ptr<char[]> buffer; // declared first: it must outlive the stream that uses it
    std::unique_ptr<std::FILE, StreamCloser> stream;
};

// Creates (or truncates) the file at `path` for writing in binary mode; false if it cannot.
bool createDestination(const char* path, DestinationStream& destination);

// Tells the file system, where it can be told, that `size` bytes are about to be written to the
// destination, so that it sets the space aside in one step instead of block by block while the
// runs arrive. A hint only: the file keeps its size, and its content, the outcome and the message
// are the same whether or not the hint is taken.
void reserveDestination(DestinationStream& destination, std::uint64_t size);

// Flushes and closes the stream; true only if every buffered byte reached the file.
bool closeDestination(DestinationStream& destination);

// True if both paths name one existing file (the same name, a link, or another spelling of it).
bool sameFile(const char* first, const char* second);

} // namespace doz2era
