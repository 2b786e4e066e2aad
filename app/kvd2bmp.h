#pragma once

namespace doz2era {

// Exit statuses of kvd2bmp, as a command-line decoder has them.
inline constexpr int kExitSuccess = 0; // converted, or the help or version printed
inline constexpr int kExitFailed = 1;  // a file that cannot be read or written, or a refused KVD
inline constexpr int kExitUsage = 2;   // a wrong command line

// One whole run of kvd2bmp: reads the command line, turns the KVD file IN into the BMP OUT (or
// standard output for "-"), prints what went wrong as one line on standard error and returns the
// exit status. A failed run leaves OUT as it was: the BMP is written to a new file beside OUT and
// renamed over it only once complete.
int runKvdToBmp(int argc, const char* const* argv);

} // namespace doz2era
