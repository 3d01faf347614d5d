// pelko: home-automation gateway between a serial field bus and a server.
#include <SimpleIni.h>
#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "CommandLine.h"
#include "Console.h"
#include "Connector.h"
#include "ControlClient.h"
#include "ControlServer.h"
#include "Delegator.h"
#include "Direction.h"
#include "GPIO.h"
#include "GPIOChip.h"
#include "GatewayView.h"
#include "MetricsWriter.h"
#include "PeriodicTask.h"
#include "Planner.h"
#include "ServiceNotifier.h"
#include "StatusText.h"
#include "TCPSocket.h"

namespace {

// pelko.conf in the working directory, or the file the command line names.
std::string confFile = "pelko.conf";

// A key of [settings] with a value it cannot take: one line, status 1,
// before the gateway touches the network or the bus.
[[noreturn]] void wrongValue(const std::string& key, const std::string& value, const std::string& allowed) {
    console::err(confFile + ": " + key + "=" + value + " in [settings]: allowed values are " + allowed);
    console::endProcess(1);
}

bool isNumber(const std::string& text) {
    return !text.empty() && text.size() < 10 &&
           text.find_first_not_of("0123456789") == std::string::npos;
}

// A whole number of milliseconds the kernel takes as an RTS delay (it
// caps them at 100 ms).
unsigned int delayMs(const CSimpleIniA& conf, const char* key) {
    const std::string value = conf.GetValue("settings", key, "0");
    if (!isNumber(value) || std::stoul(value) > 100) wrongValue(key, value, "0 to 100 (milliseconds)");
    return static_cast<unsigned int>(std::stoul(value));
}

// The line driver's keys: `direction` and what that mode reads. `gpio` is
// checked once it is known to be there (checkGpioLine).
DirectionSettings directionSettings(const CSimpleIniA& conf) {
    DirectionSettings settings;
    const std::string mode = conf.GetValue("settings", "direction", "sysfs");
    if (mode == "gpiochip") {
        settings.mode = DirectionSettings::Mode::gpiochip;
    } else if (mode == "rs485") {
        settings.mode = DirectionSettings::Mode::rs485;
    } else if (mode == "none") {
        settings.mode = DirectionSettings::Mode::none;
    } else if (mode != "sysfs") {
        wrongValue("direction", mode, "sysfs, gpiochip, rs485, none");
    }
    settings.gpio = conf.GetValue("settings", "gpio", "");
    settings.gpioRoot = conf.GetValue("settings", "gpio_root", GPIO::DEFAULT_ROOT);
    const char* chip = conf.GetValue("settings", "gpio_chip");
    if (chip && !*chip) wrongValue("gpio_chip", "", "a device path such as /dev/gpiochip0, or a chip label");
    settings.gpioChip = chip ? chip : "";
    settings.rtsDelayBeforeMs = delayMs(conf, "rs485_delay_before");
    settings.rtsDelayAfterMs = delayMs(conf, "rs485_delay_after");
    const std::string activeLow = conf.GetValue("settings", "rs485_rts_active_low", "0");
    if (activeLow != "0" && activeLow != "1") wrongValue("rs485_rts_active_low", activeLow, "0, 1");
    settings.rtsActiveLow = activeLow == "1";
    return settings;
}

// pelko ctl: the socket named on the command line, or the configuration's
// control_socket (the named file, else pelko.conf in the working directory,
// else the service's /etc/pelko/pelko.conf).
int control(const CommandLine& command) {
    std::string socketPath = command.controlSocket;
    if (socketPath.empty()) {
        std::string file = command.configFile;
        if (!command.configGiven && access(file.c_str(), R_OK) != 0) file = "/etc/pelko/pelko.conf";
        CSimpleIniA conf(false, false, false);
        if (conf.LoadFile(file.c_str()) < 0) {
            console::err("pelko ctl: cannot read " + file + "; name the socket with --socket PATH");
            return 1;
        }
        socketPath = conf.GetValue("settings", "control_socket", "");
        if (socketPath.empty()) {
            console::err("pelko ctl: " + file + " sets no control_socket; name the socket with --socket PATH");
            return 1;
        }
    }
    return ControlClient::run(socketPath, command.controlCommand, std::cout);
}

// An optional whole number of [settings]; `absent` when the key is not there.
unsigned int wholeNumber(const CSimpleIniA& conf, const char* key, unsigned int low, unsigned int high,
                         unsigned int absent, const char* unit) {
    const char* text = conf.GetValue("settings", key);
    if (text == nullptr) return absent;
    const std::string value = text;
    if (!isNumber(value) || std::stoul(value) < low || std::stoul(value) > high) {
        wrongValue(key, value, std::to_string(low) + " to " + std::to_string(high) + " (" + unit + ")");
    }
    return static_cast<unsigned int>(std::stoul(value));
}

// The character device's line: an offset needs its chip, a name can be
// searched for on every chip. The sysfs pin number goes on as it stands.
void checkGpioLine(const DirectionSettings& settings) {
    if (settings.mode != DirectionSettings::Mode::gpiochip) return;
    const char* allowed = "a line offset on gpio_chip (0, 1, ...) or a line name such as GPIO7";
    if (settings.gpio.empty()) wrongValue("gpio", settings.gpio, allowed);
    if (isNumber(settings.gpio) && settings.gpioChip.empty()) {
        wrongValue("gpio", settings.gpio, std::string(allowed) + " (an offset needs gpio_chip)");
    }
}

// --print-gpio-chip: the chip the gateway would take, looked up as it looks
// it up, so that the service's root helper can grant that one device alone.
[[noreturn]] void printGpioChip(const DirectionSettings& settings, const std::string& line) {
    if (settings.mode != DirectionSettings::Mode::gpiochip) {
        console::err(confFile + ": direction is not gpiochip in [settings]: no GPIO chip to print");
        console::endProcess(1);
    }
    const GPIOChip::Location found = GPIOChip::locate(settings.gpioChip, line);
    std::cout << found.path << "\n" << found.offset << "\n";
    console::endProcess(0);
}

}  // namespace

