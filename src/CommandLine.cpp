#include "CommandLine.h"

#ifndef PELKO_VERSION
#error "PELKO_VERSION comes from the CMake project version"
#endif

namespace {

bool wholeNumber(const std::string& text, unsigned long low, unsigned long high) {
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    const unsigned long value = std::stoul(text);
    return value >= low && value <= high;
}

}  // namespace

// pelko ctl [--config FILE | --socket PATH] COMMAND...: checked here as the
// gateway checks it, so that a typing error is told without a round trip.
CommandLine CommandLine::parseControl(const std::vector<std::string>& args) {
    CommandLine result;
    result.action = Action::control;
    auto refuse = [&result](const std::string& problem) {
        result.action = Action::usageError;
        result.problem = "pelko ctl: " + problem;
        return result;
    };
    std::size_t i = 1;
    for (; i < args.size() && !args[i].empty() && args[i][0] == '-'; ++i) {
        const std::string& arg = args[i];
        if (i + 1 >= args.size()) return refuse("option '" + arg + "' needs a value");
        if (arg == "--config" || arg == "-c") {
            result.configFile = args[++i];
            result.configGiven = true;
        } else if (arg == "--socket") {
            result.controlSocket = args[++i];
            if (result.controlSocket.empty()) return refuse("option '--socket' needs a path");
        } else {
            return refuse("unknown option '" + arg + "'");
        }
    }
    if (i >= args.size()) return refuse("which command? status, nodes or trace");
    const std::string& command = args[i];
    std::string line = command;
    if (command == "status" && i + 1 == args.size()) {
        result.controlCommand = line;
        return result;
    }
    if (command == "nodes" && (i + 1 == args.size() || (i + 2 == args.size() && args[i + 1] == "--json"))) {
        result.controlCommand = i + 1 == args.size() ? line : line + " --json";
        return result;
    }
    if (command != "trace") return refuse("unknown command or argument in '" + command + " ...'");
    for (++i; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--server") {
            line += " --server";
        } else if (arg == "--node" && i + 1 < args.size() && wholeNumber(args[i + 1], 0, 65535)) {
            line += " --node " + args[++i];
        } else if (arg == "--seconds" && i + 1 < args.size() && wholeNumber(args[i + 1], 1, 86400)) {
            line += " --seconds " + args[++i];
        } else {
            return refuse("trace takes --node N (0 to 65535), --server and --seconds S (1 to 86400), not '" + arg + "'");
        }
    }
    result.controlCommand = line;
    return result;
}

CommandLine CommandLine::parse(const std::vector<std::string>& args) {
    if (!args.empty() && args[0] == "ctl") return parseControl(args);
    CommandLine result;
    auto refuse = [&result](const std::string& problem) {
        result.action = Action::usageError;
        result.problem = problem;
        return result;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            result.action = Action::help;
            return result;
        }
        if (arg == "--version" || arg == "-V") {
            result.action = Action::version;
            return result;
        }
        if (arg == "--print-gpio-chip") {
            result.action = Action::printGpioChip;
            continue;
        }
        std::string file;
        if (arg == "--config" || arg == "-c") {
            if (i + 1 >= args.size()) return refuse("pelko: option '" + arg + "' needs a file name");
            file = args[++i];
        } else if (arg.rfind("--config=", 0) == 0) {
            file = arg.substr(9);
        } else if (!arg.empty() && arg[0] == '-') {
            return refuse("pelko: unknown option '" + arg + "'");
        } else {
            return refuse("pelko: unexpected argument '" + arg + "'");
        }
        if (file.empty()) return refuse("pelko: option '--config' needs a file name");
        result.configFile = file;
        result.configGiven = true;
    }
    return result;
}

std::string CommandLine::usage() {
    return "usage: pelko [--config FILE] [--print-gpio-chip] | --help | --version\n"
           "       pelko ctl [--config FILE | --socket PATH] status | nodes [--json] |\n"
           "                 trace [--node N]... [--server] [--seconds S]\n";
}

std::string CommandLine::version() { return "pelko " PELKO_VERSION "\n"; }

std::string CommandLine::help() {
    return usage() +
           "\n"
           "Home-automation gateway: masters a serial field bus and keeps one\n"
           "connection to its server.\n"
           "\n"
           "  -c, --config FILE  read FILE instead of pelko.conf in the working directory\n"
           "  --print-gpio-chip  direction=gpiochip: print the device path of the chip\n"
           "                     that holds the configured line and the line's offset\n"
           "                     (one a line), found as the gateway finds it, and exit;\n"
           "                     no such chip, or two: the gateway's line, status 1\n"
           "  -h, --help         print this text and exit\n"
           "  -V, --version      print the version and exit\n"
           "\n"
           "pelko ctl asks the running gateway over its control socket (the path in\n"
           "--socket, else control_socket of the configuration):\n"
           "  status             server link, bus and nodes by state\n"
           "  nodes [--json]     one line per node: type, kind, state, values, counters\n"
           "  trace [--node N]... [--server] [--seconds S]\n"
           "                     decoded bus frames (and server messages) as they pass,\n"
           "                     for S seconds (default 60) or until Ctrl-C\n"
           "\n"
           "Without --config the configuration is pelko.conf in the working directory\n"
           "(the service runs in /etc/pelko). Its keys, all in [settings]:\n"
           "  ip                    server host name or address (required)\n"
           "  port                  server TCP port (required)\n"
           "  uart                  serial device of the bus, 115200 bit/s 8N1 (required)\n"
           "  gpio                  direction pin: sysfs number, or gpiochip line offset or\n"
           "                        name (required unless direction is rs485 or none)\n"
           "  gpio_root             where the sysfs GPIO class lives (default /sys/class/gpio)\n"
           "  direction             how the line driver is switched: sysfs, gpiochip, rs485\n"
           "                        or none (default sysfs)\n"
           "  gpio_chip             gpiochip: device path or chip label (default: any chip)\n"
           "  rs485_delay_before    rs485: ms the driver is on before the first bit\n"
           "  rs485_delay_after     rs485: ms the driver stays on after the last bit\n"
           "  rs485_rts_active_low  rs485: 1 when the driver is on while RTS is low\n"
           "  rt_priority           1-99: real-time priority of the bus thread\n"
           "                        (absent: normal scheduling)\n"
           "  stats_interval        seconds between node health reports\n"
           "                        (absent: only on SIGUSR1)\n"
           "  fold_repeats          seconds: a node's repeated diagnostic line is counted\n"
           "                        instead of printed\n"
           "  control_socket        path of the control socket for pelko ctl\n"
           "                        (absent or empty: none)\n"
           "  metrics_file          path of a file the metrics are written to in the\n"
           "                        Prometheus text format (absent: none)\n"
           "  metrics_interval      seconds between two writes of metrics_file (default 15)\n"
           "\n"
           "Signals: SIGTERM or SIGINT stop in order (exit status 0); SIGUSR1 prints\n"
           "the health of every node.\n"
           "Exit status: 0 orderly stop or no connection to the server; 1 configuration\n"
           "error, lost server, or pin or direction failure; 2 usage error.\n"
           "See pelko(8).\n";
}
