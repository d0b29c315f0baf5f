// SolutionClock: when the tracker measured each record, estimated from when its bytes arrived.
//
// The tracker measures on a fixed grid (its solution period, shared in turn among the active
// stations) and starts each record a fixed latency later; the line then takes ten bits a byte.
// Bytes are never early, only late (the system's delivery, a USB adapter's bursts), so the
// earliest arrivals over a window, taken against the grid, give the grid's phase, and their slope
// the rate of the tracker's clock against ours. Times are plain seconds on any one clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace fastrakhost {

struct LineTiming {
    double baud = 115200;               // bits a second; a byte takes ten
    double solutionPeriod = 1.0 / 120;  // one solution, for one station in turn
    double latency = 0.004;             // from a solution to its record's first byte
    std::vector<uint32_t> stations;     // the active stations, in the order their records come
    bool operator==(const LineTiming& other) const;
};

class SolutionClock {
public:
    explicit SolutionClock(LineTiming timing = LineTiming());

    // A changed speed, period or station set re-locks.
    void retime(const LineTiming& timing);
    // After a reset or a reconnection: the grid starts anew.
    void relock();

    // The estimated solution time of a record of `bytes` bytes from `station`, read at `arrival`.
    double measured(double arrival, size_t bytes, uint32_t station);

    // How far back the earliest arrivals are looked for (for the rate; the phase looks less far).
    static constexpr double kWindow = 16.0;

private:
    struct Point {
        double x;       // nominal seconds along the grid since the lock
        double y;       // the arrival less what the grid puts before it: never below the grid's line
        double z;       // the same for the previous delivery, which came without it: below the line
        bool together;  // read with the record before it: one delivery brought both
    };

    // How many records of the station order lie strictly between `from` and `to`.
    size_t skippedBetween(uint32_t from, uint32_t to) const;
    double recordSeconds(size_t bytes) const { return static_cast<double>(bytes) * 10.0 / timing_.baud; }
    // The line under the window's points that touches them nearest their mean, at x.
    double lineAt(double x) const;

    LineTiming timing_;
    std::deque<Point> points_;
    double lastArrival_ = 0;
    uint32_t lastStation_ = 0;
    double lastBytes_ = 0;
    double x_ = 0;
    uint64_t locked_ = 0;
    // Scratch for each record's fit, kept so that the reception thread does not allocate.
    mutable std::vector<const Point*> hull_;
    std::vector<double> late_, sorted_;
};

}  // namespace fastrakhost
