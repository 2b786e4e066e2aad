#pragma once

// The BMP Suite files of tests/data/bmpsuite, each with the outcome of doz2era's checks that
// expected.tsv gives it (Depth24, Depth32, Corrupt, UnsupportedDepth, ...).

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace doz2era::test {

inline const std::string kBmpSuiteRoot = DOZ2ERA_TEST_DATA "/bmpsuite/";

struct SuiteFile {
    std::string name; // relative to kBmpSuiteRoot, e.g. "good/rgb24.bmp"
    std::string outcome;
};

// The rows of expected.tsv; empty if it cannot be read.
inline std::vector<SuiteFile> bmpSuiteFiles() {
    std::ifstream list(kBmpSuiteRoot + "expected.tsv");
    std::vector<SuiteFile> files;
    std::string line;
    std::getline(list, line); // column names
    while (std::getline(list, line)) {
        std::istringstream fields(line);
        SuiteFile file;
        std::getline(fields, file.name, '\t');
        std::getline(fields, file.outcome);
        files.push_back(file);
    }
    return files;
}

} // namespace doz2era::test
