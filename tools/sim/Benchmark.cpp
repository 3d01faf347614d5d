#include "Benchmark.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "BusBench.h"
#include "BusSimulator.h"
#include "GatewayProcess.h"
#include "PassPicture.h"
#include "PassSchedule.h"
#include "PinMonitor.h"
#include "Scenario.h"
#include "ScriptedServer.h"
#include "Trace.h"
#include "Workspace.h"

namespace {

using Clock = std::chrono::steady_clock;

const char* kUsage =
    "usage: pelko-sim --bench [--quick] [--svg PATH] [--gateway PATH-TO-pelko] [--rt-priority N]\n"
    "                         [--observe metrics | trace]\n"
    "  --quick          the empty bus and two others, 10 trials each: a few seconds (the CI run)\n"
    "  --svg PATH       where to draw one pass (default: pelko-bench-pass.svg in the working directory)\n"
    "  --gateway PATH   the gateway binary (default: the pelko of this build)\n"
    "  --rt-priority N  give the gateway rt_priority=N in its pelko.conf\n"
    "  --observe metrics  the gateway with its control socket and a metrics file written every second\n"
    "  --observe trace    the same, and a client reading a trace of every frame all the while\n";

constexpr unsigned short kFirstReadAddress = 100;
constexpr unsigned short kWriteAddress = 50;
constexpr unsigned int kValueBits = 12;
constexpr auto kTurnaround = std::chrono::microseconds(500);
const std::string kPin = "17";

double usBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::micro>(to - from).count();
}

double median(std::vector<double> v) {
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Nearest rank: the smallest value at or above 95 % of the samples.
double percentile95(std::vector<double> v) {
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    const auto rank = static_cast<std::size_t>(std::ceil(0.95 * static_cast<double>(v.size())));
    return v[std::max<std::size_t>(rank, 1) - 1];
}

// A `pelko ctl trace` client of the gateway's control socket, reading on a
// thread of its own as fast as it can, until stopped.
class TraceReader {
public:
    explicit TraceReader(const std::string& path) : thread_([this, path] { read(path); }) {}
    ~TraceReader() { stop(); }
    void stop() {
        stopping_ = true;
        if (thread_.joinable()) thread_.join();
    }
    long lines() const { return lines_; }
    long dropped() const { return dropped_; }

private:
    void read(const std::string& path) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            if (fd >= 0) ::close(fd);
            return;
        }
        const std::string command = "trace --seconds 86400\n";
        if (::send(fd, command.data(), command.size(), MSG_NOSIGNAL) < 0) {
            ::close(fd);
            return;
        }
        const timeval tick{0, 100000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
        std::string pending;
        char buffer[65536];
        while (!stopping_) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n == 0) break;
            if (n < 0) continue;
            pending.append(buffer, static_cast<std::size_t>(n));
            std::size_t start = 0;
            for (std::size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
                ++lines_;
                const std::size_t at = pending.find(" trace lines dropped", start);
                if (at < end) dropped_ += std::atol(pending.c_str() + pending.find(' ', start) + 1);
            }
            pending.erase(0, start);
        }
        ::close(fd);
    }

    std::atomic<bool> stopping_{false};
    std::atomic<long> lines_{0};
    std::atomic<long> dropped_{0};
    std::thread thread_;
};

