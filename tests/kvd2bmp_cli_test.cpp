#include "bmp/source_image.h"
#include "bmp_builder.h"
#include "bmpsuite_files.h"
#include "conversions.h"
#include "folder_test.h"
#include "kvd/byte_io.h"
#include "kvd/layout.h"
#include "run_program.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <vector>

#ifndef _WIN32
#include "fifo_reader.h"

#include <sys/stat.h>
#include <unistd.h>
#endif

namespace doz2era {
namespace {

namespace fs = std::filesystem;
using test::Bytes;

const std::string kUsage = "Usage: kvd2bmp [--] IN.kvd OUT.bmp\n";
const std::string kTryHelp = "Try 'kvd2bmp --help' for more information.\n";
const std::string kIncomplete = " (an incomplete BMP went to standard output)";

// The text the system gives an error, as kvd2bmp prints it after "cannot open: " and the like.
// Only POSIX systems are compared in full: Windows words its texts after its language.
std::string systemText([[maybe_unused]] int error) {
#ifdef _WIN32
    return "";
#else
    return std::strerror(error);
#endif
}

// The command-line tests of kvd2bmp: the real executable, and doz2era to make its KVD files and
// to convert its BMP files back.
class Kvd2bmpCommandLine : public test::FolderTest {
  protected:
    test::ProgramResult decode(const std::vector<std::string>& args) {
        return test::runProgram(KVD2BMP_EXE, args, dir_);
    }

    // Runs doz2era on `bmpName` (ending in .bmp), which must convert, and gives the KVD's bytes.
    Bytes convert(const std::string& bmpName) {
        const std::string kvdName = bmpName.substr(0, bmpName.size() - 4) + ".kvd";
        const test::ProgramResult result = test::runProgram(DOZ2ERA_EXE, {bmpName}, dir_);
        EXPECT_EQ(result.output, bmpName + " -> " + kvdName + " ... OK!\n");
        return read(kvdName);
    }

    // Writes `bmp` as `bmpName` and converts it with doz2era.
    Bytes convert(const std::string& bmpName, const Bytes& bmp) {
        write(bmpName, bmp);
        return convert(bmpName);
    }

    static void expectDecoded(const test::ProgramResult& result) {
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(result.error, "");
        EXPECT_EQ(result.output, "");
    }

