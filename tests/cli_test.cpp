#include "bmp_builder.h"
#include "folder_test.h"
#include "kvd/kvd_reader.h"
#include "kvd/layout.h"
#include "run_program.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <string>

#ifndef _WIN32
#include "fifo_reader.h"

#include <chrono>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include <cstdlib>
#endif

namespace doz2era {
namespace {

namespace fs = std::filesystem;
using test::Bytes;

const std::string kUsage = "Usage: doz2era <filename.bmp>\n";
const std::string kNameTooLong = "ERROR: src file name is too long\n";
const std::string kCannotOpen = "ERROR: can not open src file\n";
const std::string kCannotRead = "ERROR: can not read src file\n";
const std::string kSameFile = "ERROR: src file and dst file are the same\n";
const std::string kCannotCreate = "ERROR: can not create dst file\n";
const std::string kNotBmp = "ERROR: src file is not BMP file\n";
const std::string kUnsupportedDepth = "ERROR: src file is not 24/32-bit BMP file\n";
const std::string kCorrupt = "ERROR: corrupt src file or not uncompressed BMP file\n";
const std::string kTooLarge = "ERROR: src file is too large for dst file\n";
const std::string kCannotWrite = "ERROR: can not write dst file\n";
const std::string kOk = "OK!\n";

std::string progress(const std::string& source, const std::string& destination) {
    return source + " -> " + destination + " ... ";
}

// Every test runs the real executable in a fresh, empty folder of its own.
class CommandLine : public test::FolderTest {
  protected:
    // Runs doz2era with `args`; every run must end with exit status 0 and print nothing on the
    // error stream.
    std::string run(const std::vector<std::string>& args) {
        const test::ProgramResult result = test::runProgram(DOZ2ERA_EXE, args, dir_);
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(result.error, "");
        return result.output;
    }

#ifndef _WIN32
    // Waits for a run started with test::startProgram, with the same checks as run.
    static std::string finish(test::RunningProgram& running) {
        const test::ProgramResult result = test::finishProgram(running);
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(result.error, "");
        return result.output;
    }
#endif

