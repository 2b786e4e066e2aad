#pragma once

// A strict reader of both KVD layouts, written from the format alone, for round trips: it refuses
// anything the writers must never produce (a wrong header byte, a run byte out of range, a short
// run before the end of a row, a wrong body length, trailing bytes).

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

namespace doz2era::test {

struct DecodedKvd {
    int depth = 0; // 24 or 32: which layout the file uses
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::vector<std::uint8_t>> rows; // pixel bytes, top row first
};

namespace detail {
inline std::uint32_t le(const std::uint8_t* p, int width) {
    std::uint32_t value = 0;
    for (int i = width - 1; i >= 0; --i) {
        value = value << 8 | p[i];
    }
    return value;
}
} // namespace detail

inline std::optional<DecodedKvd> decodeKvd(const std::uint8_t* data, std::size_t size) {
    static constexpr std::uint8_t kMagic24[4] = {0xB9, 0xAA, 0xB3, 0xB3};
    DecodedKvd out;
    std::size_t pos = 0;
    std::uint32_t bytesPerPixel = 0, maxRun = 0, bias = 0;
    if (size >= 8 && std::memcmp(data, kMagic24, 4) == 0) {
        out.depth = 24;
        out.width = detail::le(data + 4, 2);
        out.height = detail::le(data + 6, 2);
        pos = 8;
        bytesPerPixel = 3, maxRun = 251, bias = 4;
    } else if (size >= 48 && std::memcmp(data, "ZOR00000", 8) == 0) {
        out.depth = 32;
        out.width = detail::le(data + 8, 2);
        out.height = detail::le(data + 10, 2);
        for (std::size_t i = 12; i < 48; ++i) {
            std::uint8_t expected = 0;
            if (i == 14) {
                expected = 0x20;
            } else if (i == 15) {
                expected = 0x11;
            } else if (i == 16 || i == 24) {
                expected = 0x30;
            } else if (i >= 20 && i < 24) {
                continue; // body length, checked below
            }
            if (data[i] != expected) {
                return std::nullopt;
            }
        }
        if (detail::le(data + 20, 4) != size - 48) {
            return std::nullopt;
        }
        pos = 48;
        bytesPerPixel = 4, maxRun = 244, bias = 11;
    } else {
        return std::nullopt;
    }
    for (std::uint32_t r = 0; r < out.height; ++r) {
        std::vector<std::uint8_t> row;
        std::uint32_t pixels = 0;
        while (pixels < out.width) {
            if (pos >= size || data[pos] <= bias) {
                return std::nullopt;
            }
            const std::uint32_t n = data[pos++] - bias;
            const std::uint32_t expected =
                out.width - pixels < maxRun ? out.width - pixels : maxRun;
            const std::size_t bytes = std::size_t{n} * bytesPerPixel;
            if (n != expected || size - pos < bytes) {
                return std::nullopt;
            }
            row.insert(row.end(), data + pos, data + pos + bytes);
            pos += bytes;
            pixels += n;
        }
        out.rows.push_back(std::move(row));
    }
    if (pos != size) {
        return std::nullopt;
    }
    return out;
}

inline std::optional<DecodedKvd> decodeKvd(const std::vector<std::uint8_t>& bytes) {
    return decodeKvd(bytes.data(), bytes.size());
}

} // namespace doz2era::test
