// Simulator: fastrak-sim started as a child process on its own pseudo-terminal, for --simulate.
#pragma once

#include <string>
#include <thread>
#include <vector>

#include "devices/DeviceFacts.h"

namespace fastrakhost {

// The emulator's arguments for a device: a receiver in motion on each station of its sensors line
// (all on the -Y side, the module's default hemisphere) and on its stylus's station, the stylus
// pressed now and then. The built-in device (stations 1 and 2, the stylus on 1) gets a circle and
// a figure eight.
std::vector<std::string> sceneArguments(const DeviceFacts& facts);

class Simulator {
public:
    Simulator() = default;
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Starts program with --link link and the given arguments, and waits for the terminal's path.
    bool start(const std::string& program, const std::string& link, const std::vector<std::string>& arguments,
               std::string& error);
    const std::string& terminal() const { return terminal_; }
    void stop();
    // After a failed start: the emulator exited with status 2, a usage error in its arguments.
    bool refusedItsArguments() const { return exitStatus_ == 2; }

    // fastrak-sim beside this program, in the build tree's tools/sim, or on the PATH.
    static std::string findProgram();
    // Ends every running emulator; safe in a signal handler (the emulators do not share our
    // process group, so an exit at once would leave them running).
    static void terminateAllFromSignal();

private:
    void forward();

    int pid_ = -1;
    int output_ = -1;
    int exitStatus_ = -1;
    std::thread forwarder_;
    std::string terminal_;
};

}  // namespace fastrakhost
