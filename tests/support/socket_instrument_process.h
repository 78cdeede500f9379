// SPDX-License-Identifier: GPL-3.0-or-later
// Test helper: labbench-sim-instrument run as a child process on a free
// loopback port (or the arguments a test gives), its output kept in files,
// stopped with SIGTERM at the end of the scope. Every wait is bounded.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim_test_support.h"

namespace simtest {

class SocketInstrumentProcess {
public:
    // Starts `program` with `arguments` (default: --listen 127.0.0.1:0) and,
    // when `waitForPort`, waits until it says where it listens. With
    // `errorsToPipe` its standard error is a pipe that the test reads from
    // (closeErrors() takes the reader away) instead of a file.
    SocketInstrumentProcess(const std::string &program,
                            std::vector<std::string> arguments = {"--listen", "127.0.0.1:0"},
                            bool waitForPort = true, bool errorsToPipe = false)
        : out_(dir_.file("stdout")), err_(dir_.file("stderr")) {
        int pipeEnds[2] = {-1, -1};
        if (errorsToPipe && pipe2(pipeEnds, O_CLOEXEC) != 0) ADD_FAILURE() << "no pipe";
        pid_ = fork();
        if (pid_ == 0) {
            FILE *out = std::freopen(out_.c_str(), "w", stdout);
            FILE *err = errorsToPipe ? (dup2(pipeEnds[1], 2) == 2 ? stderr : nullptr)
                                     : std::freopen(err_.c_str(), "w", stderr);
            if (!out || !err) _exit(126);
            std::vector<char *> argv{const_cast<char *>(program.c_str())};
            for (std::string &argument : arguments) argv.push_back(argument.data());
            argv.push_back(nullptr);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
        if (pid_ < 0) ADD_FAILURE() << "cannot start " << program;
        if (errorsToPipe) {
            close(pipeEnds[1]);
            errorPipe_ = pipeEnds[0];
        }
        if (waitForPort) {
            for (int i = 0; i < 500 && port_.empty() && running(); ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                std::string text = output();
                std::size_t at = text.find("listening on ");
                std::size_t colon = text.rfind(':');
                if (at != std::string::npos && colon != std::string::npos &&
                    text.find('\n', colon) != std::string::npos)
                    port_ = text.substr(colon + 1, text.find('\n', colon) - colon - 1);
            }
            if (port_.empty())
                ADD_FAILURE() << program << " did not say its port; stderr: " << errors();
        }
    }
    ~SocketInstrumentProcess() {
        if (pid_ > 0 && status_ < 0) stop(SIGTERM);
        closeErrors();
    }
    // Closes the test's end of the standard error pipe: nobody reads it any more.
    void closeErrors() {
        if (errorPipe_ >= 0) close(errorPipe_);
        errorPipe_ = -1;
    }
    // Whether the program is still running.
    bool alive() { return running(); }

    std::string resource() const { return "TCPIP::127.0.0.1::" + port_ + "::SOCKET"; }
    const std::string &port() const { return port_; }
    std::string output() const { return read(out_); }
    std::string errors() const { return read(err_); }

    // Sends `signal` and waits (at most 10 s) for the exit; the exit status,
    // or -1 when it did not end or died of a signal.
    int stop(int signal) {
        if (pid_ <= 0) return -1;
        if (status_ < 0) kill(pid_, signal);
        return wait();
    }
    // Waits (at most 10 s) for the program to end by itself; as stop().
    int wait() {
        for (int i = 0; i < 1000 && running(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (status_ < 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            status_ = 1001;
        }
        return status_ >= 1000 ? -1 : status_;
    }

private:
    // False once the program has ended; its exit status is then kept (1000:
    // ended by a signal).
    bool running() {
        if (status_ >= 0) return false;
        int raw = 0;
        if (waitpid(pid_, &raw, WNOHANG) != pid_) return true;
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 1000;
        return false;
    }
    static std::string read(const std::string &path) {
        std::ifstream file(path);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }

    TempDir dir_;
    std::string out_, err_;
    pid_t pid_ = -1;
    int status_ = -1;
    int errorPipe_ = -1;
    std::string port_;
};

}  // namespace simtest
