#include "RecordingStream.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <stdexcept>

namespace {
void flushAll() {
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
}
}  // namespace

RecordingStream::RecordingStream(int fd) : fd_(fd) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/pelko-stream-XXXXXX";
    file_ = mkstemp(pattern.data());
    if (file_ < 0) throw std::runtime_error("mkstemp failed");
    unlink(pattern.c_str());
    flushAll();
    saved_ = dup(fd_);
    dup2(file_, fd_);
}

RecordingStream::~RecordingStream() {
    flushAll();
    dup2(saved_, fd_);
    close(saved_);
    if (::testing::Test::HasFailure()) {
        const std::string recorded = "---- recorded on fd " + std::to_string(fd_) + ":\n" + text() + "----\n";
        ssize_t ignored = write(fd_, recorded.data(), recorded.size());
        (void)ignored;
    }
    close(file_);
}

std::string RecordingStream::text() const {
    flushAll();
    std::string all;
    char buf[65536];
    off_t at = 0;
    for (;;) {
        const ssize_t got = pread(file_, buf, sizeof buf, at);
        if (got <= 0) break;
        all.append(buf, static_cast<std::size_t>(got));
        at += got;
    }
    return all;
}
