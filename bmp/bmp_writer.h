#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace doz2era {

// A BMP as this program writes it: the 14-byte file header, the 40-byte BITMAPINFOHEADER, no
// palette, then the rows bottom row first (a positive height), each row the pixel bytes (blue,
// green, red, and for 32-bit the fourth byte) followed by zero bytes up to bmpRowStride.
inline constexpr std::size_t kBmpHeadersSize = 54;

// Largest width or height the headers hold: biWidth and biHeight are signed 32-bit fields, and a
// positive height means rows stored bottom row first.
inline constexpr std::uint32_t kMaxBmpSide = 0x7FFFFFFF;

// The 54 header bytes of an uncompressed (BI_RGB) BMP of `width` x `height` pixels with
// `bitDepth` 24 or 32 and its rows bottom row first. bfSize and biSizeImage hold the true sizes
// when they fit their 32 bits and 0 when they do not (a 24-bit picture of 65535 x 65535 takes
// 12.9 GB). Width and height must not exceed kMaxBmpSide.
std::array<std::uint8_t, kBmpHeadersSize> bmpHeaders(std::uint32_t bitDepth, std::uint32_t width,
                                                     std::uint32_t height);

} // namespace doz2era