    // Checks that `kvdName` holds `bmp` converted: same pixels, top row first.
    void expectConverted(const std::string& kvdName, const Bytes& bmp, std::uint32_t width,
                         std::uint32_t height, int depth) {
        const auto decoded = decodeKvd(read(kvdName));
        ASSERT_TRUE(decoded.has_value()) << kvdName;
        EXPECT_EQ(decoded->bitDepth, depth);
        EXPECT_EQ(decoded->rows, test::topDownRows(bmp, width, height, depth));
    }
};

TEST_F(CommandLine, PrintsUsageForAnyOtherArgumentCount) {
    write("a.bmp", test::randomBmp(2, 2, 24, rng_));
    for (const auto& args : {std::vector<std::string>{}, std::vector<std::string>{"a.bmp", "b"},
                             std::vector<std::string>{"a.bmp", "a.bmp", "a.bmp"}}) {
        SCOPED_TRACE(args.size());
        EXPECT_EQ(run(args), kUsage);
        EXPECT_EQ(files(), std::vector<std::string>{"a.bmp"});
    }
}

// File names are taken literally: spaces and printf directives are used and printed unchanged,
// and names outside the ANSI code page of Windows (Cyrillic or Chinese on a Western system) work
// there too, since doz2era.exe carries a manifest that makes UTF-8 its code page.
TEST_F(CommandLine, NamesTheDestinationAtTheLastDot) {
    struct Naming {
        std::string source, destination;
    };
    const Naming names[] = {
        {"picture.bmp", "picture.kvd"},
        {"picture", "picture.kvd"},
        {"a.b.bmp", "a.b.kvd"},
        {".bmp", ".kvd"},
        {"dir.old/picture", "dir.kvd"},
        {"sub/pic.BMP", "sub/pic.kvd"},
        // A folder on Windows, one file name elsewhere: the same rule.
        {"dir.old\\picture", "dir.kvd"},
        {"my picture.bmp", "my picture.kvd"},
        {"100%s %n.bmp", "100%s %n.kvd"},
        {"%x%%%d%.9999f", "%x%%%d%.kvd"},
        {"café.bmp", "café.kvd"},
        {"картинка.bmp", "картинка.kvd"},
        {"图片.v2/照片", "图片.kvd"},
#ifndef _WIN32
        // Not on Windows, which drops trailing spaces from names and takes names as text.
        {" lead and trail .bmp", " lead and trail .kvd"},
        {"raw-\xff\xfe\x01.bmp", "raw-\xff\xfe\x01.kvd"},
#endif
    };
    for (const Naming& n : names) {
        SCOPED_TRACE(n.source);
        const Bytes bmp = test::randomBmp(5, 3, 24, rng_);
        write(n.source, bmp);
        EXPECT_EQ(run({n.source}), progress(n.source, n.destination) + kOk);
        expectConverted(n.destination, bmp, 5, 3, 24);
    }
}

TEST_F(CommandLine, ConvertsBothDepths) {
    for (const int depth : {24, 32}) {
        SCOPED_TRACE(depth);
        const Bytes bmp = test::randomBmp(300, 7, depth, rng_);
        write("photo.bmp", bmp);
        write("photo.kvd", Bytes(100000, 0x55)); // an older, longer destination is replaced
        EXPECT_EQ(run({"photo.bmp"}), progress("photo.bmp", "photo.kvd") + kOk);
        expectConverted("photo.kvd", bmp, 300, 7, depth);
    }
}

// Sources of a few MiB take the paths kept for large pictures (a block aligned for huge pages, the
// destination's space reserved before the runs): the same bytes and messages as small ones.
TEST_F(CommandLine, ConvertsLargePicturesExactly) {
    struct Large {
        std::uint32_t width, height;
        int depth;
    };
    for (const Large& c : {Large{1021, 800, 24}, Large{1024, 700, 32}}) {
        SCOPED_TRACE(c.depth);
        const Bytes bmp = test::randomBmp(c.width, c.height, c.depth, rng_);
        write("large.bmp", bmp);
        write("large.kvd", Bytes(std::size_t{8} << 20, 0x55)); // an older, longer destination
        EXPECT_EQ(run({"large.bmp"}), progress("large.bmp", "large.kvd") + kOk);
        expectConverted("large.kvd", bmp, c.width, c.height, c.depth);
#ifndef _WIN32
        if (fs::exists("/dev/full")) {
            fs::remove(at("large.kvd"));
            fs::create_symlink("/dev/full", at("large.kvd"));
            EXPECT_EQ(run({"large.bmp"}), progress("large.bmp", "large.kvd") + kCannotWrite);
            fs::remove(at("large.kvd"));
        }
#endif
    }
}

TEST_F(CommandLine, FailedChecksLeaveAnEmptyDestination) {
    struct Failure {
        std::string name;
        Bytes source;
        std::string message;
    };
    const Failure failures[] = {
        {"text", Bytes{'h', 'e', 'l', 'l', 'o', '\n'}, kNotBmp},
        {"empty", Bytes{}, kNotBmp},
        {"8-bit", test::bmpFile(4, 4, 8, 16), kUnsupportedDepth},
        {"short pixel area", test::bmpFile(5, 3, 24, 47), kCorrupt},
        {"cut header", Bytes{'B', 'M', 0, 0}, kCorrupt},
        {"top-down", test::bmpFile(5, 0xFFFFFFFD, 24, 48), kCorrupt},
        {"wider than 65535", test::bmpFile(70000, 1, 24, 3 * 70000 + 2), kTooLarge},
        {"taller than 65535, width 0", test::bmpFile(0, 0xFFFFFFFF, 32, 0), kTooLarge},
    };
    for (const Failure& f : failures) {
        SCOPED_TRACE(f.name);
        write("x.bmp", f.source);
        write("x.kvd", Bytes(10, 0x55)); // an existing destination is truncated, as always
        EXPECT_EQ(run({"x.bmp"}), progress("x.bmp", "x.kvd") + f.message);
        EXPECT_TRUE(exists("x.kvd"));
        EXPECT_EQ(read("x.kvd"), Bytes{});
        EXPECT_EQ(read("x.bmp"), f.source);
    }
}

TEST_F(CommandLine, MissingOrUnreadableSourceCreatesNothing) {
    EXPECT_EQ(run({"missing.bmp"}), progress("missing.bmp", "missing.kvd") + kCannotOpen);
    fs::create_directory(dir_ / "folder.bmp");
#ifdef _WIN32
    // Windows opens no folder as a file: there a folder is a source that cannot be opened.
    const std::string& folderMessage = kCannotOpen;
#else
    const std::string& folderMessage = kCannotRead;
#endif
    EXPECT_EQ(run({"folder.bmp"}), progress("folder.bmp", "folder.kvd") + folderMessage);
    EXPECT_EQ(files(), std::vector<std::string>{"folder.bmp"});
}

TEST_F(CommandLine, RefusesNamesThatDoNotFitTheNameBuffer) {
    // Paths built from folders, since one file name is limited to 255 bytes.
    const std::string folder(200, 'd');
    struct Length {
        std::string source;
        bool fits;
    };
    const Length lengths[] = {
        {folder + "/" + std::string(54, 'n') + ".bmp", true},  // 259 characters
        {folder + "/" + std::string(55, 'n') + ".bmp", false}, // 260 characters
        {folder + "/" + std::string(54, 'm'), true},           // 255, destination 259
        {folder + "/" + std::string(55, 'm'), false},          // 256, destination 260
    };
    for (const Length& l : lengths) {
        SCOPED_TRACE(l.source.size());
        const Bytes bmp = test::randomBmp(2, 2, 32, rng_);
        write(l.source, bmp);
        const std::string output = run({l.source});
        if (l.fits) {
            EXPECT_EQ(output.substr(output.size() - kOk.size()), kOk);
        } else {
            EXPECT_EQ(output, kNameTooLong);
        }
    }
    EXPECT_EQ(files().size(), 1u + 4u + 2u); // the folder, four sources, two destinations
}

TEST_F(CommandLine, NeverTruncatesTheSource) {
    const Bytes bmp = test::randomBmp(4, 4, 24, rng_);
    write("self.kvd", bmp);
    EXPECT_EQ(run({"self.kvd"}), progress("self.kvd", "self.kvd") + kSameFile);
    EXPECT_EQ(read("self.kvd"), bmp);

#ifdef _WIN32
    // No symbolic link here: creating one needs a privilege on Windows (and Wine makes none). File
    // names are case-insensitive instead, so "case.KVD" is its own destination "case.kvd".
    write("case.KVD", bmp);
    EXPECT_EQ(run({"case.KVD"}), progress("case.KVD", "case.kvd") + kSameFile);
    EXPECT_EQ(read("case.KVD"), bmp);
#else
    write("linked.bmp", bmp);
    fs::create_symlink("linked.bmp", dir_ / "linked.kvd");
    EXPECT_EQ(run({"linked.bmp"}), progress("linked.bmp", "linked.kvd") + kSameFile);
    EXPECT_EQ(read("linked.bmp"), bmp);
#endif

    write("hard.bmp", bmp);
    fs::create_hard_link(dir_ / "hard.bmp", dir_ / "hard.kvd");
    EXPECT_EQ(run({"hard.bmp"}), progress("hard.bmp", "hard.kvd") + kSameFile);
    EXPECT_EQ(read("hard.bmp"), bmp);
}

TEST_F(CommandLine, DestinationThatCannotBeCreated) {
    write("y.bmp", test::randomBmp(3, 3, 24, rng_));
    fs::create_directory(dir_ / "y.kvd");
    EXPECT_EQ(run({"y.bmp"}), progress("y.bmp", "y.kvd") + kCannotCreate);
}

// Streams are binary: bytes that a text-mode stream changes (0x0A, 0x0D) or takes for the end of
// the file (0x1A) pass unchanged, in the pixels and in the header fields (width 10, height 13).
TEST_F(CommandLine, ControlBytesPassUnchanged) {
    const Bytes controls{0x0A, 0x1A, 0x0D, 0x0A, 0x0D, 0x1A, 0x1A};
    for (const int depth : {24, 32}) {
        SCOPED_TRACE(depth);
        Bytes bmp = test::randomBmp(10, 13, depth, rng_);
        for (std::size_t i = 54; i < bmp.size(); ++i) {
            bmp[i] = controls[i % controls.size()];
        }
        write("ctl.bmp", bmp);
        EXPECT_EQ(run({"ctl.bmp"}), progress("ctl.bmp", "ctl.kvd") + kOk);
        expectConverted("ctl.kvd", bmp, 10, 13, depth);
    }
}

#ifdef _WIN32
// A device name opens in every folder, with or without an extension, but has no size to trust
// (the counterpart of /dev/zero): refused before any destination is created.
TEST_F(CommandLine, DevicesAreRefusedAtOnce) {
    struct Device {
        std::string source, destination;
    };
    for (const Device& d : {Device{"NUL", "NUL.kvd"}, Device{"nul.bmp", "nul.kvd"}}) {
        SCOPED_TRACE(d.source);
        EXPECT_EQ(run({d.source}), progress(d.source, d.destination) + kCannotRead);
    }
    EXPECT_EQ(files(), std::vector<std::string>{});
}
#endif

TEST_F(CommandLine, FullDiskIsNeverReportedAsSuccess) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows has no /dev/full (and no symbolic link without a privilege)";
#endif
    if (!fs::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full on this system";
    }
    for (const int depth : {24, 32}) {
        SCOPED_TRACE(depth);
        write("full.bmp", test::randomBmp(64, 64, depth, rng_));
        fs::remove(dir_ / "full.kvd");
        fs::create_symlink("/dev/full", dir_ / "full.kvd");
        EXPECT_EQ(run({"full.bmp"}), progress("full.bmp", "full.kvd") + kCannotWrite);
    }
}

#ifndef _WIN32
// File permissions, through a child they apply to: when the tests run as root (who passes every
// permission check), the program runs as the user nobody.
TEST_F(CommandLine, FilePermissionsAreObeyed) {
    if (!test::canRunUnprivileged()) {
        GTEST_SKIP() << "running as root and there is no user nobody to run the program as: "
                        "file permissions cannot be tested";
    }
    const test::ProgramResult probe = test::runProgramUnprivileged(DOZ2ERA_EXE, {}, dir_);
    if (::geteuid() == 0 && probe.output != kUsage) {
        GTEST_SKIP() << "the user nobody cannot run " << DOZ2ERA_EXE << " (exit code "
                     << probe.exitCode << "): a folder on its path is closed to other users";
    }

    const Bytes bmp = test::randomBmp(3, 2, 24, rng_);
    write("locked/pic.bmp", bmp); // a folder nobody may write in
    fs::permissions(dir_ / "locked", fs::perms::owner_read | fs::perms::owner_exec |
                                         fs::perms::group_read | fs::perms::group_exec |
                                         fs::perms::others_read | fs::perms::others_exec);
    write("secret.bmp", bmp); // a source nobody may read
    fs::permissions(dir_ / "secret.bmp", fs::perms::none);
    write("open/pic.bmp", bmp); // a folder anyone may write in, with a read-only destination
    fs::permissions(dir_ / "open", fs::perms::all);
    write("open/pic.kvd", Bytes(10, 0x55));
    fs::permissions(dir_ / "open/pic.kvd",
                    fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    const std::vector<std::string> before = files();

    struct Case {
        std::string source, destination, message;
    };
    const Case cases[] = {
        {"locked/pic.bmp", "locked/pic.kvd", kCannotCreate},
        {"secret.bmp", "secret.kvd", kCannotOpen},
        {"open/pic.bmp", "open/pic.kvd", kCannotCreate},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.source);
        const test::ProgramResult result =
            test::runProgramUnprivileged(DOZ2ERA_EXE, {c.source}, dir_);
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(result.output, progress(c.source, c.destination) + c.message);
    }
    // Nothing was created, and the read-only destination kept its bytes.
    EXPECT_EQ(files(), before);
    EXPECT_EQ(read("open/pic.kvd"), Bytes(10, 0x55));
    fs::permissions(dir_ / "locked", fs::perms::owner_all, fs::perm_options::add);
}

// A descriptor owned by a test; closed when the test ends, whatever failed.
struct Descriptor {
    int fd = -1;
    Descriptor() = default;
    explicit Descriptor(int opened) : fd(opened) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { reset(); }
    void reset() {
        if (fd >= 0) {
            ::close(fd);
        }
        fd = -1;
    }
};

// A child of startProgram, waited for at the latest when the test ends. Declared before the
// descriptors the child writes to: they close first, so that a child left blocked ends too.
struct Child {
    pid_t pid = -1;
    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() { wait(); }
    int wait() {
        const int status = pid > 0 ? test::waitForProgram(pid) : -1;
        pid = -1;
        return status;
    }
};

// Reads from `fd` until `count` bytes came or it ends. A guard against a hang, not a timing: a
// program that never writes fails the test after a minute instead of stalling it.
std::string readBytes(int fd, std::size_t count) {
    std::string text;
    char buffer[65536];
    pollfd wanted{fd, POLLIN, 0};
    while (text.size() < count && ::poll(&wanted, 1, 60000) == 1) {
        const ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, count - text.size()));
        if (n <= 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
}

bool hasInput(int fd) {
    pollfd wanted{fd, POLLIN, 0};
    return ::poll(&wanted, 1, 0) == 1;
}

// Standard output for a child: a pseudo-terminal (what a person sees) or a pipe. Sets the end
// the test reads and the end the child writes; false if the system has neither.
bool openOutput(bool terminal, Descriptor& readEnd, Descriptor& writeEnd) {
    if (!terminal) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            return false;
        }
        readEnd.fd = fds[0];
        writeEnd.fd = fds[1];
        return true;
    }
    readEnd.fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (readEnd.fd < 0 || ::grantpt(readEnd.fd) != 0 || ::unlockpt(readEnd.fd) != 0) {
        return false;
    }
    const char* terminalName = ::ptsname(readEnd.fd);
    writeEnd.fd = terminalName ? ::open(terminalName, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    return writeEnd.fd >= 0;
}

