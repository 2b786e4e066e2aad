#pragma once

// Builds BMP files in memory for the tests, reads their rows back the plain way, and reads files
// whole.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <random>
#include <vector>

namespace doz2era::test {

using Bytes = std::vector<std::uint8_t>;

// The whole file at `path`; empty if it cannot be read.
inline Bytes readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void putLe(Bytes& bytes, std::size_t offset, std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) {
        bytes[offset + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

// Bytes of `base` with `values` put from `offset` on, for damaging a file at one place.
inline Bytes with(Bytes base, std::size_t offset, std::initializer_list<std::uint8_t> values) {
    std::copy(values.begin(), values.end(), base.begin() + static_cast<std::ptrdiff_t>(offset));
    return base;
}

// Bytes of `base` with a little-endian field of `width` bytes set to `value` at `offset`.
inline Bytes withLe(Bytes base, std::size_t offset, std::uint32_t value, int width) {
    putLe(base, offset, value, width);
    return base;
}

// The first `length` bytes of `base`: a file cut short.
inline Bytes prefix(const Bytes& base, std::size_t length) {
    return {base.begin(), base.begin() + static_cast<std::ptrdiff_t>(length)};
}

// `base` followed by `extra` bytes 0x5A: a file with bytes after its end.
inline Bytes plus(Bytes base, std::size_t extra) {
    base.resize(base.size() + extra, 0x5A);
    return base;
}

// A 54-byte BITMAPFILEHEADER + BITMAPINFOHEADER with the given fields, then `pixelBytes` bytes.
// Header fields are written raw, so the tests can pass any hostile value.
inline Bytes bmpFile(std::uint32_t width, std::uint32_t height, std::uint16_t bitCount,
                     std::size_t pixelBytes, std::uint32_t pixelOffset = 54) {
    Bytes bytes(54 + pixelBytes, 0);
    bytes[0] = 'B';
    bytes[1] = 'M';
    putLe(bytes, 2, bytes.size(), 4);
    putLe(bytes, 10, pixelOffset, 4);
    putLe(bytes, 14, 40, 4);
    putLe(bytes, 18, width, 4);
    putLe(bytes, 22, height, 4);
    putLe(bytes, 26, 1, 2);
    putLe(bytes, 28, bitCount, 2);
    return bytes;
}

inline std::size_t strideOf(std::uint32_t width, int depth) {
    return depth == 24 ? 3u * width + width % 4u : 4u * width;
}

// A complete, valid bottom-up BMP of the given size, filled with random pixel bytes. The fill
// bytes at the end of 24-bit rows are set to 0xEE so that a copy of them shows.
inline Bytes randomBmp(std::uint32_t width, std::uint32_t height, int depth, std::mt19937& rng) {
    const std::size_t stride = strideOf(width, depth);
    Bytes bytes = bmpFile(width, height, static_cast<std::uint16_t>(depth), stride * height);
    const std::size_t rowPixels = std::size_t{width} * static_cast<std::size_t>(depth / 8);
    for (std::size_t r = 0; r < height; ++r) {
        for (std::size_t i = 0; i < stride; ++i) {
            bytes[54 + r * stride + i] =
                i < rowPixels ? static_cast<std::uint8_t>(rng()) : std::uint8_t{0xEE};
        }
    }
    return bytes;
}

// The BMP a writer of plain BMP files makes of `rows` (pixel bytes, top row first): bmpFile's
// headers with biSizeImage set and 2835 pixels per metre both ways, then the rows bottom row
// first, each filled with zero bytes to a multiple of four.
inline Bytes canonicalBmp(std::uint32_t width, std::uint32_t height, int depth,
                          const std::vector<Bytes>& rows) {
    const std::size_t stride = strideOf(width, depth);
    Bytes bytes = bmpFile(width, height, static_cast<std::uint16_t>(depth), stride * height);
    putLe(bytes, 34, stride * height, 4);
    putLe(bytes, 38, 2835, 4);
    putLe(bytes, 42, 2835, 4);
    for (std::size_t r = 0; r < rows.size(); ++r) {
        std::copy(rows[r].begin(), rows[r].end(),
                  bytes.begin() + static_cast<std::ptrdiff_t>(54 + (height - 1 - r) * stride));
    }
    return bytes;
}

// The pixel bytes of every row of a file made by bmpFile/randomBmp, top row first.
inline std::vector<Bytes> topDownRows(const Bytes& bmp, std::uint32_t width, std::uint32_t height,
                                      int depth, std::size_t pixelOffset = 54) {
    const std::size_t stride = strideOf(width, depth);
    const std::size_t rowPixels = std::size_t{width} * static_cast<std::size_t>(depth / 8);
    std::vector<Bytes> rows;
    for (std::size_t r = height; r-- > 0;) {
        const auto first = bmp.begin() + static_cast<std::ptrdiff_t>(pixelOffset + r * stride);
        rows.emplace_back(first, first + static_cast<std::ptrdiff_t>(rowPixels));
    }
    return rows;
}

} // namespace doz2era::test
