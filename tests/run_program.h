#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace doz2era::test {

struct ProgramResult {
    int exitCode = -1;  // the process's exit status; 128 + signal number if a signal ended it
    std::string output; // everything it wrote to standard output
};

// Runs `program` with `args` (not including the program name) in the folder `workDir`, waits for
// it to end and collects its standard output.
ProgramResult runProgram(const std::filesystem::path& program, const std::vector<std::string>& args,
                         const std::filesystem::path& workDir);

} // namespace doz2era::test
