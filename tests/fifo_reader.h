#pragma once

// Reading a FIFO that a program under test writes, for the command-line tests (POSIX only).

#include "bmp_builder.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <unistd.h>

namespace doz2era::test {

// Opens the read end of the FIFO at `path` without waiting for a writer; -1 on failure. Not
// inherited by the programs the test starts.
inline int openFifoReader(const std::filesystem::path& path) {
    return ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

// Waits for the first bytes of a writer of the FIFO (before any writer came, a read would see
// the end of the FIFO), then makes the reads wait for data again.
inline void waitForWriter(int fd) {
    pollfd ready{fd, POLLIN, 0};
    ASSERT_EQ(::poll(&ready, 1, -1), 1);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
}

// Reads the FIFO to its end (the writer closed it); the bytes read.
inline Bytes drain(int fd) {
    waitForWriter(fd);
    Bytes bytes;
    std::uint8_t buffer[65536];
    ssize_t n = 0;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) {
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    return bytes;
}

} // namespace doz2era::test
