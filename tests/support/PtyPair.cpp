#include "PtyPair.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <stdexcept>

PtyPair::PtyPair() {
    char name[256] = {};
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&master_, &slaveKeep_, name, &raw, nullptr) != 0) throw std::runtime_error("openpty failed");
    slavePath_ = name;
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
}

PtyPair::~PtyPair() {
    close(master_);
    close(slaveKeep_);
}

void PtyPair::writeMaster(const std::vector<unsigned char>& bytes) const {
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t w = write(master_, bytes.data() + done, bytes.size() - done);
        pollfd p{master_, POLLOUT, 0};
        if (w > 0) done += static_cast<std::size_t>(w);
        else if (poll(&p, 1, 1000) <= 0) throw std::runtime_error("pty write failed");
    }
}

std::vector<unsigned char> PtyPair::readMaster(int timeoutMs, int quietMs) const {
    std::vector<unsigned char> out;
    unsigned char buf[512];
    pollfd p{master_, POLLIN, 0};
    for (int wait = timeoutMs; poll(&p, 1, wait) > 0; wait = quietMs) {
        const ssize_t r = read(master_, buf, sizeof buf);
        if (r <= 0) break;
        out.insert(out.end(), buf, buf + r);
    }
    return out;
}
