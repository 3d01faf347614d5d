#include "ControlServer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <sstream>
#include <utility>

#include "Console.h"
#include "StatusText.h"
#include "TraceText.h"

namespace {

const char* const USAGE = "the commands: status, nodes [--json], trace [--node N]... [--server] [--seconds S]";
// How often a running trace is looked at and passed on.
constexpr std::chrono::milliseconds TRACE_TICK{50};

bool wholeNumber(const std::string& text, unsigned long low, unsigned long high, unsigned long& value) {
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    value = std::stoul(text);
    return value >= low && value <= high;
}

void closeQuietly(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace

ControlServer::ControlServer(GatewayView& gatewayView, std::string socketPath)
    : view(gatewayView), path(std::move(socketPath)) {}

ControlServer::~ControlServer() { stop(); }

void ControlServer::setDeadlines(std::chrono::milliseconds command, std::chrono::milliseconds stalled) {
    commandDeadline = command;
    stallDeadline = stalled;
}

bool ControlServer::start() {
    auto fail = [this](const std::string& what) {
        console::err("Control socket " + path + ": " + what + ", running without it", console::Priority::warning);
        closeQuietly(listener);
        return false;
    };
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) return fail("path empty or too long");
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const auto* at = reinterpret_cast<const sockaddr*>(&address);

    listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listener < 0) return fail(std::strerror(errno));
    // A socket left by a gateway that ended is replaced; one that answers
    // belongs to a gateway still running (another instance given the same path).
    if (::connect(listener, at, sizeof address) == 0 || errno == EAGAIN) {
        return fail("another gateway serves it");
    }
    closeQuietly(listener);
    listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listener < 0) return fail(std::strerror(errno));
    ::unlink(path.c_str());
    if (::bind(listener, at, sizeof address) != 0) return fail(std::string("bind: ") + std::strerror(errno));
    // For the owner and the service's group. Until then the umask's mode
    // holds, which never lets others write, and connecting needs that.
    if (::chmod(path.c_str(), 0660) != 0) return fail(std::string("chmod: ") + std::strerror(errno));
    if (::listen(listener, 8) != 0) return fail(std::string("listen: ") + std::strerror(errno));
    int wake[2];
    if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) return fail(std::string("pipe: ") + std::strerror(errno));
    wakeRead = wake[0];
    wakeWrite = wake[1];
    thread = std::thread(&ControlServer::serve, this);
    return true;
}

void ControlServer::stop() {
    if (thread.joinable()) {
        const char byte = 0;
        if (::write(wakeWrite, &byte, 1) < 0) { /* the pipe is never full: one byte */ }
        thread.join();
    }
    for (Client& client : clients) drop(client);
    clients.clear();
    if (listener >= 0) ::unlink(path.c_str());
    closeQuietly(listener);
    closeQuietly(wakeRead);
    closeQuietly(wakeWrite);
}

void ControlServer::serve() {
    std::vector<pollfd> fds;
    std::vector<TraceEvent> events;
    for (;;) {
        Clock::time_point now = Clock::now();
        fds.assign({pollfd{wakeRead, POLLIN, 0}, pollfd{listener, POLLIN, 0}});
        auto next = now + std::chrono::seconds(1);
        for (const Client& client : clients) {
            fds.push_back(pollfd{client.fd, static_cast<short>(POLLIN | (client.out.empty() ? 0 : POLLOUT)), 0});
            if (client.trace) next = std::min(next, now + TRACE_TICK);
            if (!client.answered || !client.out.empty()) next = std::min(next, client.deadline);
        }
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
        if (::poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(0, wait) + 1)) < 0 && errno != EINTR) {
            console::failed("Control socket poll");
            return;
        }
        if (fds[0].revents != 0) return;
        if (fds[1].revents & POLLIN) accept();
        now = Clock::now();
        for (std::size_t i = 0; i < clients.size() && i + 2 < fds.size(); ++i) {
            Client& client = clients[i];
            const short events = fds[i + 2].revents;
            bool keep = true;
            if (events & (POLLIN | POLLHUP | POLLERR)) keep = readFrom(client);
            if (keep && client.trace) feedTrace(client, now);
            if (keep && !client.out.empty()) keep = writeTo(client);
            if (keep && !client.answered && now >= client.deadline) {
                refuse(client, "no command within " + std::to_string(commandDeadline.count()) + " ms");
                keep = writeTo(client);
            }
            if (keep && !client.out.empty() && now >= client.deadline) keep = false;  // takes nothing: stalled
            if (keep && client.closeWhenSent && client.out.empty()) keep = false;
            if (!keep) drop(client);
        }
        clients.erase(std::remove_if(clients.begin(), clients.end(), [](const Client& c) { return c.fd < 0; }),
                      clients.end());
    }
}

