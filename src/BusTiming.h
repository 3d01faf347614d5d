#ifndef PELKO_BUSTIMING_H
#define PELKO_BUSTIMING_H

#include <chrono>

// Every delay of the bus master and its pass schedule, in one place. Nodes
// in the field are built around these figures: each is a minimum that the
// gateway never shortens.
namespace bustiming {

using us = std::chrono::microseconds;

// A burst of frames to many nodes: the driver leads, every frame is followed
// by a gap, and the line rests after the driver is off.
struct Burst {
    us lead;
    us gap;
    us trail;
};

constexpr us requestLead{5};          // driver on to a read request
constexpr us receiveStep{1000};       // between two looks for a reply
constexpr int receiveLooks = 80;      // looks for one reply
constexpr us afterReadTable{1000};    // after the read pass, before the writes
constexpr us betweenPasses{1000};     // after a pass
constexpr Burst setBurst{us{1000}, us{500}, us{1000}};      // set and measure frames
constexpr Burst discoveryBurst{us{2000}, us{800}, us{0}};   // the discovery broadcast
constexpr us addressLead{2000};       // driver on to an address assignment
constexpr Burst confirmBurst{us{2000}, us{5000}, us{0}};    // the five confirmations
constexpr int confirmations = 5;
constexpr int addressAttempts = 19;
constexpr us beforeNewNodesReport{10000};  // discovery's last reply to NEW_NODES_FOUND
constexpr us afterConfirmed{100000};  // a node addressed, before the next one
constexpr us addressRetry{10000};     // between two attempts at one node
constexpr std::chrono::milliseconds discoveryWindow{8000};  // listening after the broadcast
constexpr std::chrono::milliseconds addressTimeout{60000};  // waiting for NEW_ADDRESSES
constexpr std::chrono::milliseconds reopenInterval{2000};   // between attempts to reopen a lost port

// The pass schedule: R and W/RW nodes every pass; RW read back, delayed
// nodes measured and delayed nodes read on these passes of each cycle.
constexpr int readBackPass = 10;
constexpr int measurePass = 50;
constexpr int delayedReadPass = 100;  // also the cycle's length

}  // namespace bustiming

#endif
