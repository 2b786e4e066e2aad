#pragma once

// Temporary files for capturing what a writer puts into a stream. Free of GoogleTest, so that
// the fuzz targets use them too.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
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

// Runs `writer`, a callable taking a std::FILE* and returning whether every write went out,
// against a temporary file, and returns the bytes it wrote; nothing when there is no temporary
// file, the writer reports a failed write or the bytes cannot be read back.
template <typename Writer> std::optional<std::vector<std::uint8_t>> writtenBy(Writer&& writer) {
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file{temporaryFile(), &std::fclose};
    if (!file || !writer(file.get()) || std::fflush(file.get()) != 0) {
        return std::nullopt;
    }
    const long size = std::ftell(file.get());
    if (size < 0) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    std::rewind(file.get());
    if (std::fread(bytes.data(), 1, bytes.size(), file.get()) != bytes.size()) {
        return std::nullopt;
    }
    return bytes;
}

} // namespace doz2era::test
