#include "ScriptedServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace {
// Server messages are shown as text; bytes that are not printable appear as \xNN.
std::string printable(const std::string& s, size_t limit = 240) {
    std::string out;
    for (size_t i = 0; i < s.size() && i < limit; ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    if (s.size() > limit) out += "... (" + std::to_string(s.size()) + " bytes)";
    return out;
}

Json::Value parseJson(const std::string& text) {
    Json::CharReaderBuilder rb;
    std::unique_ptr<Json::CharReader> reader(rb.newCharReader());
    Json::Value v;
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &v, &errors)) return Json::Value();
    return v;
}
}  // namespace

ScriptedServer::ScriptedServer(Trace& trace, int port) : trace_(trace) {
    listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_ < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    int one = 1;
    setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listen_, 1) != 0)
        throw std::runtime_error(std::string("bind/listen: ") + std::strerror(errno));
    socklen_t len = sizeof addr;
    getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    if (pipe2(wake_, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
}

ScriptedServer::~ScriptedServer() {
    if (thread_.joinable()) {
        const char stop = 's';
        (void)!write(wake_[1], &stop, 1);
        thread_.join();
    }
    if (client_ >= 0) close(client_);
    if (listen_ >= 0) close(listen_);
    close(wake_[0]);
    close(wake_[1]);
}

void ScriptedServer::start() { thread_ = std::thread([this] { run(); }); }

void ScriptedServer::run() {
    // Accept one client.
    int client = -1;
    for (;;) {
        pollfd p[2] = {{listen_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (p[1].revents) return;
        client = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0) break;
    }
    {
        std::lock_guard<std::mutex> lock(sendMutex_);
        client_ = client;
        open_ = true;
    }
    trace_.note("the gateway connected to the server");

    std::string pending;
    char buf[65536];
    for (;;) {
        // While reading is paused only the wake-up pipe is watched.
        const int pausedMs = readingPausedMs();
        pollfd p[2] = {{client, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (poll(pausedMs > 0 ? &p[1] : p, pausedMs > 0 ? 1 : 2, pausedMs > 0 ? pausedMs : -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (p[1].revents) {
            char why = 's';
            if (read(wake_[0], &why, 1) != 1 || why == 's') break;
            continue;  // a pause began
        }
        if (pausedMs > 0) {
            trace_.note("the server reads again");
            continue;
        }
        ssize_t r = recv(client, buf, sizeof buf, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            std::lock_guard<std::mutex> lock(sendMutex_);
            if (open_) trace_.note(r == 0 ? "the gateway closed its connection" : "the connection failed");
            open_ = false;
            break;
        }
        pending.append(buf, static_cast<size_t>(r));
        size_t zero;
        while ((zero = pending.find('\0')) != std::string::npos) {
            std::string raw = pending.substr(0, zero);
            pending.erase(0, zero + 1);
            handle(raw);
        }
    }
    if (!pending.empty()) trace_.note("the gateway left " + std::to_string(pending.size()) +
                                      " bytes without their zero byte: " + printable(pending));
}

void ScriptedServer::handle(const std::string& raw) {
    Event e;
    e.kind = Event::Kind::ServerIn;
    e.lineFeed = !raw.empty() && raw.back() == '\n';
    std::string text = e.lineFeed ? raw.substr(0, raw.size() - 1) : raw;
    e.json = parseJson(text);
    e.text = printable(text);
    if (!e.lineFeed) e.text += "   (no line feed before the zero byte)";
    trace_.record(e);
    if (handler_) handler_(e);
}

bool ScriptedServer::send(const std::vector<std::string>& messages, const std::vector<size_t>& split) {
    std::lock_guard<std::mutex> lock(sendMutex_);
    if (client_ < 0 || !open_) return false;
    std::string bytes;
    for (size_t i = 0; i < messages.size(); ++i) {
        Event e;
        e.kind = Event::Kind::ServerOut;
        e.json = parseJson(messages[i]);
        std::string text = messages[i];
        if (pretty_ && !e.json.isNull()) {
            Json::StreamWriterBuilder builder;
            builder["indentation"] = "  ";
            text = Json::writeString(builder, e.json);
        }
        // The usual zero byte goes unsaid; any other ending is shown.
        e.text = printable(text) + (ending_ == std::string(1, '\0') ? "" : printable(ending_));
        if (i + 1 < messages.size()) e.text += "   (in one write with the next)";
        trace_.record(e);
        bytes += text + ending_;
    }
    std::vector<size_t> cuts = split;
    cuts.push_back(bytes.size());
    size_t done = 0;
    bool first = true;
    for (size_t cut : cuts) {
        if (cut > bytes.size()) cut = bytes.size();
        if (cut <= done) continue;
        if (!first) std::this_thread::sleep_for(std::chrono::milliseconds(20));  // separate receives
        first = false;
        while (done < cut) {
            ssize_t w = ::send(client_, bytes.data() + done, cut - done, MSG_NOSIGNAL);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return false;
            done += static_cast<size_t>(w);
        }
    }
    if (!split.empty()) trace_.note("that went out in pieces, cut after bytes " + [&] {
        std::string at;
        for (size_t c : split) at += (at.empty() ? "" : ", ") + std::to_string(c);
        return at;
    }());
    return true;
}

void ScriptedServer::pauseReading(double seconds) {
    {
        std::lock_guard<std::mutex> lock(sendMutex_);
        readFrom_ = std::chrono::steady_clock::now() +
                    std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
    }
    char ms[32];
    std::snprintf(ms, sizeof ms, "%.1f", seconds);
    trace_.note(std::string("the server stops reading for ") + ms + " s");
    const char pause = 'p';
    (void)!write(wake_[1], &pause, 1);
}

int ScriptedServer::readingPausedMs() const {
    std::lock_guard<std::mutex> lock(sendMutex_);
    const auto left = readFrom_ - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return 0;
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(left).count()) + 1;
}

void ScriptedServer::closeClient() {
    // Only shut down here: the receiving thread may be polling the descriptor,
    // so it is closed once that thread has ended.
    std::lock_guard<std::mutex> lock(sendMutex_);
    if (client_ >= 0 && open_) {
        shutdown(client_, SHUT_RDWR);
        open_ = false;
        trace_.note("the server closed the connection");
    }
}
