#include "ControlClient.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "Console.h"

int ControlClient::run(const std::string& socketPath, const std::string& command, std::ostream& out) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.empty() || socketPath.size() >= sizeof address.sun_path) {
        console::err("pelko ctl: no usable control socket path (control_socket in the configuration, or --socket)");
        return 1;
    }
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        console::err("pelko ctl: cannot connect to " + socketPath + ": " + std::strerror(errno) +
                     (errno == EACCES ? " (members of the service's group may)" : "") +
                     (errno == ENOENT || errno == ECONNREFUSED ? " (is the gateway running with control_socket?)" : ""));
        if (fd >= 0) ::close(fd);
        return 1;
    }
    const std::string line = command + "\n";
    if (::send(fd, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) {
        console::failed("pelko ctl: send");
        ::close(fd);
        return 1;
    }
    bool first = true;
    bool refused = false;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (first) refused = std::strncmp(buffer, "error:", static_cast<std::size_t>(std::min<ssize_t>(n, 6))) == 0;
        first = false;
        out.write(buffer, n);
        out.flush();
    }
    ::close(fd);
    return refused ? 1 : 0;
}
