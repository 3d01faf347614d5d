#include "BusBench.h"

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "FrameCodec.h"

extern char** environ;

namespace {

// Runs a shell command to its end, with no signal blocked (this program
// blocks its own for one thread); its exit status, or -1.
int runCommand(const std::string& command) {
    std::string shell = "/bin/sh", flag = "-c", text = command;
    char* argv[] = {shell.data(), flag.data(), text.data(), nullptr};
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    pid_t pid = 0;
    const int failed = posix_spawn(&pid, shell.c_str(), nullptr, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    if (failed != 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string hex(const std::vector<unsigned char>& bytes, size_t from, size_t limit = 24) {
    std::string out;
    for (size_t i = from; i < bytes.size() && i < from + limit; ++i) {
        char b[4];
        std::snprintf(b, sizeof b, "%02X", bytes[i]);
        out += (out.empty() ? "" : " ") + std::string(b);
    }
    if (bytes.size() > from + limit) out += " ...";
    return out;
}

std::vector<std::vector<unsigned>> rows(const std::vector<unsigned>& flat, int channels, int perChannel) {
    std::vector<std::vector<unsigned>> out;
    out.reserve(static_cast<size_t>(std::max(channels, 0)));
    size_t k = 0;
    for (int c = 0; c < channels; ++c) {
        std::vector<unsigned> row;
        row.reserve(static_cast<size_t>(std::max(perChannel, 0)));
        for (int i = 0; i < perChannel; ++i) row.push_back(k < flat.size() ? flat[k++] : 0);
        out.push_back(row);
    }
    return out;
}

std::string showValues(const std::vector<std::vector<unsigned>>& values) {
    std::string out;
    for (const auto& row : values) {
        out += out.empty() ? "[" : " [";
        for (size_t i = 0; i < row.size(); ++i) out += (i ? "," : "") + std::to_string(row[i]);
        out += "]";
    }
    return out;
}

const char* codeName(int code) {
    switch (code) {
        case 0x00: return "discovery request";
        case 0x01: return "discovery reply";
        case 0x02: return "address assignment";
        case 0x04: return "address check reply";
        case 0x05: return "address confirmation";
        case 0x0A: return "value request";
        case 0x0B: return "value reply";
        case 0x0C: return "set";
        case 0x0E: return "measure";
        default: return "unknown code";
    }
}
}  // namespace

BusBench::BusBench(Trace& trace, const Scenario& scenario, const std::string& pinValuePath, std::string linkPath)
    : BusBench(trace, scenario, pinValuePath, std::move(linkPath), RealLine{}) {}

BusBench::BusBench(Trace& trace, const Scenario& scenario, const std::string& pinValuePath, std::string linkPath,
                   RealLine line)
    : trace_(trace), scenario_(scenario), pinValuePath_(pinValuePath), linkPath_(std::move(linkPath)),
      realLine_(std::move(line)) {
    traceZero_ = std::chrono::steady_clock::now() - std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                        std::chrono::duration<double>(trace_.now()));
    std::vector<SimNode> nodes;
    for (const auto& n : scenario.nodes) {
        const Scenario::Type* type = scenario.findType(n.type);
        SimNode node;
        node.address = static_cast<unsigned short>(n.addressed ? n.address : 0);
        node.random = static_cast<unsigned short>(n.random);
        node.addressed = n.addressed;
        node.typeCode = static_cast<unsigned char>(n.type);
        node.channels = static_cast<unsigned char>(n.channelCount);
        node.dataCount = static_cast<unsigned char>(type->dataCount);
        node.dataRange = static_cast<unsigned char>(type->dataRange);
        for (const auto& row : n.values) node.values.insert(node.values.end(), row.begin(), row.end());
        node.turnaround = std::chrono::microseconds(n.turnaroundUs >= 0 ? n.turnaroundUs : scenario.turnaroundUs);
        if (n.fault == "garbage") node.rawReply = {0x00, 0xFF, 0x23, 0x07, 0x13, 0x37, 0x24, 0x55, 0xAA, 0x24};
        if (n.fault == "bad_crc") node.brokenCrc = true;
        if (n.fault == "overlong") node.garbageAfter.assign(200, 0x23);
        if (n.fault == "wrong_check") node.wrongCheckAddress = true;
        nodes.push_back(node);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    plug(nodes, false);
}

BusBench::~BusBench() {
    stop();
    sim_.reset();
    if (master_ >= 0) close(master_);
    if (slaveKeep_ >= 0) close(slaveKeep_);
}

std::string BusBench::openLine(int& master, int& slave) {
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&master, &slave, nullptr, &raw, nullptr) != 0)
        throw std::runtime_error(std::string("openpty: ") + std::strerror(errno));
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    return ttyname(slave) ? ttyname(slave) : "";
}

void BusBench::plug(const std::vector<SimNode>& nodes, bool startLine) {
    if (realLine_.busTty.empty()) {
        slavePath_ = openLine(master_, slaveKeep_);
    } else {
        master_ = open(realLine_.busTty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios raw{};
        if (master_ < 0 || tcgetattr(master_, &raw) != 0)
            throw std::runtime_error(realLine_.busTty + ": " + std::strerror(errno));
        cfmakeraw(&raw);
        raw.c_cflag |= CLOCAL | CREAD;
        cfsetspeed(&raw, B115200);
        if (tcsetattr(master_, TCSANOW, &raw) != 0) throw std::runtime_error(realLine_.busTty + ": " + std::strerror(errno));
        tcflush(master_, TCIOFLUSH);
        slavePath_ = realLine_.gatewayTty;
    }

    BusSimulator::Options options;
    options.pinValuePath = pinValuePath_;
    options.peerDevice = slavePath_;
    options.lineTiming = scenario_.lineTiming;
    // The echo must come as fast as the hardware's, also on a busy machine:
    // the gateway drops the direction pin when it has its echo or gives up.
    options.realtime = true;
    options.keepFrames = 1000;
    options.trace = [this](const SimFrame& f) {
        {
            std::lock_guard<std::mutex> lock(framesMutex_);
            frames_.push_back(f);
        }
        framesCv_.notify_one();
    };
    sim_ = std::make_unique<BusSimulator>(master_, options);
    ids_.clear();
    for (const auto& node : nodes) ids_.push_back(sim_->addNode(node));
    // Listening before the gateway can find the line.
    if (startLine) sim_->start();

    unlink(linkPath_.c_str());
    if (symlink(slavePath_.c_str(), linkPath_.c_str()) != 0)
        throw std::runtime_error("symlink " + linkPath_ + ": " + std::strerror(errno));
}

void BusBench::unplug() {
    if (!realLine_.busTty.empty()) {
        if (realLine_.unplugCommand.empty()) {
            trace_.note("a real serial line cannot be unplugged; the step is left out");
            return;
        }
        // The nodes stay on the bus; the gateway's end of the line goes.
        const int status = runCommand(realLine_.unplugCommand);
        trace_.note("serial line unplugged by `" + realLine_.unplugCommand + "` (status " + std::to_string(status) +
                    ")");
        return;
    }
    std::string gone;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!sim_) return;
        parked_.clear();
        for (std::size_t id : ids_) parked_.push_back(sim_->node(id));
        sim_->stop();
        framesBefore_ += sim_->frameCount();
        pinLowBefore_ += sim_->pinLowFrames();
        strayBefore_ += sim_->strayBytes();
        sim_.reset();
        close(master_);
        close(slaveKeep_);
        master_ = slaveKeep_ = -1;
        // Gone with the adapter: a stale link could lead the gateway to
        // another program's pty that gets the freed number.
        unlink(linkPath_.c_str());
        gone = slavePath_;
    }
    trace_.note("serial line unplugged: " + gone + " closed, " + linkPath_ + " removed");
}

