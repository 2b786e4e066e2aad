#include "bmp_builder.h"
#include "kvd_reader.h"
#include "run_program.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

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
class CommandLine : public ::testing::Test {
  protected:
    void SetUp() override {
        std::random_device seed;
        dir_ = fs::temp_directory_path() /
               ("doz2era-cli-" + std::to_string(seed()) + "-" + std::to_string(seed()));
        fs::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    // Runs doz2era with `args`; every run must end with exit status 0.
    std::string run(const std::vector<std::string>& args) {
        const test::ProgramResult result = test::runProgram(DOZ2ERA_EXE, args, dir_);
        EXPECT_EQ(result.exitCode, 0);
        return result.output;
    }

    void write(const std::string& name, const Bytes& bytes) {
        fs::create_directories((dir_ / name).parent_path());
        std::ofstream out(dir_ / name, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }

    Bytes read(const std::string& name) {
        std::ifstream in(dir_ / name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    bool exists(const std::string& name) { return fs::exists(fs::symlink_status(dir_ / name)); }

    // The files in the test folder, for "nothing else was touched".
    std::vector<std::string> files() {
        std::vector<std::string> names;
        for (const auto& entry : fs::recursive_directory_iterator(dir_)) {
            names.push_back(fs::relative(entry.path(), dir_).generic_string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    // Checks that `kvdName` holds `bmp` converted: same pixels, top row first.
    void expectConverted(const std::string& kvdName, const Bytes& bmp, std::uint32_t width,
                         std::uint32_t height, int depth) {
        const auto decoded = test::decodeKvd(read(kvdName));
        ASSERT_TRUE(decoded.has_value()) << kvdName;
        EXPECT_EQ(decoded->depth, depth);
        EXPECT_EQ(decoded->rows, test::topDownRows(bmp, width, height, depth));
    }

    fs::path dir_;
    std::mt19937 rng_{42};
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

TEST_F(CommandLine, NamesTheDestinationAtTheLastDot) {
    struct Naming {
        std::string source, destination;
    };
    const Naming names[] = {{"picture.bmp", "picture.kvd"}, {"picture", "picture.kvd"},
                            {"a.b.bmp", "a.b.kvd"},         {".bmp", ".kvd"},
                            {"dir.old/picture", "dir.kvd"}, {"sub/pic.BMP", "sub/pic.kvd"}};
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
    EXPECT_EQ(run({"folder.bmp"}), progress("folder.bmp", "folder.kvd") + kCannotRead);
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

    write("linked.bmp", bmp);
    fs::create_symlink("linked.bmp", dir_ / "linked.kvd");
    EXPECT_EQ(run({"linked.bmp"}), progress("linked.bmp", "linked.kvd") + kSameFile);
    EXPECT_EQ(read("linked.bmp"), bmp);

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

TEST_F(CommandLine, FullDiskIsNeverReportedAsSuccess) {
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

} // namespace
} // namespace doz2era
