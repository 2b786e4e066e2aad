#include "bmp/source_image.h"

#include "bmp/bmp_format.h"

namespace doz2era {
namespace {

// BMP header offsets of the five fields this program reads.
constexpr std::size_t kSignatureOffset = 0;
constexpr std::size_t kPixelOffsetOffset = 10;
constexpr std::size_t kWidthOffset = 18;
constexpr std::size_t kHeightOffset = 22;
constexpr std::size_t kDepthOffset = 28;
static_assert(kDepthOffset + 1 == kHeaderFieldsSize);

constexpr std::uint16_t kSignatureBM = 0x4D42; // "BM" read little-endian

bool fits(std::size_t size, std::size_t offset, std::size_t width) {
    return offset <= size && width <= size - offset;
}

} // namespace

std::uint16_t readU16le(const std::uint8_t* data, std::size_t size, std::size_t offset) {
    if (!fits(size, offset, 2)) {
        return 0;
    }
    return static_cast<std::uint16_t>(data[offset] | data[offset + 1] << 8);
}

std::uint32_t readU32le(const std::uint8_t* data, std::size_t size, std::size_t offset) {
    if (!fits(size, offset, 4)) {
        return 0;
    }
    return static_cast<std::uint32_t>(data[offset]) |
           static_cast<std::uint32_t>(data[offset + 1]) << 8 |
           static_cast<std::uint32_t>(data[offset + 2]) << 16 |
           static_cast<std::uint32_t>(data[offset + 3]) << 24;
}

Outcome validateSource(SourceImage& image) {
    const std::uint8_t* data = image.header;
    // Only bytes that are both in the file and in the block are read.
    const std::size_t size = image.fileSize < image.headerSize
                                 ? static_cast<std::size_t>(image.fileSize)
                                 : image.headerSize;

    if (size < 2 || readU16le(data, size, kSignatureOffset) != kSignatureBM) {
        return Outcome::NotBmp;
    }
    // "BM" but too short for the depth byte: a cut-off header, not another format.
    if (size < kHeaderFieldsSize) {
        return Outcome::Corrupt;
    }

    image.bitDepth = data[kDepthOffset];
    if (image.bitDepth == 24) {
        image.bytesPerPixel = 3;
    } else if (image.bitDepth == 32) {
        image.bytesPerPixel = 4;
    } else {
        return Outcome::UnsupportedDepth;
    }

    image.pixelOffset = readU32le(data, size, kPixelOffsetOffset);
    image.width = readU32le(data, size, kWidthOffset);
    image.height = readU32le(data, size, kHeightOffset);
    image.rowStride = bmpRowStride(image.bitDepth, image.width);

    const std::uint64_t available =
        image.pixelOffset < image.fileSize ? image.fileSize - image.pixelOffset : 0;
    // stride * height can exceed 2^64 (a 32-bit width and height of 2^31 give exactly 2^64).
    // height != 0, so stride > available / height is exact: it holds iff stride * height >
    // available.
    if (image.height != 0 && image.rowStride > available / image.height) {
        return Outcome::Corrupt;
    }
    return image.bitDepth == 24 ? Outcome::Depth24 : Outcome::Depth32;
}

std::uint64_t sourceRow(const SourceImage& image, std::uint32_t r) {
    // BMP rows are stored bottom row first; output row r is stored row height - 1 - r.
    const std::uint64_t storedRow = image.height - 1u - r;
    return image.pixelOffset + storedRow * image.rowStride;
}

} // namespace doz2era