void BusBench::replug() {
    if (!realLine_.busTty.empty()) {
        if (realLine_.replugCommand.empty()) return;
        const int status = runCommand(realLine_.replugCommand);
        trace_.note("serial line plugged in again by `" + realLine_.replugCommand + "` (status " +
                    std::to_string(status) + ")");
        return;
    }
    std::string back;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (sim_ || stopping_) return;
        plug(parked_, true);
        back = slavePath_;
    }
    trace_.note("serial line plugged in again: " + linkPath_ + " -> " + back);
}

double BusBench::clockToTrace(std::chrono::steady_clock::time_point tp) const {
    return std::chrono::duration<double>(tp - traceZero_).count();
}

void BusBench::start() {
    tracer_ = std::thread([this] { traceFrames(); });
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sim_->start();
    }
    behaviour_ = std::thread([this] { behave(); });
}

void BusBench::traceFrames() {
    std::unique_lock<std::mutex> lock(framesMutex_);
    for (;;) {
        framesCv_.wait(lock, [this] { return framesDone_ || !frames_.empty(); });
        if (frames_.empty()) return;  // done and drained
        SimFrame f = std::move(frames_.front());
        frames_.pop_front();
        lock.unlock();
        trace_.record(describe(f, scenario_, clockToTrace(f.time)));
        lock.lock();
    }
}

