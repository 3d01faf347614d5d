#ifndef PELKO_NODE_H
#define PELKO_NODE_H

#include <memory>
#include <unordered_map>

#include "DeviceType.h"
#include "ValueTable.h"

// One node on the field bus. Copies are cheap and share the value table:
// the server link's registry, the bus master's tables and every temporary
// copy see the same values. The table is released with the last copy.
class Node {
public:
    Node() = default;
    virtual ~Node() = default;
    Node(const Node&) = default;  // a copy shares the value table
    Node& operator=(const Node&) = default;

    unsigned short getAddress() const;
    void setAddress(unsigned short address);
    unsigned int getChannelCount() const;
    void setChannelCount(int channelCount);
    unsigned short getRandom() const;
    void setRandom(unsigned short random);
    DeviceType getType() const;
    void setType(DeviceType type);
    bool isWired() const;
    void setWired(bool wired);
    bool isChange() const;
    void setChange(bool change);
    unsigned long getErrorTime();
    void setErrorTime(unsigned long errorTime);

    // Payload length in whole bytes, as set by makeData.
    unsigned char getDataLength();

    // Row pointers of the value table (nullptr before makeData).
    unsigned int** getData() const;
    // The shared table itself (empty before makeData), for whole-table access.
    std::shared_ptr<ValueTable> getTable() const;

    // Gives this record a new zero-filled table of channelCount rows of the
    // type's dataCount values and sets the payload lengths. Earlier copies
    // keep their old table. Set channelCount and type first.
    void makeData();

    // True when channelCount x dataCount x dataRange fits the 255 bits a bus
    // frame can carry (and channelCount is not negative). Nodes that do not
    // fit must not be filed: their lengths would wrap.
    bool fitsOnBus() const;
    static bool fitsOnBus(long long channelCount, const DeviceType& type);

private:
    DeviceType type;
    int channelCount = 0;
    unsigned short random = 0;
    unsigned short address = 0;
    unsigned char byteLength = 0;
    unsigned char bitLength = 0;
    bool wired = false;
    bool change = false;
    unsigned long errorTime = 0;
    std::shared_ptr<ValueTable> data;
};

// Nodes by 16-bit key: the address, or the random number for nodes found by
// discovery. Entries are only ever added with insert/emplace (never replace).
typedef std::unordered_map<unsigned short, Node> nodeMap;
// Device types by type code. operator[] adds a default type for an absent code.
typedef std::unordered_map<int, DeviceType> typeMap;

#endif
