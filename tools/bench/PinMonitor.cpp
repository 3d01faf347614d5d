#include "PinMonitor.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>

PinMonitor::PinMonitor(std::string valuePath) : path_(std::move(valuePath)) {
    unlink(path_.c_str());
    if (mkfifo(path_.c_str(), 0644) != 0) throw std::runtime_error("PinMonitor: mkfifo failed for " + path_);
    // Read-write, so the FIFO always has a writer: no end-of-file between
    // the gateway's writes, and its opens for writing never block.
    fd_ = open(path_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) throw std::runtime_error("PinMonitor: cannot open " + path_);
    int pipeFds[2];
    if (pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC) != 0) throw std::runtime_error("PinMonitor: pipe failed");
    wakeRead_ = pipeFds[0];
    wakeWrite_ = pipeFds[1];
    // Keeps the FIFO from filling up (which would block the gateway) when
    // nobody asks for a long time.
    thread_ = std::thread(&PinMonitor::run, this);
}

PinMonitor::~PinMonitor() {
    running_ = false;
    const unsigned char wake = 1;
    if (write(wakeWrite_, &wake, 1) < 0) {
        // Full pipe: the thread is woken already.
    }
    thread_.join();
    close(wakeRead_);
    close(wakeWrite_);
    close(fd_);
}

void PinMonitor::drain() {
    unsigned char buffer[256];
    for (;;) {
        const ssize_t r = read(fd_, buffer, sizeof buffer);
        if (r <= 0) return;
        const auto now = std::chrono::steady_clock::now();
        for (ssize_t i = 0; i < r; ++i) {
            if (buffer[i] == '\n') continue;
            levels_.push_back({static_cast<char>(buffer[i]), now});
        }
    }
}

void PinMonitor::run() {
    while (running_) {
        pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) continue;
        if ((fds[1].revents & POLLIN) != 0) return;
        std::lock_guard<std::mutex> guard(mutex_);
        drain();
    }
}

bool PinMonitor::high() {
    std::lock_guard<std::mutex> guard(mutex_);
    drain();
    return !levels_.empty() && levels_.back().level == '1';
}

std::vector<PinMonitor::Level> PinMonitor::levels() {
    std::lock_guard<std::mutex> guard(mutex_);
    drain();
    return levels_;
}

std::size_t PinMonitor::writes() {
    std::lock_guard<std::mutex> guard(mutex_);
    drain();
    return levels_.size();
}
