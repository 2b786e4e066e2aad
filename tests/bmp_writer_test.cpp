#include "bmp/bmp_writer.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>

namespace doz2era {
namespace {

std::uint64_t fieldAt(const std::array<std::uint8_t, kBmpHeadersSize>& headers,
                      std::size_t offset) {
    std::uint64_t value = 0;
    for (std::size_t i = 4; i-- > 0;) {
        value = value << 8 | headers[offset + i];
    }
    return value;
}

TEST(BmpHeaders, TwoByOne24Bit) {
    // Rows of 6 pixel bytes and 2 fill bytes: 8 bytes of rows, 62 bytes in all.
    const std::array<std::uint8_t, kBmpHeadersSize> expected = {
        'B', 'M', 62,   0,    0, 0, 0,    0,    0, 0, 54, 0, 0, 0, 40, 0, 0, 0,
        2,   0,   0,    0,    1, 0, 0,    0,    1, 0, 24, 0, 0, 0, 0,  0, 8, 0,
        0,   0,   0x13, 0x0B, 0, 0, 0x13, 0x0B, 0, 0, 0,  0, 0, 0, 0,  0, 0, 0,
    };
    EXPECT_EQ(bmpHeaders(24, 2, 1), expected);
}

TEST(BmpHeaders, SizesThatDoNotFit32BitsAreZero) {
    struct Sizes {
        std::uint32_t depth, width, height;
        std::uint64_t fileSize, imageSize; // bfSize, biSizeImage
    };
    const Sizes cases[] = {
        {32, 3, 2, 54 + 24, 24},
        {24, 5, 3, 54 + 48, 48},
        {24, 0, 65535, 54, 0},
        {32, 65535, 0, 54, 0},
        // 196608 * 21845 = 4294901760: both fit.
        {24, 65535, 21845, 4294901814, 4294901760},
        // 196608 * 21846 is above 2^32.
        {24, 65535, 21846, 0, 0},
        // 4 * 32767 * 32769 = 2^32 - 4: the rows fit, with the headers the file does not.
        {32, 32767, 32769, 0, 4294967292},
        // The largest KVD picture: a 12.9 GB BMP.
        {24, 65535, 65535, 0, 0},
        {32, 65535, 65535, 0, 0},
        // A product of 2^64 - 2^34 + 4 must not wrap into a small size.
        {32, kMaxBmpSide, kMaxBmpSide, 0, 0},
    };
    for (const Sizes& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + " depth " +
                     std::to_string(c.depth));
        const auto headers = bmpHeaders(c.depth, c.width, c.height);
        EXPECT_EQ(fieldAt(headers, 2), c.fileSize);
        EXPECT_EQ(fieldAt(headers, 34), c.imageSize);
        EXPECT_EQ(fieldAt(headers, 18), c.width);
        EXPECT_EQ(fieldAt(headers, 22), c.height);
        EXPECT_EQ(headers[28], c.depth);
    }
}

} // namespace
} // namespace doz2era
