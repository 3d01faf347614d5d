#include "BusSimulator.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "FrameCodec.h"

namespace {

using Clock = std::chrono::steady_clock;

// One byte at 115200 bit/s, 8N1: ten bit times.
constexpr std::chrono::nanoseconds BYTE_TIME(86806);
// A partial frame older than this is given up as stray bytes.
constexpr std::chrono::milliseconds STALE(100);
// Longest wait for the gateway to read its echo before an answer goes out anyway.
constexpr std::chrono::milliseconds DRAIN_LIMIT(200);

unsigned short word(const std::vector<unsigned char>& b, std::size_t at) {
    return static_cast<unsigned short>((b[at] << 8) | b[at + 1]);
}

std::size_t valueCount(const SimNode& node) {
    return static_cast<std::size_t>(node.channels) * node.dataCount;
}

// True when a complete, well-formed frame starts at `p`.
bool completeFrameAt(const std::vector<unsigned char>& b, std::size_t p) {
    if (b[p] != FrameCodec::START || p + 1 >= b.size() || b[p + 1] == 0) return false;
    const std::size_t total = static_cast<std::size_t>(b[p + 1]) + 4;
    if (p + total > b.size() || b[p + total - 1] != FrameCodec::END) return false;
    return FrameCodec::crc8(b.data() + p + 1, total - 3) == b[p + total - 2];
}

}  // namespace

BusSimulator::BusSimulator(int fd) : BusSimulator(fd, Options()) {}

BusSimulator::BusSimulator(int fd, Options options) : fd_(fd), options_(std::move(options)) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC) != 0) throw std::runtime_error("BusSimulator: pipe failed");
    wakeRead_ = pipeFds[0];
    wakeWrite_ = pipeFds[1];
}

BusSimulator::~BusSimulator() {
    stop();
    close(wakeRead_);
    close(wakeWrite_);
    if (peerFd_ >= 0) close(peerFd_);
}

void BusSimulator::start() {
    if (running_) return;
    if (!options_.peerDevice.empty() && peerFd_ < 0) {
        peerFd_ = open(options_.peerDevice.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    }
    unsigned char drain[64];
    while (read(wakeRead_, drain, sizeof drain) > 0) {
    }
    running_ = true;
    thread_ = std::thread(&BusSimulator::run, this);
}

void BusSimulator::stop() {
    if (!running_.exchange(false)) return;
    const unsigned char wake = 1;
    if (write(wakeWrite_, &wake, 1) < 0) {
        // The pipe is full, so the thread is woken already.
    }
    if (thread_.joinable()) thread_.join();
}

std::size_t BusSimulator::addNode(const SimNode& node) {
    std::lock_guard<std::mutex> guard(mutex_);
    nodes_.push_back(node);
    return nodes_.size() - 1;
}

SimNode BusSimulator::node(std::size_t id) const {
    std::lock_guard<std::mutex> guard(mutex_);
    return nodes_.at(id);
}

void BusSimulator::updateNode(std::size_t id, const std::function<void(SimNode&)>& change) {
    std::lock_guard<std::mutex> guard(mutex_);
    change(nodes_.at(id));
}

void BusSimulator::setValues(std::size_t id, const std::vector<unsigned int>& values) {
    updateNode(id, [&values](SimNode& n) { n.values = values; });
}

std::vector<SimFrame> BusSimulator::frames() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return std::vector<SimFrame>(frames_.begin(), frames_.end());
}

std::vector<SimFrame> BusSimulator::replies() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return std::vector<SimFrame>(replies_.begin(), replies_.end());
}

std::size_t BusSimulator::frameCount() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return frameCount_;
}

void BusSimulator::clearFrames() {
    std::lock_guard<std::mutex> guard(mutex_);
    frames_.clear();
    replies_.clear();
}

bool BusSimulator::waitFor(const std::function<bool(const std::vector<SimFrame>&)>& done,
                           std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> guard(mutex_);
    return changed_.wait_for(guard, timeout, [&] {
        return done(std::vector<SimFrame>(frames_.begin(), frames_.end()));
    });
}

bool BusSimulator::waitForFrames(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> guard(mutex_);
    return changed_.wait_for(guard, timeout, [&] { return frameCount_ >= count; });
}

std::size_t BusSimulator::pinLowFrames() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return pinLow_;
}

std::size_t BusSimulator::strayBytes() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return stray_;
}

// ---------------------------------------------------------------- line thread