    // A failed run: exit status 1 and `line` alone on standard error. On Windows, where the
    // system's part of a message differs, only what comes before it is compared.
    static void expectFailed(const test::ProgramResult& result, const std::string& line,
                             bool systemPart = false) {
        EXPECT_EQ(result.exitCode, 1);
        if (systemPart && line.back() == ' ') {
            ASSERT_GT(result.error.size(), line.size());
            EXPECT_EQ(result.error.substr(0, line.size()), line);
            EXPECT_EQ(std::count(result.error.begin(), result.error.end(), '\n'), 1);
            EXPECT_EQ(result.error.back(), '\n');
        } else {
            EXPECT_EQ(result.error, line + "\n");
        }
    }
};

// The BMP that kvd2bmp must make of the KVD that doz2era makes of `bmp`: the same pixel bytes,
// headers and fill bytes as a plain BMP writer puts them.
Bytes canonicalOf(const Bytes& bmp) {
    SourceImage image = test::sourceOf(bmp);
    validateSource(image);
    return test::canonicalBmp(image.width, image.height, static_cast<int>(image.bitDepth),
                              test::topDownRows(bmp, image.width, image.height,
                                                static_cast<int>(image.bitDepth),
                                                image.pixelOffset));
}

TEST_F(Kvd2bmpCommandLine, RoundTripsBothLayoutsThroughBothPrograms) {
    struct Picture {
        std::uint32_t width, height;
        int depth;
    };
    std::vector<Picture> pictures;
    for (const int depth : {24, 32}) {
        for (const std::uint32_t width : {0u, 1u, 244u, 245u, 251u, 252u, 503u}) {
            pictures.push_back({width, 3, depth});
        }
    }
    // Several windows of rows each way, and a picture without rows.
    pictures.push_back({1021, 800, 24});
    pictures.push_back({700, 600, 32});
    pictures.push_back({5, 0, 32});
    for (const Picture& p : pictures) {
        SCOPED_TRACE(std::to_string(p.width) + "x" + std::to_string(p.height) + " depth " +
                     std::to_string(p.depth));
        const Bytes bmp = test::randomBmp(p.width, p.height, p.depth, rng_);
        const Bytes kvd = convert("pic.bmp", bmp);
        write("back.bmp", Bytes(100000, 0x55)); // an older, longer file is replaced
        expectDecoded(decode({"pic.kvd", "back.bmp"}));
        EXPECT_EQ(read("back.bmp"), canonicalOf(bmp));
        EXPECT_EQ(convert("back.bmp"), kvd);
        const std::vector<std::string> expected{"back.bmp", "back.kvd", "pic.bmp", "pic.kvd"};
        EXPECT_EQ(files(), expected);
        for (const std::string& name : expected) {
            fs::remove(at(name));
        }
    }
}

// Every BMP Suite file that doz2era converts comes back from kvd2bmp as a plain BMP of the same
// pixels, which doz2era converts into the same KVD.
TEST_F(Kvd2bmpCommandLine, RoundTripsTheBmpSuiteFiles) {
    int converted = 0;
    for (const test::SuiteFile& file : test::bmpSuiteFiles()) {
        if (file.outcome != "Depth24" && file.outcome != "Depth32") {
            continue;
        }
        SCOPED_TRACE(file.name);
        const Bytes bmp = test::readFile(test::kBmpSuiteRoot + file.name);
        const Bytes kvd = convert("suite.bmp", bmp);
        expectDecoded(decode({"suite.kvd", "back.bmp"}));
        EXPECT_EQ(read("back.bmp"), canonicalOf(bmp));
        EXPECT_EQ(convert("back.bmp"), kvd);
        ++converted;
    }
    EXPECT_EQ(converted, 19);
}

// A refused file leaves nothing behind: no OUT, no temporary file beside it, an existing OUT
// unchanged. Damage in the rows is found after the BMP headers went out: with OUT "-" they are
// on standard output, and the message says so.
TEST_F(Kvd2bmpCommandLine, RefusesDamagedFilesAndLeavesTheOutputAlone) {
    // 24-bit 260 x 3: rows of 782 bytes from offset 8, each a run of 251 pixels (run byte 0xFF)
    // and one of 9 (0x0D at 754 into the row); 2354 bytes.
    const Bytes k24 = *test::convertToKvd(test::randomBmp(260, 3, 24, rng_));
    // 32-bit 245 x 2: rows of 982 bytes from offset 48, runs of 244 (0xFF) and 1 (0x0C at 977
    // into the row); body length 1964 at offset 20; 2012 bytes.
    const Bytes k32 = *test::convertToKvd(test::randomBmp(245, 2, 32, rng_));
    struct Damage {
        std::string name;
        Bytes file;
        std::string problem;
        bool inRows; // found once the BMP headers are written
    };
    const Damage damages[] = {
        {"a BMP", test::bmpFile(1, 1, 24, 4), "offset 0: unknown magic, not a KVD file", false},
        {"empty", {}, "offset 0: file too short for a KVD header", false},
        {"32-bit header cut short", test::prefix(k32, 47),
         "offset 47: file too short for the 48-byte header of the 32-bit layout", false},
        {"32-bit fixed byte", test::with(k32, 16, {0x31}),
         "offset 16: header byte 0x31 where the writer puts 0x30", false},
        {"32-bit body length", test::withLe(k32, 20, 1965, 4),
         "offset 20: body length 1965 in the header, 1964 bytes after it", false},
        {"24-bit row cut short", test::prefix(k24, 2254), "offset 2254: file cut short in row 2",
         false},
        {"bytes after the last row", test::plus(k24, 12),
         "offset 2354: 12 bytes after the last row", false},
        // Far more rows than the file holds: refused before any of them is read.
        {"height 65535 with 3 rows", test::withLe(k24, 6, 65535, 2),
         "offset 2354: file cut short in row 3", false},
        {"run byte outside its range", test::with(k24, 790, {0x03}),
         "offset 790: run byte 0x03 outside 5..255", true},
        {"last run one pixel short", test::with(k24, 762, {0x0C}),
         "offset 762: run byte 0x0C where the width requires 0x0D", true},
        {"32-bit bottom row", test::with(k32, 48 + 982 + 977, {0x0D}),
         "offset 2007: run byte 0x0D where the width requires 0x0C", true},
    };
    const Bytes earlier(300, 0x55);
    for (const Damage& d : damages) {
        SCOPED_TRACE(d.name);
        write("bad.kvd", d.file);
        const std::string line = "kvd2bmp: bad.kvd: " + d.problem;

        test::ProgramResult result = decode({"bad.kvd", "out.bmp"});
        expectFailed(result, line);
        EXPECT_EQ(result.output, "");
        EXPECT_EQ(files(), std::vector<std::string>{"bad.kvd"});

        write("out.bmp", earlier);
        expectFailed(decode({"bad.kvd", "out.bmp"}), line);
        EXPECT_EQ(read("out.bmp"), earlier);
        EXPECT_EQ(files(), (std::vector<std::string>{"bad.kvd", "out.bmp"}));
        fs::remove(at("out.bmp"));

        result = decode({"bad.kvd", "-"});
        expectFailed(result, d.inRows ? line + kIncomplete : line);
        EXPECT_EQ(result.output.size(), d.inRows ? 54u : 0u);
        EXPECT_EQ(read("bad.kvd"), d.file);
    }
}

// Standard output is a binary stream: bytes that a text-mode stream changes (0x0A, 0x0D) or takes
// for the end of a file (0x1A) pass unchanged, and nothing else goes there.
TEST_F(Kvd2bmpCommandLine, WritesTheBmpToStandardOutput) {
    const Bytes controls{0x0A, 0x1A, 0x0D, 0x0A, 0x0D, 0x1A, 0x1A};
    for (const int depth : {24, 32}) {
        SCOPED_TRACE(depth);
        Bytes bmp = test::randomBmp(10, 13, depth, rng_); // width 10, height 13: 0x0A, 0x0D
        for (std::size_t i = 54; i < bmp.size(); ++i) {
            bmp[i] = controls[i % controls.size()];
        }
        convert("pic.bmp", bmp);
        const test::ProgramResult result = decode({"pic.kvd", "-"});
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(result.error, "");
        EXPECT_EQ(Bytes(result.output.begin(), result.output.end()), canonicalOf(bmp));
        EXPECT_EQ(files(), (std::vector<std::string>{"pic.bmp", "pic.kvd"}));
    }
}

TEST_F(Kvd2bmpCommandLine, RefusesTheInputAsItsOwnOutput) {
    const Bytes kvd = convert("pic.bmp", test::randomBmp(4, 4, 24, rng_));
    fs::create_hard_link(at("pic.kvd"), at("hard.bmp"));
#ifdef _WIN32
    // No symbolic link here (creating one needs a privilege); names are case-insensitive instead.
    const std::string other = "PIC.KVD";
#else
    fs::create_symlink("pic.kvd", at("link.bmp"));
    const std::string other = "link.bmp";
#endif
    const std::vector<std::string> before = files();
    for (const std::string& output :
         {std::string{"pic.kvd"}, std::string{"./pic.kvd"}, std::string{"hard.bmp"}, other}) {
        SCOPED_TRACE(output);
        expectFailed(decode({"pic.kvd", output}),
                     "kvd2bmp: " + output + ": is the input file itself");
        EXPECT_EQ(read("pic.kvd"), kvd);
        EXPECT_EQ(files(), before);
    }
}

TEST_F(Kvd2bmpCommandLine, WrongCommandLinesGetTheUsage) {
    convert("pic.bmp", test::randomBmp(3, 2, 32, rng_));
    struct Case {
        std::vector<std::string> args;
        std::string problem;
    };
    const Case cases[] = {
        {{}, "2 file names expected (IN and OUT), 0 given"},
        {{"pic.kvd"}, "2 file names expected (IN and OUT), 1 given"},
        {{"pic.kvd", "a.bmp", "b.bmp"}, "2 file names expected (IN and OUT), 3 given"},
        {{"--", "--version"}, "2 file names expected (IN and OUT), 1 given"},
        {{"-x", "pic.kvd", "a.bmp"}, "unknown option -x"},
        {{"pic.kvd", "a.bmp", "--output=c.bmp"}, "unknown option --output=c.bmp"},
        {{"-", "a.bmp"}, "IN must be a file, not standard input (./- names a file called -)"},
    };
    const std::vector<std::string> before = files();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.problem);
        const test::ProgramResult result = decode(c.args);
        EXPECT_EQ(result.exitCode, 2);
        EXPECT_EQ(result.output, "");
        EXPECT_EQ(result.error, "kvd2bmp: " + c.problem + "\n" + kUsage + kTryHelp);
        EXPECT_EQ(files(), before);
    }
}

