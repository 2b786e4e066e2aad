#pragma once

// The streaming writers over bytes in memory: a source file held in a vector, read at offsets,
// optionally failing from a chosen offset on, and a destination that collects what is written.

#include "bmp/source_image.h"
#include "bmp_builder.h"
#include "kvd/byte_io.h"
#include "kvd/kvd_writer.h"
#include "kvd/layout.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>

namespace doz2era::test {

// Reads `file` at offsets; a read that reaches `failFrom` or the end of `file` fails, as a file
// that shrank or a device error would.
inline ReadAt memoryReader(const Bytes& file,
                           std::uint64_t failFrom = std::numeric_limits<std::uint64_t>::max()) {
    return [&file, failFrom](std::uint64_t offset, std::span<std::uint8_t> into) {
        const std::uint64_t end = failFrom < file.size() ? failFrom : file.size();
        if (offset > end || into.size() > end - offset) {
            return false;
        }
        std::copy_n(file.begin() + static_cast<std::ptrdiff_t>(offset), into.size(), into.begin());
        return true;
    };
}

// Appends every write to `out`.
inline WriteBytes memoryWriter(Bytes& out) {
    return [&out](std::span<const std::uint8_t> bytes) {
        out.insert(out.end(), bytes.begin(), bytes.end());
        return true;
    };
}

// The record validateSource sees for a whole file held in memory.
inline SourceImage sourceOf(const Bytes& file) {
    return SourceImage{file.data(), file.size(), file.size()};
}

// Writes an accepted source with the writer for its depth.
inline WriteStatus writeLayout(const SourceImage& image, const ReadAt& read,
                               const WriteBytes& write, std::size_t windowBytes) {
    return image.bitDepth == 24 ? writeLayout24(image, read, write, windowBytes)
                                : writeLayout32(image, read, write, windowBytes);
}

// Validates a BMP held in `file` and writes it with the writer for its depth, `windowBytes` at a
// time; fails the test unless the source is accepted and every byte is written.
inline Bytes convertInMemory(const Bytes& file, std::size_t windowBytes = kWindowBytes) {
    SourceImage image = sourceOf(file);
    const Outcome outcome = validateSource(image);
    EXPECT_TRUE(outcome == Outcome::Depth24 || outcome == Outcome::Depth32);
    EXPECT_TRUE(fitsLayout(image.bitDepth, image.width, image.height));
    Bytes out;
    EXPECT_EQ(writeLayout(image, memoryReader(file), memoryWriter(out), windowBytes),
              WriteStatus::Written);
    return out;
}

} // namespace doz2era::test
