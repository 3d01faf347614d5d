#include "Planner.h"

#include <unistd.h>

#include <cstdint>
#include <iostream>
#include <string>

#include "Console.h"
#include "Errors.h"

// How the two threads share the bus master
// ----------------------------------------
// The bus thread (loop) and the thread of the server's commands meet on the
// eight flags. Every test of one side's flag that leads to raising the
// other's is made under flagMutex, so test and raise are one step:
//  - A pass starts only under flagMutex with `halted` down, and lowers
//    `confirmed` in the same step. Discovery and addressing raise `halted`
//    only under flagMutex while `confirmed` is up, i.e. between passes, so
//    they take the bus only at the end of a pass and no pass starts while
//    `halted` is up. `confirmed` goes up again (atomically) at a pass's end.
//  - The bus thread raises a table's lock flag under flagMutex, and for the
//    written tables only while the update flag is down; otherwise it skips
//    the table on this pass (it never waits for a command).
//  - removeNode and addNode change a table under flagMutex after seeing its
//    lock flag down; setNodeData raises the update flag under flagMutex
//    after seeing the lock flag down, replaces the record, lowers it again.
//    The commands sleep 100 us between looks at a raised lock flag.
// Whoever uses the line holds busMutex for the whole exchange (pin, frames,
// answer); stop() takes it too, so it lets the exchange in progress finish.

namespace {

void say(const std::string& line) { std::cout << (line + "\n") << std::flush; }

unsigned long systemClockMs() {
    using namespace std::chrono;
    return static_cast<unsigned long>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

enum TableClass { TABLE_NONE, TABLE_R, TABLE_RW, TABLE_W, TABLE_DR };

TableClass classOf(const Node& node) {
    const DeviceType type = node.getType();
    const unsigned char rw = type.getReadWrite();
    const unsigned char latency = type.getLatency();
    if (latency == DeviceType::NOW) {
        if (rw == DeviceType::R) return TABLE_R;
        if (rw == DeviceType::RW) return TABLE_RW;
        if (rw == DeviceType::W) return TABLE_W;
    } else if (latency == DeviceType::DELAYED && rw == DeviceType::R) {
        return TABLE_DR;
    }
    return TABLE_NONE;
}

}  // namespace

namespace {
DirectionSettings sysfsPin(std::string number, std::string root) {
    DirectionSettings settings;
    settings.gpio = std::move(number);
    settings.gpioRoot = std::move(root);
    return settings;
}
}  // namespace

Planner::Planner(std::string uartPortName, std::string gpioNumber, std::string gpioRootDir)
    : Planner(std::move(uartPortName), sysfsPin(std::move(gpioNumber), std::move(gpioRootDir))) {}

Planner::Planner(std::string uartPortName, DirectionSettings directionChoice)
    : uartPort(std::move(uartPortName)),
      directionSettings(std::move(directionChoice)),
      window(WINDOW_SIZE),
      nowNodesR(10),
      nowNodesRW(10),
      nowNodesW(10),
      delayedNodesR(10),
      newNodesMap(10),
      types(10),
      clock(systemClockMs) {}

Planner::~Planner() {
    stop();
}

std::uint64_t Planner::progress() const { return steps.load(); }

void Planner::setDelegator(Delegator* dlg) { pDelegator = dlg; }

void Planner::setAddress(unsigned char value) {
    address = value;
    message.setAddress(value);
}

void Planner::addType(DeviceType& type) { types.insert({static_cast<int>(type.getType()), type}); }

void Planner::setClock(std::function<unsigned long()> newClock) {
    std::lock_guard<std::mutex> guard(clockMutex);
    clock = newClock ? std::move(newClock) : std::function<unsigned long()>(systemClockMs);
}

void Planner::setAddressTimeout(std::chrono::milliseconds timeout) {
    std::lock_guard<std::mutex> guard(flagMutex);
    addressTimeout = timeout;
}

// ---------------------------------------------------------------- tables

bool Planner::enterTable(std::atomic<bool>& lock, const std::atomic<bool>* update) {
    std::lock_guard<std::mutex> guard(flagMutex);
    if (update != nullptr && update->load()) return false;
    lock = true;
    return true;
}

template <typename F>
void Planner::whenTableFree(const std::atomic<bool>& lock, F&& change) {
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(flagMutex);
            if (!lock) {
                change();
                return;
            }
        }
        usleep(100);
    }
}

void Planner::raiseUpdate(const std::atomic<bool>& lock, std::atomic<bool>& update) {
    whenTableFree(lock, [&update] { update = true; });
}

