// libFuzzer target: arbitrary bytes as a whole KVD file, through convertKvdToBmp over memory with
// a small window. An accepted file must give a BMP that doz2era accepts and converts back into
// exactly the input bytes; a refused one must name a place inside the file, and the in-memory
// reader must agree on what it accepts. Any broken promise aborts, and libFuzzer keeps the input
// as a finding.

#include "conversions.h"
#include "fuzz_check.h"
#include "kvd/kvd_reader.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

using namespace doz2era;
using fuzz::check;
using fuzz::fail;

const char* const doz2era::fuzz::kTargetName = "kvd2bmp_fuzz";

namespace {

bool foundInRows(const KvdProblem& problem) {
    return problem.text.rfind("run byte", 0) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> kvd(data, size);
    // Windows from one byte (one row a block) to all rows in one block, chosen by the length so
    // that the fuzzer tries each on every kind of file.
    constexpr std::array<std::size_t, 5> kWindows = {1, 13, 200, 2000, kWindowBytes};
    const std::size_t window = kWindows[size % kWindows.size()];

    // A read outside the file is a broken promise, not a failed read.
    const ReadAt read = [kvd](std::uint64_t offset, std::span<std::uint8_t> into) {
        check(offset <= kvd.size() && into.size() <= kvd.size() - offset, "read outside the file");
        if (!into.empty()) {
            std::memcpy(into.data(), kvd.data() + offset, into.size());
        }
        return true;
    };
    std::vector<std::uint8_t> bmp;
    const KvdToBmpResult result = convertKvdToBmp(read, size, test::appenderTo(bmp), window);

    KvdProblem inMemory;
    const std::optional<DecodedKvd> decoded = decodeKvd(kvd, inMemory);
    switch (result.outcome) {
    case KvdToBmpOutcome::Refused:
        check(!decoded.has_value(), "the in-memory reader accepts a refused file");
        check(result.problem.offset <= size, "problem offset past the end of the file");
        check(!result.problem.text.empty(), "problem without a text");
        if (!foundInRows(result.problem)) {
            // The header and the file size are checked before anything is written, in the same
            // order by both readers.
            check(bmp.empty(), "BMP bytes written for a file refused by its header");
            check(inMemory.offset == result.problem.offset && inMemory.text == result.problem.text,
                  "the two readers name different header problems");
        }
        return 0;
    case KvdToBmpOutcome::Done:
        break;
    case KvdToBmpOutcome::ReadFailed:
        fail("read failed over memory");
    case KvdToBmpOutcome::WriteFailed:
        fail("write failed into memory");
    default:
        fail("outcome outside the four");
    }

    check(decoded.has_value(), "the in-memory reader refuses an accepted file");
    check(result.header.fileSize == size, "accepted file of another size than its header's");
    const std::optional<std::vector<std::uint8_t>> back = test::convertToKvd(bmp);
    check(back.has_value(), "doz2era refuses the BMP");
    check(back->size() == size && std::equal(back->begin(), back->end(), kvd.begin()),
          "the BMP does not convert back into the same KVD");
    return 0;
}
