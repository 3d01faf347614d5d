#ifndef PELKO_TEST_REFUSINGPORT_H
#define PELKO_TEST_REFUSINGPORT_H

#include "LoopbackServer.h"

// A loopback port that refuses every connection.
class RefusingPort : public LoopbackServer {
public:
    RefusingPort() : LoopbackServer(false) {}
};

#endif
