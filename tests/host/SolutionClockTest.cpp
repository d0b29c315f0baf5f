// The estimate of when the tracker measured, from synthetic arrivals: a tracker on its own clock
// (which may drift), its line at a speed, a delivery that is only ever late (a USB adapter's
// timer, the system's wake-ups), and the events that must re-lock the grid.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "devices/SolutionClock.h"

namespace {

using fastrakhost::LineTiming;
using fastrakhost::SolutionClock;

struct Line {
    const char* name;
    double baud;
    std::vector<uint32_t> stations;
    double ppm;     // the tracker's clock against ours
    double usbMs;   // an adapter's latency timer; 0: none
    double wakeMs;  // the system's delivery: late by up to this much, at random
    enum Event { None, Silence, Lost, Stall, NewStation } event;
    double at;     // s: the tracker falls silent for half a second and comes back on another
                   // phase; or loses 30 solutions, its stations keeping their turns; or the
                   // host reads nothing for 300 ms; or a station joins
    double bound;  // ms: |measured - solution| allowed, 0.3 s after the start, 1 s after the event
};

// Records as the tracker sends them: a solution every period for the next station in turn, each
// record starting at solution + latency once the line is free, and dropped (the station keeping
// its turn) when it cannot start within its cycle.
std::vector<double> errorsOf(const Line& line) {
    const double period = (1.0 / 120) * (1 + line.ppm * 1e-6), latency = 0.004;
    std::mt19937 random(7);
    std::uniform_real_distribution<double> wake(0, line.wakeMs / 1000);
    LineTiming timing;
    timing.baud = line.baud;
    timing.stations = line.stations;
    if (line.event == Line::NewStation) timing.stations.pop_back();
    SolutionClock clock(timing);
    std::vector<double> errors;
    double free = 0, shift = 0;
    size_t turn = 0;
    const double usb = line.usbMs / 1000;
    double timer = 0.0031, due = timer;
    for (int k = 0; k < 120 * 12; ++k) {
        double solution = 100 + k * period + shift;
        const bool after = line.event != Line::None && solution >= 100 + line.at;
        if (after && (line.event == Line::Silence || line.event == Line::Lost) && shift == 0) {
            shift = line.event == Line::Silence ? 0.5 + period / 3 : 30 * period;
            continue;
        }
        if (after && line.event == Line::NewStation && timing.stations != line.stations) {
            timing.stations = line.stations;
            clock.retime(timing);
        }
        const uint32_t station = timing.stations[turn % timing.stations.size()];
        const double tx = 29 * 10 / line.baud;
        const double start = std::max(free, solution + latency);
        if (start > solution + latency + period) continue;  // no room: the solution is lost
        ++turn;
        free = start + tx;
        double arrival = free;
        if (usb > 0 && arrival > due) {
            // As an adapter does: a packet when its timer expires, the timer restarting at every
            // packet (which itself goes out a little late) and running on while nothing waits.
            timer = due + usb * std::floor((arrival - due) / usb);
            due = timer + usb + wake(random);
        }
        if (usb > 0) arrival = due;
        arrival += wake(random);
        if (line.event == Line::Stall && solution - 100 >= line.at && solution - 100 < line.at + 0.3)
            arrival = std::max(arrival, 100 + line.at + 0.3 + 0.00001 * k);
        const double error = clock.measured(arrival, 29, station) - solution;
        const double since = solution - 100;
        const double settle = line.event == Line::Silence ? 1.5 : line.event == Line::Lost ? 0.3 : 1;
        const bool settling =
            line.event != Line::None && line.event != Line::Stall && since >= line.at && since < line.at + settle;
        if (since > 0.3 && !settling) errors.push_back(std::fabs(error) * 1000);
    }
    return errors;
}

TEST(SolutionClock, MeasuredTimesHoldTheirBoundThroughJitterDriftGapsAndNewStations) {
    const Line lines[] = {
        {"115200, one station, delivered at once", 115200, {1}, 0, 0, 0.05, Line::None, 0, 0.05},
        {"115200, four stations, USB 16 ms", 115200, {1, 2, 3, 4}, 0, 16, 0.05, Line::None, 0, 0.25},
        {"115200, four stations, USB 1 ms", 115200, {1, 2, 3, 4}, 0, 1, 0.05, Line::None, 0, 0.35},
        {"a tracker clock 200 ppm fast", 115200, {1, 2}, 200, 1, 0.1, Line::None, 0, 0.35},
        {"a tracker clock 200 ppm slow", 115200, {1, 2}, -200, 1, 0.1, Line::None, 0, 0.35},
        {"38400: a record fits its cycle", 38400, {1, 2, 3}, 0, 0, 0.1, Line::None, 0, 0.05},
        // A 1 ms timer against an 8.33 ms grid takes three phases only: the earliest arrival stays
        // up to a third of a millisecond late.
        // The line runs back to back: a record's solution is somewhere in the period before it.
        {"9600: the line saturated", 9600, {1, 2, 3, 4}, 0, 0, 0.1, Line::None, 0, 4.3},
        {"9600 through a USB adapter", 9600, {1, 2, 3, 4}, 0, 16, 0.1, Line::None, 0, 5.0},
        {"a silent half second, back on a new phase", 115200, {1, 2}, 0, 1, 0.1, Line::Silence, 5, 0.35},
        // Lost solutions leave records a quarter second late on a steady line: a few tell.
        {"30 solutions lost unseen", 115200, {1, 2}, 0, 0, 0.05, Line::Lost, 5, 0.05},
        // Held-up records are late, not a new phase: no record's estimate suffers.
        {"the host held up for 300 ms", 115200, {1, 2, 3, 4}, 0, 16, 0.1, Line::Stall, 5, 0.5},
        {"a station added", 115200, {1, 2, 3}, 0, 1, 0.1, Line::NewStation, 5, 0.35},
    };
    for (const Line& line : lines) {
        SCOPED_TRACE(line.name);
        std::vector<double> errors = errorsOf(line);
        ASSERT_GT(errors.size(), 300u);
        std::sort(errors.begin(), errors.end());
        EXPECT_LE(errors[errors.size() * 99 / 100], line.bound) << "p99";
        EXPECT_LE(errors.back(), line.bound * 1.5 + 0.2) << "max";
    }
}

}  // namespace
