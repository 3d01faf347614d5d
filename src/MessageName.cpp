#include "MessageName.h"

const char* messageName(unsigned int code) {
    switch (code) {
    case 1: return "REQUEST_SUB_ADDRESS";
    case 2: return "RESPONSE_SUB_ADDRESS";
    case 3: return "NEW_NODES_FOUND";
    case 4: return "NEW_ADDRESSES";
    case 5: return "DATA_GET";
    case 6: return "DATA_SET";
    case 7: return "ERROR";
    case 8: return "REQUEST_NODE_LIST";
    case 9: return "RESPONSE_NODE_LIST";
    case 10: return "REGISTER_NEW_TYPE";
    case 11: return "NODE_REMOVED";
    case 12: return "REQUEST_TYPE_LIST";
    case 13: return "RESPONSE_TYPE_LIST";
    case 15: return "DISCOVER_NEW_NODES";
    case 16: return "PING_REQUEST";
    case 17: return "PING_RESPONSE";
    default: return "message";
    }
}
