#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#ifdef _WIN32
#include <filesystem>
#include <process.h>
#include <string>
#endif

namespace doz2era::test {

// A new temporary file, open for reading and writing and deleted when closed; null on failure.
inline std::FILE* temporaryFile() {
#ifdef _WIN32
    // msvcrt's tmpfile() makes its file in the root folder of the drive, where Windows lets only
    // administrators create files. This one goes to the temporary folder, named by process and
    // count so that test processes running side by side never share one ("D": delete on close).
    static int count = 0;
    const std::filesystem::path name =
        std::filesystem::temp_directory_path() /
        ("doz2era-capture-" + std::to_string(_getpid()) + "-" + std::to_string(++count));
    return _wfopen(name.c_str(), L"w+bD");
#else
    return std::tmpfile();
#endif
}

// Runs a writer against a temporary file and returns the bytes it wrote; fails the test if the
// writer reports a failed write.
template <typename Writer> std::vector<std::uint8_t> captureWrites(Writer&& writer) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file{temporaryFile(), &std::fclose};
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
