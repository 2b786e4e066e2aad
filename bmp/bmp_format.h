#pragma once

#include <cstdint>

namespace doz2era {

// Bytes one BMP row of `width` pixels takes in the file: the pixels, then fill bytes up to a
// multiple of four bytes (none for 32-bit rows; 3w + (w mod 4) for 24-bit rows). Exact for any
// 32-bit width: width * 255 + 31 stays below 2^40.
constexpr std::uint64_t bmpRowStride(std::uint32_t bitDepth, std::uint64_t width) {
    return (width * bitDepth + 31) / 32 * 4;
}

} // namespace doz2era
