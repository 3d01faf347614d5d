// pelko: home-automation gateway between a serial field bus and a server.
#include <SimpleIni.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "CommandLine.h"
#include "Console.h"
#include "Connector.h"
#include "Delegator.h"
#include "GPIO.h"
#include "Planner.h"
#include "ServiceNotifier.h"
#include "TCPSocket.h"

int main(int argc, char** argv) {
    const CommandLine command = CommandLine::parse(std::vector<std::string>(argv + 1, argv + argc));
    switch (command.action) {
        case CommandLine::Action::help: std::cout << CommandLine::help(); return 0;
        case CommandLine::Action::version: std::cout << CommandLine::version(); return 0;
        case CommandLine::Action::usageError:
            std::cerr << command.problem << "\n" << CommandLine::usage();
            return 2;
        case CommandLine::Action::run: break;
    }
    // pelko.conf is looked for in the working directory, not beside the executable.
    const std::string& confFile = command.configFile;
    const char* const unreadable =
        command.configGiven ? "cannot read the file; " : "cannot read the file in the working directory; ";

    // SIGTERM/SIGINT are taken by one thread of their own (below); every other
    // thread inherits the blocked mask, so a stop never lands mid-frame.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    CSimpleIniA conf(false, false, false);
    conf.SetUnicode(true);
    const bool loaded = conf.LoadFile(confFile.c_str()) >= 0;
    const char* ip = conf.GetValue("settings", "ip");
    const char* port = conf.GetValue("settings", "port");
    const char* uart = conf.GetValue("settings", "uart");
    const char* gpio = conf.GetValue("settings", "gpio");
    const char* gpioRoot = conf.GetValue("settings", "gpio_root", GPIO::DEFAULT_ROOT);

    // Every value goes on unchecked, so an incomplete configuration stops
    // here, before any network or bus access, naming all that is missing.
    if (!loaded || !ip || !port || !uart || !gpio) {
        std::string missing;
        const char* names[] = {"ip", "port", "uart", "gpio"};
        const char* values[] = {ip, port, uart, gpio};
        for (int i = 0; i < 4; ++i) {
            if (!values[i]) missing += std::string(missing.empty() ? "" : ", ") + names[i];
        }
        console::err(confFile + ": " + (loaded ? "" : unreadable) +
                     "missing keys in [settings]: " + missing);
        console::endProcess(1);
    }

    Connector con;
    Planner pln{std::string(uart), std::string(gpio), std::string(gpioRoot)};
    Delegator dlg;
    con.setDelegator(&dlg);
    pln.setDelegator(&dlg);
    dlg.setConnector(&con);
    dlg.setPlanner(&pln);

    // The service manager's view (nothing happens outside one): ready once
    // the bus master has started or said it could not, keep-alives while the
    // bus side moves. A bus that never started leaves nothing to watch but
    // the server link, and losing that ends the process anyway.
    std::atomic<bool> busFailed{false};
    std::atomic<std::uint64_t> progressAtStart{0};
    ServiceNotifier notifier([&pln] { return pln.progress(); },
                             [&pln, &busFailed, &progressAtStart] {
                                 return busFailed && pln.progress() == progressAtStart;
                             });
    dlg.setBusStartedHook([&pln, &busFailed, &progressAtStart, &notifier](bool running) {
        progressAtStart = pln.progress();
        busFailed = !running;
        notifier.ready();
    });

    std::thread([&pln, &notifier, stopSignals] {
        int sig = 0;
        sigwait(&stopSignals, &sig);
        notifier.stopping();
        pln.stop();
        console::endProcess(0);
    }).detach();

    TCPSocket socket(ip, std::atoi(port));
    int sNum = socket.init();
    if (sNum == 1) {
        con.setTCPSocket(TCPSocket(socket));
        con.start();
    }
    // Not a plain return: the stop thread above may still refer to pln, so the
    // objects must outlive the process.
    console::endProcess(0);
}
