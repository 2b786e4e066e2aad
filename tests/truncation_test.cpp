#include "bmp/source_image.h"
#include "bmp_builder.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

namespace doz2era {
namespace {

using test::Bytes;

struct Source {
    std::string name;
    Bytes file;
};

// Valid sources whose pixel area is not empty and ends exactly at the end of the file, so that
// every shorter prefix lacks pixel bytes.
std::vector<Source> wholeSources() {
    std::mt19937 rng{7};
    const std::string suite = DOZ2ERA_TEST_DATA "/bmpsuite/";
    return {
        {"24-bit 1x1", test::randomBmp(1, 1, 24, rng)},
        {"24-bit 5x3", test::randomBmp(5, 3, 24, rng)},
        {"24-bit 253x2, two runs a row", test::randomBmp(253, 2, 24, rng)},
        {"32-bit 1x1", test::randomBmp(1, 1, 32, rng)},
        {"32-bit 245x2, two runs a row", test::randomBmp(245, 2, 32, rng)},
        {"32-bit 3x2, pixel area 10 bytes after the headers", test::bmpFile(3, 2, 32, 34, 64)},
        {"24-bit 2x2, pixel area inside the headers", test::bmpFile(2, 2, 24, 0, 38)},
        {"bmpsuite good/rgb24.bmp", test::readFile(suite + "good/rgb24.bmp")},
        {"bmpsuite good/rgb32.bmp", test::readFile(suite + "good/rgb32.bmp")},
    };
}

TEST(TruncatedSource, EveryPrefixIsRefused) {
    for (const Source& source : wholeSources()) {
        SCOPED_TRACE(source.name);
        ASSERT_FALSE(source.file.empty());
        SourceImage whole{source.file.data(), source.file.size(), source.file.size()};
        const Outcome outcome = validateSource(whole);
        ASSERT_TRUE(outcome == Outcome::Depth24 || outcome == Outcome::Depth32);
        ASSERT_GT(whole.width, 0u);
        ASSERT_GT(whole.height, 0u);
        ASSERT_EQ(whole.pixelOffset + whole.rowStride * whole.height, source.file.size())
            << "the pixel area must end at the end of the file";

        for (std::size_t length = 0; length < source.file.size(); ++length) {
            // A block of exactly `length` bytes: a read past its end is a sanitizer report.
            const auto block = std::make_unique<std::uint8_t[]>(length);
            std::copy_n(source.file.begin(), length, block.get());
            SourceImage prefix{block.get(), length, length};
            const Outcome expected = length < 2 ? Outcome::NotBmp : Outcome::Corrupt;
            const Outcome got = validateSource(prefix);
            if (got != expected) {
                ADD_FAILURE() << "prefix of " << length << " bytes gives outcome "
                              << static_cast<int>(got);
                break; // one report per source is enough
            }
        }
    }
}

} // namespace
} // namespace doz2era