bool Planner::fileNode(Node& node) {
    if (!node.fitsOnBus()) {
        // Its lengths would have wrapped in 8 bits: frames for it would be wrong.
        say("Node " + std::to_string(node.getAddress()) + " has more than 255 bits of values, not filed");
        return false;
    }
    const unsigned short key = node.getAddress();
    switch (classOf(node)) {
        case TABLE_R:
            whenTableFree(lockR, [&] { nowNodesR.insert({key, node}); });
            break;
        case TABLE_RW:
            whenTableFree(lockRW, [&] { nowNodesRW.insert({key, node}); });
            break;
        case TABLE_W:
            whenTableFree(lockW, [&] { nowNodesW.insert({key, node}); });
            break;
        case TABLE_DR:
            whenTableFree(lockDR, [&] { delayedNodesR.insert({key, node}); });
            break;
        case TABLE_NONE:
            break;
    }
    return true;
}

void Planner::addNode(Node& node) {
    std::lock_guard<std::mutex> command(commandMutex);
    fileNode(node);
}

void Planner::removeNode(Node& node) {
    std::lock_guard<std::mutex> command(commandMutex);
    const unsigned short key = node.getAddress();
    switch (classOf(node)) {
        case TABLE_W:
            whenTableFree(lockW, [&] { nowNodesW.erase(key); });
            break;
        case TABLE_R:
            whenTableFree(lockR, [&] { nowNodesR.erase(key); });
            break;
        case TABLE_RW:
            whenTableFree(lockRW, [&] { nowNodesRW.erase(key); });
            break;
        case TABLE_DR:
            whenTableFree(lockDR, [&] { delayedNodesR.erase(key); });
            break;
        case TABLE_NONE:
            break;
    }
}

void Planner::setNodeData(Node& node) {
    std::lock_guard<std::mutex> command(commandMutex);
    // The latency is not consulted: a W or RW node is written every pass.
    const unsigned char rw = node.getType().getReadWrite();
    if (rw != DeviceType::W && rw != DeviceType::RW) return;
    if (!node.fitsOnBus()) {
        say("Node " + std::to_string(node.getAddress()) + " has more than 255 bits of values, not filed");
        return;
    }
    const unsigned short key = node.getAddress();
    if (rw == DeviceType::W) {
        raiseUpdate(lockW, updateW);
        nowNodesW.insert_or_assign(key, node);
        updateW = false;
    } else {
        raiseUpdate(lockRW, updateRW);
        nowNodesRW.insert_or_assign(key, node);
        updateRW = false;
    }
}

// ---------------------------------------------------------------- bus cycle

void Planner::start() {
    {
        std::lock_guard<std::mutex> bus(busMutex);
        if (started || stopping) return;
        started = true;
        if (!directionSettings.needsOpenPort()) direction = Direction::open(directionSettings, -1);
    }
    if (uart.openUART(uartPort, 115200) == 1) {
        if (pDelegator != nullptr) pDelegator->logError(ERROR_UART);
        return;
    }
    if (directionSettings.needsOpenPort()) {
        std::lock_guard<std::mutex> bus(busMutex);
        direction = Direction::open(directionSettings, uart.descriptor());
    }
    portOpen = true;
    std::lock_guard<std::mutex> guard(joinMutex);
    busThread = std::thread(&Planner::loop, this);
}

void Planner::stop() {
    {
        std::lock_guard<std::mutex> guard(stopMutex);
        stopping = true;
    }
    stopWake.notify_all();
    {
        std::lock_guard<std::mutex> bus(busMutex);
        if (direction) direction->driverOff();
    }
    // The bus thread leaves its loop at its next turn; waiting for it here
    // means a stopped gateway has no thread left that could touch the line.
    std::lock_guard<std::mutex> guard(joinMutex);
    if (busThread.joinable() && busThread.get_id() != std::this_thread::get_id()) busThread.join();
}

void Planner::setPin(const char* level) {
    if (level[0] == '1') {
        direction->driverOn();
    } else {
        direction->driverOff();
    }
}

void Planner::loop() {
    while (!stopping) {
        bool makeOne = false;
        {
            std::lock_guard<std::mutex> guard(flagMutex);
            checkAddressTimeout();
            if (!halted) {
                confirmed = false;
                makeOne = true;
            }
        }
        if (makeOne) {
            makePass();
            confirmed = true;
            ++steps;
        }
        usleep(1000);
    }
}

