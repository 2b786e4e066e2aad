// Writes the sample pictures shipped in examples/: a 24-bit 320x200 sunset gradient and a 32-bit
// 256x256 picture whose fourth byte fades out from the centre. Run from the repository root:
//   cmake --build --preset release --target make_samples && build/release/make_samples examples

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

void put(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint32_t value, int width) {
    for (int i = 0; i < width; ++i) {
        bytes[offset + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

std::uint8_t channel(double value) {
    return static_cast<std::uint8_t>(std::clamp(value, 0.0, 255.0) + 0.5);
}

// A bottom-up BMP with a 54-byte header; `pixel(x, y, out)` fills one pixel of row y (0 = top).
template <typename Pixel>
bool writeBmp(const std::string& path, int width, int height, int depth, Pixel pixel) {
    const int bytesPerPixel = depth / 8;
    const int stride = (width * bytesPerPixel + 3) / 4 * 4;
    std::vector<std::uint8_t> bytes(54 + static_cast<std::size_t>(stride * height), 0);
    bytes[0] = 'B';
    bytes[1] = 'M';
    put(bytes, 2, static_cast<std::uint32_t>(bytes.size()), 4);
    put(bytes, 10, 54, 4);
    put(bytes, 14, 40, 4);
    put(bytes, 18, static_cast<std::uint32_t>(width), 4);
    put(bytes, 22, static_cast<std::uint32_t>(height), 4);
    put(bytes, 26, 1, 2);
    put(bytes, 28, static_cast<std::uint32_t>(depth), 2);
    put(bytes, 34, static_cast<std::uint32_t>(stride * height), 4);
    put(bytes, 38, 2835, 4); // 72 dpi
    put(bytes, 42, 2835, 4);
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = &bytes[54 + static_cast<std::size_t>((height - 1 - y) * stride)];
        for (int x = 0; x < width; ++x) {
            pixel(x, y, row + x * bytesPerPixel);
        }
    }
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

} // namespace

int main(int argc, char** argv) {
    const std::string dir = argc > 1 ? argv[1] : ".";
    // Sky from deep blue to orange, a sun low on the horizon, dark sea below.
    const bool sunset = writeBmp(dir + "/sunset24.bmp", 320, 200, 24, [](int x, int y, auto* px) {
        const double t = y / 199.0;
        const double sun = std::hypot(x - 160.0, y - 128.0);
        double r = 40 + 215 * t, g = 30 + 120 * t * t, b = 120 - 90 * t;
        if (sun < 28) {
            r = 255, g = 220, b = 120;
        } else if (sun < 60) {
            const double glow = (60 - sun) / 32;
            r += 60 * glow, g += 70 * glow, b += 20 * glow;
        }
        if (y >= 140) {
            const double depth = (y - 140) / 59.0;
            const double wave = 0.5 + 0.5 * std::sin(x * 0.15 + y * 0.9);
            r = r * (0.45 - 0.25 * depth) + 20 * wave;
            g = g * (0.45 - 0.25 * depth) + 10 * wave;
            b = 80 + 40 * (1 - depth);
        }
        px[0] = channel(b), px[1] = channel(g), px[2] = channel(r);
    });
    // A colour wheel whose fourth byte (alpha) fades from opaque at the centre to clear.
    const bool wheel = writeBmp(dir + "/wheel32.bmp", 256, 256, 32, [](int x, int y, auto* px) {
        const double dx = x - 127.5, dy = y - 127.5;
        const double angle = std::atan2(dy, dx);
        const double radius = std::hypot(dx, dy) / 181.0;
        px[0] = channel(128 + 127 * std::cos(angle + 4.19));
        px[1] = channel(128 + 127 * std::cos(angle + 2.09));
        px[2] = channel(128 + 127 * std::cos(angle));
        px[3] = channel(255 * (1 - radius));
    });
    if (!sunset || !wheel) {
        std::printf("cannot write the samples into %s\n", dir.c_str());
        return 1;
    }
    return 0;
}
