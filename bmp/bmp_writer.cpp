#include "bmp/bmp_writer.h"

#include "bmp/bmp_format.h"

namespace doz2era {
namespace {

constexpr std::uint64_t kMaxField32 = 0xFFFFFFFFu;

// 2835 pixels per metre is 72 dots per inch; readers use it only to print the picture.
constexpr std::uint32_t kPixelsPerMetre = 2835;

constexpr std::uint32_t kInfoHeaderSize = 40;
constexpr std::uint32_t kBiRgb = 0; // uncompressed, no bit-field masks

void putLe(std::uint8_t* at, std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) {
        at[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

} // namespace

// The headers, little-endian:
//   offset size content
//   0      2    "BM"
//   2      4    bfSize: the whole file, or 0 when that does not fit 32 bits
//   6      4    reserved, zero
//   10     4    bfOffBits: 54, the rows follow the headers
//   14     4    biSize: 40
//   18     4    biWidth
//   22     4    biHeight, positive: rows bottom row first
//   26     2    biPlanes: 1
//   28     2    biBitCount: 24 or 32
//   30     4    biCompression: BI_RGB
//   34     4    biSizeImage: bytes of all rows, or 0 when that does not fit 32 bits
//   38     4    biXPelsPerMeter
//   42     4    biYPelsPerMeter
//   46     4    biClrUsed: 0, no palette
//   50     4    biClrImportant: 0
std::array<std::uint8_t, kBmpHeadersSize> bmpHeaders(std::uint32_t bitDepth, std::uint32_t width,
                                                     std::uint32_t height) {
    // A BI_RGB reader takes the row sizes from width, height and depth: biSizeImage may be 0 for
    // BI_RGB, and bfSize is not needed to find the rows, so 0 stands for "too large to say".
    const std::uint64_t stride = bmpRowStride(bitDepth, width);
    std::uint64_t imageSize = 0;
    std::uint64_t fileSize = 0;
    // height != 0, so stride <= kMaxField32 / height is exact: it holds iff stride * height fits.
    if (height == 0 || stride <= kMaxField32 / height) {
        imageSize = stride * height;
        if (imageSize <= kMaxField32 - kBmpHeadersSize) {
            fileSize = kBmpHeadersSize + imageSize;
        }
    }

    std::array<std::uint8_t, kBmpHeadersSize> headers{'B', 'M'};
    putLe(&headers[2], fileSize, 4);
    putLe(&headers[10], kBmpHeadersSize, 4);
    putLe(&headers[14], kInfoHeaderSize, 4);
    putLe(&headers[18], width, 4);
    putLe(&headers[22], height, 4);
    putLe(&headers[26], 1, 2);
    putLe(&headers[28], bitDepth, 2);
    putLe(&headers[30], kBiRgb, 4);
    putLe(&headers[34], imageSize, 4);
    putLe(&headers[38], kPixelsPerMetre, 4);
    putLe(&headers[42], kPixelsPerMetre, 4);
    return headers;
}

} // namespace doz2era
