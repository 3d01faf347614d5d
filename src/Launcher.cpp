// pelko: home-automation gateway between a serial field bus and a server.
#include <SimpleIni.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

#include "Console.h"
#include "Connector.h"
#include "Delegator.h"
#include "GPIO.h"
#include "Planner.h"
#include "TCPSocket.h"

// Looked for in the working directory, not beside the executable.
const std::string confFile = "pelko.conf";

int main() {
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
        console::err(confFile + ": " + (loaded ? "" : "cannot read the file in the working directory; ") +
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

    std::thread([&pln, stopSignals] {
        int sig = 0;
        sigwait(&stopSignals, &sig);
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
