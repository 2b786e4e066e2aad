#pragma once

// A fixture for the command-line tests: every test runs the real executables in a fresh, empty
// folder of its own, removed afterwards, and looks at every file left behind.

#include "bmp_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace doz2era::test {

class FolderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::random_device seed;
        dir_ = std::filesystem::temp_directory_path() /
               ("doz2era-cli-" + std::to_string(seed()) + "-" + std::to_string(seed()));
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    // A file of the test folder. Names are UTF-8, like the arguments that runProgram passes on.
    std::filesystem::path at(const std::string& name) const {
        return dir_ / std::filesystem::path(std::u8string(name.begin(), name.end()));
    }

    void write(const std::string& name, const Bytes& bytes) {
        std::filesystem::create_directories(at(name).parent_path());
        std::ofstream out(at(name), std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }

    Bytes read(const std::string& name) { return readFile(at(name)); }

    bool exists(const std::string& name) {
        return std::filesystem::exists(std::filesystem::symlink_status(at(name)));
    }

    // The files in the test folder, for "nothing else was touched".
    std::vector<std::string> files() {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(dir_)) {
            names.push_back(entry.path().lexically_relative(dir_).generic_string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    std::filesystem::path dir_;
    std::mt19937 rng_{42};
};

} // namespace doz2era::test
