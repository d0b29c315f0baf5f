// HostOutput: what every output of the host (OSC, OpenIGTLink, the web view) offers the reception
// threads and the main loop, written once over the output's parts (its server or destinations).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "devices/PoseBoard.h"

namespace fastrakhost {

// How opening a server or destination went: a mistake in what was given (a usage error), or the
// system refused (the address is taken, the destination does not answer).
enum class OpenResult { Opened, BadAddress, CannotOpen };

// What an output has done since it started; each output fills the fields that apply to it.
struct OutputTotals {
    uint64_t sent = 0;      // records sent, or for the web view taken for its streams
    uint64_t replaced = 0;  // poses that gave way to newer ones for a slow receiver
    uint64_t skipped = 0;   // records a slow web stream passed over
    uint64_t dropped = 0;   // button events or clients given up on
    uint64_t errors = 0;    // failed sends
    uint64_t clients = 0;   // connected now
};

// One count of an output's summary: its total and its word, "1200 sent".
struct OutputCount {
    uint64_t OutputTotals::*total;
    const char* word;
};
inline constexpr OutputCount kSentCount{&OutputTotals::sent, "sent"};
inline constexpr OutputCount kReplacedCount{&OutputTotals::replaced, "replaced"};
inline constexpr OutputCount kSkippedCount{&OutputTotals::skipped, "skipped"};
inline constexpr OutputCount kDroppedCount{&OutputTotals::dropped, "dropped"};
inline constexpr OutputCount kErrorsCount{&OutputTotals::errors, "errors"};
inline constexpr OutputCount kClientsCount{&OutputTotals::clients, "clients"};

class HostOutput {
public:
    HostOutput(const HostOutput&) = delete;
    HostOutput& operator=(const HostOutput&) = delete;
    // Each part stops as it goes.
    virtual ~HostOutput() = default;

    // False in a build without the output's library: there open() refuses.
    virtual bool available() const { return false; }
    // Opens a server or a destination at WHERE; on failure message says "WHERE: why". An output
    // whose library this build lacks refuses, naming the library.
    virtual OpenResult open(const std::string& where, std::string& message);
    // Nothing configured: the output is neither started nor fed.
    bool empty() const { return parts_.empty(); }
    void start();
    // Called on a reception thread for every published record: copies and returns, never waits on
    // the network or a slow receiver.
    void publish(const Sample& sample);
    // Sends what still waits, for at most a second, then ends every thread and socket.
    void stop();
    OutputTotals totals() const;
    // Called often; at most once a second logs what was replaced, dropped or refused, if anything was.
    void report();
    // One part of the closing line and the live view's head, "IGTL 1200 sent, 3 replaced", or ""
    // for an output not opened.
    std::string summary() const;

    // A server or a destination, with its own threads and sockets; its destructor stops it.
    class Part {
    public:
        virtual ~Part() = default;
        virtual void start() = 0;
        virtual void publish(const Sample& sample) = 0;
        virtual void stop() = 0;
        virtual void count(OutputTotals& totals) const = 0;
        // The log lines about what happened since the last call; collected, not logged, so that a
        // blocked standard output never holds a lock that publish() needs.
        virtual void reportLines(std::vector<std::string>& lines) = 0;
    };

protected:
    // WHAT for the user ("OpenIGTLink output"), LIBRARY for the refusal of a build without it;
    // the summary is LABEL and the COUNTS in order.
    HostOutput(const char* what, const char* library, const char* label, std::vector<OutputCount> counts)
        : what_(what), library_(library), label_(label), counts_(std::move(counts)) {}

    void addPart(std::unique_ptr<Part> part) { parts_.push_back(std::move(part)); }

private:
    const char* what_;
    const char* library_;
    const char* label_;
    std::vector<OutputCount> counts_;
    std::vector<std::unique_ptr<Part>> parts_;
    SteadyTime lastReport_{};
};

}  // namespace fastrakhost
