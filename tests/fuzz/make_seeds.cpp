// Writes the synthetic seeds of the fuzz corpus (tests/fuzz/corpus/synthetic-*.bmp): small BMPs of
// both depths around the edges of validation and of the row runs. The corpus is committed; this
// only regenerates it:
//   g++ -std=c++20 -Itests tests/fuzz/make_seeds.cpp -o /tmp/make_seeds
//   /tmp/make_seeds tests/fuzz/corpus
// The bmpsuite-*.bmp seeds beside them are copies of files in tests/data/bmpsuite/ (see its
// README for their origin and terms).

#include "bmp_builder.h"

#include <cstdio>
#include <fstream>
#include <random>
#include <string>

namespace {

using doz2era::test::Bytes;

void save(const std::string& folder, const std::string& name, const Bytes& bytes) {
    std::ofstream out(folder + "/synthetic-" + name + ".bmp", std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::printf("usage: make_seeds <corpus folder>\n");
        return 1;
    }
    const std::string folder = argv[1];
    std::mt19937 rng{2026};
    using doz2era::test::bmpFile;
    using doz2era::test::randomBmp;

    save(folder, "24-1x1", randomBmp(1, 1, 24, rng));
    save(folder, "24-5x3", randomBmp(5, 3, 24, rng));
    save(folder, "24-252x2-two-runs", randomBmp(252, 2, 24, rng));
    save(folder, "24-0x7-width-0", bmpFile(0, 7, 24, 0));
    save(folder, "24-offset-0-headers-as-pixels", bmpFile(2, 2, 24, 0, 0));
    save(folder, "24-5x3-one-byte-short", bmpFile(5, 3, 24, 47));
    save(folder, "24-top-down", bmpFile(4, 0xFFFFFFFF, 24, 48));
    save(folder, "32-1x1", randomBmp(1, 1, 32, rng));
    save(folder, "32-3x2", randomBmp(3, 2, 32, rng));
    save(folder, "32-245x1-two-runs", randomBmp(245, 1, 32, rng));
    save(folder, "32-9x0-height-0", bmpFile(9, 0, 32, 0, 5000));
    save(folder, "32-width-65536", bmpFile(65536, 0, 32, 0));
    save(folder, "32-2p31-squared", bmpFile(0x80000000, 0x80000000, 32, 4));
    save(folder, "08-4x4", bmpFile(4, 4, 8, 16));
    Bytes header = bmpFile(0, 0, 24, 0);
    header.resize(29); // ends with the depth byte
    save(folder, "24-29-bytes", header);
    return 0;
}
