#include "bmp/source_image.h"
#include "bmp_builder.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace doz2era {
namespace {

using test::bmpFile;
using test::Bytes;

Bytes prefix(const Bytes& bytes, std::size_t length) {
    return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
}

Bytes withBytes(Bytes bytes, std::size_t offset, std::initializer_list<std::uint8_t> values) {
    for (std::uint8_t value : values) {
        bytes[offset++] = value;
    }
    return bytes;
}

struct Case {
    std::string name;
    Bytes file;
    Outcome expected;
    // Only for pictures too large to hold in a test: the file size validation is told, in place
    // of the real one, so that a header can describe a multi-gigabyte source. Validation reads
    // nothing past byte 28, and no writer runs on such a record.
    std::optional<std::size_t> claimedSize = std::nullopt;
};

std::vector<Case> validationCases() {
    const Bytes valid24 = bmpFile(5, 3, 24, 48);
    return {
        {"empty file", {}, Outcome::NotBmp},
        {"one byte", {'B'}, Outcome::NotBmp},
        {"BM alone", {'B', 'M'}, Outcome::Corrupt},
        {"28 bytes, depth byte missing", prefix(valid24, 28), Outcome::Corrupt},
        {"29 bytes, empty image", prefix(bmpFile(0, 0, 24, 0), 29), Outcome::Depth24},
        {"signature MB", withBytes(valid24, 0, {'M', 'B'}), Outcome::NotBmp},
        {"signature bm", withBytes(valid24, 0, {'b', 'm'}), Outcome::NotBmp},
        {"not BM beats a bad depth", withBytes(bmpFile(5, 3, 8, 0), 0, {'X'}), Outcome::NotBmp},
        {"depth 1", bmpFile(5, 3, 1, 48), Outcome::UnsupportedDepth},
        {"depth 4", bmpFile(5, 3, 4, 48), Outcome::UnsupportedDepth},
        {"depth 8", bmpFile(5, 3, 8, 48), Outcome::UnsupportedDepth},
        {"depth 16", bmpFile(5, 3, 16, 48), Outcome::UnsupportedDepth},
        {"depth 0", bmpFile(5, 3, 0, 48), Outcome::UnsupportedDepth},
        {"depth 30000, low byte 48", bmpFile(5, 3, 30000, 48), Outcome::UnsupportedDepth},
        {"bad depth beats a short pixel area", bmpFile(5, 3, 8, 0), Outcome::UnsupportedDepth},
        {"depth byte 24, byte 29 set", bmpFile(5, 3, 0x0118, 48), Outcome::Depth24},
        {"depth byte 32, byte 29 set", bmpFile(1, 1, 0x0120, 4), Outcome::Depth32},
        {"24-bit 5x3, pixel area 48", valid24, Outcome::Depth24},
        {"24-bit 5x3, pixel area 47", bmpFile(5, 3, 24, 47), Outcome::Corrupt},
        {"24-bit 5x3, extra bytes ignored", bmpFile(5, 3, 24, 100), Outcome::Depth24},
        {"32-bit 3x2, pixel area 24", bmpFile(3, 2, 32, 24), Outcome::Depth32},
        {"32-bit 3x2, pixel area 23", bmpFile(3, 2, 32, 23), Outcome::Corrupt},
        {"width 0, offset past end", bmpFile(0, 7, 24, 0, 5000), Outcome::Depth24},
        {"height 0, offset past end", bmpFile(9, 0, 32, 0, 5000), Outcome::Depth32},
        {"offset past end", bmpFile(1, 1, 24, 4, 5000), Outcome::Corrupt},
        {"offset at end", bmpFile(1, 1, 24, 4, 58), Outcome::Corrupt},
        {"offset 0 takes headers as pixels", bmpFile(2, 2, 24, 0, 0), Outcome::Depth24},
        {"offset into headers, too few bytes", bmpFile(20, 1, 24, 0, 0), Outcome::Corrupt},
        {"top-down (negative height)", bmpFile(4, 0xFFFFFFFF, 24, 48), Outcome::Corrupt},
        {"top-down, width 0", bmpFile(0, 0xFFFFFFFE, 24, 0), Outcome::Depth24},
        // stride * height is exactly 2^64 in both: a 64-bit product wraps to 0.
        {"32-bit 2^31 x 2^31", bmpFile(0x80000000, 0x80000000, 32, 4), Outcome::Corrupt},
        {"24-bit 0xAAAAAAAA x 2^31", bmpFile(0xAAAAAAAA, 0x80000000, 24, 4), Outcome::Corrupt},
        {"huge sides, few bytes", bmpFile(3000000, 2000000, 24, 24576), Outcome::Corrupt},
        {"width 65535", bmpFile(65535, 1, 32, 4 * 65535), Outcome::Depth32},
        // The KVD limits are not the BMP's to check: these pass here and are refused by
        // fitsLayout.
        {"width 65536", bmpFile(65536, 1, 32, 4 * 65536), Outcome::Depth32},
        {"width 65536, height 0", bmpFile(65536, 0, 24, 0), Outcome::Depth24},
        {"height 65535, width 0", bmpFile(0, 65535, 24, 0), Outcome::Depth24},
        {"height 65536, width 0", bmpFile(0, 65536, 24, 0), Outcome::Depth24},
        {"height 65536", bmpFile(1, 65536, 24, 4 * 65536), Outcome::Depth24},
        // Body length of 65535 x h: 262409 * 16367 < 2^32 <= 262409 * 16368.
        {"32-bit body length 2^32 - 1 or less", bmpFile(65535, 16367, 32, 0), Outcome::Depth32,
         54 + std::size_t{4} * 65535 * 16367},
        {"32-bit body length 2^32 or more", bmpFile(65535, 16368, 32, 0), Outcome::Depth32,
         54 + std::size_t{4} * 65535 * 16368},
        {"24-bit has no body length", bmpFile(65535, 16368, 24, 0), Outcome::Depth24,
         54 + std::size_t{3 * 65535 + 3} * 16368},
    };
}

TEST(ValidateSource, ClassifiesHeaders) {
    for (const Case& c : validationCases()) {
        SCOPED_TRACE(c.name);
        SourceImage image{c.file.data(), c.file.size(), c.claimedSize.value_or(c.file.size())};
        EXPECT_EQ(validateSource(image), c.expected);
    }
}

TEST(ValidateSource, FillsGeometryAndStride) {
    struct Stride {
        std::uint32_t width;
        int depth;
        std::uint64_t stride;
    };
    const Stride strides[] = {{4, 24, 12}, {5, 24, 16}, {6, 24, 20}, {7, 24, 24},
                              {8, 24, 24}, {1, 24, 4},  {3, 32, 12}, {1, 32, 4}};
    for (const Stride& s : strides) {
        SCOPED_TRACE("width " + std::to_string(s.width) + " depth " + std::to_string(s.depth));
        const Bytes file =
            bmpFile(s.width, 2, static_cast<std::uint16_t>(s.depth), 2 * s.stride, 54);
        SourceImage image{file.data(), file.size(), file.size()};
        ASSERT_EQ(validateSource(image), s.depth == 24 ? Outcome::Depth24 : Outcome::Depth32);
        EXPECT_EQ(image.rowStride, s.stride);
        EXPECT_EQ(image.width, s.width);
        EXPECT_EQ(image.height, 2u);
        EXPECT_EQ(image.bytesPerPixel, static_cast<std::uint32_t>(s.depth / 8));
        EXPECT_EQ(image.pixelOffset, 54u);
        // One byte short of the second row is a corrupt file.
        SourceImage shorter{file.data(), file.size(), file.size() - 1};
        EXPECT_EQ(validateSource(shorter), Outcome::Corrupt);
    }
}

TEST(SourceRow, TopRowIsTheLastStored) {
    // 24-bit, width 2, three rows: stride 8, stored bottom row first from offset 54.
    const Bytes file = bmpFile(2, 3, 24, 24);
    SourceImage image{file.data(), file.size(), file.size()};
    ASSERT_EQ(validateSource(image), Outcome::Depth24);
    EXPECT_EQ(sourceRow(image, 0), 54u + 16u);
    EXPECT_EQ(sourceRow(image, 1), 54u + 8u);
    EXPECT_EQ(sourceRow(image, 2), 54u);
}

TEST(ReadLittleEndian, RefusesFieldsPastTheEnd) {
    const std::uint8_t bytes[] = {0x01, 0x02, 0x03, 0x04, 0x05};
    EXPECT_EQ(readU16le(bytes, 5, 0), 0x0201u);
    EXPECT_EQ(readU16le(bytes, 5, 3), 0x0504u);
    EXPECT_EQ(readU16le(bytes, 5, 4), 0u);
    EXPECT_EQ(readU32le(bytes, 5, 1), 0x05040302u);
    EXPECT_EQ(readU32le(bytes, 5, 2), 0u);
    EXPECT_EQ(readU32le(bytes, 5, SIZE_MAX), 0u);
}

} // namespace
} // namespace doz2era
