// Process, Scratch and the emulator launcher of the end-to-end tests.
#include "HostProcess.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

extern char** environ;

namespace hosttest {

Scratch::Scratch() {
    char pattern[] = "/tmp/fastrak-host-test-XXXXXX";
    const char* made = mkdtemp(pattern);
    dir_ = made != nullptr ? made : "/tmp";
}

// Everything under the folder, folders too (a browser's profile), without following links.
Scratch::~Scratch() {
    if (dir_ == "/tmp") return;
    auto removeOne = [](const char* path, const struct stat*, int, FTW*) {
        remove(path);
        return 0;  // on with the rest
    };
    nftw(dir_.c_str(), removeOne, 16, FTW_DEPTH | FTW_PHYS);
}

void Scratch::write(const std::string& name, const std::string& text) const {
    std::ofstream(path(name), std::ios::binary) << text;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) out.push_back(line);
    return out;
}

Process::~Process() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (terminal_ >= 0) close(terminal_);
}

bool Process::start(const std::vector<std::string>& argv, const std::string& outPath, const std::string& errPath) {
    std::vector<std::string> words = argv;
    std::vector<char*> args;
    for (std::string& word : words) args.push_back(&word[0]);
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int failed = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) pid_ = -1;
    return failed == 0;
}

bool Process::startOnTerminal(const std::vector<std::string>& argv, unsigned short rows, unsigned short columns) {
    winsize size{};
    size.ws_row = rows;
    size.ws_col = columns;
    pid_ = forkpty(&terminal_, nullptr, nullptr, &size);
    if (pid_ == 0) {
        std::vector<std::string> words = argv;
        std::vector<char*> args;
        for (std::string& word : words) args.push_back(&word[0]);
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    return pid_ > 0;
}

std::string Process::readTerminal(std::chrono::milliseconds forHowLong) {
    std::string text;
    const auto until = std::chrono::steady_clock::now() + forHowLong;
    while (std::chrono::steady_clock::now() < until) {
        pollfd ready{terminal_, POLLIN, 0};
        if (poll(&ready, 1, 50) <= 0) continue;
        char buffer[4096];
        const ssize_t got = read(terminal_, buffer, sizeof buffer);
        if (got <= 0) break;  // the program ended and the terminal hung up
        text.append(buffer, static_cast<size_t>(got));
    }
    return text;
}

bool Process::resizeTerminal(unsigned short rows, unsigned short columns) const {
    winsize size{};
    size.ws_row = rows;
    size.ws_col = columns;
    return terminal_ >= 0 && ioctl(terminal_, TIOCSWINSZ, &size) == 0;
}

void Process::signal(int number) const {
    if (pid_ > 0) kill(pid_, number);
}

int Process::wait(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return -1;
    int status = 0;
    const bool ended = eventually([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, timeout);
    if (!ended) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
        return -1;
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::vector<pid_t> childrenOf(pid_t pid) {
    std::vector<pid_t> children;
    const std::string list = readFile("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    for (size_t at = 0; at < list.size();) {
        const size_t end = list.find(' ', at);
        if (end == std::string::npos) break;
        children.push_back(static_cast<pid_t>(std::stol(list.substr(at, end - at))));
        at = end + 1;
    }
    return children;
}

bool startSim(Process& sim, const std::string& link, const std::string& logPath,
              const std::vector<std::string>& extra) {
    std::vector<std::string> argv = {FASTRAK_SIM_PROGRAM, "--link", link, "--log", logPath};
    argv.insert(argv.end(), extra.begin(), extra.end());
    unlink(link.c_str());
    if (!sim.start(argv, logPath + ".out", logPath + ".err")) return false;
    struct stat info;
    return eventually([&] { return lstat(link.c_str(), &info) == 0; }, std::chrono::seconds(5));
}

}  // namespace hosttest
