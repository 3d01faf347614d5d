#include "TCPSocket.h"

#include "Console.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <vector>

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

    // IPv4 first: the server link is an IPv4 link, and the resolver often
    // puts a name's IPv6 addresses first (::1 for localhost), where the
    // server may not listen. IPv6 addresses are tried only after every IPv4
    // address failed; within each family the resolver's order stays.
    std::vector<const addrinfo*> order;
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) order.push_back(a);
    std::stable_partition(order.begin(), order.end(), [](const addrinfo* a) { return a->ai_family == AF_INET; });

    bool madeSocket = false;
    int connected = -1;
    int lastTried = -1;
    for (const addrinfo* a : order) {
        const int fd = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (fd < 0) continue;
        madeSocket = true;
        enableKeepAlive(fd);
        if (connectTo(fd, a->ai_addr, a->ai_addrlen)) {
            connected = fd;
            break;
        }
        // Only the last failed attempt stays open in mySocket; earlier ones
        // would have no handle left at all.
        if (lastTried >= 0) close(lastTried);
        lastTried = fd;
    }
    freeaddrinfo(found);

    if (connected >= 0) {
        if (lastTried >= 0) close(lastTried);
        mySocket = connected;
        framer = MessageFramer();
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
            sendErrno = sent < 0 ? errno : 0;
            console::err("Problém s odesláním dat");
            return false;
        }
        done += static_cast<std::size_t>(sent);
    }
    return true;
}

bool TCPSocket::receiveData(std::string& text) {
    text.clear();
    for (;;) {
        // What was received ahead is handed out before the next receive:
        // it may already hold whole messages.
        if (framer.next(text)) return true;
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
            framer.end();
            return false;
        }
        framer.append(chunk, static_cast<std::size_t>(received));
    }
}