void Planner::makePass() {
    ++pass;
    if (enterTable(lockR, nullptr)) {
        requestGetNodes(nowNodesR);
        lockR = false;
    }
    usleep(1000);
    if (enterTable(lockW, &updateW)) {
        setNodes(nowNodesW);
        lockW = false;
    }
    if (enterTable(lockRW, &updateRW)) {
        setNodes(nowNodesRW);
        lockRW = false;
    }
    if (pass == 10 && enterTable(lockRW, &updateRW)) {
        requestGetNodes(nowNodesRW);
        lockRW = false;
    }
    if (pass == 50 && enterTable(lockDR, nullptr)) {
        meassureNodes(delayedNodesR);
        lockDR = false;
    }
    if (pass == 100 && enterTable(lockDR, nullptr)) {
        requestGetNodes(delayedNodesR);
        lockDR = false;
        pass = 0;
    }
}

void Planner::requestGetNodes(nodeMap& nodes) {
    for (auto& entry : nodes) {
        Node node = entry.second;
        int change;
        {
            std::lock_guard<std::mutex> bus(busMutex);
            if (stopping) return;
            setPin("1");
            usleep(5);
            n = message.makeRequest(txbuf, node);
            uart.sendBuf(txbuf, n);
            setPin("0");
            const int rxpos = fetchData(node, node.getDataLength() + 8);
            change = message.get(rxbuf, node, rxpos);
        }
        if (change == 1 && pDelegator != nullptr) pDelegator->updateNodeData(node);
        if (change == -1) applyErrorRule(node);
        entry.second = node;
    }
}

void Planner::applyErrorRule(Node& node) {
    std::uint32_t now;
    {
        std::lock_guard<std::mutex> guard(clockMutex);
        now = static_cast<std::uint32_t>(clock());
    }
    const std::uint32_t last = static_cast<std::uint32_t>(node.getErrorTime());
    if (static_cast<std::uint32_t>(now - last) <= 9999u && pDelegator != nullptr) {
        pDelegator->logError(ERROR_PACKET_NONSENSE, node.getAddress());
    }
    node.setErrorTime(now);
}

void Planner::setNodes(nodeMap& nodes) {
    std::lock_guard<std::mutex> bus(busMutex);
    if (stopping) return;
    setPin("1");
    usleep(1000);
    for (auto& entry : nodes) {
        n = message.makeSet(txbuf, entry.second);
        uart.sendBuf(txbuf, n);
        usleep(500);
    }
    setPin("0");
    usleep(1000);
}

void Planner::meassureNodes(nodeMap& nodes) {
    std::lock_guard<std::mutex> bus(busMutex);
    if (stopping) return;
    setPin("1");
    usleep(1000);
    for (auto& entry : nodes) {
        say("Merime " + std::to_string(entry.second.getAddress()) + "X");
        n = message.makeMeassure(txbuf, entry.second);
        uart.sendBuf(txbuf, n);
        usleep(500);
    }
    setPin("0");
    usleep(1000);
}

int Planner::fetchData(Node& node, int length) {
    int rxpos = 0;
    int delta = 0;
    bool start = false;
    bool end = false;
    while (rxpos < length && delta < FETCH_READS) {
        // Never ask for more than rxbuf still holds: an over-long answer is
        // cut here and the rest is flushed below.
        const int room = BUF_SIZE - rxpos < READ_CHUNK ? BUF_SIZE - rxpos : READ_CHUNK;
        if (room <= 0) break;
        usleep(1000);
        n = uart.pollComport(rxbufpart, room);
        for (int i = 0; i < n; ++i) {
            const unsigned char byte = rxbufpart[i];
            rxbuf[rxpos++] = byte;
            if (byte == Message::START) start = true;
            if (byte == Message::END) end = true;
        }
        ++delta;
    }
    uart.flush();
    const std::string nodeAddress = std::to_string(node.getAddress());
    if (!start || !end) say("-------------");
    if (!start) say("Missing start from node address " + nodeAddress);
    if (rxpos < length) say("Received " + std::to_string(rxpos) + " bytes instead of " + std::to_string(length));
    if (!end) say("Missing end from node address " + nodeAddress);
    if (!start || !end) say("-------------");
    return rxpos;
}

// Called by the bus thread with flagMutex held.
void Planner::checkAddressTimeout() {
    if (!awaitingAddresses || !halted) return;
    if (std::chrono::steady_clock::now() - reportedAt < addressTimeout) return;
    awaitingAddresses = false;
    halted = false;
    say("Adresy pro nove nody neprisly do " + std::to_string(addressTimeout.count()) +
        " ms, sbernice pokracuje");
}

// ---------------------------------------------------------------- discovery

bool Planner::takeBus() {
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(flagMutex);
            // From here on the NEW_ADDRESSES time-out cannot hand the bus back.
            awaitingAddresses = false;
            if (halted) return true;
            if (confirmed) halted = true;
        }
        if (stopping) return false;
        usleep(100);
    }
}

