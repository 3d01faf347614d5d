#include "FuzzSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace {

// The gateway writes a console line for many inputs; at thousands of runs a
// second that only buries the fuzzer's own report. Standard error itself
// stays open for libFuzzer, the sanitizers and fuzzFail. Set
// PELKO_FUZZ_CONSOLE=1 to see the lines when replaying one input.
struct QuietConsole {
    QuietConsole() {
        const char* keep = std::getenv("PELKO_FUZZ_CONSOLE");
        if (keep != nullptr && keep[0] == '1') return;
        std::cout.rdbuf(nullptr);
        std::cerr.rdbuf(nullptr);
        std::clog.rdbuf(nullptr);
    }
};
const QuietConsole quietConsole;

}  // namespace

void fuzzFail(const char* file, int line, const std::string& what) {
    std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, what.c_str());
    std::fflush(stderr);
    std::abort();
}

std::vector<uint8_t> FuzzInput::take(std::size_t count) {
    if (count > remaining()) count = remaining();
    std::vector<uint8_t> out(data_ + pos_, data_ + pos_ + count);
    pos_ += count;
    return out;
}

uint8_t referenceCrc(const uint8_t* bytes, std::size_t count) {
    uint8_t crc = 0;
    for (std::size_t i = 0; i < count; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x80) != 0 ? static_cast<uint8_t>((crc << 1) ^ 0x31) : static_cast<uint8_t>(crc << 1);
        }
    }
    return crc;
}

NodeShape readShape(FuzzInput& in) {
    NodeShape shape;
    shape.channels = in.byte();
    shape.count = in.byte();
    shape.range = in.byte();
    return shape;
}

Node makeNode(const NodeShape& shape, unsigned typeCode, unsigned short address) {
    DeviceType type;
    type.setType(typeCode);
    type.setDataRange(static_cast<unsigned char>(shape.range));
    type.setDataCount(static_cast<unsigned char>(shape.count));
    Node node;
    node.setChannelCount(static_cast<int>(shape.channels));
    node.setType(type);
    node.setAddress(address);
    node.makeData();
    return node;
}

std::vector<uint8_t> referencePack(const NodeShape& shape, const std::vector<uint32_t>& values) {
    std::vector<uint8_t> payload(shape.bytes(), 0);
    unsigned k = 0;
    for (uint32_t value : values) {
        for (unsigned b = 0; b < shape.range; ++b, ++k) {
            const bool set = b < 32 && ((value >> b) & 1u) != 0;
            if (set) payload[k / 8] = static_cast<uint8_t>(payload[k / 8] | (1u << (k % 8)));
        }
    }
    return payload;
}

std::vector<uint32_t> referenceUnpack(const NodeShape& shape, const uint8_t* payload) {
    std::vector<uint32_t> values(shape.values(), 0);
    unsigned k = 0;
    for (uint32_t& value : values) {
        for (unsigned b = 0; b < shape.range; ++b, ++k) {
            const bool set = ((payload[k / 8] >> (k % 8)) & 1u) != 0;
            if (set && b < 32) value |= 1u << b;
        }
    }
    return values;
}

std::vector<uint8_t> referenceFrame(uint8_t code, const std::vector<uint8_t>& body) {
    std::vector<uint8_t> frame;
    frame.push_back(0x23);
    frame.push_back(static_cast<uint8_t>(body.size() + 1));
    frame.push_back(code);
    frame.insert(frame.end(), body.begin(), body.end());
    frame.push_back(referenceCrc(frame.data() + 1, frame.size() - 1));
    frame.push_back(0x24);
    return frame;
}

LoopbackListener::LoopbackListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    FUZZ_CHECK(fd_ >= 0, "socket() for the loopback listener failed");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    FUZZ_CHECK(::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0, "bind() on 127.0.0.1 failed");
    FUZZ_CHECK(::listen(fd_, 16) == 0, "listen() failed");
    socklen_t len = sizeof addr;
    FUZZ_CHECK(::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) == 0, "getsockname() failed");
    port_ = ntohs(addr.sin_port);
}

LoopbackListener::~LoopbackListener() {
    if (fd_ >= 0) ::close(fd_);
}

int LoopbackListener::acceptOne() const {
    int fd = -1;
    do {
        fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

bool writeAll(int fd, const uint8_t* bytes, std::size_t count) {
    while (count > 0) {
        const ssize_t sent = ::send(fd, bytes, count, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        bytes += sent;
        count -= static_cast<std::size_t>(sent);
    }
    return true;
}

std::vector<uint8_t> readToEnd(int fd) {
    std::vector<uint8_t> all;
    uint8_t chunk[4096];
    for (;;) {
        const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        all.insert(all.end(), chunk, chunk + got);
    }
    return all;
}

void closeAbortively(int fd) {
    if (fd < 0) return;
    linger reset{};
    reset.l_onoff = 1;
    reset.l_linger = 0;
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(fd);
}

LoopbackListener& fuzzListener() {
    static LoopbackListener listener;
    return listener;
}

const char* loopbackHost() { return "127.0.0.1"; }