void BusBench::beginBehaviour(double t) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        begin_ = t;
    }
    cv_.notify_all();
}

void BusBench::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    cv_.notify_all();
    if (behaviour_.joinable()) behaviour_.join();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (sim_) sim_->stop();
    }
    {
        std::lock_guard<std::mutex> lock(framesMutex_);
        framesDone_ = true;
    }
    framesCv_.notify_all();
    if (tracer_.joinable()) tracer_.join();
}

void BusBench::behave() {
    // Each node's next change, in seconds after the handshake.
    struct Timer {
        size_t node;
        enum { Drift, Toggle, Silence, Voice } what;
        double next;
        double every;  // 0: once
    };
    std::vector<Timer> timers;
    for (size_t i = 0; i < scenario_.nodes.size(); ++i) {
        const auto& n = scenario_.nodes[i];
        if (n.driftEvery > 0) timers.push_back({i, Timer::Drift, n.driftEvery, n.driftEvery});
        if (n.toggleEvery > 0) timers.push_back({i, Timer::Toggle, n.toggleEvery, n.toggleEvery});
        if (n.silentFrom >= 0) timers.push_back({i, Timer::Silence, n.silentFrom, 0});
        if (n.silentUntil >= 0) timers.push_back({i, Timer::Voice, n.silentUntil, 0});
    }
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return stopping_ || begin_ >= 0; });
    while (!stopping_ && !timers.empty()) {
        Timer* due = &timers.front();
        for (auto& t : timers)
            if (t.next < due->next) due = &t;
        const auto at = traceZero_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                         std::chrono::duration<double>(begin_ + due->next));
        if (cv_.wait_until(lock, at, [this] { return stopping_; })) break;

        const auto& n = scenario_.nodes[due->node];
        const Scenario::Type* type = scenario_.findType(n.type);
        const unsigned mask = type->dataRange >= 32 ? 0xFFFFFFFFu : (1u << type->dataRange) - 1;
        switch (due->what) {
            case Timer::Drift:
                changeNode(due->node, [&](SimNode& s) {
                    for (auto& v : s.values) v = (v + n.driftStep) & mask;
                });
                break;
            case Timer::Toggle:
                changeNode(due->node, [&](SimNode& s) {
                    for (auto& v : s.values) v ^= 1u;
                });
                break;
            case Timer::Silence:
                changeNode(due->node, [](SimNode& s) { s.silent = true; });
                lock.unlock();
                trace_.note("node " + n.name + " (" + std::to_string(n.address) + ") stops answering");
                lock.lock();
                break;
            case Timer::Voice:
                changeNode(due->node, [](SimNode& s) { s.silent = false; });
                lock.unlock();
                trace_.note("node " + n.name + " (" + std::to_string(n.address) + ") answers again");
                lock.lock();
                break;
        }
        const double until = due->what == Timer::Drift ? n.driftUntil : -1;
        if (due->every > 0 && (until < 0 || due->next + due->every <= until)) {
            due->next += due->every;
        } else {
            *due = timers.back();
            timers.pop_back();
        }
    }
}

void BusBench::changeNode(std::size_t node, const std::function<void(SimNode&)>& change) {
    if (sim_)
        sim_->updateNode(ids_[node], change);
    else
        change(parked_[node]);
}

