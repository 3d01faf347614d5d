#include "GatewayProcess.h"

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <chrono>
#include <cstring>

GatewayProcess::GatewayProcess(Trace& trace) : trace_(trace) {}

GatewayProcess::~GatewayProcess() {
    if (pid_ > 0 && !exited_) kill(pid_, SIGKILL);
    if (waiter_.joinable()) waiter_.join();  // it also joins the readers
}

bool GatewayProcess::start(const std::string& given, const std::string& workDir, std::string& error) {
    // The child changes into the working directory first, so a relative path would miss.
    char resolved[PATH_MAX];
    if (access(given.c_str(), X_OK) != 0 || !realpath(given.c_str(), resolved)) {
        error = given + ": " + std::strerror(errno);
        return false;
    }
    const std::string binary = resolved;
    int outMaster = -1, outSlave = -1;
    termios raw{};
    cfmakeraw(&raw);  // no "\r\n" translation, no echo
    if (openpty(&outMaster, &outSlave, nullptr, &raw, nullptr) != 0) {
        error = std::string("openpty: ") + std::strerror(errno);
        return false;
    }
    // Only the copies dup'ed onto the child's standard streams may reach it.
    fcntl(outMaster, F_SETFD, FD_CLOEXEC);
    fcntl(outSlave, F_SETFD, FD_CLOEXEC);
    int errPipe[2];
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        close(outMaster);
        close(outSlave);
        return false;
    }
    // Told apart from the program's own failure by a status the gateway never uses.
    const int kExecFailed = 127;
    pid_ = fork();
    if (pid_ < 0) {
        error = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    if (pid_ == 0) {
        setpgid(0, 0);
        // Should the bench die, the gateway is stopped too (the forking thread runs the whole scenario).
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        int devNull = open("/dev/null", O_RDONLY);
        if (devNull < 0 || dup2(devNull, 0) < 0 || dup2(outSlave, 1) < 0 || dup2(errPipe[1], 2) < 0 ||
            chdir(workDir.c_str()) != 0)
            _exit(kExecFailed);
        execl(binary.c_str(), binary.c_str(), static_cast<char*>(nullptr));
        const std::string why = "cannot run " + binary + ": " + std::strerror(errno) + "\n";
        (void)!write(2, why.data(), why.size());
        _exit(kExecFailed);
    }
    setpgid(pid_, pid_);
    close(outSlave);
    close(errPipe[1]);
    outReader_ = std::thread([this, outMaster] { readLines(outMaster, Event::Kind::ConsoleOut); });
    errReader_ = std::thread([this, fd = errPipe[0]] { readLines(fd, Event::Kind::ConsoleErr); });
    waiter_ = std::thread([this] { reap(); });
    return true;
}

void GatewayProcess::readLines(int fd, Event::Kind kind) {
    std::string pending;
    char buf[4096];
    for (;;) {
        ssize_t r = read(fd, buf, sizeof buf);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;  // EOF, or EIO once the pseudo-terminal's last writer is gone
        pending.append(buf, static_cast<size_t>(r));
        size_t nl;
        while ((nl = pending.find('\n')) != std::string::npos) {
            Event e;
            e.kind = kind;
            e.text = pending.substr(0, nl);
            if (!e.text.empty() && e.text.back() == '\r') e.text.pop_back();
            pending.erase(0, nl + 1);
            trace_.record(std::move(e));
        }
    }
    if (!pending.empty()) {
        Event e;
        e.kind = kind;
        e.text = pending;
        trace_.record(std::move(e));
    }
    close(fd);
}

void GatewayProcess::reap() {
    int st = 0;
    while (waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
    }
    const int status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    // Its last lines first: the readers end once the process's ends of the pipes are gone.
    if (outReader_.joinable()) outReader_.join();
    if (errReader_.joinable()) errReader_.join();
    Event e;
    e.kind = Event::Kind::Exit;
    e.status = status;
    e.text = WIFEXITED(st) ? "exit status " + std::to_string(status)
                           : std::string("killed by signal ") + strsignal(WTERMSIG(st));
    // In the trace before anyone waiting for the exit goes on to judge the run.
    trace_.record(std::move(e));
    {
        std::lock_guard<std::mutex> lock(mutex_);
        status_ = status;
        exited_ = true;
    }
    exitedCv_.notify_all();
}

void GatewayProcess::signal(int sig) const {
    if (pid_ > 0 && !exited_) kill(pid_, sig);
}

bool GatewayProcess::waitExit(double seconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    return exitedCv_.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return exited_.load(); });
}
