#ifndef PELKO_BENCH_BUSSIMULATOR_H
#define PELKO_BENCH_BUSSIMULATOR_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "SimFrame.h"
#include "SimNode.h"

// Plays the nodes of the field bus on the far end of the gateway's serial
// line, for instance on the master side of a pseudo-terminal pair whose
// slave the gateway opens as its serial device.
//
// Its thread behaves like the half-duplex line plus its nodes: it echoes
// every byte the gateway writes (the gateway's UART reads its own frame
// back), finds the gateway's frames with its own CRC check, records each one
// and answers as the nodes do:
//   value request (0x0A)   -> value reply (0x0B) from the node's current values
//   set (0x0C)             -> values taken over and recorded, no answer
//   measure (0x0E)         -> recorded, no answer
//   discovery (0x00)       -> every unaddressed node sends its discovery reply (0x01)
//   address assign (0x02)  -> the unaddressed node with that random number sends an
//                             address check reply (0x04) with random and address
//   confirmation (0x05)    -> recorded; the node takes the address
// Frames with a bad CRC are recorded but not answered. Silent nodes never
// answer; the fault options of SimNode change what the others send.
//
// All public functions are safe to call from any thread while it runs.
class BusSimulator {
public:
    struct Options {
        // Value file of the gateway's direction pin (a fake sysfs file): read
        // as each frame starts to arrive; frames that arrive while it does
        // not read "1" are counted by pinLowFrames().
        std::string pinValuePath;
        // Alternative to the path: returns whether the pin is high now.
        std::function<bool()> pinProbe;
        // The gateway's end of the line (a pty slave path). When given,
        // answers wait until the gateway has read the whole echo, as the
        // turnaround of a real node guarantees.
        std::string peerDevice;
        // Pace echo and answers like a real line at 115200 8N1 (86.8 us per byte).
        bool lineTiming = false;
        // Live trace: called on the simulator's thread for every frame
        // received and every answer sent, without any lock held.
        std::function<void(const SimFrame&)> trace;
        // Run the line thread at the lowest real-time priority where the
        // system allows it (ignored elsewhere): like the hardware it stands
        // for, its echo then does not wait for a busy CPU. The thread always
        // blocks between bytes, so it cannot starve anything.
        bool realtime = false;
        // Most frames kept for frames()/replies() (oldest dropped first).
        std::size_t keepFrames = 100000;
    };

    // Works on `fd` (not owned, must stay open while running).
    explicit BusSimulator(int fd);
    BusSimulator(int fd, Options options);
    ~BusSimulator();  // stops the thread
    BusSimulator(const BusSimulator&) = delete;
    BusSimulator& operator=(const BusSimulator&) = delete;

    // Starts / stops the line thread (stop waits for it; both idempotent).
    void start();
    void stop();

    // Adds a node and returns its id (0, 1, ...). Nodes may be added at any time.
    std::size_t addNode(const SimNode& node);
    // A copy of the node as it is now (identity, values, counters).
    SimNode node(std::size_t id) const;
    // Changes a node in place, under the simulator's lock (do not call back
    // into the simulator from `change`).
    void updateNode(std::size_t id, const std::function<void(SimNode&)>& change);
    void setValues(std::size_t id, const std::vector<unsigned int>& values);

    // Frames received from the gateway / answers sent, oldest first.
    std::vector<SimFrame> frames() const;
    std::vector<SimFrame> replies() const;
    // All frames received since start (not reduced by clearFrames or keepFrames).
    std::size_t frameCount() const;
    void clearFrames();
    // Waits until `done(frames())` holds or the time runs out; returns whether it held.
    bool waitFor(const std::function<bool(const std::vector<SimFrame>&)>& done,
                 std::chrono::milliseconds timeout) const;
    // Waits until frameCount() reaches `count`.
    bool waitForFrames(std::size_t count, std::chrono::milliseconds timeout) const;

    // Frames received while the direction pin did not read "1".
    std::size_t pinLowFrames() const;
    // Bytes from the gateway that belonged to no frame.
    std::size_t strayBytes() const;

private:
    struct Answer {
        std::vector<unsigned char> bytes;
        std::chrono::microseconds turnaround;
        std::size_t splitAt;
        std::chrono::microseconds splitPause;
    };

    void run();
    void onBytes(const unsigned char* data, std::size_t length);
    void parse(std::vector<SimFrame>& found, std::vector<Answer>& answers);
    void decode(SimFrame& frame) const;
    void react(SimFrame& frame, std::vector<Answer>& answers);
    static Answer answer(const SimNode& node, std::vector<unsigned char> frame);
    bool pinIsHigh();
    void writeLine(const std::vector<unsigned char>& bytes);
    void waitForPeerDrain();
    void keep(std::deque<SimFrame>& list, const SimFrame& frame);

    int fd_;
    Options options_;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    int peerFd_ = -1;
    std::thread thread_;
    std::atomic<bool> running_{false};

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<SimNode> nodes_;
    std::deque<SimFrame> frames_;
    std::deque<SimFrame> replies_;
    std::size_t frameCount_ = 0;
    std::size_t pinLow_ = 0;
    std::size_t stray_ = 0;

    // Line thread only: bytes not yet formed into a frame, with the pin
    // state and time of their arrival.
    std::vector<unsigned char> pending_;
    std::vector<bool> pendingPin_;
    std::vector<std::chrono::steady_clock::time_point> pendingTime_;
};

#endif
