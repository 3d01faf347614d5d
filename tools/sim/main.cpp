// pelko-sim: runs the real gateway against a simulated server and bus.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

#include "Benchmark.h"
#include "Scenario.h"
#include "Simulation.h"
#include "Trace.h"

namespace {
const char* kUsage =
    "usage: pelko-sim [--scenario FILE] [--gateway PATH-TO-pelko] [--quiet | --full] [--keep] [--direction none]\n"
    "                 [--tty-pair GATEWAY BUS [--unplug CMD --replug CMD]] [--pin-file PATH] [--set KEY=VALUE]...\n"
    "                 [--server-port N]\n"
    "       pelko-sim --bench [--quick] [--svg PATH] [--gateway PATH-TO-pelko] [--rt-priority N]\n"
    "  --scenario FILE  the run to play (default: " PELKO_SIM_DEFAULT_SCENARIO ")\n"
    "  --gateway PATH   the gateway binary (default: the pelko of this build)\n"
    "  --quiet          print only the summary\n"
    "  --full           print every line of the trace, repeats included\n"
    "  --keep           leave the gateway's working directory in place\n"
    "  --direction none the gateway drives no pin (a self-switching adapter); the pin is not checked\n"
    "  --tty-pair GATEWAY BUS  a real line: the gateway on tty GATEWAY, the bus on tty BUS (a null modem)\n"
    "  --unplug CMD, --replug CMD  on a real line, the shell commands that pull its adapter out and put it back\n"
    "  --pin-file PATH  read the direction pin's level from PATH (a real pin's value file)\n"
    "  --server-port N  the server listens on 127.0.0.1:N (default: a free port); with\n"
    "                   --set port=M the gateway reaches it through whatever listens on M\n"
    "  --set KEY=VALUE  a pelko.conf key over the bench's own (repeatable)\n"
    "  --bench          measure the bus pace, latencies, CPU and memory (--bench --help for more)\n"
    "Exit status: 0 every step passed, 1 a step failed, 2 bad arguments or scenario, 3 bench set-up failed.\n";

std::string defaultGateway() {
    // The pelko of the build this program belongs to; else one beside it.
    if (access(PELKO_SIM_GATEWAY, X_OK) == 0) return PELKO_SIM_GATEWAY;
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        self[n] = '\0';
        std::string dir(self);
        dir.resize(dir.rfind('/'));
        if (access((dir + "/pelko").c_str(), X_OK) == 0) return dir + "/pelko";
    }
    return PELKO_SIM_GATEWAY;
}
}  // namespace

int main(int argc, char** argv) {
    if (Benchmark::requested(argc, argv)) return Benchmark::main(argc, argv, defaultGateway());
    std::string scenarioFile = PELKO_SIM_DEFAULT_SCENARIO;
    std::string gateway = defaultGateway();
    Trace::Mode mode = Trace::Mode::Normal;
    bool keep = false;
    bool withoutPin = false;
    Simulation::Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if ((a == "--scenario" || a == "--gateway") && i + 1 < argc) {
            (a == "--scenario" ? scenarioFile : gateway) = argv[++i];
        } else if (a == "--quiet") {
            mode = Trace::Mode::Quiet;
        } else if (a == "--full") {
            mode = Trace::Mode::Full;
        } else if (a == "--keep") {
            keep = true;
        } else if (a == "--direction" && i + 1 < argc && std::string(argv[i + 1]) == "none") {
            withoutPin = true;
            ++i;
        } else if (a == "--tty-pair" && i + 2 < argc) {
            options.line.gatewayTty = argv[i + 1];
            options.line.busTty = argv[i + 2];
            i += 2;
        } else if (a == "--server-port" && i + 1 < argc) {
            options.serverPort = std::atoi(argv[++i]);
        } else if ((a == "--unplug" || a == "--replug") && i + 1 < argc) {
            (a == "--unplug" ? options.line.unplugCommand : options.line.replugCommand) = argv[++i];
        } else if (a == "--pin-file" && i + 1 < argc) {
            options.pinFile = argv[++i];
        } else if (a == "--set" && i + 1 < argc && std::string(argv[i + 1]).find('=') != std::string::npos) {
            const std::string kv = argv[++i];
            options.settings.emplace_back(kv.substr(0, kv.find('=')), kv.substr(kv.find('=') + 1));
        } else if (a == "--help" || a == "-h") {
            std::cout << kUsage;
            return 0;
        } else {
            std::cerr << "pelko-sim: unknown argument " << a << "\n" << kUsage;
            return 2;
        }
    }

    Scenario scenario;
    try {
        scenario = Scenario::load(scenarioFile);
    } catch (const std::exception& e) {
        std::cerr << "pelko-sim: " << e.what() << "\n";
        return 2;
    }

    // Ctrl-C and SIGTERM end the run in order (the gateway is stopped and the
    // summary printed); one thread takes them, every other keeps them blocked.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    Trace trace(std::cout, mode);
    int status = 3;
    try {
        options.gateway = gateway;
        options.keepDir = keep;
        options.withoutPin = withoutPin;
        Simulation sim(scenario, trace, options);
        std::thread signalThread([&sim, signals] {
            for (;;) {
                int sig = 0;
                sigwait(&signals, &sig);
                if (sig == SIGUSR1) return;  // the run is over
                sim.interrupt();
            }
        });
        status = sim.run();
        pthread_kill(signalThread.native_handle(), SIGUSR1);
        signalThread.join();
    } catch (const std::exception& e) {
        std::cerr << "pelko-sim: " << e.what() << "\n";
        return 3;
    }
    return status;
}
