#pragma once

#include "bmp/source_image.h"
#include "kvd/byte_io.h"
#include "kvd/layout.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace doz2era {

// Bytes waiting to go out through `write`: the writers put the header and the runs here and send
// them on whenever the buffer is full, so that the output leaves in large writes. Once a write
// has failed, nothing more is sent and `failed` stays set.
struct OutputBuffer {
    OutputBuffer(WriteBytes sink, std::size_t capacity);

    // Sends what is buffered; false if this or an earlier write failed.
    bool flush();

    WriteBytes write;
    std::unique_ptr<std::uint8_t[]> bytes; // not zero-filled: only what was put is sent
    std::size_t capacity = 0;
    std::size_t used = 0;
    bool failed = false;
};

// Writes one row of `width` pixels as runs of at most `maxRun` pixels, each run opened by the byte
// n + bias. A row of width 0 writes nothing. False once a write of `out` has failed.
bool writeRuns(const std::uint8_t* row, std::uint32_t width, std::uint32_t bytesPerPixel,
               std::uint32_t maxRun, std::uint32_t bias, OutputBuffer& out);

enum class WriteStatus {
    Written,     // every byte of the layout went out
    ReadFailed,  // a pixel row could not be read (the source shrank, or a read error)
    WriteFailed, // a write did not take every byte
};

// Write a validated Depth24 / Depth32 source as its KVD layout. The pixel rows are read through
// `read` (offsets in the source file), bottom row of the file last, at most `windowBytes` bytes at
// a time (a row longer than that is read in pieces); the layout goes out through `write` in
// pieces of at most `windowBytes`. Memory use is about twice `windowBytes`, whatever the picture.
// Callers check fitsLayout first. On a failure the bytes sent before it stay sent.
WriteStatus writeLayout24(const SourceImage& image, const ReadAt& read, const WriteBytes& write,
                          std::size_t windowBytes);
WriteStatus writeLayout32(const SourceImage& image, const ReadAt& read, const WriteBytes& write,
                          std::size_t windowBytes);

} // namespace doz2era