void Planner::releaseBus() {
    std::lock_guard<std::mutex> guard(flagMutex);
    awaitingAddresses = false;
    halted = false;
}

bool Planner::pauseUnlessStopped(std::chrono::microseconds duration) {
    std::unique_lock<std::mutex> guard(stopMutex);
    return !stopWake.wait_for(guard, duration, [this] { return stopping.load(); });
}

void Planner::discoverNewNodes() {
    if (!portOpen) {
        // No bus thread will ever finish a pass: answer at once instead of waiting.
        say("Seriovy port neni otevreny, discovery neprobehne");
        if (pDelegator != nullptr) pDelegator->logError(ERROR_UART);
        return;
    }
    if (stopping || !takeBus()) return;
    newNodesMap.clear();
    {
        std::lock_guard<std::mutex> bus(busMutex);
        if (stopping) return;
        setPin("1");
        usleep(2000);
        n = message.makeDiscovery(txbuf);
        uart.sendBuf(txbuf, n);
        usleep(800);
        setPin("0");
    }
    int c = 0;
    long ignored = 0;
    for (int turn = 0; turn < WINDOW_TURNS; ++turn) {
        if (stopping) return;
        usleep(1000);
        n = uart.pollComport(rxbufpart, READ_CHUNK);
        if (n <= 0) continue;
        say(std::to_string(n));
        for (int i = 0; i < n; ++i) {
            if (c < WINDOW_SIZE) {
                window[static_cast<std::size_t>(c++)] = rxbufpart[i];
            } else {
                ++ignored;
            }
        }
    }
    if (ignored > 0) {
        say("Discovery okno plne (" + std::to_string(WINDOW_SIZE) + " B), ignorovano " + std::to_string(ignored) +
            " B");
    }
    if (c == 0) {
        if (pDelegator != nullptr) pDelegator->logError(ERROR_NO_NEW_NODES);
        releaseBus();
        return;
    }
    if (c >= 9) {
        message.discoveryResponse(window.data(), c, newNodesMap, types);
        if (!newNodesMap.empty()) {
            if (!pauseUnlessStopped(std::chrono::microseconds(10000))) return;
            if (pDelegator != nullptr) pDelegator->requestNewAddresses(newNodesMap);
            if (c % 9 == 0) {
                // The bus stays with us until the addresses come (or the time-out).
                std::lock_guard<std::mutex> guard(flagMutex);
                awaitingAddresses = true;
                reportedAt = std::chrono::steady_clock::now();
                return;
            }
        }
    }
    // A broken byte count, or bytes without a single valid reply: nothing to
    // address, so the cycle goes on.
    if (pDelegator != nullptr) pDelegator->logError(ERROR_PACKET_NONSENSE);
    releaseBus();
}

void Planner::addressNewNodes(nodeMap& newNodes) {
    if (!portOpen) {
        say("Seriovy port neni otevreny, adresace neprobehne");
        return;
    }
    if (stopping || !takeBus()) return;
    for (auto& entry : newNodes) {
        Node node = entry.second;
        for (int attempt = 1; attempt <= ADDRESS_ATTEMPTS; ++attempt) {
            int received;
            bool ok;
            {
                std::lock_guard<std::mutex> bus(busMutex);
                if (stopping) return;
                setPin("1");
                usleep(2000);
                n = message.makeDiscoveryAddress(txbuf, node);
                uart.sendBuf(txbuf, n);
                setPin("0");
                received = fetchData(node, 10);
                ok = message.discoveryCheck(rxbuf, received, node);
            }
            say("Adresace nodu " + std::to_string(attempt) + " " + std::to_string(node.getAddress()) + " random " +
                std::to_string(node.getRandom()) + " prijado " + std::to_string(received) +
                " parsovano: " + (ok ? "1" : "0"));
            if (ok) {
                {
                    std::lock_guard<std::mutex> bus(busMutex);
                    if (stopping) return;
                    setPin("1");
                    usleep(2000);
                    for (int i = 0; i < CONFIRMATIONS; ++i) {
                        n = message.makeDiscoveryCheckOk(txbuf, node);
                        uart.sendBuf(txbuf, n);
                        usleep(5000);
                    }
                    setPin("0");
                }
                addNode(node);
                if (pDelegator != nullptr) pDelegator->addNodeToMap(node);
                if (!pauseUnlessStopped(std::chrono::microseconds(100000))) return;
                break;
            }
            if (!pauseUnlessStopped(std::chrono::microseconds(10000))) return;
        }
    }
    releaseBus();
}
