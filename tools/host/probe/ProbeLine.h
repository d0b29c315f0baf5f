// ProbeLine: one serial port held for the probe, on POSIX terminals or Windows COM ports.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace fastrakhost {

// Set when a signal asks the probe to stop: reads end early so the port is put back at once.
bool probeStopping();

// The port opened exclusively, its settings saved and put back when the line is destroyed.
class ProbeLine {
public:
    explicit ProbeLine(const std::string& port);
    ~ProbeLine();
    ProbeLine(const ProbeLine&) = delete;
    ProbeLine& operator=(const ProbeLine&) = delete;

    // Why the port could not be taken; empty when it was.
    const std::string& problem() const { return problem_; }
    // The port does not exist (as opposed to existing but refusing us).
    bool missing() const { return missing_; }
    // The user may not open it: on Linux, not in the port's group.
    bool denied() const { return denied_; }
    // Another program holds it (its lock, or its exclusive open, keeps us out).
    bool inUse() const { return inUse_; }

    // Raw 8N1 at the speed, no flow control, input flushed.
    bool setSpeed(unsigned baud);
    void send(const std::string& bytes);
    // Everything that arrives within the window, or until a signal or a hang-up.
    std::string readFor(std::chrono::milliseconds window);

private:
    struct Held;
    std::unique_ptr<Held> held_;
    std::string problem_;
    bool missing_ = false;
    bool denied_ = false;
    bool inUse_ = false;
};

// The programs that have the port open, "fastrak-host (process 4711)", joined by ", "; "" where
// the system does not tell (another user's programs, Windows).
std::string portHolders(const std::string& port);

// The serial ports worth trying on this system, the likeliest first.
std::vector<std::string> systemSerialPorts();

// What to check when no port exists at all, one "  - " line each: cable, driver, and the user's
// permission or the port's name, as this system has them.
std::string noPortAdvice();

// What to do about a port the user may not open.
std::string permissionAdvice();

}  // namespace fastrakhost
