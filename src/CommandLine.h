#ifndef PELKO_COMMANDLINE_H
#define PELKO_COMMANDLINE_H

#include <string>
#include <vector>

// What the gateway was asked to do on its command line. Without arguments it
// runs with pelko.conf from the working directory, as it always has.
struct CommandLine {
    enum class Action { run, printGpioChip, help, version, usageError, control };

    Action action = Action::run;
    std::string configFile = "pelko.conf";
    bool configGiven = false;  // --config named the file
    std::string problem;       // usageError: the one line that says what was wrong
    // control (`pelko ctl`): the socket --socket named (empty: the
    // configuration's control_socket) and the command line to send.
    std::string controlSocket;
    std::string controlCommand;

    // Reads the arguments after the program name.
    static CommandLine parse(const std::vector<std::string>& args);

    // The texts for --help, --version and a usage error.
    static std::string usage();
    static std::string help();
    static std::string version();

private:
    static CommandLine parseControl(const std::vector<std::string>& args);
};

#endif