void ControlServer::accept() {
    for (;;) {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        if (clients.size() >= MAX_CLIENTS) {
            const std::string busy = "error: busy, at most " + std::to_string(MAX_CLIENTS) + " clients at once\n";
            if (::send(fd, busy.data(), busy.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0) { /* gone already */ }
            ::close(fd);
            continue;
        }
        Client client;
        client.fd = fd;
        client.deadline = Clock::now() + commandDeadline;
        clients.push_back(std::move(client));
    }
}

bool ControlServer::readFrom(Client& client) {
    char buffer[512];
    // Bounded: a client that never stops sending does not hold the thread.
    for (int reads = 0; reads < 16; ++reads) {
        const ssize_t n = ::recv(client.fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        if (n == 0) {
            // The client is done sending: a command without its line feed
            // still counts; a trace ends with its reader.
            if (client.answered) return !client.trace && !client.out.empty();
            if (client.in.empty()) {
                refuse(client, "no command");
            } else {
                command(client, client.in);
            }
            return true;
        }
        if (client.answered) continue;  // what follows the command is not looked at
        client.in.append(buffer, static_cast<std::size_t>(n));
        const std::size_t end = client.in.find('\n');
        if (end <= MAX_COMMAND) {  // npos, none yet, is above it
            command(client, client.in.substr(0, end));
        } else if (client.in.size() > MAX_COMMAND) {
            refuse(client, "command longer than " + std::to_string(MAX_COMMAND) + " bytes");
        }
    }
    return true;
}

bool ControlServer::writeTo(Client& client) {
    while (!client.out.empty()) {
        const ssize_t n = ::send(client.fd, client.out.data(), client.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        client.out.erase(0, static_cast<std::size_t>(n));
        client.deadline = Clock::now() + stallDeadline;
    }
    return true;
}

void ControlServer::refuse(Client& client, const std::string& why) {
    client.answered = true;
    client.closeWhenSent = true;
    client.out = "error: " + why + "; " + USAGE + "\n";
    client.deadline = Clock::now() + stallDeadline;
}

void ControlServer::command(Client& client, const std::string& line) {
    std::string text = line;
    if (!text.empty() && text.back() == '\r') text.pop_back();
    std::istringstream words(text);
    std::vector<std::string> args;
    for (std::string word; words >> word;) args.push_back(word);
    client.in.clear();
    if (args.empty()) return refuse(client, "empty command");
    client.answered = true;
    client.closeWhenSent = true;
    client.deadline = Clock::now() + stallDeadline;
    if (args[0] == "status" && args.size() == 1) {
        client.out = StatusText::status(view.snapshot());
        return;
    }
    if (args[0] == "nodes" && (args.size() == 1 || (args.size() == 2 && args[1] == "--json"))) {
        client.out = StatusText::nodes(view.snapshot(), args.size() == 2);
        return;
    }
    if (args[0] != "trace") return refuse(client, "unknown command");
    std::set<unsigned short> nodes;
    bool server = false;
    unsigned long seconds = DEFAULT_TRACE_SECONDS;
    for (std::size_t i = 1; i < args.size(); ++i) {
        unsigned long value = 0;
        if (args[i] == "--server") {
            server = true;
        } else if (args[i] == "--node" && i + 1 < args.size() && wholeNumber(args[i + 1], 0, 65535, value)) {
            nodes.insert(static_cast<unsigned short>(value));
            ++i;
        } else if (args[i] == "--seconds" && i + 1 < args.size() && wholeNumber(args[i + 1], 1, 86400, value)) {
            seconds = value;
            ++i;
        } else {
            return refuse(client, "trace takes --node N (0 to 65535), --server, --seconds S (1 to 86400)");
        }
    }
    client.trace = view.openTrace(nodes, server);
    if (!client.trace) return refuse(client, "busy, at most " + std::to_string(GatewayView::MAX_TRACES) + " traces at once");
    client.closeWhenSent = false;
    client.traceEnds = Clock::now() + std::chrono::seconds(seconds);
    std::string which = "every node";
    if (!nodes.empty()) {
        which = nodes.size() == 1 ? "node" : "nodes";
        for (unsigned short n : nodes) which += " " + std::to_string(n);
    }
    client.out = "trace of " + which + (server ? " and the server messages" : "") + " for " +
                 std::to_string(seconds) + " s\n";
}

void ControlServer::feedTrace(Client& client, Clock::time_point now) {
    std::vector<TraceEvent> events;
    client.lost += client.trace->take(events);
    const TraceText text([this](unsigned short address, Node& node) { return view.node(address, node); });
    for (const TraceEvent& event : events) {
        if (client.out.size() >= OUTPUT_BOUND) {
            ++client.lost;
            continue;
        }
        if (client.lost > 0) {
            client.out += TraceText::dropped(client.lost) + "\n";
            client.lost = 0;
        }
        client.out += text.line(event) + "\n";
    }
    if (client.lost > 0 && client.out.size() < OUTPUT_BOUND) {
        client.out += TraceText::dropped(client.lost) + "\n";
        client.lost = 0;
    }
    if (now < client.traceEnds) return;
    view.closeTrace(client.trace);
    client.trace.reset();
    if (client.lost > 0) client.out += TraceText::dropped(client.lost) + "\n";
    client.out += "end of trace\n";
    client.closeWhenSent = true;
}

void ControlServer::drop(Client& client) {
    if (client.trace) view.closeTrace(client.trace);
    client.trace.reset();
    if (client.fd < 0) return;
    // Unread input would turn the close into a reset, and the client might
    // lose the error line before it.
    char sink[512];
    for (int i = 0; i < 128 && ::recv(client.fd, sink, sizeof sink, MSG_DONTWAIT) > 0; ++i) {
    }
    closeQuietly(client.fd);
}
