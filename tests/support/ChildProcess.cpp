#include "ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <thread>

ChildProcess::ChildProcess(const std::function<void()>& body) {
    std::fflush(nullptr);  // nothing buffered may be written twice
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ > 0) return;
    const int o = open(logs_.file("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int e = open(logs_.file("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0) _exit(127);
    body();
    std::fflush(nullptr);
    _exit(0);
}

ChildProcess::ChildProcess(const std::string& program, std::vector<std::string> args, const std::string& workDir)
    : ChildProcess([&] {
          args.insert(args.begin(), program);
          std::vector<char*> argv;
          for (std::string& a : args) argv.push_back(a.data());
          argv.push_back(nullptr);
          sigset_t none;
          sigemptyset(&none);
          sigprocmask(SIG_SETMASK, &none, nullptr);
          if (chdir(workDir.c_str()) == 0) execv(program.c_str(), argv.data());
          _exit(127);
      }) {}

ChildProcess::~ChildProcess() {
    if (status_ == -1 && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

int ChildProcess::wait(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int st = 0;
    while (status_ == -1 && waitpid(pid_, &st, WNOHANG) != pid_) {
        if (std::chrono::steady_clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (status_ == -1) status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return status_;
}

void ChildProcess::signal(int sig) const {
    if (status_ == -1) kill(pid_, sig);
}

int runProgram(const std::string& program, const std::vector<std::string>& args, const std::string& workDir,
               std::string* out, std::string* err, int timeoutMs) {
    ChildProcess child(program, args, workDir);
    const int status = child.wait(timeoutMs);
    if (out) *out = child.out();
    if (err) *err = child.err();
    return status;
}
