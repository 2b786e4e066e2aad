#include "app/kvd2bmp.h"

#include "app/platform.h"
#include "bmp/bmp_format.h"
#include "bmp/bmp_writer.h"
#include "kvd/kvd_reader.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace doz2era {
namespace {

constexpr const char* kUsage = "Usage: kvd2bmp [--] IN.kvd OUT.bmp\n";
constexpr const char* kTryHelp = "Try 'kvd2bmp --help' for more information.\n";
constexpr const char* kDescription =
    "Turns a KVD file of either layout back into a plain BMP picture: a 24-bit BMP from the\n"
    "24-bit layout, a 32-bit one from the 32-bit layout, with the same pixel bytes. OUT may be -\n"
    "for standard output. IN must be exactly what doz2era writes: anything else is refused, with\n"
    "the byte offset of the problem.\n"
    "\n"
    "Options:\n"
    "  -h, --help  print this help and exit\n"
    "  --version   print the version and exit\n"
    "  --          end of the options: the names after it may begin with -\n"
    "\n"
    "Exit status: 0 converted; 1 a file that cannot be read or written, or a refused KVD;\n"
    "2 a wrong command line.\n";
constexpr const char* kVersion = "kvd2bmp " DOZ2ERA_VERSION "\n";

// The new file beside OUT that the BMP is written to: ".kvd2bmp-" and a random part.
constexpr const char* kTemporaryPrefix = ".kvd2bmp-";

// One write per message: standard error is unbuffered, and a line written in pieces could be
// interleaved with another process's.
void print(std::FILE* stream, const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stream);
}

int wrongCommandLine(const std::string& problem) {
    print(stderr, "kvd2bmp: " + problem + "\n" + kUsage + kTryHelp);
    return kExitUsage;
}

// "kvd2bmp: NAME: TEXT" on standard error: the one line of a failed conversion.
int failed(std::string_view name, const std::string& text) {
    print(stderr, "kvd2bmp: " + std::string{name} + ": " + text + "\n");
    return kExitFailed;
}

// Deletes the new file beside OUT on every path that does not rename it over OUT. Declared before
// the handle of the file, so that the handle is closed first (Windows only marks an open file for
// deletion).
struct TemporaryFile {
    TemporaryFile() = default;
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() {
        if (!path.empty()) {
            removeFile(path.c_str());
        }
    }

    std::string path; // empty: no file to delete
};

// Sets the BMP's space aside in the new file at once, when the KVD header tells its size: the
// rows then go out faster. A header that is refused leaves it to convertKvdToBmp to say so.
void reserveForBmp(const FileHandle& source, std::uint64_t fileSize,
                   const FileHandle& destination) {
    std::array<std::uint8_t, kMaxKvdHeaderSize> head{};
    const std::span<std::uint8_t> headBytes = std::span(head).first(
        fileSize < head.size() ? static_cast<std::size_t>(fileSize) : head.size());
    KvdProblem ignored;
    if (!readAt(source, 0, headBytes)) {
        return;
    }
    const std::optional<KvdHeader> header = readKvdHeader(headBytes, fileSize, ignored);
    if (!header) {
        return;
    }
    // Both sides are 16-bit: the product stays far below 2^64. reserveSpace itself passes over
    // files too small to be worth it.
    reserveSpace(destination,
                 kBmpHeadersSize + bmpRowStride(header->bitDepth, header->width) * header->height);
}

