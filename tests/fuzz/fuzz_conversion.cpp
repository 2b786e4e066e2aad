// libFuzzer target: arbitrary bytes as a whole source file, through validation, the KVD limits
// and, for an accepted source, the matching writer into memory, once with a window that holds the
// whole file and once with a small window chosen by the input (one pixel, pieces of a row, a few
// rows). Any broken promise aborts, and libFuzzer keeps the input as a finding.
//
// Input size: an accepted source's rows lie inside the file, so the KVD output is at most a little
// longer than the input; the work per input grows with its length alone. The runs keep inputs
// small with -max_len (see tests/fuzz/CMakeLists.txt and the README) so that the fuzzer stays fast.

#include "bmp/source_image.h"
#include "fuzz_check.h"
#include "kvd/kvd_reader.h"
#include "kvd/kvd_writer.h"
#include "kvd/layout.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

using namespace doz2era;
using fuzz::check;
using fuzz::fail;

const char* const doz2era::fuzz::kTargetName = "doz2era_fuzz";

namespace {

// Header fields read here byte by byte, apart from the program's own readers.
std::uint64_t fieldAt(const std::uint8_t* data, std::size_t size, std::size_t offset,
                      std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = width; i-- > 0;) {
        value = value << 8 | (offset + i < size ? data[offset + i] : 0);
    }
    return value;
}

struct Header {
    std::uint64_t pixelOffset = 0;
    std::uint64_t width = 0;
    std::uint64_t height = 0;
    int depth = 0;
    std::uint64_t stride = 0;
};

// Wide enough for any stride times any height (below 2^70).
__extension__ typedef unsigned __int128 Wide;

// What the converter makes of a source: the BMP outcomes, with the KVD limits checked last.
enum class Verdict { NotBmp, UnsupportedDepth, Corrupt, TooLarge, Depth24, Depth32 };

Verdict verdictOf(Outcome outcome, const SourceImage& image) {
    switch (outcome) {
    case Outcome::NotBmp:
        return Verdict::NotBmp;
    case Outcome::UnsupportedDepth:
        return Verdict::UnsupportedDepth;
    case Outcome::Corrupt:
        return Verdict::Corrupt;
    case Outcome::Depth24:
    case Outcome::Depth32:
        if (!fitsLayout(image.bitDepth, image.width, image.height)) {
            return Verdict::TooLarge;
        }
        return outcome == Outcome::Depth24 ? Verdict::Depth24 : Verdict::Depth32;
    }
    fail("outcome outside the five");
}

// The verdict the header asks for, worked out with 128-bit products so that nothing can wrap.
Verdict expectedVerdict(const std::uint8_t* data, std::size_t size, Header& header) {
    if (size < 2 || data[0] != 'B' || data[1] != 'M') {
        return Verdict::NotBmp;
    }
    if (size < 29) {
        return Verdict::Corrupt;
    }
    header.depth = data[28];
    if (header.depth != 24 && header.depth != 32) {
        return Verdict::UnsupportedDepth;
    }
    header.pixelOffset = fieldAt(data, size, 10, 4);
    header.width = fieldAt(data, size, 18, 4);
    header.height = fieldAt(data, size, 22, 4);
    // A BMP row is filled up to a multiple of four bytes.
    header.stride = (header.width * static_cast<std::uint64_t>(header.depth) + 31) / 32 * 4;
    // Rows of width 0 need no bytes, wherever the pixel area would start.
    const Wide rowBytes = static_cast<Wide>(header.stride) * header.height;
    if (rowBytes != 0 && rowBytes + header.pixelOffset > size) {
        return Verdict::Corrupt;
    }
    if (header.width > 65535 || header.height > 65535) {
        return Verdict::TooLarge;
    }
    if (header.depth == 32 && bodyLength32(header.width, header.height) > 0xFFFFFFFFu) {
        return Verdict::TooLarge;
    }
    return header.depth == 24 ? Verdict::Depth24 : Verdict::Depth32;
}

// Everything the writer for the depth sends, read `windowBytes` at a time from the input. A read
// outside the input is a broken promise: validation guarantees that every row lies inside it.
std::vector<std::uint8_t> writeToMemory(const SourceImage& image, const std::uint8_t* data,
                                        std::size_t size, std::size_t windowBytes) {
    const ReadAt read = [data, size](std::uint64_t offset, std::span<std::uint8_t> into) {
        check(offset <= size && into.size() <= size - offset, "read outside the source");
        std::copy_n(data + offset, into.size(), into.data());
        return true;
    };
    std::vector<std::uint8_t> out;
    const WriteBytes write = [&out, windowBytes](std::span<const std::uint8_t> bytes) {
        check(!bytes.empty() && bytes.size() <= windowBytes, "a write larger than the window");
        out.insert(out.end(), bytes.begin(), bytes.end());
        return true;
    };
    const WriteStatus status = image.bitDepth == 24
                                   ? writeLayout24(image, read, write, windowBytes)
                                   : writeLayout32(image, read, write, windowBytes);
    check(status == WriteStatus::Written, "writer reported a failure in memory");
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The converter reads the header fields alone first: the record gets just those bytes.
    const std::size_t headerSize = size < kHeaderFieldsSize ? size : kHeaderFieldsSize;
    const std::vector<std::uint8_t> headerBytes(data, data + headerSize);
    SourceImage image{headerBytes.data(), headerBytes.size(), size};
    const Verdict verdict = verdictOf(validateSource(image), image);
    Header header;
    check(verdict == expectedVerdict(data, size, header), "outcome differs from the header's");
    if (verdict != Verdict::Depth24 && verdict != Verdict::Depth32) {
        return 0;
    }

    const std::vector<std::uint8_t> out = writeToMemory(image, data, size, size + 64);
    // A small window, from the input's last byte: 1 to 1024 bytes, splitting rows and runs.
    const std::size_t window = 1 + std::size_t{data[size - 1]} * 4;
    check(writeToMemory(image, data, size, window) == out, "window size changes the output");

    const bool is24 = verdict == Verdict::Depth24;
    check(out.size() == (is24 ? fileSize24(header.width, header.height)
                              : fileSize32(header.width, header.height)),
          "output length differs from the layout's size");
    if (!is24) {
        check(fieldAt(out.data(), out.size(), 20, 4) == out.size() - kHeaderSize32,
              "32-bit body length differs from the bytes after the header");
    }

    // The reader refuses a run byte at or below the layout's bias (4 or 11), a run of the wrong
    // length and any byte left over, so decoding proves every run byte lies in 5..255 or 12..255.
    const auto decoded = decodeKvd(out);
    check(decoded.has_value(), "output does not decode");
    check(decoded->bitDepth == static_cast<std::uint32_t>(header.depth) &&
              decoded->width == header.width && decoded->height == header.height,
          "KVD header differs from the BMP header");
    check(decoded->rows.size() == header.height, "row count differs from the height");
    const std::size_t rowBytes =
        static_cast<std::size_t>(header.width) * static_cast<std::size_t>(header.depth / 8);
    for (std::uint64_t r = 0; r < header.height; ++r) {
        // BMP rows are stored bottom row first.
        const std::uint64_t start = header.pixelOffset + (header.height - 1 - r) * header.stride;
        const std::vector<std::uint8_t>& row = decoded->rows[static_cast<std::size_t>(r)];
        check(row.size() == rowBytes, "row length differs from the width");
        for (std::size_t i = 0; i < rowBytes; ++i) {
            check(row[i] == data[start + i], "pixel byte differs from the source row");
        }
    }
    return 0;
}
