// The emulated tracker on a pseudo-terminal: one I/O thread that reads commands, produces
// solutions at the tracker's rate, paces bytes at the line speed and injects faults.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Distortion.h"
#include "Motion.h"
#include "SimLog.h"
#include "TrackerModel.h"

namespace fastraksim {

struct SimOptions {
    double resetSeconds = 10.0;     // silent time after control-Y
    unsigned baud = 0;              // 0: the speed the driver set on the pty (9600 if unreadable)
    bool paced = true;              // false: bytes go out as fast as the pty takes them
    double solutionRate = 120.0;    // solutions per second shared by the active stations; 0: free-running
                                    // (otherwise kept within kMinRate..kMaxRate)
    double latencySeconds = 0.004;  // from the solution to the start of its record (at most kMaxLatency)
    uint64_t seed = 1;
    std::array<bool, 4> receivers{true, true, true, true};
    size_t logCapacity = 100000;        // entries kept in memory (the oldest go first); 0 keeps none
    size_t receivedCapacity = 1 << 20;  // received bytes kept for received() (the oldest go first)
    size_t outputBuffer = 1024;         // the transmitter's buffer: records and replies waiting for the line
    double usbSeconds = 0;              // > 0: a USB-serial adapter's latency timer between line and host
    DistortionParams distortion;        // none by default
};

constexpr double kMinRate = 0.01;
constexpr double kMaxRate = 100000.0;
constexpr double kMaxLatency = 10.0;
constexpr double kMaxResetSeconds = 3600.0;

// Rates are probabilities per record (0..1); times are seconds since start. Negative: off.
struct FaultSettings {
    double noiseRate = 0;    // random bytes before a record
    size_t noiseBytes = 8;   // at most this many
    double corruptRate = 0;  // bytes of a record changed
    size_t corruptBytes = 1;
    double dropRate = 0;  // bytes of a record left out
    size_t dropBytes = 1;
    double overrunRate = 0;  // a contiguous run of a record's bytes lost, as a UART overrun loses them
    size_t overrunBytes = 6;
    double longRunRate = 0;  // a "0" and then bytes without CR or LF, before a record
    size_t longRunBytes = 600;
    double silenceAt = -1;  // nothing is sent from here for silenceFor seconds,
    double silenceFor = 0;
    double silenceEvery = 0;  // and again every silenceEvery seconds when positive
    double hangUpAt = -1;     // the emulator closes its side
};

struct SimStats {
    uint64_t commands = 0;          // pieces of input handled, stray bytes included
    uint64_t errors = 0;            // commands answered with an error record
    uint64_t records = 0;           // records fully written
    uint64_t replies = 0;           // error and status records written
    uint64_t solutionsDropped = 0;  // solutions the line had no room for (or silenced)
    uint64_t bytesSent = 0;
    uint64_t bytesReceived = 0;
    uint64_t noiseBursts = 0;
    uint64_t longRuns = 0;
    uint64_t resets = 0;         // resets completed
    uint64_t stylusEvents = 0;   // presses that acted as P or toggled continuous output
    uint64_t overflows = 0;      // records and replies the full output buffer had no room for
    uint64_t lostNoReader = 0;   // records and replies lost while no driver had the terminal open
    uint64_t queuedBytes = 0;    // records and replies waiting for the line now
    bool readerPresent = false;  // a driver has the terminal open (always true if that cannot be told)
    bool silent = false;
    bool resetting = false;
    bool hungUp = false;
};

class FastrakSim {
public:
    using Clock = std::chrono::steady_clock;

    explicit FastrakSim(const SimOptions& options = SimOptions{});
    ~FastrakSim();
    FastrakSim(const FastrakSim&) = delete;
    FastrakSim& operator=(const FastrakSim&) = delete;

    // Opens the pty pair (raw, 9600 baud) and starts the I/O thread. False with a reason otherwise.
    bool start(std::string& error);
    void stop();

    // The side a driver opens, e.g. /dev/pts/7.
    std::string slavePath() const;

    void setMotion(int station, MotionPtr motion);
    void setFaults(const FaultSettings& faults);
    void setPaced(bool paced);
    void setBaud(unsigned baud);
    void setSolutionRate(double rate);
    void setResetSeconds(double seconds);
    void setLatency(double seconds);
    void hangUp();

