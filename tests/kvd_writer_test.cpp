#include "bmp/source_image.h"
#include "bmp_builder.h"
#include "conversions.h"
#include "kvd/kvd_reader.h"
#include "kvd/kvd_writer.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace doz2era {
namespace {

using test::Bytes;

// Validates a BMP held in `file` and writes it with the writer for its depth, `windowBytes` at a
// time; fails the test unless the source is accepted and every byte is written.
Bytes convertInMemory(const Bytes& file, std::size_t windowBytes = kWindowBytes) {
    std::optional<Bytes> out = test::convertToKvd(file, windowBytes);
    EXPECT_TRUE(out.has_value());
    return out.value_or(Bytes{});
}

// Positions and values of the run bytes in one row written with the given rule.
std::vector<std::pair<std::size_t, std::uint8_t>> runBytesOf(const Bytes& row,
                                                             const RunRule& rule) {
    std::vector<std::pair<std::size_t, std::uint8_t>> runs;
    for (std::size_t pos = 0; pos < row.size();) {
        runs.emplace_back(pos, row[pos]);
        pos += 1 + std::size_t{row[pos] - rule.bias} * rule.bytesPerPixel;
    }
    return runs;
}

TEST(WriteLayout24, OnePixel) {
    Bytes bmp = test::bmpFile(1, 1, 24, 4);
    bmp[54] = 0x10, bmp[55] = 0x20, bmp[56] = 0x30, bmp[57] = 0xEE; // B, G, R, fill
    const Bytes expected = {0xB9, 0xAA, 0xB3, 0xB3, 0x01, 0x00, 0x01, 0x00, 0x05, 0x10, 0x20, 0x30};
    EXPECT_EQ(convertInMemory(bmp), expected);
}

TEST(WriteLayout32, OnePixel) {
    Bytes bmp = test::bmpFile(1, 1, 32, 4);
    bmp[54] = 0x10, bmp[55] = 0x20, bmp[56] = 0x30, bmp[57] = 0x40;
    Bytes expected(48, 0);
    const char signature[] = "ZOR00000";
    std::copy(signature, signature + 8, expected.begin());
    expected[8] = 1, expected[10] = 1;
    expected[14] = 0x20, expected[15] = 0x11, expected[16] = 0x30;
    expected[20] = 5; // body length
    expected[24] = 0x30;
    expected.insert(expected.end(), {12, 0x10, 0x20, 0x30, 0x40});
    EXPECT_EQ(convertInMemory(bmp), expected);
}

TEST(WriteLayout24, Width260SplitsIntoRunsOf251And9) {
    std::mt19937 rng(260);
    const Bytes bmp = test::randomBmp(260, 1, 24, rng);
    const Bytes out = convertInMemory(bmp);
    ASSERT_EQ(out.size(), 790u);
    EXPECT_EQ(out[4], 260 & 0xFF);
    EXPECT_EQ(out[5], 260 >> 8);
    EXPECT_EQ(out[8], 255);
    EXPECT_EQ(out[8 + 1 + 753], 13);
    EXPECT_TRUE(std::equal(out.begin() + 9, out.begin() + 9 + 753, bmp.begin() + 54));
    EXPECT_TRUE(std::equal(out.begin() + 763, out.end(), bmp.begin() + 54 + 753));
}

TEST(WriteLayout32, Width245HasBodyLength982) {
    std::mt19937 rng(245);
    const Bytes bmp = test::randomBmp(245, 1, 32, rng);
    const Bytes out = convertInMemory(bmp);
    ASSERT_EQ(out.size(), 48u + 982u);
    EXPECT_EQ(out[20] | out[21] << 8 | out[22] << 16 | out[23] << 24, 982);
    EXPECT_EQ(out[48], 255);
    EXPECT_EQ(out[48 + 1 + 976], 12);
}

TEST(WriteLayouts, EmptyPicturesAreTheHeaderAlone) {
    struct Empty {
        std::uint32_t width, height;
        int depth;
    };
    for (const Empty e : {Empty{0, 5, 24}, Empty{7, 0, 24}, Empty{0, 0, 24}, Empty{0, 5, 32},
                          Empty{7, 0, 32}, Empty{0, 0, 32}}) {
        SCOPED_TRACE(std::to_string(e.width) + "x" + std::to_string(e.height) + " depth " +
                     std::to_string(e.depth));
        // The pixel offset points past the end: an empty picture never reads it.
        const Bytes bmp =
            test::bmpFile(e.width, e.height, static_cast<std::uint16_t>(e.depth), 0, 9999);
        const Bytes out = convertInMemory(bmp);
        EXPECT_EQ(out.size(), e.depth == 24 ? 8u : 48u);
        ASSERT_TRUE(decodeKvd(out).has_value());
    }
}

TEST(WriteRuns, CutsRowsAtTheLayoutMaximum) {
    struct Runs {
        std::uint32_t width;
        int depth;
        std::vector<std::uint8_t> runBytes;
    };
    const std::vector<Runs> cases = {
        {1, 24, {5}},         {250, 24, {254}},      {251, 24, {255}},
        {252, 24, {255, 5}},  {502, 24, {255, 255}}, {503, 24, {255, 255, 5}},
        {1, 32, {12}},        {243, 32, {254}},      {244, 32, {255}},
        {245, 32, {255, 12}}, {488, 32, {255, 255}}, {489, 32, {255, 255, 12}},
        {251, 32, {255, 18}}, {252, 32, {255, 19}},  {245, 24, {249}},
        {0, 24, {}},          {0, 32, {}},
    };
    for (const Runs& c : cases) {
        SCOPED_TRACE("width " + std::to_string(c.width) + " depth " + std::to_string(c.depth));
        const RunRule& rule = c.depth == 24 ? kRuns24 : kRuns32;
        Bytes row(std::size_t{c.width} * rule.bytesPerPixel);
        for (std::size_t i = 0; i < row.size(); ++i) {
            row[i] = static_cast<std::uint8_t>(i * 31 + 7);
        }
        Bytes out;
        OutputBuffer buffer{test::appenderTo(out), kWindowBytes};
        ASSERT_TRUE(
            writeRuns(row.data(), c.width, rule.bytesPerPixel, rule.maxRun, rule.bias, buffer));
        ASSERT_TRUE(buffer.flush());
        ASSERT_EQ(out.size(), runBytesPerRow(rule, c.width));
        std::vector<std::uint8_t> runBytes;
        Bytes pixels;
        for (const auto& [pos, value] : runBytesOf(out, rule)) {
            runBytes.push_back(value);
            const std::size_t count = std::size_t{value - rule.bias} * rule.bytesPerPixel;
            pixels.insert(pixels.end(), out.begin() + static_cast<std::ptrdiff_t>(pos + 1),
                          out.begin() + static_cast<std::ptrdiff_t>(pos + 1 + count));
        }
        EXPECT_EQ(runBytes, c.runBytes);
        EXPECT_EQ(pixels, row);
    }
}

TEST(WriteLayouts, RoundTripsRandomPictures) {
    std::mt19937 rng(20261211);
    std::uniform_int_distribution<std::uint32_t> side(0, 600);
    for (int i = 0; i < 120; ++i) {
        const int depth = i % 2 == 0 ? 24 : 32;
        // Mostly small pictures, some wide enough for several runs per row.
        const std::uint32_t width = i % 3 == 0 ? side(rng) : side(rng) % 9;
        const std::uint32_t height = side(rng) % 13;
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height) + " depth " +
                     std::to_string(depth));
        const Bytes bmp = test::randomBmp(width, height, depth, rng);
        const Bytes out = convertInMemory(bmp);
        EXPECT_EQ(out.size(), depth == 24 ? fileSize24(width, height) : fileSize32(width, height));
        const auto decoded = decodeKvd(out);
        ASSERT_TRUE(decoded.has_value());
        EXPECT_EQ(decoded->bitDepth, depth);
        EXPECT_EQ(decoded->width, width);
        EXPECT_EQ(decoded->height, height);
        EXPECT_EQ(decoded->rows, test::topDownRows(bmp, width, height, depth));
    }
}

