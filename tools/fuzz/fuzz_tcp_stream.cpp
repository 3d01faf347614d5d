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
#include <sys/time.h>

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "TCPSocket.h"

namespace {

// Far below TCPSocket::MAX_MESSAGE and the socket buffers, so that all of
// it fits in the kernel while nobody reads.
const std::size_t STREAM_LIMIT = 32 * 1024;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const unsigned pieces = in.byte() & 0x0F;
    std::vector<std::size_t> lengths;
    for (unsigned i = 0; i < pieces; ++i) lengths.push_back(std::size_t{in.byte()} + 1);
    const std::vector<uint8_t> stream = in.take(STREAM_LIMIT);

    LoopbackListener& listener = fuzzListener();
    TCPSocket socket(loopbackHost(), listener.port());
    FUZZ_CHECK(socket.init() == 1, "could not connect to the loopback listener");
    const int server = listener.acceptOne();
    FUZZ_CHECK(server >= 0, "accept failed");
    // A receive that waits for bytes that will never come fails after this
    // instead of hanging the run.
    timeval limit{};
    limit.tv_sec = 5;
    ::setsockopt(socket.descriptor(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);

    std::deque<std::string> whole;
    std::string partial;
    std::size_t pos = 0;
    std::size_t next = 0;
    while (pos < stream.size()) {
        std::size_t len = lengths.empty() ? stream.size() : lengths[next++ % lengths.size()];
        if (len > stream.size() - pos) len = stream.size() - pos;
        FUZZ_CHECK(writeAll(server, stream.data() + pos, len), "writing to the gateway's socket failed");
        for (std::size_t i = pos; i < pos + len; ++i) {
            if (stream[i] == 0) {
                whole.push_back(partial);
                partial.clear();
            } else {
                partial.push_back(static_cast<char>(stream[i]));
            }
        }
        pos += len;
        while (!whole.empty()) {
            std::string text;
            FUZZ_CHECK(socket.receiveData(text), "a whole message was not delivered (cut at " + std::to_string(pos) + ")");
            FUZZ_CHECK(text == whole.front(), "message delivered as " + std::to_string(text.size()) + " bytes, sent " +
                                                  std::to_string(whole.front().size()));
            whole.pop_front();
        }
    }

    ::shutdown(server, SHUT_WR);
    std::string text;
    FUZZ_CHECK(!socket.receiveData(text), "an unterminated tail was delivered as a message");
    FUZZ_CHECK(socket.closedByPeer(), "the server's close was not reported as such");
    FUZZ_CHECK(!socket.receiveData(text) && socket.closedByPeer(), "a second receive after the close did not fail at once");

    closeAbortively(server);
    closeAbortively(socket.descriptor());
    return 0;
}