// utime + stime of the whole process, in seconds.
double cpuSeconds(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The command name may hold spaces: the fields are counted after its ')'.
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    double utime = -1, stime = -1;
    for (int i = 3; fields >> field && i <= 15; ++i) {
        if (i == 14) utime = std::stod(field);
        if (i == 15) stime = std::stod(field);
    }
    if (utime < 0 || stime < 0) return -1;
    return (utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long peakResidentKiB(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
}

// The gateway's end of the bus: a raw pseudo-terminal pair.
struct Pty {
    Pty() { path = BusBench::openLine(master, slave); }
    ~Pty() {
        close(master);
        close(slave);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
    int master = -1;
    int slave = -1;  // kept open so the line never hangs up between the gateway's opens
    std::string path;
};

// What the bench saw, stamped on the steady clock: every frame on the line
// and every DATA_GET at the server. The line and server threads add; the
// benchmark waits for what a trial expects.
class Recorder {
public:
    struct Get {
        Clock::time_point time;
        int address;
        unsigned int value;
    };
    struct Mark {
        std::size_t frames;
        std::size_t gets;
    };

    void onFrame(const SimFrame& frame) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            frames_.push_back(frame);
        }
        // Only set frames end a wait; a wake-up per request would steal CPU from the gateway.
        if (frame.fromGateway && frame.code == 0x0C) changed_.notify_all();
    }
    void onDataGet(Clock::time_point time, int address, unsigned int value) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            gets_.push_back({time, address, value});
        }
        changed_.notify_all();
    }
    void onHandshake() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            handshake_ = true;
        }
        changed_.notify_all();
    }

    Mark mark() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return {frames_.size(), gets_.size()};
    }
    bool waitHandshake(Clock::time_point deadline) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_until(lock, deadline, [this] { return handshake_; });
    }
    // The first set frame for `address` carrying `value` after the mark.
    bool waitSet(Mark from, unsigned short address, unsigned int value, Clock::time_point deadline,
                 Clock::time_point& at) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_until(lock, deadline, [&] {
            for (std::size_t i = from.frames; i < frames_.size(); ++i) {
                const SimFrame& f = frames_[i];
                if (f.fromGateway && f.code == 0x0C && f.address == address && f.values.size() == 1 &&
                    f.values[0] == value) {
                    at = f.time;
                    return true;
                }
            }
            return false;
        });
    }
    bool waitGet(Mark from, int address, unsigned int value, Clock::time_point deadline, Clock::time_point& at) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_until(lock, deadline, [&] {
            for (std::size_t i = from.gets; i < gets_.size(); ++i) {
                if (gets_[i].address == address && gets_[i].value == value) {
                    at = gets_[i].time;
                    return true;
                }
            }
            return false;
        });
    }
    // Start times of the gateway's value requests to `address`.
    std::vector<Clock::time_point> requests(unsigned short address) const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<Clock::time_point> out;
        for (const SimFrame& f : frames_) {
            if (f.fromGateway && f.code == 0x0A && f.address == address) out.push_back(f.time);
        }
        return out;
    }
    std::vector<SimFrame> frames() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return frames_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<SimFrame> frames_;
    std::vector<Get> gets_;
    bool handshake_ = false;
};

// The server's view of the bench's bus: one type for the read nodes, one
// for the write node, each a single 12-bit value.
Scenario benchScenario(int readNodes) {
    Scenario sc;
    sc.gatewayAddress = 1;
    auto type = [](int code, int readWrite) {
        Scenario::Type t;
        t.type = code;
        t.dataRange = static_cast<int>(kValueBits);
        t.dataCount = 1;
        t.readWrite = readWrite;
        t.latency = 0;
        t.json["type"] = code;
        t.json["data_range"] = t.dataRange;
        t.json["data_count"] = 1;
        t.json["read_write"] = readWrite;
        t.json["latency"] = 0;
        return t;
    };
    sc.types = {type(1, 0), type(3, 2)};
    auto node = [](int address, int typeCode) {
        Scenario::Node n;
        n.address = address;
        n.type = typeCode;
        n.channelCount = 1;
        n.values = {{0}};
        n.listValues = {{0}};
        return n;
    };
    for (int i = 0; i < readNodes; ++i) sc.nodes.push_back(node(kFirstReadAddress + i, 1));
    if (readNodes > 0) sc.nodes.push_back(node(kWriteAddress, 3));
    return sc;
}

std::string dataSet(unsigned short address, unsigned int value) {
    Json::Value m;
    m["message_type"] = 6;
    m["address"] = address;
    Json::Value channel;
    channel["channel"] = 0;
    channel["data"].append(value);
    m["data"].append(channel);
    return compactJson(m);
}

// The gateway's DATA_GET for a one-value node: its address and value.
bool readDataGet(const Json::Value& m, int& address, unsigned int& value) {
    if (!m.isObject() || m["message_type"] != 5 || !m["address"].isInt()) return false;
    const Json::Value& data = m["data"];
    if (!data.isArray() || data.empty() || !data[0].isObject()) return false;
    const Json::Value& values = data[0]["data"];
    if (!values.isArray() || values.empty() || !values[0].isUInt()) return false;
    address = m["address"].asInt();
    value = values[0].asUInt();
    return true;
}

