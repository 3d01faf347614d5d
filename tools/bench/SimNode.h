#ifndef PELKO_BENCH_SIMNODE_H
#define PELKO_BENCH_SIMNODE_H

#include <chrono>
#include <cstddef>
#include <vector>

// One simulated bus node: what it is, how it behaves, which faults it has,
// and (kept up to date by the BusSimulator) what it has been sent.
struct SimNode {
    // Identity. An addressed node answers value requests to `address`; an
    // unaddressed one answers discovery and the address assignment for its
    // `random`, and takes the address with the first confirmation.
    unsigned short address = 0;
    unsigned short random = 0;
    bool addressed = true;
    unsigned char typeCode = 0;  // reported in the discovery reply

    // Value layout: channels x dataCount values of dataRange bits each.
    unsigned char channels = 1;
    unsigned char dataCount = 1;
    unsigned char dataRange = 8;
    // Current values, channel by channel (missing ones read as 0). A set
    // command that fits the layout replaces them, as a real actuator would.
    std::vector<unsigned int> values;

    // Behaviour.
    bool silent = false;                         // never answers anything
    std::chrono::microseconds turnaround{0};     // pause before each answer

    // Fault injection (all off by default).
    std::vector<unsigned char> garbageBefore;    // sent in front of every answer
    std::vector<unsigned char> garbageAfter;     // sent after every answer
    bool brokenCrc = false;                      // answers carry a wrong CRC
    unsigned int extraPayload = 0;               // value replies carry this many bytes too many
    bool wrongCheckAddress = false;              // address check replies name address + 1
    std::vector<unsigned char> rawReply;         // when set: sent instead of every answer
    std::size_t splitAt = 0;                     // when set: answers go out in two writes,
    std::chrono::microseconds splitPause{0};     //   the rest this long after the first splitAt bytes

    // Observed by the simulator (frames with a good CRC addressed to this node).
    unsigned int requests = 0;
    unsigned int sets = 0;
    unsigned int measures = 0;
    unsigned int discoveries = 0;
    unsigned int assignments = 0;
    unsigned int confirmations = 0;
    std::vector<unsigned int> lastSet;           // values of the latest set command
};

#endif
