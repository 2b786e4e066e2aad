#include "bmp/source_image.h"
#include "bmp_builder.h"
#include "bmpsuite_files.h"
#include "conversions.h"
#include "kvd/kvd_reader.h"
#include "kvd/layout.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace doz2era {
namespace {

const std::map<Outcome, std::string> kOutcomeNames = {
    {Outcome::NotBmp, "NotBmp"},   {Outcome::UnsupportedDepth, "UnsupportedDepth"},
    {Outcome::Corrupt, "Corrupt"}, {Outcome::Depth24, "Depth24"},
    {Outcome::Depth32, "Depth32"},
};

TEST(BmpSuite, EveryFileGetsItsExpectedOutcome) {
    const std::vector<test::SuiteFile> suite = test::bmpSuiteFiles();
    ASSERT_FALSE(suite.empty()) << "missing " << test::kBmpSuiteRoot << "expected.tsv";
    int files = 0;
    for (const auto& [name, outcomeName] : suite) {
        SCOPED_TRACE(name);
        const test::Bytes bmp = test::readFile(test::kBmpSuiteRoot + name);
        ASSERT_FALSE(bmp.empty());
        ++files;

        SourceImage image = test::sourceOf(bmp);
        const Outcome outcome = validateSource(image);
        const bool accepted = outcome == Outcome::Depth24 || outcome == Outcome::Depth32;
        // The converter's order: the BMP checks first, then the KVD limits.
        const std::string got = accepted && !fitsLayout(image.bitDepth, image.width, image.height)
                                    ? "TooLarge"
                                    : kOutcomeNames.at(outcome);
        EXPECT_EQ(got, outcomeName);
        if (got != "Depth24" && got != "Depth32") {
            continue;
        }
        // Accepted files must come back pixel for pixel, top row first.
        const std::optional<test::Bytes> out = test::convertToKvd(bmp);
        ASSERT_TRUE(out.has_value());
        const auto decoded = decodeKvd(*out);
        ASSERT_TRUE(decoded.has_value());
        const std::vector<test::Bytes> rows =
            test::topDownRows(bmp, image.width, image.height, image.bitDepth, image.pixelOffset);
        EXPECT_EQ(decoded->rows, rows);

        // The KVD turns into a plain BMP of the same pixels, which converts into the same KVD.
        const test::BmpConversion back = test::convertToBmp(*out);
        ASSERT_EQ(back.result.outcome, KvdToBmpOutcome::Done) << back.result.problem.text;
        EXPECT_EQ(back.bmp, test::canonicalBmp(image.width, image.height, image.bitDepth, rows));
        EXPECT_EQ(test::convertToKvd(back.bmp), out);
    }
    EXPECT_EQ(files, 30);
}

} // namespace
} // namespace doz2era