TEST_F(Kvd2bmpCommandLine, HelpVersionAndTheEndOfOptions) {
    for (const auto& args : {std::vector<std::string>{"-h"}, std::vector<std::string>{"--help"},
                             std::vector<std::string>{"pic.kvd", "a.bmp", "--help"}}) {
        SCOPED_TRACE(args.front());
        const test::ProgramResult result = decode(args);
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(result.error, "");
        EXPECT_EQ(result.output.substr(0, kUsage.size()), kUsage);
        EXPECT_NE(result.output.find("Exit status: 0 converted"), std::string::npos);
    }
    const test::ProgramResult version = decode({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.output, "kvd2bmp " DOZ2ERA_VERSION "\n");
    EXPECT_EQ(files(), std::vector<std::string>{});

    // After "--", names that look like options are files.
    const Bytes bmp = test::randomBmp(3, 2, 32, rng_);
    write("-h.bmp", bmp);
    convert("-h.bmp");
    fs::rename(at("-h.kvd"), at("-h"));
    expectDecoded(decode({"--", "-h", "--version"}));
    EXPECT_EQ(read("--version"), canonicalOf(bmp));
}

TEST_F(Kvd2bmpCommandLine, InputsThatCannotBeOpenedOrRead) {
    fs::create_directory(at("folder.kvd"));
    expectFailed(decode({"missing.kvd", "out.bmp"}),
                 "kvd2bmp: missing.kvd: cannot open: " + systemText(ENOENT), true);
#ifdef _WIN32
    // Windows opens no folder as a file.
    expectFailed(decode({"folder.kvd", "out.bmp"}), "kvd2bmp: folder.kvd: cannot open: ", true);
#else
    // A folder, a FIFO and a device have no size to trust.
    ASSERT_EQ(::mkfifo(at("pipe.kvd").c_str(), 0644), 0);
    fs::create_symlink("/dev/zero", at("zero.kvd"));
    for (const std::string name : {"folder.kvd", "pipe.kvd", "zero.kvd"}) {
        SCOPED_TRACE(name);
        expectFailed(decode({name, "out.bmp"}),
                     "kvd2bmp: " + name + ": cannot read: not a regular file");
    }
#endif
    EXPECT_FALSE(exists("out.bmp"));
}

TEST_F(Kvd2bmpCommandLine, OutputsThatCannotBeCreated) {
    convert("pic.bmp", test::randomBmp(3, 2, 24, rng_));
    fs::create_directory(at("folder.bmp"));
    const std::vector<std::string> before = files();
    expectFailed(decode({"pic.kvd", "missing/out.bmp"}),
                 "kvd2bmp: missing/out.bmp: cannot create: " + systemText(ENOENT), true);
    // A folder is written in place, as a device would be, and does not open for writing.
    expectFailed(decode({"pic.kvd", "folder.bmp"}),
                 "kvd2bmp: folder.bmp: cannot create: " + systemText(EISDIR), true);
    EXPECT_EQ(files(), before);
}

#ifdef _WIN32
// A device takes the bytes in place: NUL, as /dev/null elsewhere.
TEST_F(Kvd2bmpCommandLine, WritesIntoADevice) {
    convert("pic.bmp", test::randomBmp(30, 20, 24, rng_));
    expectDecoded(decode({"pic.kvd", "NUL"}));
    EXPECT_EQ(files(), (std::vector<std::string>{"pic.bmp", "pic.kvd"}));
}
#else
// A device or a FIFO is written in place, never replaced by a rename: a link to /dev/null stays a
// link to the device, /dev/full gives a failed write, a FIFO without a reader is refused at once
// (it would hold the run forever) and one with a reader gets the BMP as it is made.
TEST_F(Kvd2bmpCommandLine, WritesIntoADeviceOrAFifo) {
    const Bytes bmp = test::randomBmp(300, 200, 24, rng_); // rows of 902 bytes from offset 8
    const Bytes kvd = convert("pic.bmp", bmp);
    fs::create_symlink("/dev/null", at("null.bmp"));
    expectDecoded(decode({"pic.kvd", "null.bmp"}));
    EXPECT_TRUE(fs::is_symlink(at("null.bmp")));
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
    if (fs::exists("/dev/full")) {
        fs::create_symlink("/dev/full", at("full.bmp"));
        // Not even the headers went out.
        expectFailed(decode({"pic.kvd", "full.bmp"}),
                     "kvd2bmp: full.bmp: cannot write: " + systemText(ENOSPC));
    }

    ASSERT_EQ(::mkfifo(at("pipe.bmp").c_str(), 0644), 0);
    expectFailed(decode({"pic.kvd", "pipe.bmp"}),
                 "kvd2bmp: pipe.bmp: cannot create: " + systemText(ENXIO));
    // The top row's first run byte is the last one checked: only the headers went out before.
    write("bad.kvd", test::with(kvd, 8, {0x03}));
    struct Case {
        std::string input;
        Bytes expected;
        int exitCode;
        std::string error;
    };
    const Case cases[] = {
        {"pic.kvd", canonicalOf(bmp), 0, ""},
        {"bad.kvd", test::prefix(canonicalOf(bmp), 54), 1,
         "kvd2bmp: bad.kvd: offset 8: run byte 0x03 outside 5..255 (an incomplete BMP went to "
         "pipe.bmp)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        const int reader = test::openFifoReader(at("pipe.bmp"));
        ASSERT_GE(reader, 0);
        test::RunningProgram running = test::startProgram(KVD2BMP_EXE, {c.input, "pipe.bmp"}, dir_);
        EXPECT_EQ(test::drain(reader), c.expected);
        ::close(reader);
        const test::ProgramResult result = test::finishProgram(running);
        EXPECT_EQ(result.exitCode, c.exitCode);
        EXPECT_EQ(result.error, c.error);
    }
    EXPECT_TRUE(fs::is_fifo(at("pipe.bmp")));
    EXPECT_EQ(files(), (std::vector<std::string>{"bad.kvd", "full.bmp", "null.bmp", "pic.bmp",
                                                 "pic.kvd", "pipe.bmp"}));
}

// The finished BMP gets the permissions that creating it would give (0666 less the umask), not
// those of a temporary file (0600).
TEST_F(Kvd2bmpCommandLine, TheBmpGetsTheModeOfANewFile) {
    convert("pic.bmp", test::randomBmp(3, 2, 24, rng_));
    for (const mode_t mask : {mode_t{022}, mode_t{077}, mode_t{002}}) {
        SCOPED_TRACE(mask);
        const mode_t saved = ::umask(mask); // inherited by the program
        const test::ProgramResult result = decode({"pic.kvd", "out.bmp"});
        ::umask(saved);
        expectDecoded(result);
        struct stat info {};
        ASSERT_EQ(::stat(at("out.bmp").c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0666 & ~mask);
    }
}

// File permissions, through a child they apply to: when the tests run as root (who passes every
// permission check), the program runs as the user nobody.
TEST_F(Kvd2bmpCommandLine, FilePermissionsAreObeyedAndNothingIsLeftBehind) {
    if (!test::canRunUnprivileged()) {
        GTEST_SKIP() << "running as root and there is no user nobody to run the program as";
    }
    if (::geteuid() == 0 &&
        test::runProgramUnprivileged(KVD2BMP_EXE, {"--version"}, dir_).exitCode != 0) {
        GTEST_SKIP() << "the user nobody cannot run " << KVD2BMP_EXE;
    }
    const Bytes kvd = convert("pic.bmp", test::randomBmp(3, 2, 24, rng_));
    const fs::perms readAndPass = fs::perms::owner_read | fs::perms::owner_exec |
                                  fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec;
    fs::permissions(dir_, readAndPass | fs::perms::owner_write); // anyone may read pic.kvd
    write("secret.kvd", kvd);                                    // a KVD nobody may read
    fs::permissions(at("secret.kvd"), fs::perms::none);
    fs::create_directory(at("locked")); // a folder nobody may write in
    fs::permissions(at("locked"), readAndPass);
    const Bytes earlier(300, 0x55);
    // A folder anyone may write in but only the owner of a file may replace it (as /tmp): the
    // new file is made, the rename over the root's file fails.
    fs::create_directory(at("sticky"));
    fs::permissions(at("sticky"), fs::perms::all | fs::perms::sticky_bit);
    write("sticky/out.bmp", earlier);
    const std::vector<std::string> before = files();

    struct Case {
        std::string input, output, line;
        bool asRootOnly; // only someone other than the files' owner is refused
    };
    const Case cases[] = {
        {"secret.kvd", "out.bmp", "kvd2bmp: secret.kvd: cannot open: " + systemText(EACCES), false},
        {"pic.kvd", "locked/out.bmp",
         "kvd2bmp: locked/out.bmp: cannot create: " + systemText(EACCES), false},
        {"pic.kvd", "sticky/out.bmp",
         "kvd2bmp: sticky/out.bmp: cannot rename into place: " + systemText(EPERM), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        if (c.asRootOnly && ::geteuid() != 0) {
            continue;
        }
        expectFailed(test::runProgramUnprivileged(KVD2BMP_EXE, {c.input, c.output}, dir_), c.line);
        EXPECT_EQ(files(), before);
        EXPECT_EQ(read("sticky/out.bmp"), earlier);
    }
    fs::permissions(at("locked"), fs::perms::owner_all, fs::perm_options::add);
}

// An input that shrinks while it is decoded: the rows that are gone cannot be read, and that is the
// message. Standard output, a pipe that the test reads only once it has cut the file, holds the
// run after its first write.
TEST_F(Kvd2bmpCommandLine, InputThatShrinksWhileDecoded) {
    // 24-bit 1021 x 800: rows of 3068 bytes from offset 8, read a window of rows at a time from
    // the end.
    const Bytes kvd = convert("big.bmp", test::randomBmp(1021, 800, 24, rng_));
    test::RunningProgram running = test::startProgram(KVD2BMP_EXE, {"big.kvd", "-"}, dir_);
    char first = 0;
    ASSERT_EQ(::read(running.outputFd, &first, 1), 1); // the BMP headers are out
    fs::resize_file(at("big.kvd"), 100);
    const test::ProgramResult result = test::finishProgram(running);
    EXPECT_EQ(result.exitCode, 1);
    // The blocks before the cut may have been read already: any block may be the first missing.
    std::vector<std::string> lines;
    const std::uint64_t rowsPerRead = kWindowBytes / 3068;
    for (std::uint64_t end = 800; end > 0; end -= std::min(end, rowsPerRead)) {
        const std::uint64_t row = end - std::min(end, rowsPerRead);
        lines.push_back("kvd2bmp: big.kvd: offset " + std::to_string(8 + row * 3068) +
                        ": cannot read: the file shrank while it was read" + kIncomplete + "\n");
    }
    EXPECT_NE(std::find(lines.begin(), lines.end(), result.error), lines.end()) << result.error;
    EXPECT_LT(result.output.size() + 1, 54 + 3064u * 800);
}
#endif

} // namespace
} // namespace doz2era
