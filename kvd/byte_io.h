#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

namespace doz2era {

// Where the streaming routines get their bytes and where they put them: an open file in the
// programs, a block in memory in the tests and the fuzz targets. The routines never touch a file
// themselves, so the same code runs on both.

// Reads exactly `into.size()` bytes that start `offset` bytes into the input; false on a failed or
// short read (the input ended early, shrank, or the device reported an error).
using ReadAt = std::function<bool(std::uint64_t offset, std::span<std::uint8_t> into)>;

// Writes every byte of `bytes` after those written before; false if any did not go out.
using WriteBytes = std::function<bool(std::span<const std::uint8_t> bytes)>;

// Window size of both programs: the input is read, and the output sent, this many bytes at a
// time; a fixed amount of memory whatever the picture, and enough for one row of any picture the
// KVD layouts hold (at most 4 x 65535 bytes). Large enough that the calls cost little beside the
// copying. Not larger: a write of 1 MiB makes Linux hold it in page-cache blocks of 1 MiB, which a
// virtual machine that hands idle memory back to its host must have supplied anew after a pause
// (a one-shot conversion took 3 to 9 x `cat` with 1 MiB writes, 1.1 x with these; bench/README.md).
inline constexpr std::size_t kWindowBytes = std::size_t{256} << 10;

} // namespace doz2era
