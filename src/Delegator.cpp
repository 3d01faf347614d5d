#include "Delegator.h"

#include "Connector.h"
#include "Planner.h"

void Delegator::setConnector(Connector* connector) { pConnector = connector; }
void Delegator::setPlanner(Planner* planner) { pPlanner = planner; }

void Delegator::setAddress(unsigned char value) {
    address = value;
    pPlanner->setAddress(value);
}
void Delegator::addType(DeviceType& type) { pPlanner->addType(type); }
void Delegator::addNode(Node& node) { pPlanner->addNode(node); }
void Delegator::startPlanners() { pPlanner->start(); }
void Delegator::setNodeData(Node& node) { pPlanner->setNodeData(node); }
void Delegator::removeNode(Node& node) { pPlanner->removeNode(node); }
void Delegator::discoverNewNodes() { pPlanner->discoverNewNodes(); }
void Delegator::addressNewNodes(nodeMap& newNodes) { pPlanner->addressNewNodes(newNodes); }

void Delegator::updateNodeData(Node& node) { pConnector->updateNodeData(node); }
void Delegator::logError(unsigned char error) { pConnector->logError(error); }
void Delegator::logError(unsigned char error, unsigned short nodeAddress) {
    pConnector->logError(error, nodeAddress);
}
void Delegator::requestNewAddresses(nodeMap& found) { pConnector->requestNewAddresses(found); }
void Delegator::addNodeToMap(Node& node) { pConnector->addNodeToMap(node); }
