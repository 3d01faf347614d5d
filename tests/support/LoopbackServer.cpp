#include "LoopbackServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

LoopbackServer::LoopbackServer() {
    listen_ = socket(AF_INET, SOCK_STREAM, 0);
    if (listen_ < 0) throw std::runtime_error("socket failed");
    int one = 1;
    setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listen_, 4) != 0) {
        throw std::runtime_error("bind/listen failed");
    }
    socklen_t len = sizeof addr;
    getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
}

LoopbackServer::~LoopbackServer() {
    closeClient();
    if (listen_ >= 0) close(listen_);
}

bool LoopbackServer::accept(int timeoutMs) {
    pollfd p{listen_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return false;
    closeClient();
    client_ = ::accept(listen_, nullptr, nullptr);
    pending_.clear();
    return client_ >= 0;
}

void LoopbackServer::sendRaw(const std::string& bytes) const {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t w = ::send(client_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (w <= 0) return;
        done += static_cast<std::size_t>(w);
    }
}

bool LoopbackServer::receiveMessage(std::string& text, int timeoutMs) {
    for (;;) {
        std::size_t zero = pending_.find('\0');
        if (zero != std::string::npos) {
            text = pending_.substr(0, zero);
            pending_.erase(0, zero + 1);
            return true;
        }
        pollfd p{client_, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) return false;
        char buf[65536];
        ssize_t r = ::recv(client_, buf, sizeof buf, 0);
        if (r <= 0) return false;
        pending_.append(buf, static_cast<std::size_t>(r));
    }
}

std::string LoopbackServer::receiveRaw(int timeoutMs, int quietMs) {
    std::string out;
    out.swap(pending_);
    int wait = timeoutMs;
    for (;;) {
        pollfd p{client_, POLLIN, 0};
        if (poll(&p, 1, wait) <= 0) break;
        char buf[65536];
        ssize_t r = ::recv(client_, buf, sizeof buf, 0);
        if (r <= 0) break;
        out.append(buf, static_cast<std::size_t>(r));
        wait = quietMs;
    }
    return out;
}

bool LoopbackServer::waitClientClosed(int timeoutMs) {
    for (;;) {
        pollfd p{client_, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) return false;
        char buf[4096];
        ssize_t r = ::recv(client_, buf, sizeof buf, 0);
        if (r == 0) return true;
        if (r < 0) return true;
        pending_.append(buf, static_cast<std::size_t>(r));
    }
}

void LoopbackServer::closeClient() {
    if (client_ >= 0) close(client_);
    client_ = -1;
}
