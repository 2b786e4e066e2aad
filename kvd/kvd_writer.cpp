#include "kvd/kvd_writer.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

namespace doz2era {
namespace {

void putBytes(const std::uint8_t* bytes, std::size_t count, OutputBuffer& out) {
    while (count > out.capacity - out.used) {
        const std::size_t part = out.capacity - out.used;
        std::memcpy(out.bytes.get() + out.used, bytes, part);
        out.used = out.capacity;
        if (!out.flush()) {
            return;
        }
        bytes += part;
        count -= part;
    }
    std::memcpy(out.bytes.get() + out.used, bytes, count);
    out.used += count;
}

void putByte(std::uint8_t value, OutputBuffer& out) {
    if (out.used == out.capacity && !out.flush()) {
        return;
    }
    out.bytes[out.used++] = value;
}

// Writes pixels first .. first + count - 1 of a row of `width` pixels, whose bytes start at
// `pixels`: a run byte goes before every pixel that starts a run, so a row handed over in pieces
// gives the same runs as the whole row.
bool writeRunPixels(const std::uint8_t* pixels, std::uint32_t first, std::uint32_t count,
                    std::uint32_t width, const RunRule& rule, OutputBuffer& out) {
    const std::uint32_t end = first + count;
    for (std::uint32_t p = first; p < end && !out.failed;) {
        if (p % rule.maxRun == 0) {
            const std::uint32_t n = std::min(width - p, rule.maxRun);
            putByte(static_cast<std::uint8_t>(n + rule.bias), out);
        }
        // Up to the end of this run or of the piece, whichever comes first.
        const std::uint32_t runEnd = std::min((p / rule.maxRun + 1) * rule.maxRun, width);
        const std::uint32_t stop = std::min(runEnd, end);
        putBytes(pixels + std::size_t{p - first} * rule.bytesPerPixel,
                 std::size_t{stop - p} * rule.bytesPerPixel, out);
        p = stop;
    }
    return !out.failed;
}

void putU16le(std::uint8_t* at, std::uint32_t value) {
    at[0] = static_cast<std::uint8_t>(value);
    at[1] = static_cast<std::uint8_t>(value >> 8);
}

void putU32le(std::uint8_t* at, std::uint64_t value) {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

// Reads the BMP rows bottom row of the file last and writes them top row first as runs. Where
// whole rows fit the window, one read brings as many as fit and they are written from the last
// one back; a row longer than the window is read and written in pieces from its first pixel on.
WriteStatus writeRows(const SourceImage& image, const RunRule& rule, const ReadAt& read,
                      std::size_t windowBytes, OutputBuffer& out) {
    // A row of width 0 writes nothing, and its offset may lie past the end of the file.
    if (image.width == 0 || image.height == 0) {
        return WriteStatus::Written;
    }
    // At least one pixel a read, so that every piece moves on.
    const std::size_t window = std::max<std::size_t>(windowBytes, rule.bytesPerPixel);
    // A stride is below 2^20 (16-bit width times at most 4, plus fill), so it fits std::size_t.
    const auto stride = static_cast<std::size_t>(image.rowStride);

    if (stride <= window) {
        const std::size_t rowsPerWindow = std::min<std::size_t>(window / stride, image.height);
        // Not zero-filled, and no larger than the rows: a small sprite touches no more memory
        // than it needs (thousands of them are converted one process each).
        const auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(rowsPerWindow * stride);
        for (std::uint32_t r = 0; r < image.height;) {
            const auto rows =
                static_cast<std::uint32_t>(std::min<std::size_t>(rowsPerWindow, image.height - r));
            // Output rows r .. r + rows - 1; the last of them lies first in the file.
            if (!read(sourceRow(image, r + rows - 1), {buffer.get(), rows * stride})) {
                return WriteStatus::ReadFailed;
            }
            for (std::uint32_t i = 0; i < rows; ++i) {
                const std::uint8_t* row = buffer.get() + (rows - 1 - i) * stride;
                if (!writeRunPixels(row, 0, image.width, image.width, rule, out)) {
                    return WriteStatus::WriteFailed;
                }
            }
            r += rows;
        }
        return WriteStatus::Written;
    }

    const auto piecePixels = static_cast<std::uint32_t>(window / rule.bytesPerPixel);
    const auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(std::size_t{piecePixels} *
                                                                       rule.bytesPerPixel);
    for (std::uint32_t r = 0; r < image.height; ++r) {
        const std::uint64_t rowStart = sourceRow(image, r);
        for (std::uint32_t p = 0; p < image.width;) {
            const std::uint32_t n = std::min(piecePixels, image.width - p);
            const std::size_t bytes = std::size_t{n} * rule.bytesPerPixel;
            if (!read(rowStart + std::uint64_t{p} * rule.bytesPerPixel, {buffer.get(), bytes})) {
                return WriteStatus::ReadFailed;
            }
            if (!writeRunPixels(buffer.get(), p, n, image.width, rule, out)) {
                return WriteStatus::WriteFailed;
            }
            p += n;
        }
    }
    return WriteStatus::Written;
}

WriteStatus writeLayout(const std::uint8_t* header, std::size_t headerSize,
                        const SourceImage& image, const RunRule& rule, const ReadAt& read,
                        const WriteBytes& write, std::size_t windowBytes) {
    // No larger than the whole layout: a sprite's buffer comes from the heap, not a fresh mapping.
    const std::uint64_t layoutSize = headerSize + runBytesPerRow(rule, image.width) * image.height;
    OutputBuffer out{write,
                     static_cast<std::size_t>(std::min<std::uint64_t>(windowBytes, layoutSize))};
    putBytes(header, headerSize, out);
    const WriteStatus rows = writeRows(image, rule, read, windowBytes, out);
    if (rows != WriteStatus::Written) {
        return rows;
    }
    return out.flush() ? WriteStatus::Written : WriteStatus::WriteFailed;
}

} // namespace

OutputBuffer::OutputBuffer(WriteBytes sink, std::size_t size)
    : write(std::move(sink)), capacity(std::max<std::size_t>(size, 1)) {
    bytes = std::make_unique_for_overwrite<std::uint8_t[]>(capacity);
}

bool OutputBuffer::flush() {
    if (!failed && used > 0) {
        failed = !write({bytes.get(), used});
        used = 0;
    }
    return !failed;
}

bool writeRuns(const std::uint8_t* row, std::uint32_t width, std::uint32_t bytesPerPixel,
               std::uint32_t maxRun, std::uint32_t bias, OutputBuffer& out) {
    return writeRunPixels(row, 0, width, width, RunRule{bytesPerPixel, maxRun, bias}, out);
}

// 24-bit KVD header, little-endian:
//   offset size content
//   0      4    magic B9 AA B3 B3
//   4      2    width
//   6      2    height
//   8      ...  the rows, top row first, as runs of at most 251 pixels (run byte n + 4)
WriteStatus writeLayout24(const SourceImage& image, const ReadAt& read, const WriteBytes& write,
                          std::size_t windowBytes) {
    std::array<std::uint8_t, kHeaderSize24> header{0xB9, 0xAA, 0xB3, 0xB3};
    putU16le(&header[4], image.width);
    putU16le(&header[6], image.height);
    return writeLayout(header.data(), header.size(), image, kRuns24, read, write, windowBytes);
}

// 32-bit KVD header, 48 bytes, little-endian, every byte not listed is zero:
//   offset size content
//   0      8    signature "ZOR00000"
//   8      2    width
//   10     2    height
//   14     2    0x1120
//   16     1    0x30
//   20     4    body length: the bytes after the header
//   24     1    0x30
//   48     ...  the rows, top row first, as runs of at most 244 pixels (run byte n + 11)
WriteStatus writeLayout32(const SourceImage& image, const ReadAt& read, const WriteBytes& write,
                          std::size_t windowBytes) {
    std::array<std::uint8_t, kHeaderSize32> header{};
    std::memcpy(header.data(), "ZOR00000", 8);
    putU16le(&header[8], image.width);
    putU16le(&header[10], image.height);
    putU16le(&header[14], 0x1120);
    header[16] = 0x30;
    putU32le(&header[20], bodyLength32(image.width, image.height));
    header[24] = 0x30;
    return writeLayout(header.data(), header.size(), image, kRuns32, read, write, windowBytes);
}

} // namespace doz2era