// One pass of the recorded line, from the pin switch before the read
// request of `pass` to the one before the next.
bool cutPass(const std::vector<SimFrame>& frames, const std::vector<PinMonitor::Level>& levels,
             const std::vector<Clock::time_point>& requests, std::size_t pass, PassPicture& picture) {
    if (pass + 1 >= requests.size()) return false;
    // The monitor may stamp the "1" a moment after the line thread saw the
    // request it announced; the request is then taken as the switch.
    auto switchBefore = [&](Clock::time_point request) {
        Clock::time_point at = request;
        for (const auto& l : levels) {
            if (l.level == '1' && l.time <= request + std::chrono::microseconds(300)) at = l.time;
        }
        return std::min(at, request);
    };
    const Clock::time_point start = switchBefore(requests[pass]);
    const Clock::time_point end = switchBefore(requests[pass + 1]);
    picture.measuredUs = usBetween(start, end);
    for (const auto& l : levels) {
        if (l.time >= end) break;
        const double at = std::max(0.0, usBetween(start, l.time));
        if (l.time >= start - std::chrono::microseconds(300)) picture.pin.push_back({at, l.level == '1'});
    }
    for (const SimFrame& f : frames) {
        if (f.time < start || f.time >= end) continue;
        const double length = static_cast<double>(f.bytes.size()) * passschedule::byteUs;
        const std::string bytes = " " + std::to_string(f.bytes.size()) + " B";
        if (!f.fromGateway) {
            picture.replies.push_back({usBetween(start, f.time), length, "reply" + bytes});
        } else {
            picture.sent.push_back({usBetween(start, f.time), length, (f.code == 0x0C ? "set" : "request") + bytes});
        }
    }
    return true;
}

std::string fmtMs(double us) {
    if (us < 0) return "–";
    char b[32];
    std::snprintf(b, sizeof b, "%.1f ms", us / 1000);
    return b;
}

}  // namespace

bool Benchmark::requested(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--bench") return true;
    }
    return false;
}

