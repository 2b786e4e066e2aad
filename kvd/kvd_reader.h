#pragma once

#include "kvd/byte_io.h"
#include "kvd/layout.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace doz2era {

// Reading KVD files, strictly: a file is accepted only if it is, byte for byte, what the writers
// make of some picture. Every header byte, every run byte and the length of the file are checked,
// and nothing outside the file is read whatever its header says. The first problem found is
// reported with its byte offset.
//
// Rows are numbered as stored, from 0, the top row. Problem texts are short lower-case phrases
// meant to follow "FILE: offset N: ", for example
//   "unknown magic, not a KVD file"
//   "file too short for a KVD header"
//   "file too short for the 8-byte header of the 24-bit layout"
//   "file too short for the 48-byte header of the 32-bit layout"
//   "header byte 0x31 where the writer puts 0x30"
//   "body length 982 in the header, 975 bytes after it"
//   "file cut short in row 7"
//   "12 bytes after the last row"  ("1 byte ...", and "... after the header" when rows are empty)
//   "run byte 0x03 outside 5..255"  (12..255 in the 32-bit layout)
//   "run byte 0xFF where the width requires 0x0D"

// What is wrong with a refused file, and where: `offset` counts bytes from the start of the file.
struct KvdProblem {
    std::uint64_t offset = 0;
    std::string text;
};

// The geometry of an accepted header. Row r (0 is the top row) takes the `rowLength` bytes that
// start at headerSize + r * rowLength.
struct KvdHeader {
    std::uint32_t bitDepth = 0;   // 24 or 32: the layout, named after the depth of its pixels
    std::uint32_t width = 0;      // pixels per row, at most 65535
    std::uint32_t height = 0;     // rows, at most 65535
    RunRule rule{};               // kRuns24 or kRuns32
    std::uint64_t headerSize = 0; // kHeaderSize24 or kHeaderSize32
    std::uint64_t rowLength = 0;  // runBytesPerRow(rule, width): the same for every row
    std::uint64_t fileSize = 0;   // headerSize + height * rowLength, the size the file must have
};

// A whole file decoded in memory.
struct DecodedKvd {
    std::uint32_t bitDepth = 0; // 24 or 32
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::vector<std::uint8_t>> rows; // pixel bytes of each row, top row first
};

// The most bytes a header takes (the 32-bit layout's 48).
inline constexpr std::size_t kMaxKvdHeaderSize = 48;

// Reads and checks the header of a file of `fileSize` bytes (from fstat or the like), `head`
// holding its first min(fileSize, kMaxKvdHeaderSize) bytes; bytes of `head` beyond fileSize are
// not looked at, and a shorter `head` is refused as if the file ended there. Checks, in this order:
// the magic, the header's own length, the fixed bytes and the body length of the 32-bit header,
// then that fileSize is exactly the size the width and height imply. Returns the header, or nothing
// with `problem` set.
std::optional<KvdHeader> readKvdHeader(std::span<const std::uint8_t> head, std::uint64_t fileSize,
                                       KvdProblem& problem);

// Checks one row of a file with an accepted `header` and copies out its pixels. `encoded` holds
// exactly header.rowLength bytes, which start `offset` bytes into the file (for the offsets of the
// problems); every run byte must be the one the width requires at its place, so the runs are
// exactly those the writers make. On success the first width * bytesPerPixel bytes of `pixels`
// hold the row's pixel bytes and the rest of `pixels` is untouched. Returns false with `problem`
// set at the first wrong run byte, after which `pixels` holds part of the row; also, a caller's
// mistake, when `encoded` is not rowLength bytes long or `pixels` is shorter than the row.
bool decodeKvdRow(const KvdHeader& header, std::span<const std::uint8_t> encoded,
                  std::uint64_t offset, std::span<std::uint8_t> pixels, KvdProblem& problem);

// Decodes a whole file held in memory, checking it like readKvdHeader and decodeKvdRow (the rows
// top row first, so with several damaged rows the first is named). Returns the picture, or
// nothing with `problem` set. Memory: about the size of the file.
std::optional<DecodedKvd> decodeKvd(std::span<const std::uint8_t> file, KvdProblem& problem);

// As above, for callers that need only whether the file is accepted.
std::optional<DecodedKvd> decodeKvd(std::span<const std::uint8_t> file);

// How a conversion of a KVD into a BMP ended.
enum class KvdToBmpOutcome {
    Done,        // the whole BMP was written
    Refused,     // the KVD is not one the writers make: problem says what and where
    ReadFailed,  // a read of the KVD failed (an I/O error, or the file shrank after its size was
                 // taken): problem.offset is where that read started
    WriteFailed, // a write of the BMP failed: problem.offset is the BMP offset it started at
};

struct KvdToBmpResult {
    KvdToBmpOutcome outcome = KvdToBmpOutcome::Done;
    // Refused: the problem as described above. ReadFailed and WriteFailed: the offset, with the
    // text "read failed" or "write failed". Done: empty.
    KvdProblem problem;
    // The accepted header; all zero when the header was refused or could not be read.
    KvdHeader header;
};

// Turns the KVD file of `fileSize` bytes that `read` gives into a BMP (see bmp/bmp_writer.h)
// passed to `write`: the headers, then the rows bottom row first, with the same pixel bytes, so
// that converting that BMP gives back the same KVD. The header, the fixed bytes and the exact
// file size are all checked before the first byte is written; the run bytes of each row are
// checked just before it is written, so a refused or failed conversion may already have written
// part of the BMP, and the caller discards it.
//
// The rows are read from the last backwards, as many whole rows per read as `windowBytes` holds
// (at least one), and written in blocks of as many whole BMP rows as `windowBytes` holds (at
// least one): memory stays below 2 * windowBytes plus one encoded and one BMP row, whatever the
// picture. When several rows are damaged, the one nearest the end of the file is named. `read` is
// never asked for a byte outside the first fileSize bytes.
KvdToBmpResult convertKvdToBmp(const ReadAt& read, std::uint64_t fileSize, const WriteBytes& write,
                               std::size_t windowBytes = kWindowBytes);

} // namespace doz2era
