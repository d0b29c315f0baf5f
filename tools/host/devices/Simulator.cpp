// Simulator: spawning fastrak-sim, reading the terminal path it prints, and stopping it.
#include "devices/Simulator.h"

#include <algorithm>
#include <cstring>
#include <iostream>

#include "HostLog.h"
#include "ModuleLibrary.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <poll.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif
extern char** environ;
#endif

namespace fastrakhost {

std::vector<std::string> sceneArguments(const DeviceFacts& facts) {
    static const char* const scenes[] = {
        "circle:x=12,y=-10,z=4,radius=5,period=4", "eight:x=20,y=-12,z=6,radius=4,period=6",
        "circle:x=16,y=-20,z=5,radius=3,period=5", "eight:x=26,y=-8,z=3,radius=3,period=7"};
    std::vector<uint32_t> stations = facts.trackerStations;
    stations.insert(stations.end(), facts.stylusStations.begin(), facts.stylusStations.end());
    std::sort(stations.begin(), stations.end());
    stations.erase(std::unique(stations.begin(), stations.end()), stations.end());
    std::vector<std::string> words;
    std::string receivers;
    for (uint32_t station : stations) {
        if (station < 1 || station > 4) continue;
        receivers += (receivers.empty() ? "" : ",") + std::to_string(station);
        words.push_back("--scene");
        words.push_back(std::to_string(station) + "=" + scenes[station - 1]);
    }
    if (!receivers.empty()) words.insert(words.begin(), {"--receivers", receivers});
    for (uint32_t station : facts.stylusStations) {
        words.push_back("--press");
        words.push_back(std::to_string(station) + "=3,0.6,1");
    }
    return words;
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

namespace {

// The program as execv needs it: a name without a slash is looked up on the PATH here, before the
// fork, because the child may only make async-signal-safe calls.
std::string resolve(const std::string& program) {
    if (program.find('/') != std::string::npos) return program;
    const char* path = std::getenv("PATH");
    std::string folders = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    for (size_t start = 0; start <= folders.size();) {
        size_t end = folders.find(':', start);
        if (end == std::string::npos) end = folders.size();
        const std::string candidate = (end > start ? folders.substr(start, end - start) : ".") + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return program;
}

}  // namespace

bool Simulator::start(const std::string& program, const std::string& link, const std::vector<std::string>& arguments,
                      std::string& error) {
    const std::string path = resolve(program);
    std::vector<std::string> words = {program, "--link", link};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(&word[0]);
    argv.push_back(nullptr);

    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        error = "cannot make a pipe for fastrak-sim";
        return false;
    }
    int reported[2];  // closed by the exec; an errno comes through it when the exec fails
    if (pipe2(reported, O_CLOEXEC) != 0) {
        close(ends[0]);
        close(ends[1]);
        error = "cannot make a pipe for fastrak-sim";
        return false;
    }
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        // Its own process group: Ctrl-C on the terminal is ours to handle, and the emulator must
        // outlive it until the devices have sent their stop commands. It ends with us all the
        // same, also when we are killed and can clean nothing up.
        setpgid(0, 0);
#if defined(__linux__)
        prctl(PR_SET_PDEATHSIG, SIGTERM);
#endif
        if (getppid() != parent) _exit(127);  // we died before the line above took effect
        dup2(ends[1], STDOUT_FILENO);
        dup2(ends[1], STDERR_FILENO);
        execve(path.c_str(), argv.data(), environ);
        const int failure = errno;
        (void)!write(reported[1], &failure, sizeof failure);
        _exit(127);
    }
    close(ends[1]);
    close(reported[1]);
    int failed = pid < 0 ? errno : 0;
    if (pid > 0) {
        int childError = 0;
        ssize_t got;
        while ((got = read(reported[0], &childError, sizeof childError)) < 0 && errno == EINTR) {
        }
        if (got == static_cast<ssize_t>(sizeof childError)) {
            failed = childError;
            waitpid(pid, nullptr, 0);
        }
    }
    close(reported[0]);
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
        // It is likely on its way out; its own exit status tells a usage error from the rest.
        for (int waited = 0; waited < 40; ++waited) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                remember(0, pid_);
                pid_ = -1;
                break;
            }
            usleep(50 * 1000);
        }
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
            // Its lines name it already.
            const std::string line = pending.substr(0, end);
            hostInfo(line.compare(0, 13, "fastrak-sim: ") == 0 ? line : "fastrak-sim: " + line);
            pending.erase(0, end + 1);
        }
    }
}

void Simulator::stop() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        remember(0, pid_);
        pid_ = -1;
    }
    if (forwarder_.joinable()) forwarder_.join();
    if (output_ >= 0) close(output_);
    output_ = -1;
}

#endif

}  // namespace fastrakhost
