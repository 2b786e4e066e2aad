#include "kvd/kvd_reader.h"

#include "bmp/bmp_format.h"
#include "bmp/bmp_writer.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

namespace doz2era {
namespace {

// Offsets of the width and height fields, and of the 32-bit header's body length.
constexpr std::size_t kWidthOffset24 = 4;
constexpr std::size_t kHeightOffset24 = 6;
constexpr std::size_t kWidthOffset32 = 8;
constexpr std::size_t kHeightOffset32 = 10;
constexpr std::size_t kBodyLengthOffset32 = 20;

// The first byte after width and height in the 32-bit header: from here on every byte is fixed,
// apart from the body length.
constexpr std::size_t kFixedFrom32 = 12;

// What the writer puts at `offset` (12..47, outside the body length) of the 32-bit header; the
// whole header is drawn above writeLayout32.
std::uint8_t fixedByte32(std::size_t offset) {
    switch (offset) {
    case 14:
        return 0x20; // 0x1120, little-endian
    case 15:
        return 0x11;
    case 16:
    case 24:
        return 0x30;
    default:
        return 0;
    }
}

// A little-endian field of `width` bytes; the caller has checked that it lies inside `bytes`.
std::uint32_t fieldLe(std::span<const std::uint8_t> bytes, std::size_t offset, std::size_t width) {
    std::uint32_t value = 0;
    for (std::size_t i = width; i-- > 0;) {
        value = value << 8 | bytes[offset + i];
    }
    return value;
}

std::string hexByte(std::uint32_t value) {
    std::array<char, 8> text{};
    std::snprintf(text.data(), text.size(), "0x%02X", value);
    return text.data();
}

std::string byteCount(std::uint64_t count) {
    return std::to_string(count) + (count == 1 ? " byte" : " bytes");
}

// Whether `bytes` are the first bytes of `magic` (all of it when there are as many).
template <std::size_t N>
bool startsLike(std::span<const std::uint8_t> bytes, const std::array<std::uint8_t, N>& magic) {
    const std::size_t count = std::min(bytes.size(), N);
    return std::equal(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(count),
                      magic.begin());
}

std::nullopt_t refuse(KvdProblem& problem, std::uint64_t offset, std::string text) {
    problem = {offset, std::move(text)};
    return std::nullopt;
}

// Checks the 32-bit header's bytes after the signature; `bytes` holds all 48. False with
// `problem` set at the first that is not the writer's.
bool checkHeader32(std::span<const std::uint8_t> bytes, std::uint64_t fileSize,
                   KvdProblem& problem) {
    for (std::size_t i = kFixedFrom32; i < kHeaderSize32; ++i) {
        if (i >= kBodyLengthOffset32 && i < kBodyLengthOffset32 + 4) {
            continue;
        }
        if (bytes[i] != fixedByte32(i)) {
            problem = {i, "header byte " + hexByte(bytes[i]) + " where the writer puts " +
                              hexByte(fixedByte32(i))};
            return false;
        }
    }
    // fileSize >= 48 here, so the subtraction cannot wrap.
    const std::uint32_t bodyLength = fieldLe(bytes, kBodyLengthOffset32, 4);
    if (bodyLength != fileSize - kHeaderSize32) {
        problem = {kBodyLengthOffset32,
                   "body length " + std::to_string(bodyLength) + " in the header, " +
                       std::to_string(fileSize - kHeaderSize32) + " bytes after it"};
        return false;
    }
    return true;
}

std::size_t sizeOf(std::uint64_t count) {
    return static_cast<std::size_t>(count);
}

} // namespace

std::optional<KvdHeader> readKvdHeader(std::span<const std::uint8_t> head, std::uint64_t fileSize,
                                       KvdProblem& problem) {
    // The header bytes that lie inside the file.
    const std::span<const std::uint8_t> bytes =
        head.first(sizeOf(std::min<std::uint64_t>(fileSize, head.size())));
    const bool is24 = bytes.size() >= kMagic24.size() && startsLike(bytes, kMagic24);
    const bool is32 = bytes.size() >= kSignature32.size() && startsLike(bytes, kSignature32);

    KvdHeader header;
    if (is24) {
        if (bytes.size() < kHeaderSize24) {
            return refuse(problem, bytes.size(),
                          "file too short for the 8-byte header of the 24-bit layout");
        }
        header.bitDepth = 24;
        header.rule = kRuns24;
        header.headerSize = kHeaderSize24;
        header.width = fieldLe(bytes, kWidthOffset24, 2);
        header.height = fieldLe(bytes, kHeightOffset24, 2);
    } else if (is32) {
        if (bytes.size() < kHeaderSize32) {
            return refuse(problem, bytes.size(),
                          "file too short for the 48-byte header of the 32-bit layout");
        }
        if (!checkHeader32(bytes, fileSize, problem)) {
            return std::nullopt;
        }
        header.bitDepth = 32;
        header.rule = kRuns32;
        header.headerSize = kHeaderSize32;
        header.width = fieldLe(bytes, kWidthOffset32, 2);
        header.height = fieldLe(bytes, kHeightOffset32, 2);
    } else if (bytes.size() < kSignature32.size() &&
               (startsLike(bytes, kMagic24) || startsLike(bytes, kSignature32))) {
        // Too few bytes to tell: what there is may still begin either magic.
        return refuse(problem, bytes.size(), "file too short for a KVD header");
    } else {
        return refuse(problem, 0, "unknown magic, not a KVD file");
    }

    // Both sides are 16-bit: a row takes below 2^19 bytes and the file below 2^35.
    header.rowLength = runBytesPerRow(header.rule, header.width);
    header.fileSize = header.headerSize + header.rowLength * header.height;
    if (fileSize < header.fileSize) {
        // The file holds the whole header, so fileSize >= headerSize, and rowLength != 0 since
        // the rows need more than the header.
        const std::uint64_t wholeRows = (fileSize - header.headerSize) / header.rowLength;
        return refuse(problem, fileSize, "file cut short in row " + std::to_string(wholeRows));
    }
    if (fileSize > header.fileSize) {
        const char* after =
            header.fileSize == header.headerSize ? " after the header" : " after the last row";
        return refuse(problem, header.fileSize, byteCount(fileSize - header.fileSize) + after);
    }
    return header;
}

bool decodeKvdRow(const KvdHeader& header, std::span<const std::uint8_t> encoded,
                  std::uint64_t offset, std::span<std::uint8_t> pixels, KvdProblem& problem) {
    const RunRule& rule = header.rule;
    const std::uint64_t pixelBytes = std::uint64_t{header.width} * rule.bytesPerPixel;
    if (encoded.size() != header.rowLength) {
        problem = {offset, "row of " + byteCount(encoded.size()) + " where the header needs " +
                               std::to_string(header.rowLength)};
        return false;
    }
    if (pixels.size() < pixelBytes) {
        problem = {offset, "pixel buffer shorter than the row"};
        return false;
    }
    // The runs sit at fixed places: every run holds maxRun pixels except the last of the row.
    std::size_t in = 0;
    std::size_t out = 0;
    for (std::uint32_t p = 0; p < header.width; p += rule.maxRun) {
        const std::uint32_t count = std::min(header.width - p, rule.maxRun);
        const std::uint32_t expected = count + rule.bias;
        const std::uint8_t found = encoded[in];
        if (found != expected) {
            // A run holds at least one pixel: bias + 1 is the smallest run byte there is.
            const std::string text = found <= rule.bias
                                         ? " outside " + std::to_string(rule.bias + 1) + "..255"
                                         : " where the width requires " + hexByte(expected);
            problem = {offset + in, "run byte " + hexByte(found) + text};
            return false;
        }
        const std::size_t bytes = std::size_t{count} * rule.bytesPerPixel;
        std::memcpy(pixels.data() + out, encoded.data() + in + 1, bytes);
        in += 1 + bytes;
        out += bytes;
    }
    return true;
}

std::optional<DecodedKvd> decodeKvd(std::span<const std::uint8_t> file, KvdProblem& problem) {
    const std::optional<KvdHeader> header =
        readKvdHeader(file.first(std::min(file.size(), kMaxKvdHeaderSize)), file.size(), problem);
    if (!header) {
        return std::nullopt;
    }
    // The header has checked that the file is exactly headerSize + height * rowLength bytes.
    DecodedKvd decoded{header->bitDepth, header->width, header->height, {}};
    decoded.rows.reserve(header->height);
    const std::size_t rowLength = sizeOf(header->rowLength);
    for (std::uint32_t r = 0; r < header->height; ++r) {
        const std::size_t offset = sizeOf(header->headerSize) + r * rowLength;
        std::vector<std::uint8_t> row(std::size_t{header->width} * header->rule.bytesPerPixel);
        if (!decodeKvdRow(*header, file.subspan(offset, rowLength), offset, row, problem)) {
            return std::nullopt;
        }
        decoded.rows.push_back(std::move(row));
    }
    return decoded;
}

std::optional<DecodedKvd> decodeKvd(std::span<const std::uint8_t> file) {
    KvdProblem ignored;
    return decodeKvd(file, ignored);
}

namespace {

// Whole rows of `rowBytes` per block of at most `windowBytes`: at least one, at most all.
std::uint64_t rowsPerBlock(std::size_t windowBytes, std::uint64_t rowBytes, std::uint64_t rows) {
    return std::clamp<std::uint64_t>(windowBytes / rowBytes, 1, rows);
}

KvdToBmpResult failed(KvdToBmpResult result, KvdToBmpOutcome outcome, std::uint64_t offset,
                      const char* text) {
    result.outcome = outcome;
    result.problem = {offset, text};
    return result;
}

} // namespace

KvdToBmpResult convertKvdToBmp(const ReadAt& read, std::uint64_t fileSize, const WriteBytes& write,
                               std::size_t windowBytes) {
    std::array<std::uint8_t, kMaxKvdHeaderSize> head{};
    const std::span<std::uint8_t> headBytes =
        std::span(head).first(sizeOf(std::min<std::uint64_t>(fileSize, head.size())));
    KvdToBmpResult result;
    if (!read(0, headBytes)) {
        return failed(result, KvdToBmpOutcome::ReadFailed, 0, "read failed");
    }
    const std::optional<KvdHeader> accepted = readKvdHeader(headBytes, fileSize, result.problem);
    if (!accepted) {
        result.outcome = KvdToBmpOutcome::Refused;
        return result;
    }
    const KvdHeader& header = *accepted;
    result.header = header;

    const auto bmpHead = bmpHeaders(header.bitDepth, header.width, header.height);
    if (!write(bmpHead)) {
        return failed(result, KvdToBmpOutcome::WriteFailed, 0, "write failed");
    }
    // Width 0 or height 0: the rows take no bytes in either file.
    if (header.rowLength == 0 || header.height == 0) {
        return result;
    }

    const std::uint64_t stride = bmpRowStride(header.bitDepth, header.width);
    const std::size_t pixelBytes = std::size_t{header.width} * header.rule.bytesPerPixel;
    const std::uint64_t rowsPerRead = rowsPerBlock(windowBytes, header.rowLength, header.height);
    const std::uint64_t rowsPerWrite = rowsPerBlock(windowBytes, stride, header.height);
    // Each block is at most max(windowBytes, one row), so its size fits a size_t.
    std::vector<std::uint8_t> encoded(sizeOf(rowsPerRead * header.rowLength));
    // Zero-filled once: only pixel bytes are copied in, so the fill bytes at the end of each
    // 24-bit row stay zero.
    std::vector<std::uint8_t> rows(sizeOf(rowsPerWrite * stride));
    std::uint64_t written = bmpHead.size();
    std::uint64_t pending = 0; // rows in `rows` not yet written

    const auto flush = [&]() {
        if (pending == 0) {
            return true;
        }
        const std::span<const std::uint8_t> block = std::span(rows).first(sizeOf(pending * stride));
        if (!write(block)) {
            return false;
        }
        written += block.size();
        pending = 0;
        return true;
    };

    // BMP rows go bottom row first, so the KVD rows are read from the last one backwards: rows
    // [0, end) are still to be read.
    for (std::uint64_t end = header.height; end > 0;) {
        const std::uint64_t first = end - std::min(rowsPerRead, end);
        const std::uint64_t blockOffset = header.headerSize + first * header.rowLength;
        const std::span<std::uint8_t> block =
            std::span(encoded).first(sizeOf((end - first) * header.rowLength));
        if (!read(blockOffset, block)) {
            return failed(result, KvdToBmpOutcome::ReadFailed, blockOffset, "read failed");
        }
        for (std::uint64_t r = end; r-- > first;) {
            const std::size_t at = sizeOf((r - first) * header.rowLength);
            const std::span<std::uint8_t> bmpRow =
                std::span(rows).subspan(sizeOf(pending * stride), pixelBytes);
            if (!decodeKvdRow(header, block.subspan(at, sizeOf(header.rowLength)), blockOffset + at,
                              bmpRow, result.problem)) {
                result.outcome = KvdToBmpOutcome::Refused;
                return result;
            }
            if (++pending == rowsPerWrite && !flush()) {
                return failed(result, KvdToBmpOutcome::WriteFailed, written, "write failed");
            }
        }
        end = first;
    }
    if (!flush()) {
        return failed(result, KvdToBmpOutcome::WriteFailed, written, "write failed");
    }
    return result;
}

} // namespace doz2era
