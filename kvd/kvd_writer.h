#pragma once

#include "bmp/source_image.h"
#include "kvd/layout.h"

#include <cstdint>
#include <cstdio>

namespace doz2era {

// The writers borrow the open destination stream and never close it. Each returns true when the
// stream accepted every byte; bytes still buffered in the stream are the caller's to flush and
// check (by closing it). Where the C library allows, they use the stream without taking its lock:
// no other thread may use the stream while a writer runs.

// Writes one row of `width` pixels as runs of at most `maxRun` pixels, each run opened by the byte
// n + bias. A row of width 0 writes nothing.
bool writeRuns(const std::uint8_t* row, std::uint32_t width, std::uint32_t bytesPerPixel,
               std::uint32_t maxRun, std::uint32_t bias, std::FILE* stream);

// Writes a Depth24 source as the 24-bit KVD layout.
bool writeLayout24(const SourceImage& image, std::FILE* stream);

// Writes a Depth32 source as the 32-bit KVD layout.
bool writeLayout32(const SourceImage& image, std::FILE* stream);

} // namespace doz2era