    // The speed the output is paced at now.
    unsigned lineBaud() const;
    // The instant motion time 0 belongs to.
    Clock::time_point startTime() const { return start_; }

    std::vector<LogEntry> log() const;
    std::vector<LogEntry> entries(LogEntry::Kind kind) const;
    std::string received() const;  // the bytes received, in order (the last receivedCapacity of them)
    void clearLog();
    // Called for every entry, on the I/O thread, while the emulator's lock is held.
    void setLogSink(std::function<void(const LogEntry&)> sink);

    SimStats stats() const;
    TrackerState trackerState() const;
    // Waits until `done` holds for the counters or the time is up; returns the last result.
    bool waitUntil(const std::function<bool(const SimStats&)>& done, std::chrono::milliseconds timeout) const;
    bool waitForRecords(uint64_t count, std::chrono::milliseconds timeout) const;
    bool waitForCommands(uint64_t count, std::chrono::milliseconds timeout) const;

private:
    struct Pending {
        std::string bytes;
        size_t sent = 0;
        Clock::time_point notBefore;
        LogEntry entry;
    };

    void run();
    void step(Clock::time_point now);
    void solution(Clock::time_point t);
    void handleInput(const char* data, size_t n, Clock::time_point now);
    void enqueueRecord(int station, Clock::time_point solutionAt, bool withFaults);
    void enqueue(std::string bytes, LogEntry entry, Clock::time_point notBefore);
    bool lineHasRoom(Clock::time_point t) const;
    void writeOutput(Clock::time_point now);
    void writeLine(Clock::time_point now);
    ssize_t emit(const char* bytes, size_t count);
    void deliverUsb(Clock::time_point now);
    void dropQueue(const char* why);
    // Logs an item that never reaches the line and counts it as lost for `why`.
    void lose(LogEntry entry, const std::string& bytes, const std::string& why);
    void readOpens();
    void noReader();
    size_t trackerBytesQueued() const;
    void closeSides();
    void addLog(LogEntry entry);
    unsigned readBaud() const;
    // The speed the driver set on the terminal, 0 when it cannot be read.
    unsigned terminalBaud() const;
    // True while the driver's speed differs from the tracker's (--baud); logs each change.
    bool speedMismatch(Clock::time_point now);
    void wake() const;
    double secondsSince(Clock::time_point t) const;
    // Whether motion time `elapsed` lies in a silence window; `boundary` gets the next edge or -1.
    bool silentAt(double elapsed, double& boundary) const;
    Sample sampleAt(int station, Clock::time_point t) const;
    std::string randomBytes(size_t count, bool avoidLineEnd);

    SimOptions options_;
    FaultSettings faults_;
    std::array<MotionPtr, 4> motions_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::thread thread_;
    bool stopRequested_ = false;
    bool started_ = false;
    bool hangUpRequested_ = false;
    int masterFd_ = -1;
    int slaveFd_ = -1;  // held so the master never sees a hang-up while no driver has the port
    int wakeFds_[2] = {-1, -1};
    int watchFd_ = -1;  // inotify on the terminal: opens and closes tell whether a driver holds it
    int openers_ = 0;   // open files on the terminal besides the emulator's own
    std::string slavePath_;

    TrackerModel model_;
    CommandFramer framer_;
    Clock::time_point start_;
    Clock::time_point nextSolution_;
    Clock::time_point resetUntil_;
    Clock::time_point lineClock_;  // when the line finishes the bytes written so far
    std::string usbHeld_;          // bytes off the line that the adapter has not delivered yet
    Clock::time_point usbTimer_;   // the adapter's last delivery (or empty timer expiry)
    Clock::time_point nextWake_;
    bool writeBlocked_ = false;
    size_t roundRobin_ = 0;
    std::vector<int> lastActive_;
    std::array<bool, 4> lastButton_{};
    unsigned baudInUse_ = 9600;
    bool mismatched_ = false;
    std::deque<Pending> queue_;
    std::mt19937_64 faultRandom_;

    std::deque<LogEntry> log_;
    std::string received_;
    SimStats stats_;
    uint64_t nextIndex_ = 0;
    uint64_t nextSeq_ = 0;
    std::function<void(const LogEntry&)> sink_;
};

}  // namespace fastraksim
