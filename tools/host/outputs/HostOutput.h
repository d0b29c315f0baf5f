// HostOutput: what every output of the host (OSC, OpenIGTLink, the web view) offers the reception
// threads and the main loop.
#pragma once

#include <string>

#include "devices/PoseBoard.h"

namespace fastrakhost {

class HostOutput {
public:
    virtual ~HostOutput() = default;
    // Nothing configured: the output is neither started nor fed.
    virtual bool empty() const = 0;
    virtual void start() = 0;
    // Called on a reception thread for every published record: copies and returns, never waits on
    // the network or a slow receiver.
    virtual void publish(const Sample& sample) = 0;
    virtual void stop() = 0;
    // One part of the closing line, "" when there is nothing to say.
    virtual std::string summary() const = 0;
    // The once-a-second log line of what was replaced, dropped or refused, when anything was.
    virtual void report() = 0;
};

}  // namespace fastrakhost