int main(int argc, char** argv) {
    const CommandLine command = CommandLine::parse(std::vector<std::string>(argv + 1, argv + argc));
    switch (command.action) {
        case CommandLine::Action::help: std::cout << CommandLine::help(); return 0;
        case CommandLine::Action::version: std::cout << CommandLine::version(); return 0;
        case CommandLine::Action::usageError:
            std::cerr << command.problem << "\n" << CommandLine::usage();
            return 2;
        case CommandLine::Action::control: return control(command);
        case CommandLine::Action::run:
        case CommandLine::Action::printGpioChip: break;
    }
    // pelko.conf is looked for in the working directory, not beside the executable.
    confFile = command.configFile;
    const char* const unreadable =
        command.configGiven ? "cannot read the file; " : "cannot read the file in the working directory; ";

    // SIGTERM/SIGINT are taken by one thread of their own (below); every other
    // thread inherits the blocked mask, so a stop never lands mid-frame.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGUSR1);  // node health, taken by the same thread
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    CSimpleIniA conf(false, false, false);
    conf.SetUnicode(true);
    const bool loaded = conf.LoadFile(confFile.c_str()) >= 0;
    const char* ip = conf.GetValue("settings", "ip");
    const char* port = conf.GetValue("settings", "port");
    const char* uart = conf.GetValue("settings", "uart");
    const char* gpio = conf.GetValue("settings", "gpio");
    const DirectionSettings direction = directionSettings(conf);
    // Only a pin of the gateway's own needs a number or name.
    const bool needsGpio = direction.mode == DirectionSettings::Mode::sysfs ||
                           direction.mode == DirectionSettings::Mode::gpiochip;

    // Every value goes on unchecked, so an incomplete configuration stops
    // here, before any network or bus access, naming all that is missing.
    if (!loaded || !ip || !port || !uart || (needsGpio && !gpio)) {
        std::string missing;
        const char* names[] = {"ip", "port", "uart", "gpio"};
        const char* values[] = {ip, port, uart, needsGpio ? gpio : ""};
        for (int i = 0; i < 4; ++i) {
            if (!values[i]) missing += std::string(missing.empty() ? "" : ", ") + names[i];
        }
        console::err(confFile + ": " + (loaded ? "" : unreadable) +
                     "missing keys in [settings]: " + missing);
        console::endProcess(1);
    }
    checkGpioLine(direction);
    const unsigned int realtimePriority = wholeNumber(conf, "rt_priority", 1, 99, 0, "SCHED_FIFO priority");
    const unsigned int statsInterval = wholeNumber(conf, "stats_interval", 1, 86400, 0, "seconds");
    const unsigned int foldRepeats = wholeNumber(conf, "fold_repeats", 0, 86400, 0, "seconds");
    const unsigned int metricsInterval = wholeNumber(conf, "metrics_interval", 1, 86400, 15, "seconds");
    const char* metricsFile = conf.GetValue("settings", "metrics_file");
    if (metricsFile && !*metricsFile) wrongValue("metrics_file", "", "a file path, such as /var/lib/prometheus/node-exporter/pelko.prom");
    if (command.action == CommandLine::Action::printGpioChip) printGpioChip(direction, gpio ? gpio : "");
    // With rt_priority the bus thread locks the memory (mlockall), counted
    // by the whole mapped size, against the unit's LimitMEMLOCK. On 64-bit
    // glibc each thread may map a malloc arena of 64 MiB of its own; with one
    // arena for all (set before any thread starts) the gateway maps about
    // 75 MiB instead of 200.
    if (realtimePriority > 0) mallopt(M_ARENA_MAX, 1);

    Connector con;
    DirectionSettings driver = direction;
    driver.gpio = gpio ? gpio : "";
    driver.serialDevice = uart;
    Planner pln{std::string(uart), driver};
    pln.setRealtimePriority(static_cast<int>(realtimePriority));
    pln.setFoldRepeats(std::chrono::seconds(foldRepeats));
    Delegator dlg;
    // What the operator's tools see; unused without them, at the cost of a
    // few counters.
    GatewayView view;
    pln.setView(&view);
    con.setView(&view);
    dlg.setView(&view);
    con.setDelegator(&dlg);
    pln.setDelegator(&dlg);
    dlg.setConnector(&con);
    dlg.setPlanner(&pln);

    // The service manager's view (nothing happens outside one): ready once
    // the bus master has started or said it could not, keep-alives while the
    // bus side moves. A bus that never started leaves nothing to watch but
    // the server link, and losing that ends the process anyway. Nor is the
    // gateway hung while it waits for a stalled server to take a message (a
    // search's report, with the bus halted): the stall limit ends that wait.
    std::atomic<bool> busFailed{false};
    std::atomic<std::uint64_t> progressAtStart{0};
    ServiceNotifier notifier([&pln] { return pln.progress(); },
                             [&pln, &con, &busFailed, &progressAtStart] {
                                 return (busFailed && pln.progress() == progressAtStart) || con.waitingForRoom();
                             });
    dlg.setBusStartedHook([&pln, &busFailed, &progressAtStart, &notifier](bool running) {
        progressAtStart = pln.progress();
        busFailed = !running;
        notifier.ready();
    });

    // The bus at a glance in `systemctl status`, every few seconds.
    std::unique_ptr<PeriodicTask> statusLine;
    if (std::getenv("NOTIFY_SOCKET") != nullptr) {
        statusLine = std::make_unique<PeriodicTask>(std::chrono::seconds(5), [&view, &notifier] {
            notifier.status(StatusText::summary(view.snapshot()));
        });
    }

    // Health lines on SIGUSR1 and every stats_interval seconds; SIGTERM and
    // SIGINT stop the gateway.
    std::thread([&pln, &notifier, stopSignals, statsInterval] {
        for (;;) {
            int sig = 0;
            if (statsInterval == 0) {
                sigwait(&stopSignals, &sig);
            } else {
                const timespec interval{static_cast<time_t>(statsInterval), 0};
                sig = sigtimedwait(&stopSignals, nullptr, &interval);
            }
            if (sig == SIGTERM || sig == SIGINT) break;
            if (sig == SIGUSR1 || (sig < 0 && errno == EAGAIN)) pln.printHealth();
        }
        notifier.stopping();
        pln.stop();
        console::endProcess(0);
    }).detach();

    // The control socket serves while the gateway runs; it lives as long as
    // the process (ended without unwinding).
    const std::string controlPath = conf.GetValue("settings", "control_socket", "");
    std::unique_ptr<ControlServer> controlServer;
    if (!controlPath.empty()) {
        controlServer = std::make_unique<ControlServer>(view, controlPath);
        controlServer->start();
    }

    // Metrics for Prometheus, labelled with the configuration's name (pelko,
    // or the instance of pelko@).
    std::unique_ptr<PeriodicTask> metrics;
    if (metricsFile) {
        std::string bus = confFile.substr(confFile.find_last_of('/') + 1);
        if (bus.size() > 5 && bus.compare(bus.size() - 5, 5, ".conf") == 0) bus.resize(bus.size() - 5);
        metrics = std::make_unique<PeriodicTask>(
            std::chrono::seconds(metricsInterval),
            [&view, writer = std::make_shared<MetricsWriter>(metricsFile, bus)] { writer->write(view.snapshot()); });
    }

    TCPSocket socket(ip, std::atoi(port));
    int sNum = socket.init();
    if (sNum == 1) {
        view.serverUp();
        con.setTCPSocket(TCPSocket(socket));
        con.start();
    }
    // Not a plain return: the stop thread above may still refer to pln, so the
    // objects must outlive the process.
    console::endProcess(0);
}