int Benchmark::main(int argc, char** argv, const std::string& defaultGateway) {
    Options options;
    options.gateway = defaultGateway;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--bench") continue;
        if (a == "--quick") {
            options.quick = true;
        } else if (a == "--svg" && i + 1 < argc) {
            options.svgPath = argv[++i];
        } else if (a == "--gateway" && i + 1 < argc) {
            options.gateway = argv[++i];
        } else if (a == "--rt-priority" && i + 1 < argc) {
            options.rtPriority = std::atoi(argv[++i]);
        } else if (a == "--observe" && i + 1 < argc &&
                   (std::string(argv[i + 1]) == "metrics" || std::string(argv[i + 1]) == "trace")) {
            options.observe = argv[++i];
        } else if (a == "--help" || a == "-h") {
            std::cout << kUsage;
            return 0;
        } else {
            std::cerr << "pelko-sim: unknown argument " << a << "\n" << kUsage;
            return 2;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    try {
        return Benchmark(options, std::cout, std::cerr).run();
    } catch (const std::exception& e) {
        std::cerr << "pelko-sim: " << e.what() << "\n";
        return 1;
    }
}

Benchmark::Benchmark(Options options, std::ostream& out, std::ostream& progress)
    : options_(std::move(options)), out_(out), progress_(progress) {}

int Benchmark::run() {
    const std::vector<int> sizes = options_.quick ? std::vector<int>{0, 1, 20} : std::vector<int>{0, 1, 5, 20, 100};
    std::vector<Row> rows;
    bool drawn = false;
    for (int size : sizes) {
        progress_ << "pelko-sim --bench: " << (size == 0 ? std::string("empty bus") : std::to_string(size) + (size == 1 ? " read node" : " read nodes"))
                  << " ..." << std::endl;
        rows.push_back(measure(size, size > 0 && !drawn));
        drawn = drawn || size > 0;
    }
    printTable(rows);
    for (const Row& r : rows) {
        if (!r.problem.empty()) return 1;
    }
    return 0;
}

Benchmark::Row Benchmark::measure(int readNodes, bool draw) {
    Row row;
    row.readNodes = readNodes;
    const int trials = readNodes == 0 ? 0 : (options_.quick ? 10 : 50);
    // CPU ticks are 10 ms: the window must be long enough to count a few percent.
    const auto window = std::chrono::milliseconds(options_.quick ? 1500 : (readNodes == 0 ? 5000 : 4000));

    passschedule::Layout layout;
    layout.readNodes = readNodes;
    layout.readBits = kValueBits;
    if (readNodes > 0) layout.writeBits = {kValueBits};
    layout.turnaroundUs = static_cast<double>(kTurnaround.count());
    const std::vector<passschedule::Segment> minimum = passschedule::minimumPass(layout);
    if (readNodes > 0) row.minimumUs = passschedule::lengthUs(minimum);

    const Scenario sc = benchScenario(readNodes);
    std::ostream nowhere(nullptr);
    Trace trace(nowhere, Trace::Mode::Quiet);
    Workspace ws;
    ws.layOutPin(kPin);
    PinMonitor pin(ws.valuePath(kPin));
    Pty pty;
    Recorder recorder;

    BusSimulator::Options simOptions;
    simOptions.pinProbe = [&pin] { return pin.high(); };
    simOptions.peerDevice = pty.path;
    simOptions.lineTiming = true;
    simOptions.realtime = true;
    simOptions.keepFrames = 64;
    simOptions.trace = [&recorder](const SimFrame& f) { recorder.onFrame(f); };
    BusSimulator bus(pty.master, simOptions);
    std::vector<std::size_t> ids;
    for (const Scenario::Node& n : sc.nodes) {
        SimNode node;
        node.address = static_cast<unsigned short>(n.address);
        node.channels = 1;
        node.dataCount = 1;
        node.dataRange = static_cast<unsigned char>(kValueBits);
        node.values = {100};
        node.turnaround = kTurnaround;
        ids.push_back(bus.addNode(node));
    }

    ScriptedServer server(trace);
    server.onMessage([&](const Event& e) {
        const Clock::time_point now = Clock::now();
        if (!e.json.isObject() || !e.json["message_type"].isInt()) return;
        switch (e.json["message_type"].asInt()) {
            case 1: server.send({sc.addressAnswerText()}); break;
            case 12: server.send({sc.typeAnswerText()}); break;
            case 8:
                server.send({sc.nodeAnswerText()});
                recorder.onHandshake();
                break;
            case 5: {
                int address = 0;
                unsigned int value = 0;
                if (readDataGet(e.json, address, value)) recorder.onDataGet(now, address, value);
                break;
            }
            default: break;
        }
    });
    std::vector<std::pair<std::string, std::string>> settings = {
        {"ip", "127.0.0.1"}, {"port", std::to_string(server.port())}, {"uart", pty.path},
        {"gpio", kPin},      {"gpio_root", ws.gpioRoot()}};
    if (options_.rtPriority >= 0) settings.emplace_back("rt_priority", std::to_string(options_.rtPriority));
    const std::string controlPath = ws.dir() + "/control";
    if (!options_.observe.empty()) {
        settings.emplace_back("control_socket", controlPath);
        settings.emplace_back("metrics_file", ws.dir() + "/pelko.prom");
        settings.emplace_back("metrics_interval", "1");
    }
    ws.writeConfig(settings);

    server.start();
    bus.start();
    GatewayProcess gateway(trace);
    std::string error;
    if (!gateway.start(options_.gateway, ws.dir(), error)) {
        row.problem = "cannot start the gateway: " + error;
        return row;
    }
    auto stopGateway = [&] {
        gateway.signal(SIGTERM);
        if (!gateway.waitExit(5.0)) {
            gateway.signal(SIGKILL);
            gateway.waitExit(5.0);
        }
        bus.stop();
    };

    // Warm-up: the handshake, then a few passes (the first ones report the
    // nodes' values to the server).
    const unsigned short watched = kFirstReadAddress;
    if (!recorder.waitHandshake(Clock::now() + std::chrono::seconds(10))) {
        row.problem = "no handshake within 10 s";
        stopGateway();
        return row;
    }
    const auto warmUpEnd = Clock::now() + std::chrono::seconds(10);
    const std::size_t warmUpPasses = 8;
    while (Clock::now() < warmUpEnd && !gateway.exited()) {
        if (readNodes == 0 ? pin.writes() >= 4 * warmUpPasses : recorder.requests(watched).size() >= warmUpPasses) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (gateway.exited() || Clock::now() >= warmUpEnd) {
        row.problem = gateway.exited() ? "the gateway ended early" : "the bus did not start within 10 s";
        stopGateway();
        return row;
    }

    std::unique_ptr<TraceReader> tracing;
    if (options_.observe == "trace") {
        tracing = std::make_unique<TraceReader>(controlPath);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }

    const Clock::time_point t0 = Clock::now();
    const double cpu0 = cpuSeconds(gateway.pid());
    double period = row.minimumUs;
    {
        std::vector<double> gaps;
        const auto reqs = recorder.requests(watched);
        for (std::size_t i = 1; i < reqs.size(); ++i) gaps.push_back(usBetween(reqs[i - 1], reqs[i]));
        if (!gaps.empty()) period = median(gaps);
    }

    // Trials at random phases of the pass: a random wait of up to one pass,
    // then a DATA_SET for the write node and a new value in the first read node.
    std::mt19937 random(std::random_device{}());
    std::uniform_real_distribution<double> phase(0.0, std::max(period, 1000.0));
    for (int i = 0; i < trials && !gateway.exited(); ++i) {
        std::this_thread::sleep_for(std::chrono::duration<double, std::micro>(phase(random)));
        const Recorder::Mark mark = recorder.mark();
        const unsigned int setValue = 1 + static_cast<unsigned int>(i);
        const unsigned int newValue = 2000 + static_cast<unsigned int>(i);
        const Clock::time_point setAt = Clock::now();
        server.send({dataSet(kWriteAddress, setValue)});
        const Clock::time_point changedAt = Clock::now();
        bus.setValues(ids[0], {newValue});
        const auto deadline = Clock::now() + std::chrono::seconds(2) +
                              std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::micro>(4 * period));
        Clock::time_point at;
        ++row.trials;
        if (recorder.waitSet(mark, kWriteAddress, setValue, deadline, at)) row.setLatencyUs.push_back(usBetween(setAt, at));
        if (recorder.waitGet(mark, watched, newValue, deadline, at)) row.getLatencyUs.push_back(usBetween(changedAt, at));
    }
    // A few quiet passes at the end, one of them for the picture.
    const auto quietEnd = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double, std::micro>(4 * std::max(period, 1000.0)));
    std::this_thread::sleep_until(std::max(quietEnd, t0 + window));

    const Clock::time_point t1 = Clock::now();
    const double cpu1 = cpuSeconds(gateway.pid());
    row.peakKiB = peakResidentKiB(gateway.pid());
    if (tracing) {
        tracing->stop();
        progress_ << "pelko-sim --bench: trace client read " << tracing->lines() << " lines, "
                  << tracing->dropped() << " dropped" << std::endl;
        if (tracing->lines() == 0) row.problem = "the trace client read nothing";
    }
    if (cpu0 >= 0 && cpu1 >= 0) row.cpuPerSecond = (cpu1 - cpu0) / std::chrono::duration<double>(t1 - t0).count();
    const bool ranThrough = !gateway.exited();
    stopGateway();
    row.pinLowFrames = bus.pinLowFrames();
    if (!ranThrough) {
        row.problem = "the gateway ended during the measurement";
        return row;
    }

    if (readNodes > 0) {
        std::vector<Clock::time_point> inWindow;
        for (const auto& t : recorder.requests(watched)) {
            if (t >= t0 && t <= t1) inWindow.push_back(t);
        }
        std::vector<double> gaps;
        for (std::size_t i = 1; i < inWindow.size(); ++i) gaps.push_back(usBetween(inWindow[i - 1], inWindow[i]));
        row.periodUs = median(gaps);
        if (gaps.empty()) row.problem = "no pass measured";
    }

    if (draw && readNodes > 0) {
        PassPicture picture;
        picture.title = "One bus pass: " + std::to_string(readNodes) + " read node" + (readNodes > 1 ? "s" : "") +
                        " and one write node, 115200 bit/s, node turnaround 0.5 ms";
        picture.minimum = minimum;
        const auto reqs = recorder.requests(watched);
        std::vector<Clock::time_point> before;
        for (const auto& t : reqs) {
            if (t <= t1) before.push_back(t);
        }
        // The second-to-last full pass: no trial was in flight any more.
        if (before.size() >= 3 && cutPass(recorder.frames(), pin.levels(), before, before.size() - 3, picture)) {
            if (picture.write(options_.svgPath)) {
                progress_ << "pelko-sim --bench: one pass drawn in " << options_.svgPath << std::endl;
            } else {
                progress_ << "pelko-sim --bench: cannot write " << options_.svgPath << std::endl;
            }
        }
    }
    return row;
}