// Converts the file `input` into `output`; the exit status.
int convertFile(const char* input, const char* output) {
    const bool toStandardOutput = std::string_view{output} == "-";
    const std::string outputName = toStandardOutput ? "standard output" : output;

    FileHandle source;
    std::uint64_t fileSize = 0;
    switch (openSource(input, source, fileSize)) {
    case SourceStatus::CannotOpen:
        return failed(input, "cannot open: " + lastErrorText());
    case SourceStatus::CannotRead:
        return failed(input, "cannot read: not a regular file");
    case SourceStatus::Opened:
        break;
    }
    // The BMP renamed over its own KVD would leave the user without the KVD.
    if (!toStandardOutput && sameFile(input, output)) {
        return failed(output, "is the input file itself");
    }

    TemporaryFile temporary;
    FileHandle destination;
    // Written in place: bytes that went out cannot be taken back after a failure.
    bool inPlace = true;
    if (toStandardOutput) {
        if (!openStandardOutput(destination)) {
            return failed(outputName, "cannot write: " + lastErrorText());
        }
    } else if (isSpecialFile(output)) {
        // A device or a FIFO (/dev/null, a pipe to a viewer) takes the bytes as they come; a
        // rename would replace the device itself. A folder fails to open here.
        if (!openDestination(output, destination)) {
            return failed(output, "cannot create: " + lastErrorText());
        }
    } else if (!createFileBeside(output, kTemporaryPrefix, destination, temporary.path)) {
        return failed(output, "cannot create: " + lastErrorText());
    } else {
        inPlace = false;
        reserveForBmp(source, fileSize, destination);
    }

    // The system's reason is taken at the failed call, before anything else can change it.
    std::string readError;
    std::string writeError;
    std::uint64_t written = 0;
    const ReadAt read = [&](std::uint64_t offset, std::span<std::uint8_t> into) {
        if (!readAt(source, offset, into)) {
            readError = lastErrorText();
            return false;
        }
        return true;
    };
    const WriteBytes write = [&](std::span<const std::uint8_t> bytes) {
        if (!writeAll(destination, bytes)) {
            writeError = lastErrorText();
            return false;
        }
        written += bytes.size();
        return true;
    };
    const KvdToBmpResult result = convertKvdToBmp(read, fileSize, write, kWindowBytes);
    const std::string incomplete =
        inPlace && written > 0 ? " (an incomplete BMP went to " + outputName + ")" : "";
    const std::string at = "offset " + std::to_string(result.problem.offset) + ": ";
    switch (result.outcome) {
    case KvdToBmpOutcome::Refused:
        return failed(input, at + result.problem.text + incomplete);
    case KvdToBmpOutcome::ReadFailed: {
        // A read that finds the end of the file early sets no error: the size tells.
        std::uint64_t sizeNow = 0;
        const bool shrank = currentSize(source, sizeNow) && sizeNow < fileSize;
        return failed(input, at + "cannot read: " +
                                 (shrank ? "the file shrank while it was read" : readError) +
                                 incomplete);
    }
    case KvdToBmpOutcome::WriteFailed:
        return failed(outputName, "cannot write: " + writeError + incomplete);
    case KvdToBmpOutcome::Done:
        break;
    }
    // Some file systems report a failed write only when the file is closed.
    if (!closeFile(destination)) {
        return failed(outputName, "cannot write: " + lastErrorText() + incomplete);
    }
    if (!temporary.path.empty()) {
        if (!replaceFile(temporary.path.c_str(), output)) {
            return failed(output, "cannot rename into place: " + lastErrorText());
        }
        temporary.path.clear();
    }
    return kExitSuccess;
}

} // namespace

int runKvdToBmp(int argc, const char* const* argv) {
    useBinaryStandardStreams();
    std::vector<const char*> names;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg{argv[i]};
        // "-" alone is a name (standard output), as is everything after "--".
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            names.push_back(argv[i]);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "-h" || arg == "--help") {
            print(stdout, std::string{kUsage} + kDescription);
            return kExitSuccess;
        } else if (arg == "--version") {
            print(stdout, kVersion);
            return kExitSuccess;
        } else {
            return wrongCommandLine("unknown option " + std::string{arg});
        }
    }
    if (names.size() != 2) {
        return wrongCommandLine("2 file names expected (IN and OUT), " +
                                std::to_string(names.size()) + " given");
    }
    // The rows are read from the end of the file backwards: a pipe cannot be read that way.
    if (std::string_view{names[0]} == "-") {
        return wrongCommandLine(
            "IN must be a file, not standard input (./- names a file called -)");
    }
    return convertFile(names[0], names[1]);
}

} // namespace doz2era
