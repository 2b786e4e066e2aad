#pragma once

#include <cstddef>
#include <cstdint>

namespace doz2era {

// The whole source file as loaded by the conversion run, and the BMP header fields read from it.
// The record does not own `data`: the caller keeps the block alive for as long as the record is
// used.
struct SourceImage {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;

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
    TooLarge,         // valid, but does not fit the KVD fields (16-bit sides, 32-bit body length)
    Depth24,
    Depth32,
};

// Largest width or height a KVD header can hold: both layouts store them in 16 bits.
inline constexpr std::uint32_t kMaxSide = 65535;

// Reads a little-endian field at `offset`; returns 0 when the field does not lie wholly inside
// the `size` bytes at `data`.
std::uint16_t readU16le(const std::uint8_t* data, std::size_t size, std::size_t offset);
std::uint32_t readU32le(const std::uint8_t* data, std::size_t size, std::size_t offset);

// Checks the signature, the depth, the size of the pixel area and the KVD limits, in that order,
// and returns the first that fails. For Depth24 and Depth32 it sets every geometry field of
// `image`; for the other outcomes the geometry fields are unspecified.
Outcome validateSource(SourceImage& image);

// Address of the first byte of output row `r` (0 is the top row) of a validated source with a
// width above 0. The row holds width * bytesPerPixel pixel bytes.
const std::uint8_t* sourceRow(const SourceImage& image, std::uint32_t r);

} // namespace doz2era