TEST(WriteLayouts, ReportFailedWrites) {
    std::mt19937 rng(7);
    for (const int depth : {24, 32}) {
        SCOPED_TRACE(depth);
        const Bytes bmp = test::randomBmp(300, 4, depth, rng);
        SourceImage image = test::sourceOf(bmp);
        ASSERT_NE(validateSource(image), Outcome::Corrupt);
        // The first write goes out, the second fails, and nothing more is tried after it.
        int writes = 0;
        const WriteBytes failSecond = [&writes](std::span<const std::uint8_t>) {
            return ++writes < 2;
        };
        EXPECT_EQ(test::writeLayout(image, test::readerOf(bmp), failSecond, 100),
                  WriteStatus::WriteFailed);
        EXPECT_EQ(writes, 2);
    }
}

// Every window size gives the bytes of one window that holds the whole picture: a window of one
// pixel, sizes that split a row in pieces that cut runs, exactly one row, a row and a bit, and
// several rows.
TEST(WriteLayouts, WindowSizeNeverChangesTheOutput) {
    std::mt19937 rng(11);
    struct Picture {
        std::uint32_t width, height;
        int depth;
    };
    for (const Picture p : {Picture{503, 3, 24}, Picture{5, 4, 24}, Picture{489, 3, 32},
                            Picture{1, 5, 32}, Picture{252, 2, 24}}) {
        const Bytes bmp = test::randomBmp(p.width, p.height, p.depth, rng);
        const Bytes whole = convertInMemory(bmp, bmp.size());
        const std::size_t stride = test::strideOf(p.width, p.depth);
        for (const std::size_t window :
             {std::size_t{1}, std::size_t{7}, std::size_t{100}, std::size_t{754}, stride - 1,
              stride, stride + 1, 2 * stride + 3, std::size_t{4096}}) {
            SCOPED_TRACE(std::to_string(p.width) + "x" + std::to_string(p.height) + " depth " +
                         std::to_string(p.depth) + ", window " + std::to_string(window));
            EXPECT_EQ(convertInMemory(bmp, window), whole);
        }
    }
}

