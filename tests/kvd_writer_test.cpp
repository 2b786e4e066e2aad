#include "bmp/source_image.h"
#include "bmp_builder.h"
#include "kvd/kvd_reader.h"
#include "kvd/kvd_writer.h"
#include "write_capture.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace doz2era {
namespace {

using test::Bytes;
using test::captureWrites;

// Validates a BMP held in `file` and writes it with the writer for its depth.
Bytes convertInMemory(const Bytes& file) {
    SourceImage image{file.data(), file.size()};
    const Outcome outcome = validateSource(image);
    EXPECT_TRUE(outcome == Outcome::Depth24 || outcome == Outcome::Depth32);
    return captureWrites([&](std::FILE* stream) {
        return outcome == Outcome::Depth24 ? writeLayout24(image, stream)
                                           : writeLayout32(image, stream);
    });
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
        const Bytes out = captureWrites([&](std::FILE* stream) {
            return writeRuns(row.data(), c.width, rule.bytesPerPixel, rule.maxRun, rule.bias,
                             stream);
        });
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
        SourceImage image{bmp.data(), bmp.size()};
        ASSERT_NE(validateSource(image), Outcome::Corrupt);
        // A stream opened for reading only refuses every write (a file of the test data, so that
        // this runs on every system: msvcrt cannot reopen a stream with freopen(nullptr, ...)).
        std::unique_ptr<std::FILE, int (*)(std::FILE*)> readOnly{
            std::fopen(DOZ2ERA_TEST_DATA "/bmpsuite/expected.tsv", "rb"), &std::fclose};
        ASSERT_TRUE(readOnly);
        std::FILE* stream = readOnly.get();
        EXPECT_FALSE(depth == 24 ? writeLayout24(image, stream) : writeLayout32(image, stream));
    }
}

} // namespace
} // namespace doz2era
