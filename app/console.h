#pragma once

#include <string_view>

// Standard output as the conversion run uses it: raw writes of finished text, and whether a person
// watches it. No stdio buffer stands between the run and the system.
namespace doz2era {

// True if standard output is a terminal (a console on Windows); false for a pipe, a file or a
// device that is not a terminal.
bool outputIsTerminal();

// Writes all of `text` to standard output with as few system writes as the system allows: one
// for any line of this program. A write that fails is dropped (the exit status never changes).
void writeOutput(std::string_view text);

} // namespace doz2era
