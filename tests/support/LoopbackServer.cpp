#include "LoopbackServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

LoopbackServer::LoopbackServer(bool listening) {
    listen_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listen_ < 0 || bind(listen_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        (listening && listen(listen_, 4) != 0) || getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        throw std::runtime_error("loopback server: socket set-up failed");
    }
    port_ = ntohs(addr.sin_port);
}

LoopbackServer::~LoopbackServer() {
    closeClient();
    close(listen_);
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
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t w = send(client_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (w <= 0) return;
        done += static_cast<std::size_t>(w);
    }
}

bool LoopbackServer::receiveMessage(std::string& text, int timeoutMs) {
    for (;;) {
        const std::size_t zero = pending_.find('\0');
        if (zero != std::string::npos) {
            text = pending_.substr(0, zero);
            pending_.erase(0, zero + 1);
            return true;
        }
        const std::string more = receiveRaw(timeoutMs, 0);
        if (more.empty()) return false;
        pending_ = more;
    }
}

std::string LoopbackServer::receiveRaw(int timeoutMs, int quietMs) {
    std::string out;
    out.swap(pending_);
    for (int wait = timeoutMs;; wait = quietMs) {
        pollfd p{client_, POLLIN, 0};
        char buf[65536];
        if (poll(&p, 1, wait) <= 0) break;
        const ssize_t r = recv(client_, buf, sizeof buf, 0);
        if (r <= 0) break;
        out.append(buf, static_cast<std::size_t>(r));
    }
    return out;
}

void LoopbackServer::closeClient() {
    if (client_ >= 0) close(client_);
    client_ = -1;
}

void LoopbackServer::setReceiveBuffer(int bytes) const {
    setsockopt(listen_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}
