#include "Planner.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "BusThreadTuning.h"
#include "Console.h"
#include "Errors.h"

using namespace bustiming;

namespace {

// How often a bus thread waiting for NEW_ADDRESSES counts as progress.
constexpr std::chrono::seconds aliveInterval{1};

DirectionSettings sysfsPin(std::string number, std::string root) {
    DirectionSettings settings;
    settings.gpio = std::move(number);
    settings.gpioRoot = std::move(root);
    return settings;
}

void tooLong(const Node& node) {
    // Its lengths would wrap in 8 bits: frames for it would be wrong.
    console::out("Node " + std::to_string(node.getAddress()) + " has more than 255 bits of values, not filed");
}

}  // namespace

unsigned long Planner::systemClock() {
    using namespace std::chrono;
    return static_cast<unsigned long>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

Planner::Planner(std::string uartPortName, std::string gpioNumber, std::string gpioRootDir, Clock clockSource)
    : Planner(std::move(uartPortName), sysfsPin(std::move(gpioNumber), std::move(gpioRootDir)),
              std::move(clockSource)) {}

Planner::Planner(std::string uartPortName, DirectionSettings directionChoice, Clock clockSource)
    : uartPort(std::move(uartPortName)),
      directionSettings(std::move(directionChoice)),
      clock(clockSource ? std::move(clockSource) : Clock(systemClock)),
      nowNodesR(10),
      nowNodesRW(10),
      nowNodesW(10),
      delayedNodesR(10),
      newNodesMap(10),
      types(10) {}

Planner::~Planner() { stop(); }

void Planner::setDelegator(Delegator* dlg) { pDelegator = dlg; }

void Planner::setView(GatewayView* observer) {
    view = observer;
    if (view != nullptr) view->watchHealth(&health);
}

void Planner::setAddress(unsigned char value) {
    address = value;
    message.setAddress(value);
}

void Planner::addType(DeviceType& type) { types.insert({static_cast<int>(type.getType()), type}); }

std::uint64_t Planner::progress() const { return steps.load(); }

void Planner::setFoldRepeats(std::chrono::milliseconds window) { folder.setWindow(window); }

void Planner::printHealth() {
    for (const std::string& line : health.report(NodeHealth::Clock::now())) console::out(line);
}

void Planner::setAddressTimeout(std::chrono::milliseconds timeout) {
    std::lock_guard<std::mutex> guard(state);
    addressTimeout = timeout;
}

void Planner::setDiscoveryWindow(std::chrono::milliseconds length) {
    std::lock_guard<std::mutex> guard(state);
    discoveryWindow = length;
}

void Planner::setTableLeftHook(std::function<void()> hook) { tableLeft = std::move(hook); }

bool Planner::isStopping() {
    std::lock_guard<std::mutex> guard(state);
    return stopping;
}

// ---------------------------------------------------------------- tables

Planner::TableClass Planner::classOf(const Node& node) {
    const DeviceType type = node.getType();
    const unsigned char rw = type.getReadWrite();
    const unsigned char latency = type.getLatency();
    if (latency == DeviceType::NOW) {
        if (rw == DeviceType::R) return TableClass::R;
        if (rw == DeviceType::RW) return TableClass::RW;
        if (rw == DeviceType::W) return TableClass::W;
    } else if (latency == DeviceType::DELAYED && rw == DeviceType::R) {
        return TableClass::DR;
    }
    return TableClass::none;
}

Planner::Table Planner::table(TableClass which) {
    switch (which) {
        case TableClass::R: return {&nowNodesR, &lockR, nullptr};
        case TableClass::RW: return {&nowNodesRW, &lockRW, &updateRW};
        case TableClass::W: return {&nowNodesW, &lockW, &updateW};
        case TableClass::DR: return {&delayedNodesR, &lockDR, nullptr};
        case TableClass::none: break;
    }
    return {nullptr, nullptr, nullptr};
}

template <typename Change>
void Planner::whenTableFree(const Table& t, Change&& change) {
    std::unique_lock<std::mutex> guard(state);
    changed.wait(guard, [&t] { return !*t.lock && (t.update == nullptr || !*t.update); });
    change();
}

bool Planner::fileNode(Node& node) {
    if (!node.fitsOnBus()) {
        tooLong(node);
        return false;
    }
    const Table t = table(classOf(node));
    if (t.nodes != nullptr) whenTableFree(t, [&] { t.nodes->insert({node.getAddress(), node}); });
    return true;
}

void Planner::addNode(Node& node) { fileNode(node); }

void Planner::removeNode(Node& node) {
    const Table t = table(classOf(node));
    if (t.nodes != nullptr) whenTableFree(t, [&] { t.nodes->erase(node.getAddress()); });
}

void Planner::setNodeData(Node& node) {
    // The latency is not consulted: a W or RW node is written every pass.
    const unsigned char rw = node.getType().getReadWrite();
    if (rw != DeviceType::W && rw != DeviceType::RW) return;
    if (!node.fitsOnBus()) {
        tooLong(node);
        return;
    }
    const Table t = table(rw == DeviceType::W ? TableClass::W : TableClass::RW);
    // While the update flag is up the bus thread skips the table, so the
    // record can be replaced without holding the state lock.
    whenTableFree(t, [&t] { *t.update = true; });
    t.nodes->insert_or_assign(node.getAddress(), node);
    {
        std::lock_guard<std::mutex> guard(state);
        *t.update = false;
    }
    changed.notify_all();
}

// ---------------------------------------------------------------- start, stop

void Planner::start() {
    {
        std::lock_guard<std::mutex> guard(state);
        if (started || stopping) return;
        started = true;
    }
    if (!directionSettings.needsOpenPort()) {
        std::lock_guard<std::mutex> bus(line);
        direction = Direction::open(directionSettings, -1);
    }
    if (uart.openUART(uartPort, 115200) == 1) {
        if (pDelegator != nullptr) pDelegator->logError(ERROR_UART);
        return;
    }
    if (directionSettings.needsOpenPort()) {
        std::lock_guard<std::mutex> bus(line);
        direction = Direction::open(directionSettings, uart.descriptor());
    }
    std::lock_guard<std::mutex> guard(state);
    portOpen = true;
    if (!stopping) busThread = std::thread(&Planner::loop, this);
}

void Planner::stop() {
    std::thread finishing;
    {
        std::unique_lock<std::mutex> guard(state);
        stopping = true;
        if (busThread.joinable()) {
            finishing = std::move(busThread);
            joining = true;
        }
    }
    changed.notify_all();
    {
        // Waits for the exchange in progress to finish.
        std::lock_guard<std::mutex> bus(line);
        if (direction) direction->driverOff();
    }
    if (finishing.joinable()) {
        // A stopped gateway has no thread left that could touch the line.
        if (finishing.get_id() == std::this_thread::get_id()) {
            finishing.detach();
        } else {
            finishing.join();
        }
        {
            std::lock_guard<std::mutex> guard(state);
            joining = false;
        }
        changed.notify_all();
        return;
    }
    std::unique_lock<std::mutex> guard(state);
    changed.wait(guard, [this] { return !joining; });
}

// ---------------------------------------------------------------- bus cycle

void Planner::setRealtimePriority(int priority) { realtimePriority = priority; }

void Planner::loop() {
    tuneBusThread(realtimePriority);
    while (beginPass()) {
        makePass();
        health.countPass();
        if (uart.lostError() != 0 && !recoverLine()) return;
        {
            std::lock_guard<std::mutex> guard(state);
            confirmed = true;
        }
        changed.notify_all();
        ++steps;
        pause(betweenPasses);
    }
}

// Waits while discovery or addressing has the bus; false once stopping.
bool Planner::beginPass() {
    bool expired = false;
    std::chrono::milliseconds waited{0};
    {
        std::unique_lock<std::mutex> guard(state);
        for (;;) {
            if (stopping) return false;
            if (!halted) break;
            if (!awaitingAddresses) {
                changed.wait(guard, [this] { return stopping || !halted || awaitingAddresses; });
                continue;
            }
            // The addresses for the nodes reported may never come: the bus
            // goes back to its cycle after the time-out. Meanwhile the bus
            // thread shows once a second that it is still alive.
            const auto deadline = reportedAt + addressTimeout;
            const auto wake = std::min(deadline, std::chrono::steady_clock::now() + aliveInterval);
            if (changed.wait_until(guard, wake, [this] { return stopping || !halted || !awaitingAddresses; })) {
                continue;
            }
            ++steps;
            if (std::chrono::steady_clock::now() >= deadline) {
                awaitingAddresses = false;
                halted = false;
                expired = true;
                waited = addressTimeout;
            }
        }
        confirmed = false;
    }
    if (expired) {
        changed.notify_all();
        console::out("Adresy pro nove nody neprisly do " + std::to_string(waited.count()) +
                     " ms, sbernice pokracuje");
    }
    return true;
}

bool Planner::recoverLine() {
    const int reason = uart.lostError();
    {
        std::lock_guard<std::mutex> guard(state);
        portOpen = false;
    }
    changed.notify_all();
    if (view != nullptr) view->lineLost(true);
    console::err("Seriovy port " + uartPort + " ztracen: " + std::strerror(reason) +
                 ", zkousim ho otevrit znovu kazde 2 s");
    if (pDelegator != nullptr) pDelegator->logError(ERROR_UART);
    for (;;) {
        if (!pauseUnlessStopped(reopenInterval)) return false;
        ++steps;
        // A quiet look first: the port's own open reports every failure,
        // and an unplugged adapter would fill the log every 2 s.
        const int probe = ::open(uartPort.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (probe < 0) continue;
        close(probe);
        std::lock_guard<std::mutex> bus(line);
        uart.release();
        if (uart.openUART(uartPort, 115200) != 0) continue;
        if (directionSettings.needsOpenPort()) direction = Direction::open(directionSettings, uart.descriptor());
        break;
    }
    {
        std::lock_guard<std::mutex> guard(state);
        portOpen = true;
    }
    if (view != nullptr) view->lineLost(false);
    console::err("Seriovy port " + uartPort + " je zpet, sbernice pokracuje", console::Priority::info);
    return true;
}

template <typename Work>
void Planner::onTable(TableClass which, Work&& work) {
    const Table t = table(which);
    {
        std::lock_guard<std::mutex> guard(state);
        // A command is replacing a record: this table sits out this pass.
        if (t.update != nullptr && *t.update) return;
        *t.lock = true;
    }
    work(*t.nodes);
    {
        std::lock_guard<std::mutex> guard(state);
        *t.lock = false;
    }
    changed.notify_all();
    if (tableLeft) tableLeft();
}

void Planner::makePass() {
    ++pass;
    onTable(TableClass::R, [this](nodeMap& nodes) { requestGetNodes(nodes); });
    pause(afterReadTable);
    onTable(TableClass::W, [this](nodeMap& nodes) { setNodes(nodes); });
    onTable(TableClass::RW, [this](nodeMap& nodes) { setNodes(nodes); });
    if (pass == readBackPass) onTable(TableClass::RW, [this](nodeMap& nodes) { requestGetNodes(nodes); });
    if (pass == measurePass) onTable(TableClass::DR, [this](nodeMap& nodes) { meassureNodes(nodes); });
    if (pass == delayedReadPass) {
        onTable(TableClass::DR, [this](nodeMap& nodes) { requestGetNodes(nodes); });
        pass = 0;
    }
}

void Planner::requestGetNodes(nodeMap& nodes) {
    for (auto& entry : nodes) {
        Node node = entry.second;
        int change;
        {
            std::lock_guard<std::mutex> bus(line);
            if (isStopping()) return;
            std::chrono::microseconds replyTime{0};
            const int rxpos = exchange(requestLead, message.makeRequest(txbuf, node), node,
                                       node.getDataLength() + 8, replyTime);
            // A port that went away is no failure of the node.
            if (uart.lostError() != 0) return;
            change = message.get(rxbuf, node, rxpos);
            using Reply = NodeHealth::Reply;
            const Reply reply = change != -1 ? Reply::valid : rxpos == 0 ? Reply::missing : Reply::invalid;
            health.record(node.getAddress(), reply, replyTime, NodeHealth::Clock::now());
            if (reply == Reply::valid) folder.recovered(node.getAddress());
        }
        if (change == 1 && pDelegator != nullptr) pDelegator->updateNodeData(node);
        if (change == -1) applyErrorRule(node);
        entry.second = node;
    }
}

void Planner::applyErrorRule(Node& node) {
    const auto now = static_cast<std::uint32_t>(clock());
    const auto last = static_cast<std::uint32_t>(node.getErrorTime());
    if (static_cast<std::uint32_t>(now - last) <= 9999u && pDelegator != nullptr) {
        pDelegator->logError(ERROR_PACKET_NONSENSE, node.getAddress());
    }
    node.setErrorTime(now);
}

void Planner::setNodes(nodeMap& nodes) {
    std::lock_guard<std::mutex> bus(line);
    if (isStopping()) return;
    auto next = nodes.begin();
    transmit(setBurst, static_cast<int>(nodes.size()), [&](int) { return message.makeSet(txbuf, (next++)->second); });
}

void Planner::meassureNodes(nodeMap& nodes) {
    std::lock_guard<std::mutex> bus(line);
    if (isStopping()) return;
    auto next = nodes.begin();
    transmit(setBurst, static_cast<int>(nodes.size()), [&](int) {
        Node& node = (next++)->second;
        console::out("Merime " + std::to_string(node.getAddress()) + "X");
        return message.makeMeassure(txbuf, node);
    });
}

// ---------------------------------------------------------------- the line

void Planner::pause(us duration) {
    if (duration.count() > 0) usleep(static_cast<useconds_t>(duration.count()));
}

template <typename Build>
void Planner::transmit(const Burst& timing, int count, Build&& build) {
    if (uart.lostError() != 0) return;
    direction->driverOn();
    pause(timing.lead);
    for (int i = 0; i < count; ++i) {
        const int length = build(i);
        uart.sendBuf(txbuf, length);
        if (view != nullptr) view->busSent(txbuf, length);
        health.countBytes(static_cast<std::size_t>(length), 0);
        pause(timing.gap);
    }
    direction->driverOff();
    pause(timing.trail);
}

int Planner::exchange(us lead, int frameLength, Node& node, int answerLength, std::chrono::microseconds& replyTime) {
    transmit(Burst{lead, us{0}, us{0}}, 1, [frameLength](int) { return frameLength; });
    const auto sent = std::chrono::steady_clock::now();
    const int received = fetchData(node, answerLength);
    replyTime = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - sent);
    if (view != nullptr) view->busReply(node.getAddress(), rxbuf, received, replyTime);
    return received;
}

int Planner::fetchData(Node& node, int length) {
    int rxpos = 0;
    bool start = false;
    bool end = false;
    for (int look = 0; rxpos < length && look < receiveLooks; ++look) {
        // Never ask for more than rxbuf still holds: an over-long answer is
        // cut here and the rest is flushed below.
        const int room = BUF_SIZE - rxpos < READ_CHUNK ? BUF_SIZE - rxpos : READ_CHUNK;
        if (room <= 0) break;
        pause(receiveStep);
        const int n = uart.pollComport(rxbufpart, room);
        if (uart.lostError() != 0) return rxpos;
        for (int i = 0; i < n; ++i) {
            const unsigned char byte = rxbufpart[i];
            rxbuf[rxpos++] = byte;
            if (byte == Message::START) start = true;
            if (byte == Message::END) end = true;
        }
    }
    uart.flush();
    health.countBytes(0, static_cast<std::size_t>(rxpos));
    if (start && end && rxpos >= length) return rxpos;
    // One diagnostic of up to five lines, printed (or folded) as one piece.
    const std::string nodeAddress = std::to_string(node.getAddress());
    std::string diagnostic;
    if (!start || !end) diagnostic += "-------------\n";
    if (!start) diagnostic += "Missing start from node address " + nodeAddress + "\n";
    if (rxpos < length) {
        diagnostic += "Received " + std::to_string(rxpos) + " bytes instead of " + std::to_string(length) + "\n";
    }
    if (!end) diagnostic += "Missing end from node address " + nodeAddress + "\n";
    if (!start || !end) diagnostic += "-------------\n";
    diagnostic.pop_back();
    folder.say(node.getAddress(), diagnostic, RepeatFolder::Clock::now());
    return rxpos;
}

// ---------------------------------------------------------------- bus hand-over

bool Planner::takeBus(const char* refused) {
    {
        std::unique_lock<std::mutex> guard(state);
        // From here on the NEW_ADDRESSES time-out cannot hand the bus back.
        awaitingAddresses = false;
        changed.wait(guard, [this] { return stopping || !portOpen || halted || confirmed; });
        if (stopping) return false;
        if (portOpen) {
            halted = true;
            refused = nullptr;
        }
    }
    if (refused != nullptr) {
        // No bus thread will finish a pass for now: answer at once instead of waiting.
        console::out(refused);
        return false;
    }
    changed.notify_all();
    return true;
}

void Planner::releaseBus() {
    {
        std::lock_guard<std::mutex> guard(state);
        awaitingAddresses = false;
        halted = false;
    }
    changed.notify_all();
}

bool Planner::pauseUnlessStopped(std::chrono::microseconds duration) {
    std::unique_lock<std::mutex> guard(state);
    return !changed.wait_for(guard, duration, [this] { return stopping; });
}

// ---------------------------------------------------------------- discovery

void Planner::discoverNewNodes() {
    if (!takeBus("Seriovy port neni otevreny, discovery neprobehne")) {
        if (!isStopping() && pDelegator != nullptr) pDelegator->logError(ERROR_UART);
        return;
    }
    newNodesMap.clear();
    if (!broadcastDiscovery() || !listen()) return;
    if (uart.lostError() != 0) {
        // The bus thread reports the lost port and reopens it.
        releaseBus();
        return;
    }
    reportDiscovery();
}

bool Planner::broadcastDiscovery() {
    std::lock_guard<std::mutex> bus(line);
    if (isStopping()) return false;
    transmit(discoveryBurst, 1, [this](int) { return message.makeDiscovery(txbuf); });
    ++steps;
    return true;
}

// Keeps the replies that arrive in the window; false when stopped meanwhile.
bool Planner::listen() {
    std::chrono::milliseconds length;
    {
        std::lock_guard<std::mutex> guard(state);
        length = discoveryWindow;
    }
    const long looks = std::chrono::duration_cast<us>(length) / receiveStep;
    window.clear();
    for (long look = 0; look < looks; ++look) {
        if (!pauseUnlessStopped(receiveStep)) return false;
        ++steps;
        const int n = uart.pollComport(rxbufpart, READ_CHUNK);
        if (uart.lostError() != 0) break;
        if (n <= 0) continue;
        console::out(std::to_string(n));
        window.keep(rxbufpart, n);
    }
    window.sayIgnored();
    return true;
}

void Planner::reportDiscovery() {
    const int received = window.size();
    if (received == 0) {
        if (pDelegator != nullptr) pDelegator->logError(ERROR_NO_NEW_NODES);
        releaseBus();
        return;
    }
    if (received >= 9) {
        message.discoveryResponse(window.data(), received, newNodesMap, types);
        if (!newNodesMap.empty()) {
            if (!pauseUnlessStopped(beforeNewNodesReport)) return;
            if (pDelegator != nullptr) pDelegator->requestNewAddresses(newNodesMap);
            if (received % 9 == 0) {
                // The bus stays with us until the addresses come (or the time-out).
                {
                    std::lock_guard<std::mutex> guard(state);
                    awaitingAddresses = true;
                    reportedAt = std::chrono::steady_clock::now();
                }
                changed.notify_all();
                return;
            }
        }
    }
    // A broken byte count, or bytes without a single valid reply: nothing to
    // address, so the cycle goes on.
    if (pDelegator != nullptr) pDelegator->logError(ERROR_PACKET_NONSENSE);
    releaseBus();
}

// ---------------------------------------------------------------- addressing

void Planner::addressNewNodes(nodeMap& newNodes) {
    if (!takeBus("Seriovy port neni otevreny, adresace neprobehne")) return;
    for (auto& entry : newNodes) {
        if (!addressNode(entry.second)) {
            // Stopped, or the port went away (the bus thread reopens it).
            if (!isStopping()) releaseBus();
            return;
        }
    }
    releaseBus();
}

// Up to 19 attempts; false when stopped or the port went away meanwhile.
bool Planner::addressNode(Node node) {
    for (int attempt = 1; attempt <= addressAttempts; ++attempt) {
        int received;
        bool ok;
        {
            std::lock_guard<std::mutex> bus(line);
            if (isStopping()) return false;
            std::chrono::microseconds replyTime{0};
            received = exchange(addressLead, message.makeDiscoveryAddress(txbuf, node), node, 10, replyTime);
            if (uart.lostError() != 0) return false;
            ok = message.discoveryCheck(rxbuf, received, node);
        }
        ++steps;
        console::out("Adresace nodu " + std::to_string(attempt) + " " + std::to_string(node.getAddress()) +
                     " random " + std::to_string(node.getRandom()) + " prijado " + std::to_string(received) +
                     " parsovano: " + (ok ? "1" : "0"));
        if (!ok) {
            if (!pauseUnlessStopped(addressRetry)) return false;
            continue;
        }
        {
            std::lock_guard<std::mutex> bus(line);
            if (isStopping()) return false;
            transmit(confirmBurst, confirmations, [&](int) { return message.makeDiscoveryCheckOk(txbuf, node); });
        }
        addNode(node);
        if (pDelegator != nullptr) pDelegator->addNodeToMap(node);
        return pauseUnlessStopped(afterConfirmed);
    }
    return true;
}