// A source that fails to read at some row (it shrank, or the device failed): the writer stops
// there and says the read failed; what it wrote before is the layout's start, unchanged.
TEST(WriteLayouts, ReportFailedReadsAtAnyRow) {
    std::mt19937 rng(5);
    for (const int depth : {24, 32}) {
        const Bytes bmp = test::randomBmp(260, 6, depth, rng);
        const Bytes whole = convertInMemory(bmp);
        const std::size_t stride = test::strideOf(260, depth);
        for (std::size_t storedRow = 0; storedRow < 6; ++storedRow) {
            for (const std::size_t window : {std::size_t{100}, stride, 4 * stride}) {
                SCOPED_TRACE("depth " + std::to_string(depth) + ", fails in stored row " +
                             std::to_string(storedRow) + ", window " + std::to_string(window));
                SourceImage image = test::sourceOf(bmp);
                ASSERT_NE(validateSource(image), Outcome::Corrupt);
                Bytes out;
                const std::uint64_t failFrom = 54 + storedRow * stride + 10;
                EXPECT_EQ(test::writeLayout(image, test::readerOf(bmp, failFrom),
                                            test::appenderTo(out), window),
                          WriteStatus::ReadFailed);
                ASSERT_LT(out.size(), whole.size());
                EXPECT_TRUE(std::equal(out.begin(), out.end(), whole.begin()));
            }
        }
    }
}

TEST(FitsLayout, SidesAndBodyLength) {
    struct Limit {
        const char* name;
        std::uint32_t depth, width, height;
        bool fits;
    };
    const Limit limits[] = {
        {"width 65535", 32, 65535, 1, true},
        {"width 65536", 32, 65536, 1, false},
        {"width 65536, height 0", 24, 65536, 0, false},
        {"height 65535, width 0", 24, 0, 65535, true},
        {"height 65536, width 0", 24, 0, 65536, false},
        {"height 65536", 24, 1, 65536, false},
        {"top-down, width 0", 24, 0, 0xFFFFFFFE, false},
        // Body length of 65535 x h: 262409 * 16367 < 2^32 <= 262409 * 16368.
        {"32-bit body length 2^32 - 1 or less", 32, 65535, 16367, true},
        {"32-bit body length 2^32 or more", 32, 65535, 16368, false},
        {"24-bit has no body length", 24, 65535, 65535, true},
    };
    for (const Limit& l : limits) {
        SCOPED_TRACE(l.name);
        EXPECT_EQ(fitsLayout(l.depth, l.width, l.height), l.fits);
    }
}

} // namespace
} // namespace doz2era
