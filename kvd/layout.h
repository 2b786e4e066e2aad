#pragma once

#include <array>
#include <cstdint>

namespace doz2era {

// How a KVD layout cuts every pixel row: runs of at most maxRun pixels, each opened by one byte
// holding its pixel count plus bias.
struct RunRule {
    std::uint32_t bytesPerPixel;
    std::uint32_t maxRun;
    std::uint32_t bias;
};

// 251 + 4 and 244 + 11 are both 255: a full run's byte is the largest a byte can hold.
inline constexpr RunRule kRuns24{3, 251, 4};
inline constexpr RunRule kRuns32{4, 244, 11};

inline constexpr std::uint64_t kHeaderSize24 = 8;
inline constexpr std::uint64_t kHeaderSize32 = 48;

// The first bytes of each layout, which tell the two apart.
inline constexpr std::array<std::uint8_t, 4> kMagic24{0xB9, 0xAA, 0xB3, 0xB3};
inline constexpr std::array<std::uint8_t, 8> kSignature32{'Z', 'O', 'R', '0', '0', '0', '0', '0'};

// Bytes that one row of `width` pixels takes as runs: one run byte per started run, then the
// pixel bytes. Exact for any 32-bit width.
constexpr std::uint64_t runBytesPerRow(const RunRule& rule, std::uint64_t width) {
    return (width + rule.maxRun - 1) / rule.maxRun + rule.bytesPerPixel * width;
}

// Everything after the 48-byte header of the 32-bit layout; this is the header's body length.
// Callers keep width and height within 16 bits, so the product cannot wrap.
constexpr std::uint64_t bodyLength32(std::uint64_t width, std::uint64_t height) {
    return runBytesPerRow(kRuns32, width) * height;
}

constexpr std::uint64_t fileSize24(std::uint64_t width, std::uint64_t height) {
    return kHeaderSize24 + runBytesPerRow(kRuns24, width) * height;
}

constexpr std::uint64_t fileSize32(std::uint64_t width, std::uint64_t height) {
    return kHeaderSize32 + bodyLength32(width, height);
}

// Largest width or height a KVD header can hold: both layouts store them in 16 bits.
inline constexpr std::uint32_t kMaxSide = 65535;
// The 32-bit header stores the body length in 32 bits.
inline constexpr std::uint64_t kMaxBodyLength32 = 0xFFFFFFFFu;

// True if a picture of this depth (24 or 32) and size fits the fields of its KVD layout.
constexpr bool fitsLayout(std::uint32_t bitDepth, std::uint32_t width, std::uint32_t height) {
    if (width > kMaxSide || height > kMaxSide) {
        return false;
    }
    // Both sides are at most 65535 here, so the product stays far below 2^64.
    return bitDepth != 32 || bodyLength32(width, height) <= kMaxBodyLength32;
}

} // namespace doz2era
