#ifndef PELKO_CONSOLE_H
#define PELKO_CONSOLE_H

#include <string>

// The gateway's console: every line it prints goes through here, and so does
// every end of the process.
namespace console {

// How much a line matters, for a system journal that can filter by it.
enum class Priority { error, warning, info };

// One line on standard output (`err`: standard error), written in one piece
// so that lines of other threads do not cut into it, and flushed at once.
// When the stream is the system journal (JOURNAL_STREAM), the line starts
// with its priority: "<3>" error, "<4>" warning, "<6>" info.
void out(const std::string& line, Priority priority = Priority::info);
void err(const std::string& line, Priority priority = Priority::error);

// "<what>: <the reason errno gives>" on standard error, as perror() writes it.
void failed(const std::string& what);

// A failure the gateway cannot go on after: the line (`fatalFailed`: the
// line with errno's reason, as failed() writes it), then status 1.
[[noreturn]] void fatal(const std::string& line);
[[noreturn]] void fatalFailed(const std::string& what);

// Ends the process with `status` after flushing every stream. Static objects
// are not destroyed: other threads may still be running on them.
[[noreturn]] void endProcess(int status);

}  // namespace console

#endif
