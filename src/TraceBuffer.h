#ifndef PELKO_TRACEBUFFER_H
#define PELKO_TRACEBUFFER_H

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <vector>

// One thing a trace shows: a frame on the bus, a node's reply (or none), a
// server message, the serial device lost or back. Raw: it is decoded on the
// reader's thread, never on the bus thread.
struct TraceEvent {
    enum class Kind { busOut, busIn, serverIn, serverOut, lineLost, lineBack };
    static constexpr std::size_t MAX_BYTES = 128;  // the bus master's receive buffer
    static constexpr std::size_t MAX_TEXT = 512;   // of a server message; the rest is cut

    Kind kind = Kind::busOut;
    std::chrono::system_clock::time_point at;
    bool hasNode = false;
    unsigned short node = 0;
    std::int64_t replyUs = -1;  // busIn: time from the request's end to the reply's
    std::size_t length = 0;     // bytes (busOut, busIn) or the whole text's size
    std::array<unsigned char, MAX_BYTES> bytes{};
    std::string text;  // serverIn, serverOut: up to MAX_TEXT
};

// What one trace client asked to see, held for it between the hooks that
// push and the control thread that takes. Bounded: when the reader falls
// behind, new events are dropped and counted, and the count is handed out
// with the next take, so the trace itself says what it lost. push never
// waits for the reader beyond the copy of one event.
class TraceBuffer {
public:
    static constexpr std::size_t DEFAULT_CAPACITY = 1024;

    // `nodes` empty: every node; `server`: the server messages as well.
    TraceBuffer(std::set<unsigned short> nodes, bool server, std::size_t capacity = DEFAULT_CAPACITY);

    bool wants(TraceEvent::Kind kind, bool hasNode, unsigned short node) const;
    void push(const TraceEvent& event);
    // Moves every waiting event to `out` (cleared first); returns how many
    // were dropped since the previous take.
    std::uint64_t take(std::vector<TraceEvent>& out);

private:
    const std::set<unsigned short> nodes;
    const bool server;
    std::mutex mutex;
    std::vector<TraceEvent> ring;  // capacity slots, allocated once
    std::size_t head = 0;          // oldest waiting
    std::size_t count = 0;
    std::uint64_t dropped = 0;
};

#endif
