#include "TCPSocket.h"

#include "Console.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>

namespace {

// A server that vanishes without closing is noticed after about a minute
// (30 s idle, then 3 probes 10 s apart) instead of never.
void enableKeepAlive(int fd) {
    int on = 1;
    int idle = 30;
    int interval = 10;
    int probes = 3;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
}

// A blocking connect; one interrupted by a signal goes on in the kernel, so
// its outcome is waited for rather than asked for a second time.
bool connectTo(int fd, const sockaddr* address, socklen_t length) {
    if (connect(fd, address, length) == 0) return true;
    if (errno != EINTR) return false;
    pollfd p{fd, POLLOUT, 0};
    int ready;
    do {
        ready = poll(&p, 1, -1);
    } while (ready < 0 && errno == EINTR);
    int error = 0;
    socklen_t size = sizeof error;
    return ready > 0 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
}

// Bytes asked of one recv call.
const std::size_t RECEIVE_CHUNK = 64 * 1024;

}  // namespace

const std::size_t TCPSocket::MAX_MESSAGE;

TCPSocket::TCPSocket() = default;

TCPSocket::TCPSocket(const char* host, int p) : hostname(host), port(p) {}

TCPSocket::TCPSocket(const TCPSocket&) = default;

TCPSocket& TCPSocket::operator=(const TCPSocket&) = default;

// The descriptor is shared with every copy, so no copy closes it.
TCPSocket::~TCPSocket() = default;

int TCPSocket::init() { return openSocket(); }

int TCPSocket::init(const char* host, int p) {
    hostname = host;
    port = p;
    return openSocket();
}

int TCPSocket::openSocket() {
    if (hostname == nullptr) {
        console::err("Špatná adresa");
        return -1;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV;
    // Only the low 16 bits of the configured number name the port.
    const std::string service = std::to_string(static_cast<unsigned int>(port) & 0xFFFFu);
    addrinfo* found = nullptr;
    if (getaddrinfo(hostname, service.c_str(), &hints, &found) != 0 || found == nullptr) {
        console::err("Špatná adresa");
        return -1;
    }

    bool madeSocket = false;
    int connected = -1;
    int lastTried = -1;
    for (addrinfo* a = found; a != nullptr && connected < 0; a = a->ai_next) {
        const int fd = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (fd < 0) continue;
        madeSocket = true;
        enableKeepAlive(fd);
        if (connectTo(fd, a->ai_addr, a->ai_addrlen)) {
            connected = fd;
        } else {
            // Only the last failed attempt stays open in mySocket; earlier
            // ones would have no handle left at all.
            if (lastTried >= 0) close(lastTried);
            lastTried = fd;
        }
    }
    freeaddrinfo(found);

    if (connected >= 0) {
        if (lastTried >= 0) close(lastTried);
        mySocket = connected;
        pending.clear();
        head = 0;
        scanned = 0;
        skipping = false;
        peerClosed = false;
        receiveErrno = 0;
        return 1;
    }
    if (!madeSocket) {
        console::err("Nelze vytvořit soket");
        return -1;
    }
    mySocket = lastTried;
    console::err("Nelze navázat spojení");
    return -1;
}

bool TCPSocket::sendData(const std::string& text) {
    // One buffer so that a message normally leaves in one send call.
    std::string wire;
    wire.reserve(text.size() + 1);
    wire.append(text);
    wire.push_back('\0');
    std::size_t done = 0;
    while (done < wire.size()) {
        // MSG_NOSIGNAL: a reset connection is a send error, not SIGPIPE.
        const ssize_t sent = send(mySocket, wire.data() + done, wire.size() - done, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) {
            console::err("Problém s odesláním dat");
            return false;
        }
        done += static_cast<std::size_t>(sent);
    }
    return true;
}

bool TCPSocket::takeMessage(std::string& text) {
    for (;;) {
        const std::size_t zero = pending.find('\0', head + scanned);
        if (zero == std::string::npos) {
            scanned = pending.size() - head;
            if (skipping) {
                // Still inside the over-long message: none of it is kept.
                pending.clear();
                head = 0;
                scanned = 0;
            } else if (scanned > MAX_MESSAGE) {
                console::err("Zpráva delší než " + std::to_string(MAX_MESSAGE) + " bajtů zahozena", console::Priority::warning);
                skipping = true;
                pending.clear();
                head = 0;
                scanned = 0;
            }
            return false;
        }
        const std::size_t start = head;
        head = zero + 1;
        scanned = 0;
        if (skipping) {
            skipping = false;
        } else if (zero - start > MAX_MESSAGE) {
            // Arrived whole in one receive, but still too long to keep.
            console::err("Zpráva delší než " + std::to_string(MAX_MESSAGE) + " bajtů zahozena", console::Priority::warning);
        } else {
            text.assign(pending, start, zero - start);
            return true;
        }
    }
}

bool TCPSocket::receiveData(std::string& text) {
    text.clear();
    for (;;) {
        const bool got = takeMessage(text);
        // Drop the handed-out bytes once they are the bigger part of the buffer.
        if (head == pending.size()) {
            pending.clear();
            head = 0;
        } else if (head > RECEIVE_CHUNK && head > pending.size() / 2) {
            pending.erase(0, head);
            head = 0;
        }
        if (got) return true;
        if (peerClosed) return false;

        char chunk[RECEIVE_CHUNK];
        const ssize_t received = recv(mySocket, chunk, sizeof chunk, 0);
        if (received < 0) {
            if (errno == EINTR) continue;
            receiveErrno = errno;
            return false;
        }
        if (received == 0) {
            peerClosed = true;
            const std::size_t unfinished = pending.size() - head;
            if (unfinished > 0 || skipping) {
                console::err("Spojení ukončeno uprostřed zprávy, " + std::to_string(unfinished) + " bajtů zahozeno", console::Priority::warning);
            }
            pending.clear();
            head = 0;
            scanned = 0;
            skipping = false;
            return false;
        }
        pending.append(chunk, static_cast<std::size_t>(received));
    }
}
