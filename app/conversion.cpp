#include "app/conversion.h"

#include "app/platform.h"
#include "bmp/source_image.h"
#include "kvd/kvd_writer.h"
#include "kvd/layout.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>

namespace doz2era {
namespace {

// Names, the terminating zero included, must fit a buffer of this many bytes.
constexpr std::size_t kNameBufferSize = 260;

// Both names fit the name buffer, so the progress text always fits this one.
constexpr std::size_t kLineBufferSize = 2 * kNameBufferSize + 16;

constexpr const char* kUsage = "Usage: doz2era <filename.bmp>\n";
constexpr const char* kNameTooLong = "ERROR: src file name is too long\n";
constexpr const char* kCannotOpen = "ERROR: can not open src file\n";
constexpr const char* kCannotRead = "ERROR: can not read src file\n";
constexpr const char* kSameFile = "ERROR: src file and dst file are the same\n";
constexpr const char* kCannotCreate = "ERROR: can not create dst file\n";
constexpr const char* kNotBmp = "ERROR: src file is not BMP file\n";
constexpr const char* kUnsupportedDepth = "ERROR: src file is not 24/32-bit BMP file\n";
constexpr const char* kCorrupt = "ERROR: corrupt src file or not uncompressed BMP file\n";
constexpr const char* kTooLarge = "ERROR: src file is too large for dst file\n";
constexpr const char* kCannotWrite = "ERROR: can not write dst file\n";
constexpr const char* kOk = "OK!\n";

// The first half of the line, "SRC -> DST ... ", which the outcome completes. The names are
// taken as they are, whatever bytes they hold.
std::string progressText(const char* source, const char* destination) {
    char text[kLineBufferSize];
    const int length = std::snprintf(text, sizeof text, "%s -> %s ... ", source, destination);
    // The bound only guards the buffer: both names fit the name buffer, so the text fits whole.
    return std::string(text, std::min(static_cast<std::size_t>(length), sizeof text - 1));
}

// Opens, checks and writes one file; returns the outcome's message. Every return closes what the
// run opened (the destination explicitly, to see a failed close) before the message is printed.
const char* convert(const char* sourcePath, const char* destinationPath) {
    FileHandle source;
    std::uint64_t fileSize = 0;
    switch (openSource(sourcePath, source, fileSize)) {
    case SourceStatus::CannotOpen:
        return kCannotOpen;
    case SourceStatus::CannotRead:
        return kCannotRead;
    case SourceStatus::Opened:
        break;
    }
    // The header fields only; the pixel rows are read while the destination is written.
    std::array<std::uint8_t, kHeaderFieldsSize> header{};
    const std::size_t headerSize =
        fileSize < header.size() ? static_cast<std::size_t>(fileSize) : header.size();
    if (!readAt(source, 0, {header.data(), headerSize})) {
        return kCannotRead;
    }

    // Opening the destination truncates it: if it is the source, the picture would be lost.
    if (sameFile(sourcePath, destinationPath)) {
        return kSameFile;
    }

    FileHandle destination;
    if (!openDestination(destinationPath, destination)) {
        return kCannotCreate;
    }

    // A failed check leaves the created destination empty: callers may rely on that.
    SourceImage image{header.data(), headerSize, fileSize};
    const Outcome outcome = validateSource(image);
    switch (outcome) {
    case Outcome::NotBmp:
        return kNotBmp;
    case Outcome::UnsupportedDepth:
        return kUnsupportedDepth;
    case Outcome::Corrupt:
        return kCorrupt;
    case Outcome::Depth24:
    case Outcome::Depth32:
        break;
    }
    if (!fitsLayout(image.bitDepth, image.width, image.height)) {
        return kTooLarge;
    }

    reserveSpace(destination, outcome == Outcome::Depth24 ? fileSize24(image.width, image.height)
                                                          : fileSize32(image.width, image.height));
    const ReadAt read = [&source](std::uint64_t offset, std::span<std::uint8_t> into) {
        return readAt(source, offset, into);
    };
    const WriteBytes write = [&destination](std::span<const std::uint8_t> bytes) {
        return writeAll(destination, bytes);
    };
    const WriteStatus written = outcome == Outcome::Depth24
                                    ? writeLayout24(image, read, write, kWindowBytes)
                                    : writeLayout32(image, read, write, kWindowBytes);
    if (written != WriteStatus::Written) {
        releaseUnwritten(destination);
    }
    const bool closed = closeFile(destination);
    if (written == WriteStatus::ReadFailed) {
        return kCannotRead;
    }
    return written == WriteStatus::Written && closed ? kOk : kCannotWrite;
}

} // namespace

std::optional<std::string> destinationName(std::string_view source) {
    if (source.size() >= kNameBufferSize) {
        return std::nullopt;
    }
    // Path separators are not looked at: "dir.old/picture" becomes "dir.kvd".
    std::string name{source.substr(0, source.rfind('.'))};
    name += ".kvd";
    if (name.size() >= kNameBufferSize) {
        return std::nullopt;
    }
    return name;
}

void runConversion(int argc, const char* const* argv) {
    if (argc != 2) {
        writeOutput(kUsage);
        return;
    }
    const char* source = argv[1];
    const std::optional<std::string> destination = destinationName(source);
    if (!destination) {
        writeOutput(kNameTooLong);
        return;
    }
    std::string line = progressText(source, destination->c_str());
    // A person at a terminal sees the half-line at once: a large picture takes a moment before
    // the outcome completes it. Anywhere else the line leaves whole in one write once the
    // outcome is known, so that runs sharing a pipe or a log file never split each other's lines.
    if (outputIsTerminal()) {
        writeOutput(line);
        line.clear();
    }
    line += convert(source, destination->c_str());
    writeOutput(line);
}

} // namespace doz2era
