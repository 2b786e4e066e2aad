#include "kvd/kvd_writer.h"

#include <array>
#include <cstring>

namespace doz2era {
namespace {

bool writeBlock(const void* bytes, std::size_t count, std::FILE* stream) {
    return std::fwrite(bytes, 1, count, stream) == count;
}

// The runs are the hot loop: a large picture is a few hundred thousand runs, each one run byte and
// one block of pixels. Where the C library has them, the runs go through its unlocked stream
// calls, which skip taking the stream's lock on every call (the writers are the stream's only
// user while they run); elsewhere through the standard calls. Both write the same bytes.
// AddressSanitizer checks the bytes that fwrite reads but not those of fwrite_unlocked: a
// sanitized build takes the standard calls, so that a row read past the block is reported.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define DOZ2ERA_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define DOZ2ERA_ADDRESS_SANITIZER 1
#endif

#if defined(__GLIBC__) && !defined(DOZ2ERA_ADDRESS_SANITIZER)
bool putRunByte(unsigned char value, std::FILE* stream) {
    return putc_unlocked(value, stream) != EOF;
}

bool putPixels(const std::uint8_t* bytes, std::size_t count, std::FILE* stream) {
    return fwrite_unlocked(bytes, 1, count, stream) == count;
}
#else
bool putRunByte(unsigned char value, std::FILE* stream) {
    return std::fputc(value, stream) != EOF;
}

bool putPixels(const std::uint8_t* bytes, std::size_t count, std::FILE* stream) {
    return writeBlock(bytes, count, stream);
}
#endif

void putU16le(std::uint8_t* at, std::uint32_t value) {
    at[0] = static_cast<std::uint8_t>(value);
    at[1] = static_cast<std::uint8_t>(value >> 8);
}

void putU32le(std::uint8_t* at, std::uint64_t value) {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

bool writeRows(const SourceImage& image, const RunRule& rule, std::FILE* stream) {
    // A row of width 0 writes nothing, and its address may lie past the end of the block.
    if (image.width == 0) {
        return true;
    }
    for (std::uint32_t r = 0; r < image.height; ++r) {
        if (!writeRuns(sourceRow(image, r), image.width, rule.bytesPerPixel, rule.maxRun, rule.bias,
                       stream)) {
            return false;
        }
    }
    return true;
}

} // namespace

bool writeRuns(const std::uint8_t* row, std::uint32_t width, std::uint32_t bytesPerPixel,
               std::uint32_t maxRun, std::uint32_t bias, std::FILE* stream) {
    for (std::uint32_t p = 0; p < width; p += maxRun) {
        const std::uint32_t n = width - p < maxRun ? width - p : maxRun;
        const auto runByte = static_cast<unsigned char>(n + bias);
        if (!putRunByte(runByte, stream) || !putPixels(row + std::size_t{p} * bytesPerPixel,
                                                       std::size_t{n} * bytesPerPixel, stream)) {
            return false;
        }
    }
    return true;
}

// 24-bit KVD header, little-endian:
//   offset size content
//   0      4    magic B9 AA B3 B3
//   4      2    width
//   6      2    height
//   8      ...  the rows, top row first, as runs of at most 251 pixels (run byte n + 4)
bool writeLayout24(const SourceImage& image, std::FILE* stream) {
    std::array<std::uint8_t, kHeaderSize24> header{0xB9, 0xAA, 0xB3, 0xB3};
    putU16le(&header[4], image.width);
    putU16le(&header[6], image.height);
    return writeBlock(header.data(), header.size(), stream) && writeRows(image, kRuns24, stream);
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
bool writeLayout32(const SourceImage& image, std::FILE* stream) {
    std::array<std::uint8_t, kHeaderSize32> header{};
    std::memcpy(header.data(), "ZOR00000", 8);
    putU16le(&header[8], image.width);
    putU16le(&header[10], image.height);
    putU16le(&header[14], 0x1120);
    header[16] = 0x30;
    putU32le(&header[20], bodyLength32(image.width, image.height));
    header[24] = 0x30;
    return writeBlock(header.data(), header.size(), stream) && writeRows(image, kRuns32, stream);
}

} // namespace doz2era
