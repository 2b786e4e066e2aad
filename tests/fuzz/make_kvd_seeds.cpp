// Writes the seed corpus of kvd2bmp_fuzz (tests/fuzz/kvd2bmp-corpus/): KVD files of both layouts
// made by doz2era's writers from small BMPs around the edges of the row runs, and a few damaged
// copies. The corpus is committed; this only regenerates it:
//   g++ -std=c++20 -I. -Itests tests/fuzz/make_kvd_seeds.cpp bmp/*.cpp kvd/*.cpp -o /tmp/seeds
//   /tmp/seeds tests/fuzz/kvd2bmp-corpus

#include "bmp_builder.h"
#include "conversions.h"

#include <cstdio>
#include <fstream>
#include <random>
#include <string>

namespace {

using doz2era::test::Bytes;

void save(const std::string& folder, const std::string& name, const Bytes& bytes) {
    std::ofstream out(folder + "/" + name + ".kvd", std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::printf("usage: make_kvd_seeds <corpus folder>\n");
        return 1;
    }
    const std::string folder = argv[1];
    std::mt19937 rng{2027};
    const auto kvd = [&](std::uint32_t width, std::uint32_t height, int depth) {
        return doz2era::test::convertToKvd(doz2era::test::randomBmp(width, height, depth, rng))
            .value();
    };

    save(folder, "24-1x1", kvd(1, 1, 24));
    save(folder, "24-5x3", kvd(5, 3, 24));
    save(folder, "24-252x2-two-runs", kvd(252, 2, 24));
    save(folder, "24-503x1-three-runs", kvd(503, 1, 24));
    save(folder, "24-0x7-width-0", kvd(0, 7, 24));
    save(folder, "24-9x0-height-0", kvd(9, 0, 24));
    save(folder, "32-1x1", kvd(1, 1, 32));
    save(folder, "32-3x2", kvd(3, 2, 32));
    save(folder, "32-245x1-two-runs", kvd(245, 1, 32));
    save(folder, "32-0x0", kvd(0, 0, 32));

    Bytes cut = kvd(4, 3, 24);
    cut.pop_back();
    save(folder, "damaged-24-cut-short", cut);
    Bytes trailing = kvd(3, 2, 32);
    trailing.push_back(0);
    save(folder, "damaged-32-byte-after-the-last-row", trailing);
    Bytes runByte = kvd(252, 1, 24);
    runByte[8 + 1 + 251 * 3] = 0x04;
    save(folder, "damaged-24-run-byte-0x04", runByte);
    Bytes headerByte = kvd(2, 2, 32);
    headerByte[16] = 0x31;
    save(folder, "damaged-32-header-byte", headerByte);
    return 0;
}