// At a terminal the half-line shows while the conversion runs; in a pipe nothing shows until the
// whole line leaves in one write. To hold the run in the middle without any timing, the
// destination is a FIFO that the test opens itself: the run blocks writing a KVD larger than the
// FIFO holds until the test drains it.
TEST_F(CommandLine, ShowsTheHalfLineOnlyAtATerminal) {
    struct Case {
        const char* name;
        bool terminal;
        std::string beforeTheOutcome, atTheEnd;
    };
    const Case cases[] = {
        {"pipe", false, "", progress("big.bmp", "big.kvd") + kOk},
        // A terminal turns "\n" into "\r\n" on output.
        {"terminal", true, progress("big.bmp", "big.kvd"), "OK!\r\n"},
    };
    const Bytes bmp = test::randomBmp(300, 300, 24, rng_);
    write("big.bmp", bmp);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(at("big.kvd"));
        ASSERT_EQ(::mkfifo(at("big.kvd").c_str(), 0644), 0);
        Child child;
        // Opened without waiting for a writer; blocking again for the reads below.
        Descriptor fifo{::open(at("big.kvd").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
        ASSERT_GE(fifo.fd, 0);
        ASSERT_EQ(::fcntl(fifo.fd, F_SETFL, 0), 0);
        Descriptor output;
        Descriptor childOutput;
        if (!openOutput(c.terminal, output, childOutput)) {
            if (c.terminal) {
                GTEST_SKIP() << "no pseudo-terminal here (no /dev/ptmx, or devpts not mounted)";
            }
            FAIL() << "no pipe";
        }
        child.pid = test::startProgram(DOZ2ERA_EXE, {"big.bmp"}, dir_, childOutput.fd);
        ASSERT_GT(child.pid, 0);
        childOutput.reset();

        // The first KVD bytes in the FIFO: the run has printed whatever it prints early.
        const std::string head = readBytes(fifo.fd, 8);
        ASSERT_EQ(head.size(), 8u);
        EXPECT_EQ(readBytes(output.fd, c.beforeTheOutcome.size()), c.beforeTheOutcome);
        EXPECT_FALSE(hasInput(output.fd)) << "more was printed before the KVD was written";

        const std::string rest = readBytes(fifo.fd, std::size_t{1} << 20);
        const std::string kvd = head + rest;
        EXPECT_EQ(readBytes(output.fd, c.atTheEnd.size()), c.atTheEnd);
        EXPECT_EQ(child.wait(), 0);
        EXPECT_EQ(readBytes(output.fd, 1), "") << "more than one line";
        const auto decoded = decodeKvd(Bytes(kvd.begin(), kvd.end()));
        ASSERT_TRUE(decoded.has_value());
        EXPECT_EQ(decoded->rows, test::topDownRows(bmp, 300, 300, 24));
    }
}

// The usual way through thousands of files, xargs -P: many runs write to one pipe at once, and
// every line read from it must be one run's whole line.
TEST_F(CommandLine, ConcurrentRunsSharingAPipeKeepTheirLinesWhole) {
    struct Kind {
        std::string source, destination; // the ends of the names
        std::string outcome;
    };
    const Kind kinds[] = {
        {"-24.bmp", "-24.kvd", kOk},
        {"-32.bmp", "-32.kvd", kOk},
        {"-text.bmp", "-text.kvd", kNotBmp},
        {"-missing.bmp", "-missing.kvd", kCannotOpen},
        {"-8bit.bmp", "-8bit.kvd", kUnsupportedDepth},
        {"-short.bmp", "-short.kvd", kCorrupt},
        {"-self.kvd", "-self.kvd", kSameFile},
    };
    std::vector<std::string> sources;
    std::vector<std::string> expected;
    for (int i = 0; i < 42; ++i) {
        const Kind& kind = kinds[static_cast<std::size_t>(i) % std::size(kinds)];
        const std::string stem = "f" + std::to_string(i);
        const std::string source = stem + kind.source;
        // Sizes from 20 x 20 to 307 x 307, so that the runs take different times.
        const auto side = static_cast<std::uint32_t>(20 + 7 * i);
        if (kind.outcome == kOk || kind.outcome == kSameFile) {
            write(source, test::randomBmp(side, side, kind.source == "-24.bmp" ? 24 : 32, rng_));
        } else if (kind.outcome == kNotBmp) {
            write(source, Bytes(side, 'x'));
        } else if (kind.outcome == kUnsupportedDepth) {
            write(source, test::bmpFile(side, side, 8, side * side));
        } else if (kind.outcome == kCorrupt) {
            write(source, test::bmpFile(side, side, 24, side));
        }
        sources.push_back(source);
        expected.push_back(progress(source, stem + kind.destination) + kind.outcome);
    }

    Descriptor output;
    Descriptor childOutput;
    ASSERT_TRUE(openOutput(false, output, childOutput));
    std::vector<Child> children(sources.size());
    for (std::size_t i = 0; i < sources.size(); ++i) {
        children[i].pid = test::startProgram(DOZ2ERA_EXE, {sources[i]}, dir_, childOutput.fd);
        ASSERT_GT(children[i].pid, 0);
    }
    childOutput.reset();
    std::string all;
    char buffer[4096];
    for (ssize_t n = 0; (n = ::read(output.fd, buffer, sizeof buffer)) > 0;) {
        all.append(buffer, static_cast<std::size_t>(n));
    }
    for (Child& child : children) {
        EXPECT_EQ(child.wait(), 0);
    }

    std::vector<std::string> lines;
    for (std::size_t start = 0, end = 0; start < all.size(); start = end + 1) {
        end = all.find('\n', start);
        ASSERT_NE(end, std::string::npos) << "an unfinished last line: " << all.substr(start);
        lines.push_back(all.substr(start, end + 1 - start));
    }
    std::sort(lines.begin(), lines.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(lines, expected);
}

// A FIFO has no writer and /dev/zero no end: reading either whole would wait or fill the memory.
TEST_F(CommandLine, SpecialFilesAreRefusedAtOnce) {
    ASSERT_EQ(::mkfifo((dir_ / "pipe.bmp").c_str(), 0644), 0);
    fs::create_symlink("/dev/zero", dir_ / "zero.bmp");
    for (const std::string name : {"pipe", "zero"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(run({name + ".bmp"}), progress(name + ".bmp", name + ".kvd") + kCannotRead);
        EXPECT_FALSE(exists(name + ".kvd"));
    }
}

// A destination that is not a file: a FIFO that nobody reads would stall the run (and a batch
// job) forever and is refused at once; a FIFO with a reader and a link to a device are written as
// any file.
TEST_F(CommandLine, DestinationsThatAreNotFiles) {
    const Bytes bmp = test::randomBmp(300, 40, 24, rng_);
    write("pipe.bmp", bmp);
    ASSERT_EQ(::mkfifo((dir_ / "pipe.kvd").c_str(), 0644), 0);
    EXPECT_EQ(run({"pipe.bmp"}), progress("pipe.bmp", "pipe.kvd") + kCannotCreate);

    const int reader = test::openFifoReader(dir_ / "pipe.kvd");
    ASSERT_GE(reader, 0);
    test::RunningProgram running = test::startProgram(DOZ2ERA_EXE, {"pipe.bmp"}, dir_);
    EXPECT_EQ(test::drain(reader).size(), fileSize24(300, 40));
    ::close(reader);
    EXPECT_EQ(finish(running), progress("pipe.bmp", "pipe.kvd") + kOk);

    write("null.bmp", bmp);
    fs::create_symlink("/dev/null", dir_ / "null.kvd");
    EXPECT_EQ(run({"null.bmp"}), progress("null.bmp", "null.kvd") + kOk);
    EXPECT_EQ(read("pipe.bmp"), bmp);
}

// While another run holds the destination, a run naming it waits, and neither truncates nor
// writes it meanwhile; it converts once the other is done.
TEST_F(CommandLine, WaitsWhileAnotherRunHoldsTheDestination) {
    const Bytes bmp = test::randomBmp(200, 30, 32, rng_);
    write("pic.bmp", bmp);
    const Bytes earlier(1000, 0x55);
    write("pic.kvd", earlier);
    // Held as a run of doz2era holds it.
    const int holder = ::open((dir_ / "pic.kvd").c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);

    test::RunningProgram running = test::startProgram(DOZ2ERA_EXE, {"pic.bmp"}, dir_);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_FALSE(test::hasEnded(running));
    EXPECT_EQ(read("pic.kvd"), earlier);

    ::close(holder); // releases the lock
    EXPECT_EQ(finish(running), progress("pic.bmp", "pic.kvd") + kOk);
    expectConverted("pic.kvd", bmp, 200, 30, 32);
}

// pic.bmp and pic.txt both name pic.kvd. Converted at the same time, the run that fails its
// check must not truncate the file under the other: the destination ends up either empty (the
// failing run came last) or exactly the conversion (it came first), never a mix.
TEST_F(CommandLine, TwoRunsOnOneDestinationNeverMix) {
    const Bytes bmp = test::randomBmp(600, 600, 24, rng_);
    write("pic.bmp", bmp);
    write("pic.txt", Bytes{'n', 'o', 't', ' ', 'a', ' ', 'b', 'm', 'p'});
    const Bytes converted = [&] {
        run({"pic.bmp"});
        return read("pic.kvd");
    }();
    ASSERT_EQ(converted.size(), fileSize24(600, 600));
    int empty = 0;
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        test::RunningProgram first = test::startProgram(DOZ2ERA_EXE, {"pic.bmp"}, dir_);
        test::RunningProgram second = test::startProgram(DOZ2ERA_EXE, {"pic.txt"}, dir_);
        EXPECT_EQ(finish(first), progress("pic.bmp", "pic.kvd") + kOk);
        EXPECT_EQ(finish(second), progress("pic.txt", "pic.kvd") + kNotBmp);
        const Bytes now = read("pic.kvd");
        if (now.empty()) {
            ++empty;
        } else if (now != converted) {
            ADD_FAILURE() << "pic.kvd is neither empty nor the conversion (" << now.size()
                          << " bytes)";
        }
    }
    std::cout << "the failing run came last in " << empty << " of 20 rounds\n";
}

// A source that shrinks while it is converted: the rows that are gone cannot be read, and that is
// the message, not "OK!". The FIFO at the destination name holds the run after its first read
// until the test has cut the source.
TEST_F(CommandLine, SourceThatShrinksWhileConvertedIsNotReportedAsConverted) {
    // 3 MiB of rows: the run reads them in several windows.
    const Bytes bmp = test::randomBmp(1024, 1024, 24, rng_);
    write("big.bmp", bmp);
    ASSERT_EQ(::mkfifo((dir_ / "big.kvd").c_str(), 0644), 0);
    const int reader = test::openFifoReader(dir_ / "big.kvd");
    ASSERT_GE(reader, 0);
    test::RunningProgram running = test::startProgram(DOZ2ERA_EXE, {"big.bmp"}, dir_);
    // The run writes once it has read its first rows, and waits for the FIFO to be read.
    test::waitForWriter(reader);
    char first = 0;
    ASSERT_EQ(::read(reader, &first, 1), 1);
    fs::resize_file(dir_ / "big.bmp", 54);
    const std::size_t written = 1 + test::drain(reader).size();
    ::close(reader);
    EXPECT_EQ(finish(running), progress("big.bmp", "big.kvd") + kCannotRead);
    EXPECT_LT(written, fileSize24(1024, 1024));
}

// A conversion that fails part way keeps what it wrote (a destination is never deleted) but not
// the space set aside for the rest: a file-size limit of 2048 blocks makes the writes fail early.
TEST_F(CommandLine, FailedWriteGivesBackTheSpaceSetAside) {
    const Bytes bmp = test::randomBmp(1500, 1000, 24, rng_);
    write("big.bmp", bmp);
    // SIGXFSZ ignored: a write past the limit then fails (EFBIG) instead of ending the process.
    const test::ProgramResult result = test::runProgram(
        "/bin/sh", {"-c", "ulimit -f 2048 && trap '' XFSZ && exec \"$0\" big.bmp", DOZ2ERA_EXE},
        dir_);
    EXPECT_EQ(result.output, progress("big.bmp", "big.kvd") + kCannotWrite);
    struct stat info {};
    ASSERT_EQ(::stat((dir_ / "big.kvd").c_str(), &info), 0);
    EXPECT_GT(info.st_size, 0);
    EXPECT_LT(static_cast<std::uint64_t>(info.st_size), fileSize24(1500, 1000));
    // Blocks of 512 bytes; a little more than the size for the file system's own rounding.
    EXPECT_LE(static_cast<std::uint64_t>(info.st_blocks) * 512,
              static_cast<std::uint64_t>(info.st_size) + (std::uint64_t{1} << 20));
}
#endif

} // namespace
} // namespace doz2era
