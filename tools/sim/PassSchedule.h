#ifndef PELKO_SIM_PASSSCHEDULE_H
#define PELKO_SIM_PASSSCHEDULE_H

#include <string>
#include <vector>

// One bus pass as the protocol alone would take it: the gateway's named
// delays at their nominal length, every frame's bytes on the wire, the
// node's turnaround and the receive polling step, laid end to end. Its
// length is the protocol minimum the benchmark holds a measured pass against.
//
// For a pass with R read nodes (one request and one reply each) and the
// write nodes W, the minimum is
//
//   sum over R:  requestLead + request bytes x byte time
//                + ceil((turnaround + reply bytes x byte time) / receiveStep) x receiveStep
//   + afterReadTable
//   + setBurst.lead + sum over W (set frame bytes x byte time + setBurst.gap) + setBurst.trail
//   + setBurst.lead + setBurst.trail          (the read-write table, empty on the bench)
//   + betweenPasses
//
// with a byte time of 10 bits at 115200 bit/s. The receive polling counts
// from the end of the request's echo: the gateway looks once every
// receiveStep, so it sees a reply only on the first look after its last byte.
// Nothing else counts: no pin write, no system call, no wake-up latency.
namespace passschedule {

constexpr double lineBitsPerSecond = 115200.0;
constexpr double bitsPerByte = 10.0;  // start, 8 data, stop
constexpr double byteUs = 1e6 * bitsPerByte / lineBitsPerSecond;

struct Segment {
    enum class Kind { Delay, Wire, Turnaround, Polling };
    Kind kind;
    std::string name;   // the delay's name in the gateway's timing table, or what is on the wire
    std::string group;  // the part of the pass: a read node's exchange, a table's burst
    double startUs;    // from the start of the pass
    double us;
};

struct Layout {
    int readNodes = 1;
    unsigned int readBits = 12;           // one value of this width per read node
    std::vector<unsigned int> writeBits;  // one value of each width per write node
    double turnaroundUs = 500;            // a node's answer starts this long after the request
};

// Frame lengths in bytes, as the gateway's frame code builds them.
int requestBytes();
int replyBytes(unsigned int valueBits);
int setBytes(unsigned int valueBits);

std::vector<Segment> minimumPass(const Layout& layout);
double lengthUs(const std::vector<Segment>& pass);

}  // namespace passschedule

#endif
