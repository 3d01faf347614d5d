#include "Planner.h"
// Not built yet.
Planner::Planner(std::string u, std::string g, std::string r)
    : uartPort(std::move(u)), gpioNum(std::move(g)), gpioRoot(std::move(r)) {}
Planner::~Planner() = default;
void Planner::setDelegator(Delegator* d) { pDelegator = d; }
void Planner::setAddress(unsigned char a) { message.setAddress(a); }
void Planner::addType(DeviceType&) {}
void Planner::addNode(Node&) {}
void Planner::removeNode(Node&) {}
void Planner::setNodeData(Node&) {}
void Planner::start() {}
void Planner::discoverNewNodes() {}
void Planner::addressNewNodes(nodeMap&) {}
void Planner::stop() {}
void Planner::setClock(std::function<unsigned long()>) {}
void Planner::setAddressTimeout(std::chrono::milliseconds) {}
