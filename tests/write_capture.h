#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

namespace doz2era::test {

// Runs a writer against a temporary file and returns the bytes it wrote; fails the test if the
// writer reports a failed write.
template <typename Writer> std::vector<std::uint8_t> captureWrites(Writer&& writer) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file{std::tmpfile(), &std::fclose};
    if (!file) {
        ADD_FAILURE() << "no temporary file";
        return {};
    }
    EXPECT_TRUE(writer(file.get()));
    std::fflush(file.get());
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(std::ftell(file.get())));
    std::rewind(file.get());
    EXPECT_EQ(std::fread(bytes.data(), 1, bytes.size(), file.get()), bytes.size());
    return bytes;
}

} // namespace doz2era::test
