// Message framing on the server connection: an arbitrary byte stream, cut at
// arbitrary places, is written to a connected TCPSocket over loopback and
// read back with receiveData. The messages that come back, and the point in
// the stream where each became whole, must not depend on the cuts: they
// must be those of a MessageFramer given the stream byte by byte, each
// handed out as soon as the byte that ends it has arrived. A stream without
// '{', '[' or line feeds is cut at its zero bytes alone, as it always was.
// After the server closes, receiveData says so at once, every time.
// Input: n (low 4 bits), n piece lengths (1 to 256 bytes each, used in
// turn), then the stream.
//
// Single-threaded and deterministic: the test writes one piece, then calls
// receiveData exactly as often as the stream so far holds whole messages,
// so each receive sees the stream cut where the piece ended.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "FuzzSupport.h"
#include "LoopbackServer.h"
#include "MessageFramer.h"
#include "TCPSocket.h"

namespace {

// Far below the message bound and the socket buffers, so that all of it
// fits in the kernel while nobody reads.
const std::size_t STREAM_LIMIT = 32 * 1024;

// The text as the reader sees it: printable bytes only, without the blanks before it.
std::string cleaned(const std::string& text) {
    std::string kept;
    for (char c : text) {
        if (c > 0x20 && c <= 0x7E) kept.push_back(c);
        if (c == 0x20 && !kept.empty()) kept.push_back(c);
    }
    return kept;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    std::vector<std::size_t> lengths(in.byte() & 0x0F);
    for (std::size_t& length : lengths) length = std::size_t{in.byte()} + 1;
    std::vector<uint8_t> bytes = in.rest();
    if (bytes.size() > STREAM_LIMIT) bytes.resize(STREAM_LIMIT);
    const std::string stream(bytes.begin(), bytes.end());

    // The model: a framer given the bytes one at a time, for where each message became whole.
    std::vector<std::string> whole;
    std::vector<std::size_t> endsAt;  // stream length at which message i became whole
    MessageFramer single;
    for (std::size_t i = 0; i < stream.size(); ++i) {
        single.append(&stream[i], 1);
        for (std::string text; single.next(text); endsAt.push_back(i + 1)) whole.push_back(text);
    }
    if (stream.find_first_of("{[\n") == std::string::npos) {
        // Without brackets or line feeds only zero bytes end messages.
        std::vector<std::string> atZeros{""};
        for (char c : stream) c == 0 ? atZeros.push_back("") : atZeros.back().push_back(c);
        atZeros.pop_back();
        FUZZ_CHECK(atZeros.size() == whole.size(), "a stream without brackets was not cut at its zero bytes alone");
        for (std::size_t i = 0; i < whole.size(); ++i) {
            FUZZ_CHECK(cleaned(whole[i]) == cleaned(atZeros[i]), "a zero-terminated message changed");
        }
    }

    LoopbackServer server;
    TCPSocket socket("127.0.0.1", server.port());
    FUZZ_CHECK(socket.init() == 1 && server.accept(), "no loopback connection");
    // A receive waiting for bytes that never come fails after this instead of hanging.
    timeval limit{5, 0};
    ::setsockopt(socket.descriptor(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);

    std::size_t delivered = 0;
    std::size_t next = 0;
    for (std::size_t pos = 0; pos < stream.size();) {
        const std::size_t len = std::min(lengths.empty() ? stream.size() : lengths[next++ % lengths.size()], stream.size() - pos);
        server.sendRaw(stream.substr(pos, len));
        pos += len;
        for (; delivered < whole.size() && endsAt[delivered] <= pos; ++delivered) {
            std::string text;
            FUZZ_CHECK(socket.receiveData(text), "a whole message was not delivered (cut at " + std::to_string(pos) + ")");
            FUZZ_CHECK(text == whole[delivered], "message delivered as " + std::to_string(text.size()) + " bytes, framed " +
                                                     std::to_string(whole[delivered].size()));
        }
    }

    server.closeClient();
    std::string text;
    FUZZ_CHECK(!socket.receiveData(text), "an unfinished message was delivered");
    FUZZ_CHECK(socket.closedByPeer(), "the server's close was not reported as such");
    FUZZ_CHECK(!socket.receiveData(text) && socket.closedByPeer(), "a second receive after the close did not fail at once");
    // Closed with a reset, so no TIME_WAIT piles up over millions of runs.
    linger reset{1, 0};
    ::setsockopt(socket.descriptor(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(socket.descriptor());
    return 0;
}
