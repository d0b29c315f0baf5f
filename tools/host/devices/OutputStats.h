// OutputStats: per-output figures (rate, longest gap, noise while still) over a sliding window and
// over the whole run; the web view shows the first, the end of a run prints the second.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "devices/PoseBoard.h"

namespace fastrakhost {

struct OutputFigures {
    std::string device;
    uint32_t output = 0;
    Sample::Kind kind = Sample::Kind::Tracker;
    uint64_t records = 0;
    double rateHz = 0;           // records a second over the span
    double longestGapMs = 0;     // between two records of the span
    bool still = false;          // window: standing still now; run: still for some stretch
    double stillSeconds = 0;     // how long (window: the current stretch; run: all stretches)
    double positionNoiseMm = 0;  // RMS distance from the mean position while still
    double angleNoiseDeg = 0;    // RMS of the three angles' deviations from their mean while still
};

// Fed by the reception threads (add), read by the main thread and the web server.
class OutputStats {
public:
    using Key = std::pair<int, uint32_t>;  // kind (0 tracker, 1 controller), output, as PoseBoard's rows

    static constexpr double kWindowSeconds = 5;
    // Still: every record of a stretch within this of the reference pose, for at least kStillSeconds.
    // A receiver that does not move publishes nothing (only changed records are), so the stretch
    // lasts until the next record that leaves these bounds, or until now; but only the time its
    // device's line delivered counts: a gap of more than kHeardGapSeconds between two records or
    // heard() calls (a silence, a lost line, a paused host) is no time standing still.
    static constexpr double kStillMm = 5;
    static constexpr double kStillDeg = 2;
    static constexpr double kStillSeconds = 0.5;
    static constexpr double kHeardGapSeconds = 1;

    void add(const Sample& sample);
    // The device's line delivered at `at`, a record that was not published (unchanged) included.
    void heard(const std::string& device, SteadyTime at);

    // The last kWindowSeconds, as of now; noise over the current still stretch.
    std::map<Key, OutputFigures> window(SteadyTime now) const;
    // From each output's first record to end; noise pooled over every still stretch.
    std::map<Key, OutputFigures> run(SteadyTime end) const;

    // The end-of-run table, one string per line, no wider than `width`: where the whole table is
    // wider, the rates and the stillness go in two tables one below the other.
    static std::vector<std::string> table(const std::map<Key, OutputFigures>& figures,
                                          size_t width = static_cast<size_t>(-1));

private:
    struct Point {
        SteadyTime at;
        double heard;  // the device's delivering seconds up to at
        double pose[6];
    };
    // A device's line: the seconds it delivered, up to the last time it was heard.
    struct Line {
        bool any = false;
        SteadyTime last{};
        double delivered = 0;
        void hear(SteadyTime at);
        double upTo(SteadyTime at) const;  // the seconds up to a time at or after last
    };
    // Mean and sum of squared deviations of the pose (mm, degrees) since the stretch began.
    struct Stretch {
        double heardAtStart = 0;  // the line's delivering seconds when the stretch began
        double anchor[6] = {0, 0, 0, 0, 0, 0};
        uint64_t n = 0;
        double mean[6] = {0, 0, 0, 0, 0, 0};
        double m2[6] = {0, 0, 0, 0, 0, 0};
        void begin(const Point& point);
        bool holds(const Point& point) const;
        void take(const Point& point);
    };
    struct Track {
        std::string device;
        std::deque<Point> recent;
        uint64_t records = 0;
        SteadyTime first{}, last{};
        double longestGap = 0;  // seconds
        Stretch stretch;
        // Pooled over the closed stretches that were long enough.
        uint64_t stillRecords = 0;
        double stillSeconds = 0, positionSquares = 0, angleSquares = 0;
    };

    static void close(const Stretch& stretch, double heardAtEnd, uint64_t& records, double& seconds, double& positions,
                      double& angles);

    mutable std::mutex mutex_;
    std::map<Key, Track> tracks_;
    std::map<std::string, Line> lines_;
};

}  // namespace fastrakhost
