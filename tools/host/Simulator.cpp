// Simulator: spawning fastrak-sim, reading the terminal path it prints, and stopping it.
#include "Simulator.h"

#include <cstring>
#include <iostream>

#include "HostLog.h"
#include "ModuleLibrary.h"

#if !defined(_WIN32)
#  include <signal.h>
#  include <spawn.h>
#  include <sys/wait.h>
#  include <poll.h>
#  include <unistd.h>
extern char** environ;
#endif

namespace fastrakhost {

std::vector<std::string> defaultSceneArguments() {
    return {"--receivers", "1,2", "--scene", "1=circle:x=12,y=-10,z=4,radius=5,period=4",
            "--scene", "2=eight:x=20,y=-12,z=6,radius=4,period=6",
            "--press", "1=3,0.6,1"};
}

Simulator::~Simulator() { stop(); }

#if defined(_WIN32)

bool Simulator::start(const std::string&, const std::string&, const std::vector<std::string>&, std::string& error) {
    error = "--simulate needs fastrak-sim, which runs on Linux only";
    return false;
}
void Simulator::stop() {}
void Simulator::forward() {}
void Simulator::terminateAllFromSignal() {}
std::string Simulator::findProgram() { return "fastrak-sim"; }

#else

namespace {

// Pids of the running emulators, for the signal handler.
constexpr int kMaxSimulators = 64;
volatile int runningPids[kMaxSimulators];

void remember(int pid, int previous) {
    for (int i = 0; i < kMaxSimulators; ++i) {
        if (runningPids[i] == previous) {
            runningPids[i] = pid;
            return;
        }
    }
}

}  // namespace

std::string Simulator::findProgram() {
    const std::string folder = ModuleLibrary::programFolder();
    for (const std::string& candidate : {folder + "/fastrak-sim", folder + "/../sim/fastrak-sim"}) {
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "fastrak-sim";
}

bool Simulator::start(const std::string& program, const std::string& link, const std::vector<std::string>& arguments,
                      std::string& error) {
    std::vector<std::string> words = {program, "--link", link};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(&word[0]);
    argv.push_back(nullptr);

    int ends[2];
    if (pipe(ends) != 0) {
        error = "cannot make a pipe for fastrak-sim";
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, ends[0]);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // Its own process group: Ctrl-C on the terminal is ours to handle, and the emulator must
    // outlive it until the devices have sent their stop commands.
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t pid = -1;
    const int failed = posix_spawnp(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(ends[1]);
    if (failed != 0) {
        close(ends[0]);
        error = "cannot start " + program + ": " + std::strerror(failed);
        return false;
    }
    pid_ = pid;
    remember(pid_, 0);
    output_ = ends[0];

    // The first line is the terminal's path; give it five seconds.
    std::string line;
    for (int waited = 0; waited < 50 && line.find('\n') == std::string::npos;) {
        pollfd ready{output_, POLLIN, 0};
        if (poll(&ready, 1, 100) <= 0) {
            ++waited;
            continue;
        }
        char c;
        if (read(output_, &c, 1) != 1) break;
        line += c;
    }
    if (line.empty() || line.back() != '\n' || line[0] != '/') {
        error = "fastrak-sim did not start: " + (line.empty() ? std::string("no output") : line);
        stop();
        return false;
    }
    terminal_ = line.substr(0, line.size() - 1);
    forwarder_ = std::thread([this] { forward(); });
    return true;
}

void Simulator::terminateAllFromSignal() {
    for (int i = 0; i < kMaxSimulators; ++i) {
        if (runningPids[i] > 0) kill(runningPids[i], SIGTERM);
    }
}

// Whatever the emulator says later goes to our log, so it scrolls with the rest.
void Simulator::forward() {
    std::string pending;
    char buffer[1024];
    ssize_t got;
    while ((got = read(output_, buffer, sizeof buffer)) > 0) {
        pending.append(buffer, static_cast<size_t>(got));
        size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            hostInfo("fastrak-sim: " + pending.substr(0, end));
            pending.erase(0, end + 1);
        }
    }
}

void Simulator::stop() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        remember(0, pid_);
        pid_ = -1;
    }
    if (forwarder_.joinable()) forwarder_.join();
    if (output_ >= 0) close(output_);
    output_ = -1;
}

#endif

}  // namespace fastrakhost
