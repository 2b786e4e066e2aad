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
// time. Large enough that the calls cost little beside the copying, small beside any picture worth
// timing, and a fixed amount of memory whatever the picture.
inline constexpr std::size_t kWindowBytes = std::size_t{1} << 20;

} // namespace doz2era
