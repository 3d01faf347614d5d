#ifndef PELKO_FUZZ_SUPPORT_H
#define PELKO_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Node.h"

// Helpers shared by the fuzz targets: a cursor over the fuzz input, an
// independent model of the bus frame format (bitwise CRC, bit-stream
// packing) to check the gateway's frames against, node shapes, and a
// loopback TCP pair for the targets that drive the server link.

// Ends the run with a message when an invariant breaks; libFuzzer keeps the input.
[[noreturn]] void fuzzFail(const char* file, int line, const std::string& what);
#define FUZZ_CHECK(cond, what)                              \
    do {                                                    \
        if (!(cond)) fuzzFail(__FILE__, __LINE__, (what));  \
    } while (0)

// Reads the fuzz input front to back; past its end every read gives 0.
class FuzzInput {
public:
    FuzzInput(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::size_t remaining() const { return size_ - pos_; }
    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint16_t u16() {
        const uint16_t high = byte();
        return static_cast<uint16_t>(high << 8 | byte());
    }
    uint32_t u32() {
        const uint32_t high = u16();
        return high << 16 | u16();
    }
    // The next `count` bytes (fewer at the end), in a buffer of exactly that size.
    std::vector<uint8_t> take(std::size_t count);
    // Everything not read yet.
    std::vector<uint8_t> rest() { return take(remaining()); }

private:
    const uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// CRC-8 of the frames (poly 0x31, init 0, MSB first), bit by bit: deliberately
// not the table the gateway uses, so one checks the other.
uint8_t referenceCrc(const uint8_t* bytes, std::size_t count);

// What a node carries on the bus: channels x values per channel x bits per value.
struct NodeShape {
    unsigned channels = 0;
    unsigned count = 0;
    unsigned range = 0;

    unsigned bits() const { return channels * count * range; }
    unsigned bytes() const { return (bits() + 7) / 8; }
    unsigned values() const { return channels * count; }
    // The gateway refuses nodes whose payload does not fit in 255 bits.
    bool fits() const { return bits() <= 255; }
    uint32_t mask() const { return range >= 32 ? 0xFFFFFFFFu : (1u << range) - 1u; }
};

// Three bytes: channel count, values per channel, bits per value.
NodeShape readShape(FuzzInput& in);

// A node of that shape with a fresh zero-filled table.
Node makeNode(const NodeShape& shape, unsigned typeCode, unsigned short address);

// Packs values (channel by channel, index by index, low bits first) the way a
// set command and a value reply carry them; bits above 32 travel as 0.
std::vector<uint8_t> referencePack(const NodeShape& shape, const std::vector<uint32_t>& values);
std::vector<uint32_t> referenceUnpack(const NodeShape& shape, const uint8_t* payload);

// A frame '#' L code body CRC '$' around the given code and body.
std::vector<uint8_t> referenceFrame(uint8_t code, const std::vector<uint8_t>& body);

// One TCP connection over loopback: `client` is a connected gateway socket's
// descriptor (owned by the TCPSocket that made it, closed here), `server` the
// accepted end. Connections end with a reset so no TIME_WAIT piles up over
// millions of runs.
class LoopbackListener {
public:
    LoopbackListener();
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    int port() const { return port_; }
    // Accepts the connection the caller has just made; -1 if none is waiting.
    int acceptOne() const;

private:
    int fd_ = -1;
    int port_ = 0;
};

// Writes all bytes (blocking); false if the peer is gone.
bool writeAll(int fd, const uint8_t* bytes, std::size_t count);
// Reads until the peer ends its side.
std::vector<uint8_t> readToEnd(int fd);
// Closes with a reset (no lingering state in the kernel).
void closeAbortively(int fd);

// The process-wide listener on 127.0.0.1; made on first use.
LoopbackListener& fuzzListener();
const char* loopbackHost();

#endif