void Benchmark::printTable(const std::vector<Row>& rows) const {
    out_ << "\nBus benchmark: " << (options_.quick ? "quick run, " : "")
         << "read nodes of one 12-bit value each plus one write node, 115200 bit/s, nodes answer 0.5 ms after a "
            "request; latencies over "
         << (options_.quick ? 10 : 50) << " trials at random phases of the pass"
         << (options_.rtPriority >= 0 ? "; gateway configured with rt_priority=" + std::to_string(options_.rtPriority)
                                      : std::string())
         << (options_.observe == "metrics" ? "; control socket (no client) and metrics written every second"
             : options_.observe == "trace" ? "; metrics every second and a trace of every frame read all the while"
                                           : "")
         << "\n\n";
    out_ << "| nodes read per pass | pass period (median) | protocol minimum | ratio "
            "| DATA_SET → set frame, median / 95 % | change → DATA_GET, median / 95 % "
            "| CPU s per s | peak RSS |\n";
    out_ << "|---|---|---|---|---|---|---|---|\n";
    for (const Row& r : rows) {
        char ratio[32] = "–";
        if (r.periodUs > 0 && r.minimumUs > 0) std::snprintf(ratio, sizeof ratio, "%.2f", r.periodUs / r.minimumUs);
        auto latency = [](const std::vector<double>& v) {
            return v.empty() ? std::string("–") : fmtMs(median(v)) + " / " + fmtMs(percentile95(v));
        };
        char cpu[32] = "–";
        if (r.cpuPerSecond >= 0) std::snprintf(cpu, sizeof cpu, "%.3f (%.1f %%)", r.cpuPerSecond, 100 * r.cpuPerSecond);
        char rss[32] = "–";
        if (r.peakKiB >= 0) std::snprintf(rss, sizeof rss, "%.1f MiB", static_cast<double>(r.peakKiB) / 1024);
        out_ << "| " << (r.readNodes == 0 ? std::string("0 (empty bus)") : std::to_string(r.readNodes)) << " | "
             << (r.readNodes == 0 ? "–" : fmtMs(r.periodUs)) << " | " << (r.readNodes == 0 ? "–" : fmtMs(r.minimumUs))
             << " | " << ratio << " | " << latency(r.setLatencyUs) << " | " << latency(r.getLatencyUs) << " | " << cpu
             << " | " << rss << " |\n";
    }
    out_ << "\n";
    for (const Row& r : rows) {
        const std::string which = r.readNodes == 0 ? "empty bus" : std::to_string(r.readNodes) + " read node(s)";
        if (!r.problem.empty()) out_ << which << ": not measured: " << r.problem << "\n";
        const std::size_t lostSet = static_cast<std::size_t>(r.trials) - r.setLatencyUs.size();
        const std::size_t lostGet = static_cast<std::size_t>(r.trials) - r.getLatencyUs.size();
        if (lostSet > 0 || lostGet > 0)
            out_ << which << ": " << lostSet << " set frames and " << lostGet << " DATA_GET never came\n";
        if (r.pinLowFrames > 0) out_ << which << ": " << r.pinLowFrames << " frames arrived while the pin read 0\n";
    }
    out_ << std::flush;
}
