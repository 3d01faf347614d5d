#ifndef PELKO_SIM_SIMULATION_H
#define PELKO_SIM_SIMULATION_H

#include <atomic>
#include <string>
#include <utility>
#include <vector>

#include "BusBench.h"
#include "Scenario.h"
#include "Trace.h"
#include "Verdict.h"

// One bench run: lays out the gateway's working directory, plays the server
// and the bus, runs the real gateway there, drives the scenario's commands,
// stops the gateway with SIGTERM at the end and prints the summary.
class Simulation {
public:
    struct Options {
        std::string gateway;  // path of the pelko binary
        bool keepDir = false; // leave the working directory for inspection
        bool withoutPin = false;  // pelko.conf says direction=none; no pin to check
        // On a real machine (the board lab): a tty pair joined as a null modem
        // instead of a pty, the pin's level read from this file instead of
        // the stand-in sysfs, and these pelko.conf keys over the bench's own.
        BusBench::RealLine line;
        std::string pinFile;
        std::vector<std::pair<std::string, std::string>> settings;
        // The server's port (0: a free one); with --set port= the gateway can
        // be sent through something in between, such as a TLS tunnel.
        int serverPort = 0;
    };

    Simulation(const Scenario& scenario, Trace& trace, Options options);

    // Runs the scenario to its end (once). Returns 0 when every step passed,
    // 1 when one failed, 3 when the bench itself could not be set up.
    int run();
    // Ends the run early (Ctrl-C); safe from any thread.
    void interrupt();

private:
    const Scenario& scenario_;
    Trace& trace_;
    Options options_;
    std::atomic<bool> interrupted_{false};
    Verdict verdict_;
};

#endif
