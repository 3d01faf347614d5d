#ifndef PELKO_BENCH_SIMFRAME_H
#define PELKO_BENCH_SIMFRAME_H

#include <chrono>
#include <vector>

// One frame on the simulated line, as recorded by the BusSimulator.
struct SimFrame {
    std::chrono::steady_clock::time_point time;  // when its first byte was read (or the answer written)
    bool fromGateway = true;                     // false: an answer the simulator sent
    std::vector<unsigned char> bytes;            // the whole frame (answers: with any injected garbage)
    bool crcOk = false;
    unsigned char code = 0xFF;                   // frame code (0xFF when not a frame)
    // Decoded body, where the code has the field: node address (value
    // request, set, measure, assignment, confirmation), random number
    // (assignment, confirmation) and the gateway's address byte.
    unsigned short address = 0;
    unsigned short random = 0;
    unsigned char gateway = 0;
    std::vector<unsigned char> payload;          // set command: the packed values
    std::vector<unsigned int> values;            // set command to a known node: decoded values
    // Direction pin read "1" when the frame started to arrive (always true
    // when the simulator has no pin to check).
    bool pinHigh = true;
};

#endif
