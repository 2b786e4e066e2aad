// Writes one bottom-up BMP with pseudo-random pixel bytes for the benchmark (bench/run.sh).
// The fill bytes at the end of 24-bit rows are 0xEE, so that a converter copying them shows.
// With --sparse, it writes the headers alone and extends the file to its full size without
// writing the rows: a hole that reads as zero pixels and takes no disk space (a 65535 x 65535
// picture for the memory measurement).
//
//   bench_make_bmp [--sparse] DEPTH WIDTH HEIGHT OUT.bmp    (DEPTH 24 or 32)

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

namespace {

constexpr std::size_t kHeaderSize = 54; // BITMAPFILEHEADER + BITMAPINFOHEADER

void putLe(std::uint8_t* at, std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) {
        at[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

// xorshift64: fast, and the same pictures on every run.
std::uint64_t nextRandom(std::uint64_t& state) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
}

struct FileCloser {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};

} // namespace

int main(int argc, char** argv) {
    const bool sparse = argc > 1 && std::strcmp(argv[1], "--sparse") == 0;
    if (sparse) {
        --argc;
        ++argv;
    }
    if (argc != 5) {
        std::fprintf(stderr, "usage: bench_make_bmp [--sparse] DEPTH WIDTH HEIGHT OUT.bmp\n");
        return 2;
    }
    const unsigned long depth = std::strtoul(argv[1], nullptr, 10);
    const unsigned long width = std::strtoul(argv[2], nullptr, 10);
    const unsigned long height = std::strtoul(argv[3], nullptr, 10);
    if ((depth != 24 && depth != 32) || width == 0 || width > 65535 || height == 0 ||
        height > 65535) {
        std::fprintf(stderr, "bench_make_bmp: depth 24 or 32, sides 1 to 65535\n");
        return 2;
    }
    const std::size_t pixelBytes = width * (depth / 8);
    const std::size_t stride = depth == 24 ? pixelBytes + width % 4 : pixelBytes;
    const std::uint64_t fileSize = kHeaderSize + std::uint64_t{stride} * height;

    std::uint8_t header[kHeaderSize] = {'B', 'M'};
    putLe(header + 2, fileSize, 4);
    putLe(header + 10, kHeaderSize, 4);
    putLe(header + 14, 40, 4); // BITMAPINFOHEADER size
    putLe(header + 18, width, 4);
    putLe(header + 22, height, 4);
    putLe(header + 26, 1, 2); // planes
    putLe(header + 28, depth, 2);
    putLe(header + 34, std::uint64_t{stride} * height, 4);

    const std::unique_ptr<std::FILE, FileCloser> out{std::fopen(argv[4], "wb")};
    if (!out) {
        std::fprintf(stderr, "bench_make_bmp: can not create %s\n", argv[4]);
        return 1;
    }
    bool ok = std::fwrite(header, 1, kHeaderSize, out.get()) == kHeaderSize;
    if (sparse) {
        std::error_code error;
        ok = ok && std::fflush(out.get()) == 0;
        std::filesystem::resize_file(argv[4], fileSize, error);
        if (!ok || error) {
            std::fprintf(stderr, "bench_make_bmp: can not write %s\n", argv[4]);
            return 1;
        }
        return 0;
    }
    std::vector<std::uint8_t> row(stride + 8, 0xEE);
    std::uint64_t state =
        0x9E3779B97F4A7C15u ^ (std::uint64_t{depth} << 32 | std::uint64_t{width} << 16 | height);
    for (unsigned long r = 0; r < height && ok; ++r) {
        for (std::size_t i = 0; i < pixelBytes; i += 8) {
            putLe(row.data() + i, nextRandom(state), 8);
        }
        for (std::size_t i = pixelBytes; i < stride; ++i) {
            row[i] = 0xEE;
        }
        ok = std::fwrite(row.data(), 1, stride, out.get()) == stride;
    }
    if (!ok || std::fflush(out.get()) != 0) {
        std::fprintf(stderr, "bench_make_bmp: can not write %s\n", argv[4]);
        return 1;
    }
    return 0;
}
