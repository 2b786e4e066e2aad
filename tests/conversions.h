#pragma once

// Both conversions over bytes in memory, for the tests and the fuzz targets (free of GoogleTest):
// a BMP into a KVD by doz2era's validation and writers, a KVD into a BMP by convertKvdToBmp.

#include "bmp/source_image.h"
#include "kvd/byte_io.h"
#include "kvd/kvd_reader.h"
#include "kvd/kvd_writer.h"
#include "temporary_file.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

namespace doz2era::test {

// A ReadAt over `bytes` (kept alive by the caller): a read that does not lie wholly inside them
// fails, as a read past the end of a file does.
inline ReadAt readerOf(std::span<const std::uint8_t> bytes) {
    return [bytes](std::uint64_t offset, std::span<std::uint8_t> into) {
        if (offset > bytes.size() || into.size() > bytes.size() - offset) {
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

// What doz2era makes of the BMP file `bmp`: the KVD bytes, or nothing when validation refuses the
// file or a write fails. The only place where the tests and the fuzz targets call the writers
// for a whole file.
inline std::optional<std::vector<std::uint8_t>> convertToKvd(std::span<const std::uint8_t> bmp) {
    SourceImage image{bmp.data(), bmp.size()};
    const Outcome outcome = validateSource(image);
    if (outcome != Outcome::Depth24 && outcome != Outcome::Depth32) {
        return std::nullopt;
    }
    return writtenBy([&](std::FILE* stream) {
        return outcome == Outcome::Depth24 ? writeLayout24(image, stream)
                                           : writeLayout32(image, stream);
    });
}

struct BmpConversion {
    KvdToBmpResult result;
    std::vector<std::uint8_t> bmp; // everything written, whatever the outcome
};

// convertKvdToBmp over the KVD file `kvd` held in memory.
inline BmpConversion convertToBmp(std::span<const std::uint8_t> kvd,
                                  std::size_t windowBytes = kKvdToBmpWindow) {
    BmpConversion conversion;
    conversion.result =
        convertKvdToBmp(readerOf(kvd), kvd.size(), appenderTo(conversion.bmp), windowBytes);
    return conversion;
}

} // namespace doz2era::test
