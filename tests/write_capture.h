#pragma once

#include "temporary_file.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <utility>
#include <vector>

namespace doz2era::test {

// Runs a writer against a temporary file and returns the bytes it wrote; fails the test if there
// is no temporary file or the writer reports a failed write.
template <typename Writer> std::vector<std::uint8_t> captureWrites(Writer&& writer) {
    std::optional<std::vector<std::uint8_t>> bytes = writtenBy(writer);
    EXPECT_TRUE(bytes.has_value()) << "no temporary file, or the writer reported a failed write";
    return bytes ? std::move(*bytes) : std::vector<std::uint8_t>{};
}

} // namespace doz2era::test
