#pragma once

// Both conversions over bytes in memory, for the tests and the fuzz targets (free of GoogleTest):
// a BMP into a KVD by doz2era's validation and writers, a KVD into a BMP by convertKvdToBmp.

#include "bmp/source_image.h"
#include "kvd/byte_io.h"
#include "kvd/kvd_reader.h"
#include "kvd/kvd_writer.h"
#include "kvd/layout.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <vector>

namespace doz2era::test {

// A ReadAt over `bytes` (kept alive by the caller): a read that does not lie wholly inside them
// fails, as a read past the end of a file does; so does one that reaches `failFrom`, as a file
// that shrank or a device error would.
inline ReadAt readerOf(std::span<const std::uint8_t> bytes,
                       std::uint64_t failFrom = std::numeric_limits<std::uint64_t>::max()) {
    return [bytes, failFrom](std::uint64_t offset, std::span<std::uint8_t> into) {
        const std::uint64_t end = failFrom < bytes.size() ? failFrom : bytes.size();
        if (offset > end || into.size() > end - offset) {
            return false;
        }
        if (!into.empty()) {
            std::memcpy(into.data(), bytes.data() + offset, into.size());
        }
        return true;
    };
}

// A WriteBytes that appends to `out` (kept alive by the caller).
inline WriteBytes appenderTo(std::vector<std::uint8_t>& out) {
    return [&out](std::span<const std::uint8_t> bytes) {
        out.insert(out.end(), bytes.begin(), bytes.end());
        return true;
    };
}

// The record validateSource sees for a whole file held in memory.
inline SourceImage sourceOf(std::span<const std::uint8_t> file) {
    return SourceImage{file.data(), file.size(), file.size()};
}

// Writes an accepted source with the writer for its depth.
inline WriteStatus writeLayout(const SourceImage& image, const ReadAt& read,
                               const WriteBytes& write, std::size_t windowBytes) {
    return image.bitDepth == 24 ? writeLayout24(image, read, write, windowBytes)
                                : writeLayout32(image, read, write, windowBytes);
}

// What doz2era makes of the BMP file `bmp`, read and written `windowBytes` at a time: the KVD
// bytes, or nothing when validation or the KVD limits refuse the file or a write fails. The only
// place where the tests and the fuzz targets call the writers for a whole file.
inline std::optional<std::vector<std::uint8_t>>
convertToKvd(std::span<const std::uint8_t> bmp, std::size_t windowBytes = kWindowBytes) {
    SourceImage image = sourceOf(bmp);
    const Outcome outcome = validateSource(image);
    if ((outcome != Outcome::Depth24 && outcome != Outcome::Depth32) ||
        !fitsLayout(image.bitDepth, image.width, image.height)) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> out;
    if (writeLayout(image, readerOf(bmp), appenderTo(out), windowBytes) != WriteStatus::Written) {
        return std::nullopt;
    }
    return out;
}

struct BmpConversion {
    KvdToBmpResult result;
    std::vector<std::uint8_t> bmp; // everything written, whatever the outcome
};

// convertKvdToBmp over the KVD file `kvd` held in memory.
inline BmpConversion convertToBmp(std::span<const std::uint8_t> kvd,
                                  std::size_t windowBytes = kWindowBytes) {
    BmpConversion conversion;
    conversion.result =
        convertKvdToBmp(readerOf(kvd), kvd.size(), appenderTo(conversion.bmp), windowBytes);
    return conversion;
}

} // namespace doz2era::test
