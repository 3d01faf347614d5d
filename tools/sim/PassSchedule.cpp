#include "PassSchedule.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "BusTiming.h"
#include "Message.h"
#include "Node.h"

namespace passschedule {

namespace {

// A node of one channel holding one value of `bits` bits.
Node oneValueNode(unsigned int bits, unsigned char readWrite) {
    DeviceType type;
    type.setType(1);
    type.setDataRange(static_cast<unsigned char>(bits));
    type.setDataCount(1);
    type.setReadWrite(readWrite);
    Node node;
    node.setType(type);
    node.setChannelCount(1);
    node.setAddress(1);
    node.makeData();
    return node;
}

double us(bustiming::us d) { return static_cast<double>(d.count()); }

class Builder {
public:
    void add(Segment::Kind kind, std::string name, double length) {
        segments.push_back({kind, std::move(name), group, at, length});
        at += length;
    }
    std::vector<Segment> segments;
    std::string group;

private:
    double at = 0;
};

std::string bytesOf(const char* what, int bytes) { return std::string(what) + " " + std::to_string(bytes) + " B"; }

}  // namespace

int requestBytes() {
    Message message;
    unsigned char frame[128];
    return message.makeRequest(frame, oneValueNode(8, DeviceType::R));
}

int replyBytes(unsigned int valueBits) {
    // What the gateway waits for: the payload and eight bytes of frame around it.
    return oneValueNode(valueBits, DeviceType::R).getDataLength() + 8;
}

int setBytes(unsigned int valueBits) {
    Message message;
    unsigned char frame[128];
    return message.makeSet(frame, oneValueNode(valueBits, DeviceType::W));
}

std::vector<Segment> minimumPass(const Layout& layout) {
    using K = Segment::Kind;
    Builder pass;
    const double step = us(bustiming::receiveStep);
    for (int i = 0; i < layout.readNodes; ++i) {
        pass.group = "read node " + std::to_string(i + 1);
        const double reply = replyBytes(layout.readBits) * byteUs;
        const double looks = std::max(1.0, std::ceil((layout.turnaroundUs + reply) / step));
        pass.add(K::Delay, "requestLead", us(bustiming::requestLead));
        pass.add(K::Wire, bytesOf("request", requestBytes()), requestBytes() * byteUs);
        pass.add(K::Turnaround, "turnaround", layout.turnaroundUs);
        pass.add(K::Wire, bytesOf("reply", replyBytes(layout.readBits)), reply);
        pass.add(K::Polling, "receiveStep x" + std::to_string(static_cast<int>(looks)),
                 looks * step - layout.turnaroundUs - reply);
    }
    pass.group = "";
    pass.add(K::Delay, "afterReadTable", us(bustiming::afterReadTable));
    pass.group = "write table";
    pass.add(K::Delay, "setBurst.lead", us(bustiming::setBurst.lead));
    for (unsigned int bits : layout.writeBits) {
        pass.add(K::Wire, bytesOf("set", setBytes(bits)), setBytes(bits) * byteUs);
        pass.add(K::Delay, "setBurst.gap", us(bustiming::setBurst.gap));
    }
    pass.add(K::Delay, "setBurst.trail", us(bustiming::setBurst.trail));
    // The read-write table gets its burst even when it is empty.
    pass.group = "read-write table (empty)";
    pass.add(K::Delay, "setBurst.lead", us(bustiming::setBurst.lead));
    pass.add(K::Delay, "setBurst.trail", us(bustiming::setBurst.trail));
    pass.group = "";
    pass.add(K::Delay, "betweenPasses", us(bustiming::betweenPasses));
    return pass.segments;
}

double lengthUs(const std::vector<Segment>& pass) {
    return pass.empty() ? 0 : pass.back().startUs + pass.back().us;
}

}  // namespace passschedule
