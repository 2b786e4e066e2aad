#pragma once

#include <cstddef>
#include <cstdint>

namespace doz2era {

// The five BMP header fields that this program reads all lie in the first 29 bytes of the file;
// the depth byte at offset 28 is the last of them.
inline constexpr std::size_t kHeaderFieldsSize = 29;

// A BMP source as the conversion run sees it: the first bytes of the file (enough for the header
// fields), the size of the whole file, and the header fields read from them. The pixel rows stay
// in the file; `sourceRow` says where each one lies. The record does not own `header`: the caller
// keeps those bytes alive for as long as validateSource uses them.
struct SourceImage {
    const std::uint8_t* header = nullptr;
    std::size_t headerSize = 0; // bytes at `header`: the file's first min(fileSize, 29) or more
    std::uint64_t fileSize = 0;

    // Filled by validateSource for Depth24 and Depth32 sources.
    std::uint32_t pixelOffset = 0; // bfOffBits
    std::uint32_t width = 0;       // biWidth, read unsigned
    std::uint32_t height = 0;      // biHeight, read unsigned (a top-down BMP reads as >= 2^31)
    std::uint8_t bitDepth = 0;     // low byte of biBitCount
    std::uint32_t bytesPerPixel = 0;
    std::uint64_t rowStride = 0; // bytes per BMP row, fill bytes included
};

enum class Outcome {
    NotBmp,           // no "BM" signature
    UnsupportedDepth, // depth byte other than 24 and 32
    Corrupt,          // pixel area shorter than the rows need, or header cut short
    Depth24,
    Depth32,
};

// Reads a little-endian field at `offset`; returns 0 when the field does not lie wholly inside
// the `size` bytes at `data`.
std::uint16_t readU16le(const std::uint8_t* data, std::size_t size, std::size_t offset);
std::uint32_t readU32le(const std::uint8_t* data, std::size_t size, std::size_t offset);

// Checks the signature, the depth and the size of the pixel area against the file size, in that
// order, and returns the first that fails. It reads only the `headerSize` bytes at `header`, which
// must hold min(fileSize, kHeaderFieldsSize) bytes at least. For Depth24 and Depth32 it sets every
// geometry field of `image`; for the other outcomes they are unspecified.
Outcome validateSource(SourceImage& image);

// Offset in the file of the first byte of output row `r` (0 is the top row) of a validated source
// with a width above 0. The row holds width * bytesPerPixel pixel bytes.
std::uint64_t sourceRow(const SourceImage& image, std::uint32_t r);

} // namespace doz2era
