#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace doz2era {

// The source path cut at its last dot (directory parts included) plus ".kvd"; nothing when the
// argument or the name built from it would not fit the 260-byte name buffer.
std::optional<std::string> destinationName(std::string_view source);

// One whole run of the program: checks the argument count, converts the one source file and
// prints the outcome as one line on standard output.
void runConversion(int argc, const char* const* argv);

} // namespace doz2era
