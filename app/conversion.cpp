#include "app/conversion.h"

#include "app/console.h"
#include "app/source_file.h"
#include "bmp/source_image.h"
#include "kvd/kvd_writer.h"
#include "kvd/layout.h"

#include <algorithm>
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

// Loads, checks and writes one file; returns the outcome's message. Every return releases the
// source block and closes the destination before the message is printed.
const char* convert(const char* source, const char* destination) {
    SourceBlock block;
    switch (loadSource(source, block)) {
    case LoadStatus::CannotOpen:
        return kCannotOpen;
    case LoadStatus::CannotRead:
        return kCannotRead;
    case LoadStatus::Loaded:
        break;
    }

    // Creating the destination truncates it: if it is the source, the picture would be lost.
    if (sameFile(source, destination)) {
        return kSameFile;
    }

    DestinationStream output;
    if (!createDestination(destination, output)) {
        return kCannotCreate;
    }

    // A failed check leaves the created destination empty: callers may rely on that.
    SourceImage image{block.bytes.get(), block.size};
    bool written = false;
    switch (validateSource(image)) {
    case Outcome::NotBmp:
        return kNotBmp;
    case Outcome::UnsupportedDepth:
        return kUnsupportedDepth;
    case Outcome::Corrupt:
        return kCorrupt;
    case Outcome::TooLarge:
        return kTooLarge;
    case Outcome::Depth24:
        reserveDestination(output, fileSize24(image.width, image.height));
        written = writeLayout24(image, output.stream.get());
        break;
    case Outcome::Depth32:
        reserveDestination(output, fileSize32(image.width, image.height));
        written = writeLayout32(image, output.stream.get());
        break;
    }
    // The close flushes the last buffered runs; a full disk shows up here at the latest.
    const bool closed = closeDestination(output);
    return written && closed ? kOk : kCannotWrite;
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
