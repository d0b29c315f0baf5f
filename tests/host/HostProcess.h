// Runs fastrak-host and fastrak-sim as real processes for the end-to-end tests (POSIX).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace hosttest {

// A folder of its own under /tmp, removed with its files.
class Scratch {
public:
    Scratch();
    ~Scratch();
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    void write(const std::string& name, const std::string& text) const;

private:
    std::string dir_;
};

std::string readFile(const std::string& path);
std::vector<std::string> lines(const std::string& text);

// A child process; standard output and error go to files, or both to a pseudo-terminal.
class Process {
public:
    Process() = default;
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    bool start(const std::vector<std::string>& argv, const std::string& outPath, const std::string& errPath);
    // On a pseudo-terminal of rows x columns; what it shows is read with readTerminal.
    bool startOnTerminal(const std::vector<std::string>& argv, unsigned short rows, unsigned short columns);
    std::string readTerminal(std::chrono::milliseconds forHowLong);
    // As a user resizing the window: the terminal's size changes and the program gets SIGWINCH.
    bool resizeTerminal(unsigned short rows, unsigned short columns) const;

    void signal(int number) const;
    // The exit status, or -1 after the timeout (the process is then killed).
    int wait(std::chrono::milliseconds timeout);
    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int terminal_ = -1;
};

// The processes `pid` started that are still there.
std::vector<pid_t> childrenOf(pid_t pid);

// fastrak-sim on a link; waits until the link is there.
bool startSim(Process& sim, const std::string& link, const std::string& logPath, const std::vector<std::string>& extra);

// Polls until predicate() holds or the time is up.
template <typename Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds timeout) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < until) {
        if (predicate()) return true;
        struct timespec pause = {0, 50 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    return predicate();
}

}  // namespace hosttest
