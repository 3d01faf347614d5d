#ifndef PELKO_TEST_REFUSINGPORT_H
#define PELKO_TEST_REFUSINGPORT_H

// A port on 127.0.0.1 that refuses connections: bound, never listening, so
// no other test can take it meanwhile.
class RefusingPort {
public:
    RefusingPort();
    ~RefusingPort();
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

#endif
