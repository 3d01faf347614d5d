#ifndef PELKO_CONTROLCLIENT_H
#define PELKO_CONTROLCLIENT_H

#include <ostream>
#include <string>

// `pelko ctl`: sends one command to a running gateway's control socket and
// copies the answer to `out` until the gateway closes the connection (a
// trace: until it ends or the user presses Ctrl-C).
class ControlClient {
public:
    // The exit status: 0 answered, 1 the gateway refused the command (its
    // "error:" line) or could not be reached (one line on standard error).
    static int run(const std::string& socketPath, const std::string& command, std::ostream& out);
};

#endif