std::string BusBench::statistics() const {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::size_t frames = framesBefore_ + (sim_ ? sim_->frameCount() : 0);
    const std::size_t pinLow = pinLowBefore_ + (sim_ ? sim_->pinLowFrames() : 0);
    const std::size_t stray = strayBefore_ + (sim_ ? sim_->strayBytes() : 0);
    return "  Bus: " + std::to_string(frames) + " frames from the gateway, " + std::to_string(pinLow) +
           " of them while the direction pin read \"0\", " + std::to_string(stray) + " stray bytes";
}

Event BusBench::describe(const SimFrame& f, const Scenario& sc, double t) {
    Event e;
    e.t = t;
    e.kind = f.fromGateway ? Event::Kind::BusOut : Event::Kind::BusIn;
    e.bytes = f.bytes;
    e.pinViolation = !f.pinHigh;
    const auto& b = f.bytes;

    // Find the frame: the gateway's are whole frames; answers may carry noise around one.
    size_t start = 0;
    bool found = false;
    for (; start + 4 <= b.size(); ++start) {
        if (b[start] != FrameCodec::START) continue;
        const size_t len = b[start + 1];
        if (start + len + 4 <= b.size() && b[start + len + 3] == FrameCodec::END) {
            found = true;
            break;
        }
    }
    if (!found) {
        e.text = "noise, " + std::to_string(b.size()) + " bytes: " + hex(b, 0);
        return e;
    }
    const size_t len = b[start + 1];
    const unsigned char* p = b.data() + start;
    e.crcOk = FrameCodec::crc8(p + 1, len + 1) == p[len + 2];
    e.code = p[2];
    auto word = [&](size_t at) { return at + 1 < len + 2 ? (p[at] << 8) | p[at + 1] : -1; };

    char head[64];
    std::snprintf(head, sizeof head, "%02X %-20s", e.code, codeName(e.code));
    std::string text = head;
    switch (e.code) {
        case 0x0A:
        case 0x0E:
        case 0x0C:
        case 0x0B: {
            e.address = word(3);
            text += " node " + std::to_string(e.address);
            const Scenario::Node* n = sc.findNodeByAddress(e.address);
            const Scenario::Type* type = n ? sc.findType(n->type) : nullptr;
            if ((e.code == 0x0C || e.code == 0x0B) && len < 4) {
                text += " (too short for a node address and payload)";
            } else if ((e.code == 0x0C || e.code == 0x0B) && type) {
                std::vector<unsigned char> payload(p + 6, p + len + 2);
                const auto flat = FrameCodec::unpack(payload, static_cast<size_t>(n->channelCount) * static_cast<size_t>(type->dataCount),
                                                     static_cast<unsigned>(type->dataRange));
                e.values = rows(flat, n->channelCount, type->dataCount);
                text += " " + showValues(e.values);
            } else if (e.code == 0x0C || e.code == 0x0B) {
                text += " payload " + hex(b, start + 6, len - 4);
            }
            break;
        }
        case 0x01:
            if (len < 5) break;
            e.random = word(5);
            text += " random " + std::to_string(e.random) + ", type " + std::to_string(p[4]) + ", " +
                    std::to_string(p[3]) + " channels";
            break;
        case 0x02:
        case 0x05:
        case 0x04:
            e.random = word(3);
            e.address = word(5);
            text += " random " + std::to_string(e.random) + ", address " + std::to_string(e.address);
            break;
        default:
            break;
    }
    if (e.kind == Event::Kind::BusOut) {
        // The gateway's own address rides in every addressed frame it sends.
        if ((e.code == 0x0A || e.code == 0x0C || e.code == 0x0E) && len >= 4) e.gateway = p[5];
        if ((e.code == 0x02 || e.code == 0x05) && len >= 6) e.gateway = p[7];
        if (e.gateway >= 0) text += "  from gw " + std::to_string(e.gateway);
    }
    text += e.crcOk ? "  crc ok" : "  CRC WRONG";
    if (start > 0 || start + len + 4 < b.size())
        text += "  (+" + std::to_string(b.size() - len - 4) + " bytes of noise around it)";
    if (e.pinViolation) text += "  PIN WAS 0";
    e.text = text;
    return e;
}
