#include "Console.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

namespace console {

namespace {

// True when the descriptor is the journal's stream: systemd names it in
// JOURNAL_STREAM as "<device>:<inode>". Looked at on every line, because a
// descriptor that was redirected since the start is no longer the journal.
bool toJournal(int fd) {
    const char* stream = std::getenv("JOURNAL_STREAM");
    if (stream == nullptr) return false;
    unsigned long long device = 0;
    unsigned long long inode = 0;
    if (std::sscanf(stream, "%llu:%llu", &device, &inode) != 2) return false;
    struct stat info {};
    if (fstat(fd, &info) != 0) return false;
    return static_cast<unsigned long long>(info.st_dev) == device &&
           static_cast<unsigned long long>(info.st_ino) == inode;
}

// The journal reads a leading "<N>" as the line's syslog priority.
std::string withPriority(const std::string& line, Priority priority, int fd) {
    if (!toJournal(fd)) return line + "\n";
    const char* prefix = priority == Priority::error ? "<3>" : priority == Priority::warning ? "<4>" : "<6>";
    std::string text;
    std::size_t begin = 0;
    // A text of several lines gets the prefix on each, or the journal files
    // the rest at the default priority.
    while (true) {
        const std::size_t end = line.find('\n', begin);
        text += prefix + line.substr(begin, end == std::string::npos ? end : end - begin) + "\n";
        if (end == std::string::npos) break;
        begin = end + 1;
    }
    return text;
}

}  // namespace

void out(const std::string& line, Priority priority) {
    std::cout << withPriority(line, priority, STDOUT_FILENO) << std::flush;
}

void err(const std::string& line, Priority priority) {
    std::cerr << withPriority(line, priority, STDERR_FILENO) << std::flush;
}

void failed(const std::string& what) {
    const int reason = errno;
    err(what + ": " + std::strerror(reason));
}

void fatal(const std::string& line) {
    err(line);
    endProcess(1);
}

void fatalFailed(const std::string& what) {
    failed(what);
    endProcess(1);
}

void endProcess(int status) {
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    _exit(status);
}

}  // namespace console
