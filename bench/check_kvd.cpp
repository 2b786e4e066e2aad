// Checks converted files for the benchmark (bench/run.sh): each KVD must be accepted by the
// program's strict KVD reader (kvd/kvd_reader.h), and its rows must be exactly the pixel bytes of
// the BMP's rows, top row first. Exit status 0 only if every pair matches.
//
//   bench_check_kvd SRC.bmp DST.kvd [SRC.bmp DST.kvd ...]

#include "kvd/kvd_reader.h"
#include "tests/bmp_builder.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

namespace {

using doz2era::test::Bytes;

struct FileCloser {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};

std::optional<Bytes> readFile(const char* path) {
    const std::unique_ptr<std::FILE, FileCloser> file{std::fopen(path, "rb")};
    if (!file) {
        return std::nullopt;
    }
    Bytes bytes;
    // The benchmark's files are hundreds of MiB: one allocation, not a doubling vector.
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    if (!error) {
        bytes.reserve(static_cast<std::size_t>(size));
    }
    std::uint8_t chunk[1 << 16];
    std::size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) {
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    if (std::ferror(file.get()) != 0) {
        return std::nullopt;
    }
    return bytes;
}

std::uint32_t le32(const Bytes& bytes, std::size_t offset) {
    std::uint32_t value = 0;
    for (std::size_t i = 4; i-- > 0;) {
        value = value << 8 | bytes[offset + i];
    }
    return value;
}

// Empty when the pair matches, else what is wrong.
std::string comparePair(const char* bmpPath, const char* kvdPath) {
    const std::optional<Bytes> bmp = readFile(bmpPath);
    const std::optional<Bytes> kvd = readFile(kvdPath);
    if (!bmp || !kvd) {
        return "can not read the files";
    }
    if (bmp->size() < 54) {
        return "the BMP is shorter than its headers";
    }
    const std::uint32_t offset = le32(*bmp, 10);
    const std::uint32_t width = le32(*bmp, 18);
    const std::uint32_t height = le32(*bmp, 22);
    const int depth = (*bmp)[28];
    const std::size_t stride = doz2era::test::strideOf(width, depth);
    const std::size_t rowBytes = std::size_t{width} * static_cast<std::size_t>(depth / 8);
    if ((depth != 24 && depth != 32) || offset > bmp->size() ||
        (bmp->size() - offset) / stride < height) {
        return "the BMP is not a whole 24/32-bit picture";
    }
    doz2era::KvdProblem problem;
    const auto decoded = doz2era::decodeKvd(*kvd, problem);
    if (!decoded) {
        return "offset " + std::to_string(problem.offset) + ": " + problem.text;
    }
    if (decoded->bitDepth != static_cast<std::uint32_t>(depth) || decoded->width != width ||
        decoded->height != height) {
        return "the KVD header does not match the BMP";
    }
    for (std::size_t r = 0; r < height; ++r) {
        const std::uint8_t* bmpRow = bmp->data() + offset + (height - 1 - r) * stride;
        const Bytes& kvdRow = decoded->rows[r];
        if (kvdRow.size() != rowBytes || std::memcmp(kvdRow.data(), bmpRow, rowBytes) != 0) {
            return "a row differs from the BMP";
        }
    }
    return "";
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc % 2 != 1) {
        std::fprintf(stderr, "usage: bench_check_kvd SRC.bmp DST.kvd [SRC.bmp DST.kvd ...]\n");
        return 2;
    }
    int failures = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string problem = comparePair(argv[i], argv[i + 1]);
        if (!problem.empty()) {
            std::printf("%s: %s\n", argv[i + 1], problem.c_str());
            ++failures;
        }
    }
    return failures == 0 ? 0 : 1;
}
