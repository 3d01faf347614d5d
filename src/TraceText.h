#ifndef PELKO_TRACETEXT_H
#define PELKO_TRACETEXT_H

#include <cstdint>
#include <functional>
#include <string>

#include "Message.h"
#include "Node.h"
#include "TraceBuffer.h"

// One trace event as one line for people: the wall-clock time, where it
// went, the frame decoded (code by name, node, values, checksum verdict,
// reply time) and its raw bytes in hex, or the server message with its type
// by name. Runs on the reader's thread.
class TraceText {
public:
    // How a node's frames are decoded: its record as filed; false when unknown.
    using NodeLookup = std::function<bool(unsigned short address, Node& node)>;

    explicit TraceText(NodeLookup lookup);

    std::string line(const TraceEvent& event) const;
    // The line that stands for events lost to a slow reader.
    static std::string dropped(std::uint64_t count);

private:
    std::string frame(const TraceEvent& event) const;
    NodeLookup lookup;
    Message crc;  // its checksum
};

#endif
