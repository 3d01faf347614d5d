#include "RecordingStream.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

namespace {
void flushAll() {
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
}
}  // namespace

RecordingStream::RecordingStream(int fd) : fd_(fd) {
    FILE* file = std::tmpfile();
    if (file == nullptr) throw std::runtime_error("tmpfile failed");
    file_ = dup(fileno(file));
    std::fclose(file);
    flushAll();
    saved_ = dup(fd_);
    dup2(file_, fd_);
}

RecordingStream::~RecordingStream() {
    flushAll();
    dup2(saved_, fd_);
    close(saved_);
    const std::string recorded = "---- recorded on fd " + std::to_string(fd_) + ":\n" + text() + "----\n";
    if (::testing::Test::HasFailure() && write(fd_, recorded.data(), recorded.size()) < 0) std::perror("recording");
    close(file_);
}

std::string RecordingStream::text() const {
    flushAll();
    std::string all;
    char buf[65536];
    for (ssize_t got; (got = pread(file_, buf, sizeof buf, static_cast<off_t>(all.size()))) > 0;) {
        all.append(buf, static_cast<std::size_t>(got));
    }
    return all;
}
