// fastrak-sim --replay: the program's replay mode.
#pragma once

#include <signal.h>

#include <string>

namespace fastraksim {

struct ReplayRun {
    std::string file, device, link;
    double speed = 1.0;
    bool loop = false;
    double duration = 0;
};

// Returns the exit status: 2 for a capture that cannot be read or used, 1 for a link that cannot
// be made, 3 when the commands received differed from the capture, 0 otherwise.
int runReplay(const ReplayRun& run, const sigset_t& signals);

}  // namespace fastraksim
