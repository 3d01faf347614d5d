// Message framing on the server connection: an arbitrary byte stream, cut at
// arbitrary places, is written to a connected TCPSocket over loopback and
// read back with receiveData. Every zero-terminated message must come back
// whole and in order, whatever the cuts; a trailing unterminated piece is
// not a message; after the server closes, receiveData says so at once, every
// time. Input: n (low 4 bits), n piece lengths (1 to 256 bytes each, used
// in turn), then the stream.
//
// Single-threaded and deterministic: the test writes one piece, then calls
// receiveData exactly as often as the stream so far holds whole messages,
// so each receive sees the stream cut where the piece ended.
#include <sys/socket.h>
#include <unistd.h>

#include <deque>

#include "FuzzSupport.h"
#include "LoopbackServer.h"
#include "TCPSocket.h"

// Far below TCPSocket::MAX_MESSAGE and the socket buffers, so that all of
// it fits in the kernel while nobody reads.
static const std::size_t STREAM_LIMIT = 32 * 1024;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    std::vector<std::size_t> lengths(in.byte() & 0x0F);
    for (std::size_t& length : lengths) length = std::size_t{in.byte()} + 1;
    std::vector<uint8_t> stream = in.rest();
    if (stream.size() > STREAM_LIMIT) stream.resize(STREAM_LIMIT);

    LoopbackServer server;
    TCPSocket socket("127.0.0.1", server.port());
    FUZZ_CHECK(socket.init() == 1 && server.accept(), "no loopback connection");
    // A receive waiting for bytes that never come fails after this instead of hanging.
    timeval limit{5, 0};
    ::setsockopt(socket.descriptor(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);

    std::deque<std::string> whole{""};
    std::size_t next = 0;
    for (std::size_t pos = 0; pos < stream.size();) {
        const std::size_t len = std::min(lengths.empty() ? stream.size() : lengths[next++ % lengths.size()], stream.size() - pos);
        const std::string piece(stream.begin() + static_cast<long>(pos), stream.begin() + static_cast<long>(pos + len));
        server.sendRaw(piece);
        for (char c : piece) {
            if (c == 0) {
                whole.push_back("");
            } else {
                whole.back().push_back(c);
            }
        }
        pos += len;
        for (; whole.size() > 1; whole.pop_front()) {
            std::string text;
            FUZZ_CHECK(socket.receiveData(text), "a whole message was not delivered (cut at " + std::to_string(pos) + ")");
            FUZZ_CHECK(text == whole.front(), "message delivered as " + std::to_string(text.size()) + " bytes, sent " +
                                                  std::to_string(whole.front().size()));
        }
    }

    server.closeClient();
    std::string text;
    FUZZ_CHECK(!socket.receiveData(text), "an unterminated tail was delivered as a message");
    FUZZ_CHECK(socket.closedByPeer(), "the server's close was not reported as such");
    FUZZ_CHECK(!socket.receiveData(text) && socket.closedByPeer(), "a second receive after the close did not fail at once");
    // Closed with a reset, so no TIME_WAIT piles up over millions of runs.
    linger reset{1, 0};
    ::setsockopt(socket.descriptor(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(socket.descriptor());
    return 0;
}
