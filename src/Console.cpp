#include "Console.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

namespace console {

void out(const std::string& line, Priority) { std::cout << (line + "\n") << std::flush; }

void err(const std::string& line, Priority) { std::cerr << (line + "\n") << std::flush; }

void failed(const std::string& what) {
    const int reason = errno;
    err(what + ": " + std::strerror(reason));
}

void endProcess(int status) {
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    _exit(status);
}

}  // namespace console