void BusSimulator::run() {
    if (options_.realtime) {
        sched_param param{};
        param.sched_priority = sched_get_priority_min(SCHED_FIFO);
        // Without the privilege it stays an ordinary thread.
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    }
    std::vector<unsigned char> buffer(1024);
    while (running_) {
        pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
        const int r = poll(fds, 2, static_cast<int>(STALE.count() / 2));
        if (r < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if ((fds[1].revents & POLLIN) != 0) break;
        if (r == 0) {
            if (!pending_.empty() && Clock::now() - pendingTime_.front() > STALE) {
                std::lock_guard<std::mutex> guard(mutex_);
                stray_ += pending_.size();
                pending_.clear();
                pendingPin_.clear();
                pendingTime_.clear();
            }
            continue;
        }
        ssize_t got = -1;
        if ((fds[0].revents & POLLIN) != 0) got = read(fd_, buffer.data(), buffer.size());
        if (got > 0) {
            onBytes(buffer.data(), static_cast<std::size_t>(got));
        } else if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        } else {
            // Hung up (no one has the other end open) or an error: look again
            // a little later instead of spinning on it.
            pollfd wake{wakeRead_, POLLIN, 0};
            poll(&wake, 1, 10);
        }
    }
}

bool BusSimulator::pinIsHigh() {
    if (options_.pinProbe) return options_.pinProbe();
    const int fd = open(options_.pinValuePath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char level = 0;
    const ssize_t r = read(fd, &level, 1);
    close(fd);
    return r == 1 && level == '1';
}

void BusSimulator::onBytes(const unsigned char* data, std::size_t length) {
    const auto now = Clock::now();
    const bool checked = options_.pinProbe || !options_.pinValuePath.empty();
    // The gateway keeps the pin up until it has its echo, so reading it
    // before echoing sees the level the frame was sent with.
    const bool pin = checked ? pinIsHigh() : true;
    pending_.insert(pending_.end(), data, data + length);
    pendingPin_.insert(pendingPin_.end(), length, pin);
    pendingTime_.insert(pendingTime_.end(), length, now);
    std::vector<SimFrame> found;
    std::vector<Answer> answers;
    {
        // Recorded before the echo, so the gateway cannot go on before its
        // frame is on record.
        std::lock_guard<std::mutex> guard(mutex_);
        parse(found, answers);
    }
    // The gateway waits a bounded time for its echo: wake-ups and traces after it.
    writeLine(std::vector<unsigned char>(data, data + length));
    changed_.notify_all();
    if (options_.trace) {
        for (const SimFrame& frame : found) options_.trace(frame);
    }

    for (const Answer& reply : answers) {
        if (!running_) return;
        if (peerFd_ >= 0) waitForPeerDrain();
        if (reply.turnaround.count() > 0) std::this_thread::sleep_for(reply.turnaround);
        SimFrame sent;
        sent.time = Clock::now();
        sent.fromGateway = false;
        sent.bytes = reply.bytes;
        if (reply.splitAt > 0 && reply.splitAt < reply.bytes.size()) {
            const auto cut = reply.bytes.begin() + static_cast<long>(reply.splitAt);
            writeLine(std::vector<unsigned char>(reply.bytes.begin(), cut));
            std::this_thread::sleep_for(reply.splitPause);
            writeLine(std::vector<unsigned char>(cut, reply.bytes.end()));
        } else {
            writeLine(reply.bytes);
        }
        decode(sent);
        {
            std::lock_guard<std::mutex> guard(mutex_);
            keep(replies_, sent);
        }
        changed_.notify_all();
        if (options_.trace) options_.trace(sent);
    }
}

// With mutex_ held.
void BusSimulator::parse(std::vector<SimFrame>& found, std::vector<Answer>& answers) {
    std::size_t p = 0;
    const std::size_t size = pending_.size();
    while (p < size) {
        if (pending_[p] != FrameCodec::START || (p + 1 < size && pending_[p + 1] == 0)) {
            ++stray_;
            ++p;
            continue;
        }
        if (p + 1 >= size) break;
        const std::size_t total = static_cast<std::size_t>(pending_[p + 1]) + 4;
        if (p + total > size) {
            // Incomplete: wait for the rest, unless a whole frame follows
            // (then this start marker was a stray byte).
            bool later = false;
            for (std::size_t q = p + 1; q < size && !later; ++q) later = completeFrameAt(pending_, q);
            if (!later) break;
            ++stray_;
            ++p;
            continue;
        }
        if (pending_[p + total - 1] != FrameCodec::END) {
            ++stray_;
            ++p;
            continue;
        }
        SimFrame frame;
        frame.time = pendingTime_[p];
        frame.fromGateway = true;
        frame.bytes.assign(pending_.begin() + static_cast<long>(p), pending_.begin() + static_cast<long>(p + total));
        frame.pinHigh = pendingPin_[p];
        decode(frame);
        if (frame.crcOk) react(frame, answers);
        ++frameCount_;
        if (!frame.pinHigh) ++pinLow_;
        keep(frames_, frame);
        found.push_back(frame);
        p += total;
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(p));
    pendingPin_.erase(pendingPin_.begin(), pendingPin_.begin() + static_cast<long>(p));
    pendingTime_.erase(pendingTime_.begin(), pendingTime_.begin() + static_cast<long>(p));
}

void BusSimulator::decode(SimFrame& frame) const {
    const std::vector<unsigned char>& b = frame.bytes;
    if (b.size() < 5 || b[0] != FrameCodec::START) return;
    const std::size_t length = b[1];
    if (length == 0 || b.size() != length + 4 || b.back() != FrameCodec::END) return;
    frame.code = b[2];
    frame.crcOk = FrameCodec::crc8(b.data() + 1, length + 1) == b[length + 2];
    switch (frame.code) {
        case 0x0A:
        case 0x0E:
        case 0x0C:
        case 0x0B:
            if (length < 4) break;
            frame.address = word(b, 3);
            frame.gateway = b[5];
            if (frame.code == 0x0C || frame.code == 0x0B) frame.payload.assign(b.begin() + 6, b.begin() + 2 + length);
            break;
        case 0x02:
        case 0x05:
        case 0x04:
            if (length != 6) break;
            frame.random = word(b, 3);
            frame.address = word(b, 5);
            frame.gateway = b[7];
            break;
        case 0x01:
            if (length != 5) break;
            frame.random = word(b, 5);
            break;
        default:
            break;
    }
}

BusSimulator::Answer BusSimulator::answer(const SimNode& node, std::vector<unsigned char> frame) {
    Answer out{{}, node.turnaround, node.splitAt, node.splitPause};
    if (!node.rawReply.empty()) {
        out.bytes = node.rawReply;
        return out;
    }
    if (node.brokenCrc) frame[frame.size() - 2] ^= 0x5A;
    out.bytes = node.garbageBefore;
    out.bytes.insert(out.bytes.end(), frame.begin(), frame.end());
    out.bytes.insert(out.bytes.end(), node.garbageAfter.begin(), node.garbageAfter.end());
    return out;
}

// With mutex_ held.
void BusSimulator::react(SimFrame& frame, std::vector<Answer>& answers) {
    const std::size_t length = frame.bytes[1];
    for (SimNode& node : nodes_) {
        switch (frame.code) {
            case 0x00:
                if (node.addressed) break;
                ++node.discoveries;
                if (!node.silent) {
                    answers.push_back(answer(node, FrameCodec::discoveryReply(node.channels, node.typeCode, node.random)));
                }
                break;
            case 0x0A: {
                if (length != 4 || !node.addressed || node.address != frame.address) break;
                ++node.requests;
                if (node.silent) break;
                std::vector<unsigned int> values = node.values;
                values.resize(valueCount(node), 0);
                std::vector<unsigned char> payload = FrameCodec::pack(values, node.dataRange);
                payload.resize(payload.size() + node.extraPayload, 0xA5);
                answers.push_back(answer(node, FrameCodec::valueReply(node.address, frame.gateway, payload)));
                break;
            }
            case 0x0C:
                if (length < 4 || !node.addressed || node.address != frame.address) break;
                ++node.sets;
                if (frame.payload.size() == FrameCodec::payloadBytes(valueCount(node), node.dataRange)) {
                    frame.values = FrameCodec::unpack(frame.payload, valueCount(node), node.dataRange);
                    node.values = frame.values;
                    node.lastSet = frame.values;
                }
                break;
            case 0x0E:
                if (length != 4 || !node.addressed || node.address != frame.address) break;
                ++node.measures;
                break;
            case 0x02:
                if (length != 6 || node.addressed || node.random != frame.random) break;
                ++node.assignments;
                if (!node.silent) {
                    const unsigned short told =
                        static_cast<unsigned short>(node.wrongCheckAddress ? frame.address + 1 : frame.address);
                    answers.push_back(answer(node, FrameCodec::addressCheck(node.random, told, frame.gateway)));
                }
                break;
            case 0x05:
                if (length != 6 || node.random != frame.random) break;
                if (node.addressed && node.address != frame.address) break;
                ++node.confirmations;
                node.addressed = true;
                node.address = frame.address;
                break;
            default:
                break;
        }
    }
}

void BusSimulator::keep(std::deque<SimFrame>& list, const SimFrame& frame) {
    list.push_back(frame);
    while (options_.keepFrames > 0 && list.size() > options_.keepFrames) list.pop_front();
}

void BusSimulator::writeLine(const std::vector<unsigned char>& bytes) {
    const auto begin = Clock::now();
    std::size_t done = 0;
    while (done < bytes.size() && running_) {
        const std::size_t chunk = options_.lineTiming ? 1 : bytes.size() - done;
        if (options_.lineTiming) std::this_thread::sleep_until(begin + BYTE_TIME * static_cast<long>(done + 1));
        const ssize_t w = write(fd_, bytes.data() + done, chunk);
        if (w > 0) {
            done += static_cast<std::size_t>(w);
        } else if (w < 0 && (errno == EAGAIN || errno == EINTR)) {
            // The gateway's input queue is full: wait until it reads.
            pollfd fds[2] = {{fd_, POLLOUT, 0}, {wakeRead_, POLLIN, 0}};
            poll(fds, 2, 100);
        } else {
            return;
        }
    }
}

void BusSimulator::waitForPeerDrain() {
    const auto deadline = Clock::now() + DRAIN_LIMIT;
    for (;;) {
        int waiting = 0;
        if (ioctl(peerFd_, FIONREAD, &waiting) != 0 || waiting == 0) return;
        if (Clock::now() >= deadline) return;
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
}
