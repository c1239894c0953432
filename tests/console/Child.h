// A child process for tests that drive the real programs: its standard output
// and error captured through pipes, signals sent, its exit awaited with a bound.
// Header-only so the console and end-to-end areas share it.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace kivro::test {

// A child process with its standard output and error captured.
class Child {
  public:
    // env entries ("NAME=value") are added to the inherited environment.
    Child(const std::vector<std::string>& argv, const std::vector<std::string>& env = {}) {
        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            dup2(err[1], 2);
            int null = open("/dev/null", O_RDONLY);
            dup2(null, 0);
            // Nothing else of the test's goes along: an inherited socket or pty
            // end would keep a connection or a device alive behind its back.
            close_range(3, ~0U, 0);
            for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
            std::vector<char*> args;
            for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execvp(args[0], args.data());
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        fds_[0] = out[0];
        fds_[1] = err[0];
    }
    ~Child() {
        if (pid_ > 0 && status_ < 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        for (int fd : fds_)
            if (fd >= 0) close(fd);
    }
    bool Started() const { return pid_ > 0; }
    pid_t Pid() const { return pid_; }
    void Signal(int s) { kill(pid_, s); }

    // Reads what is there for up to ms; false once both pipes have closed.
    bool Pump(int ms) {
        pollfd p[2] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}};
        if (fds_[0] < 0 && fds_[1] < 0) return false;
        if (poll(p, 2, ms) <= 0) return true;
        for (int i = 0; i < 2; ++i) {
            if (p[i].fd < 0 || !p[i].revents) continue;
            char buf[4096];
            ssize_t n = read(p[i].fd, buf, sizeof buf);
            if (n > 0) {
                (i == 0 ? out_ : err_).append(buf, size_t(n));
            } else {
                close(fds_[i]);
                fds_[i] = -1;
            }
        }
        return true;
    }
    // Waits until standard output contains text.
    bool WaitFor(const std::string& text, int ms = 15000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (out_.find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > end || !Pump(50))
                return out_.find(text) != std::string::npos;
        }
        return true;
    }
    // Exit status, or -1 when it has not ended within ms (or died of a signal).
    int Wait(int ms) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            Pump(20);
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                while (Pump(100)) {
                }
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return status_;
            }
        }
        return -1;
    }
    const std::string& Out() const { return out_; }
    const std::string& Err() const { return err_; }

  private:
    pid_t pid_ = -1;
    int fds_[2] = {-1, -1};
    int status_ = -1;
    std::string out_, err_;
};

}  // namespace kivro::test
