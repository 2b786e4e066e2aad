#include "bmp_builder.h"
#include "conversions.h"
#include "kvd/kvd_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace doz2era {
namespace {

using test::Bytes;
using test::plus;
using test::prefix;
using test::with;
using test::withLe;

std::string nameOf(std::uint32_t width, std::uint32_t height, int depth) {
    return std::to_string(width) + "x" + std::to_string(height) + " depth " + std::to_string(depth);
}

// The KVD that doz2era makes of a random picture.
Bytes kvdOf(std::uint32_t width, std::uint32_t height, int depth, std::mt19937& rng) {
    const std::optional<Bytes> kvd = test::convertToKvd(test::randomBmp(width, height, depth, rng));
    EXPECT_TRUE(kvd.has_value()) << nameOf(width, height, depth);
    return kvd.value_or(Bytes{});
}

TEST(KvdToBmp, RoundTripsBothLayoutsAtTheRunEdges) {
    std::mt19937 rng(9);
    for (const int depth : {24, 32}) {
        for (const std::uint32_t width : {0u, 1u, 244u, 245u, 251u, 252u, 503u}) {
            for (const std::uint32_t height : {0u, 1u, 3u}) {
                SCOPED_TRACE(nameOf(width, height, depth));
                const Bytes bmp = test::randomBmp(width, height, depth, rng);
                const std::vector<Bytes> rows = test::topDownRows(bmp, width, height, depth);
                const std::optional<Bytes> kvd = test::convertToKvd(bmp);
                ASSERT_TRUE(kvd.has_value());

                const std::optional<DecodedKvd> decoded = decodeKvd(*kvd);
                ASSERT_TRUE(decoded.has_value());
                EXPECT_EQ(decoded->bitDepth, static_cast<std::uint32_t>(depth));
                EXPECT_EQ(decoded->width, width);
                EXPECT_EQ(decoded->height, height);
                EXPECT_EQ(decoded->rows, rows);

                const test::BmpConversion back = test::convertToBmp(*kvd);
                ASSERT_EQ(back.result.outcome, KvdToBmpOutcome::Done) << back.result.problem.text;
                EXPECT_EQ(back.result.header.width, width);
                EXPECT_EQ(back.result.header.height, height);
                EXPECT_EQ(back.result.header.fileSize, kvd->size());
                EXPECT_EQ(back.bmp, test::canonicalBmp(width, height, depth, rows));
                EXPECT_EQ(test::convertToKvd(back.bmp), kvd);
            }
        }
    }
}

// Reads and writes as the routine asks for them, over the bytes of a KVD in memory.
struct Traffic {
    std::size_t largestRead = 0;  // rows only, the header read aside
    std::size_t largestWrite = 0; // rows only, the BMP headers aside
    Bytes bmp;
};

Traffic convertRecording(const Bytes& kvd, std::size_t windowBytes) {
    Traffic traffic;
    const ReadAt inner = test::readerOf(kvd);
    const ReadAt read = [&](std::uint64_t offset, std::span<std::uint8_t> into) {
        if (offset != 0) {
            traffic.largestRead = std::max(traffic.largestRead, into.size());
        }
        return inner(offset, into);
    };
    const WriteBytes write = [&](std::span<const std::uint8_t> bytes) {
        if (!traffic.bmp.empty()) {
            traffic.largestWrite = std::max(traffic.largestWrite, bytes.size());
        }
        traffic.bmp.insert(traffic.bmp.end(), bytes.begin(), bytes.end());
        return true;
    };
    const KvdToBmpResult result = convertKvdToBmp(read, kvd.size(), write, windowBytes);
    EXPECT_EQ(result.outcome, KvdToBmpOutcome::Done) << result.problem.text;
    return traffic;
}

TEST(KvdToBmp, AnyWindowGivesTheSameBytesInBoundedBlocks) {
    struct Picture {
        std::uint32_t width, height;
        int depth;
        std::size_t rowLength, stride; // encoded KVD row, BMP row
    };
    const Picture pictures[] = {
        {300, 7, 24, 902, 900}, {245, 5, 32, 982, 980}, {5, 9, 24, 16, 16}, {1, 1, 32, 5, 4}};
    std::mt19937 rng(11);
    for (const Picture& p : pictures) {
        const Bytes kvd = kvdOf(p.width, p.height, p.depth, rng);
        const Bytes whole = test::convertToBmp(kvd).bmp;
        ASSERT_EQ(whole.size(), 54 + p.stride * p.height);
        for (const std::size_t window :
             {std::size_t{0}, std::size_t{1}, p.rowLength - 1, p.rowLength, p.rowLength + 1,
              p.stride + 1, 2 * p.rowLength + 3, 3 * p.stride, kvd.size(), kWindowBytes}) {
            SCOPED_TRACE(nameOf(p.width, p.height, p.depth) + ", window " + std::to_string(window));
            const Traffic traffic = convertRecording(kvd, window);
            EXPECT_EQ(traffic.bmp, whole);
            // Whole rows per block, as many as the window holds, at least one.
            EXPECT_LE(traffic.largestRead, std::max(window, p.rowLength));
            EXPECT_LE(traffic.largestWrite, std::max(window, p.stride));
            EXPECT_EQ(traffic.largestRead % p.rowLength, 0u);
            EXPECT_EQ(traffic.largestWrite % p.stride, 0u);
        }
    }
}

struct Damage {
    std::string name;
    Bytes file;
    std::uint64_t offset;
    std::string text;
};

std::vector<Damage> damagedFiles() {
    std::mt19937 rng(13);
    // 24-bit 260 x 3: rows of 782 bytes from offset 8, each a run of 251 pixels (run byte 0xFF)
    // and one of 9 (0x0D at 754 into the row); the file is 2354 bytes.
    const Bytes k24 = kvdOf(260, 3, 24, rng);
    // 32-bit 245 x 2: rows of 982 bytes from offset 48, runs of 244 (0xFF) and 1 (0x0C at 977
    // into the row); body length 1964 at offset 20, the file 2012 bytes.
    const Bytes k32 = kvdOf(245, 2, 32, rng);
    const Bytes empty24 = kvdOf(0, 5, 24, rng);

    std::vector<Damage> cases = {
        {"empty file", {}, 0, "file too short for a KVD header"},
        {"two bytes of the 24-bit magic", {0xB9, 0xAA}, 2, "file too short for a KVD header"},
        {"five bytes of the 32-bit signature",
         {'Z', 'O', 'R', '0', '0'},
         5,
         "file too short for a KVD header"},
        {"a BMP", test::bmpFile(1, 1, 24, 4), 0, "unknown magic, not a KVD file"},
        {"one byte", {0x42}, 0, "unknown magic, not a KVD file"},
        {"24-bit magic with its last byte changed", with(k24, 3, {0xB4}), 0,
         "unknown magic, not a KVD file"},
        {"32-bit signature zor00000", with(k32, 0, {'z'}), 0, "unknown magic, not a KVD file"},
        {"24-bit header cut short", prefix(k24, 7), 7,
         "file too short for the 8-byte header of the 24-bit layout"},
        {"32-bit header cut short", prefix(k32, 47), 47,
         "file too short for the 48-byte header of the 32-bit layout"},
        {"body length one more", withLe(k32, 20, 1965, 4), 20,
         "body length 1965 in the header, 1964 bytes after it"},
        {"body length one less", withLe(k32, 20, 1963, 4), 20,
         "body length 1963 in the header, 1964 bytes after it"},
        {"32-bit file cut short, body length not updated", prefix(k32, 2002), 20,
         "body length 1964 in the header, 1954 bytes after it"},
        {"24-bit run byte 0x03", with(k24, 8 + 782, {0x03}), 790, "run byte 0x03 outside 5..255"},
        {"24-bit run byte 0x00", with(k24, 8, {0x00}), 8, "run byte 0x00 outside 5..255"},
        {"32-bit run byte 0x0B", with(k32, 48, {0x0B}), 48, "run byte 0x0B outside 12..255"},
        {"run byte in range, not the full run", with(k24, 8 + 2 * 782, {0xFE}), 1572,
         "run byte 0xFE where the width requires 0xFF"},
        {"24-bit final run one pixel short", with(k24, 8 + 754, {0x0C}), 762,
         "run byte 0x0C where the width requires 0x0D"},
        {"32-bit final run one pixel long", with(k32, 48 + 982 + 977, {0x0D}), 2007,
         "run byte 0x0D where the width requires 0x0C"},
        {"24-bit row cut short", prefix(k24, 2254), 2254, "file cut short in row 2"},
        {"24-bit last byte missing", prefix(k24, 2353), 2353, "file cut short in row 2"},
        {"24-bit file ends after the first row", prefix(k24, 790), 790, "file cut short in row 1"},
        {"32-bit cut short, body length updated", withLe(prefix(k32, 2002), 20, 1954, 4), 2002,
         "file cut short in row 1"},
        {"24-bit, 12 bytes after the last row", plus(k24, 12), 2354, "12 bytes after the last row"},
        {"24-bit, 1 byte after the last row", plus(k24, 1), 2354, "1 byte after the last row"},
        {"32-bit, bytes after the last row, body length updated", withLe(plus(k32, 3), 20, 1967, 4),
         2012, "3 bytes after the last row"},
        {"32-bit, bytes after the last row, body length not updated", plus(k32, 3), 20,
         "body length 1964 in the header, 1967 bytes after it"},
        {"24-bit width 0, 4 bytes after the header", plus(empty24, 4), 8,
         "4 bytes after the header"},
        {"height 4 with 3 rows", withLe(k24, 6, 4, 2), 2354, "file cut short in row 3"},
        {"height 65535 with 3 rows", withLe(k24, 6, 65535, 2), 2354, "file cut short in row 3"},
        {"32-bit height 3 with 2 rows", withLe(k32, 10, 3, 2), 2012, "file cut short in row 2"},
        {"width one more: rows of 785 bytes", withLe(k24, 4, 261, 2), 2354,
         "file cut short in row 2"},
        {"width one less: rows of 779 bytes", withLe(k24, 4, 259, 2), 2345,
         "9 bytes after the last row"},
        {"height 0 with rows", withLe(k24, 6, 0, 2), 8, "2346 bytes after the header"},
    };
    // Every byte of the 32-bit header that the writer fixes: 0x1120 at 14, 0x30 at 16 and 24,
    // zero elsewhere; width, height and body length excepted.
    for (std::size_t i = 12; i < 48; ++i) {
        if (i >= 20 && i < 24) {
            continue;
        }
        const std::uint8_t fixed = i == 14 ? 0x20 : i == 15 ? 0x11 : i == 16 || i == 24 ? 0x30 : 0;
        const auto found = static_cast<std::uint8_t>(fixed ^ 0x01);
        char text[64];
        std::snprintf(text, sizeof text, "header byte 0x%02X where the writer puts 0x%02X", found,
                      fixed);
        cases.push_back(
            {"32-bit header byte " + std::to_string(i), with(k32, i, {found}), i, text});
    }
    return cases;
}

// Damage in the rows is found after the BMP headers (and, reading backwards, later rows) went
// out; everything else before the first byte is written.
bool foundInRows(const Damage& d) {
    return d.text.rfind("run byte", 0) == 0;
}

TEST(KvdReader, RefusesEveryDamagedFileWithItsProblemAndOffset) {
    for (const Damage& d : damagedFiles()) {
        SCOPED_TRACE(d.name);
        ASSERT_LE(d.offset, d.file.size());

        KvdProblem problem;
        EXPECT_FALSE(decodeKvd(d.file, problem).has_value());
        EXPECT_EQ(problem.offset, d.offset);
        EXPECT_EQ(problem.text, d.text);

        for (const std::size_t window : {std::size_t{1}, kWindowBytes}) {
            SCOPED_TRACE("window " + std::to_string(window));
            const test::BmpConversion conversion = test::convertToBmp(d.file, window);
            EXPECT_EQ(conversion.result.outcome, KvdToBmpOutcome::Refused);
            EXPECT_EQ(conversion.result.problem.offset, d.offset);
            EXPECT_EQ(conversion.result.problem.text, d.text);
            if (!foundInRows(d)) {
                EXPECT_TRUE(conversion.bmp.empty());
            }
        }
    }
}

TEST(KvdReader, NamesTheFirstDamagedRowInMemoryAndTheLastWhenStreaming) {
    std::mt19937 rng(17);
    Bytes kvd = kvdOf(4, 5, 24, rng); // rows of 13 bytes from offset 8
    kvd[8 + 13] = 0x06;
    kvd[8 + 3 * 13] = 0x04;

    KvdProblem problem;
    EXPECT_FALSE(decodeKvd(kvd, problem).has_value());
    EXPECT_EQ(problem.offset, 21u);
    EXPECT_EQ(problem.text, "run byte 0x06 where the width requires 0x08");

    const test::BmpConversion conversion = test::convertToBmp(kvd);
    EXPECT_EQ(conversion.result.outcome, KvdToBmpOutcome::Refused);
    EXPECT_EQ(conversion.result.problem.offset, 47u);
    EXPECT_EQ(conversion.result.problem.text, "run byte 0x04 outside 5..255");
}

TEST(KvdToBmp, ReportsAFailedReadAtItsOffset) {
    std::mt19937 rng(19);
    const Bytes kvd = kvdOf(245, 4, 32, rng); // rows of 982 bytes from offset 48
    struct Failure {
        const char* name;
        std::uint64_t failingByte; // a read that covers this byte fails
        std::size_t window;
        std::uint64_t readOffset; // where the failed read starts
    };
    const Failure failures[] = {
        {"the header", 0, kWindowBytes, 0},
        {"the last byte of the header", 47, 1, 0},
        {"the bottom row, one row a read", 48 + 3 * 982 + 5, 1, 48 + 3 * 982},
        {"the top row, one row a read", 48 + 7, 1, 48},
        {"the top row, two rows a read", 48 + 7, 2 * 982, 48},
        {"the last byte, the whole file a read", kvd.size() - 1, kWindowBytes, 48},
    };
    for (const Failure& f : failures) {
        SCOPED_TRACE(f.name);
        const ReadAt inner = test::readerOf(kvd);
        const ReadAt read = [&](std::uint64_t offset, std::span<std::uint8_t> into) {
            return !(offset <= f.failingByte && f.failingByte - offset < into.size()) &&
                   inner(offset, into);
        };
        Bytes bmp;
        const KvdToBmpResult result =
            convertKvdToBmp(read, kvd.size(), test::appenderTo(bmp), f.window);
        EXPECT_EQ(result.outcome, KvdToBmpOutcome::ReadFailed);
        EXPECT_EQ(result.problem.offset, f.readOffset);
        EXPECT_EQ(result.problem.text, "read failed");
    }

    // A file that shrank after its size was taken: its size still promises the rows.
    const Bytes shrunk = prefix(kvd, 1000);
    Bytes bmp;
    const KvdToBmpResult result =
        convertKvdToBmp(test::readerOf(shrunk), kvd.size(), test::appenderTo(bmp), 1);
    EXPECT_EQ(result.outcome, KvdToBmpOutcome::ReadFailed);
    EXPECT_EQ(result.problem.offset, 48u + 3 * 982);
}

TEST(KvdToBmp, ReportsAFailedWriteAtItsOffset) {
    std::mt19937 rng(23);
    const Bytes kvd = kvdOf(7, 3, 24, rng); // BMP rows of 24 bytes
    struct Failure {
        const char* name;
        int failingCall; // 1 is the first write
        std::size_t window;
        std::uint64_t bmpOffset;
    };
    const Failure failures[] = {
        {"the headers", 1, kWindowBytes, 0},
        {"all rows in one write", 2, kWindowBytes, 54},
        {"the second row of one a write", 3, 1, 54 + 24},
        {"the last row of one a write", 4, 1, 54 + 48},
        {"the last block, two rows a write", 3, 48, 54 + 48},
    };
    for (const Failure& f : failures) {
        SCOPED_TRACE(f.name);
        int calls = 0;
        const WriteBytes write = [&](std::span<const std::uint8_t>) {
            return ++calls != f.failingCall;
        };
        const KvdToBmpResult result =
            convertKvdToBmp(test::readerOf(kvd), kvd.size(), write, f.window);
        EXPECT_EQ(result.outcome, KvdToBmpOutcome::WriteFailed);
        EXPECT_EQ(result.problem.offset, f.bmpOffset);
        EXPECT_EQ(result.problem.text, "write failed");
        EXPECT_EQ(calls, f.failingCall) << "no write after the failed one";
    }
}

} // namespace
} // namespace doz2era
