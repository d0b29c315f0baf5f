// SolutionClock: the lower envelope of the arrivals against the tracker's solution grid.
#include "devices/SolutionClock.h"

#include <algorithm>
#include <limits>

namespace fastrakhost {
namespace {

// The tracker's clock against ours: crystals are within a few hundred parts per million.
constexpr double kMaxDrift = 1e-3;
// A slope is fitted only over this much of the grid; shorter spans take the nominal rate (over
// one second, bursts 16 ms apart gave slopes 800 ppm off, far more than a tracker drifts).
constexpr double kSlopeSpan = 2.0;
// An arrival this far before the grid's line means the grid moved (a new phase, a clock step).
constexpr double kEarly = 0.001;
// Over this stretch the earliest arrival must come near the line; when none does, solutions were
// lost unseen and the records are counted against the wrong slots.
constexpr double kLateSpan = 0.5;
// The phase is taken from the arrivals of this last stretch.
constexpr double kPhaseSpan = 2.0;
// On a line whose arrivals are seldom late, this many late records in a row mean the grid moved.
constexpr size_t kLateRecords = 4;
// Records read further apart than this came in separate deliveries (a host held up between two
// records of one delivery reads them a little apart).
constexpr double kApart = 0.002;

double cross(double ax, double ay, double bx, double by, double cx, double cy) {
    return (bx - ax) * (cy - ay) - (by - ay) * (cx - ax);
}

}  // namespace

bool LineTiming::operator==(const LineTiming& other) const {
    return baud == other.baud && solutionPeriod == other.solutionPeriod && latency == other.latency &&
           stations == other.stations;
}

SolutionClock::SolutionClock(LineTiming timing) : timing_(std::move(timing)) {}

void SolutionClock::retime(const LineTiming& timing) {
    if (timing == timing_) return;
    timing_ = timing;
    relock();
}

void SolutionClock::relock() {
    points_.clear();
    locked_ = 0;
    x_ = 0;
}

size_t SolutionClock::skippedBetween(uint32_t from, uint32_t to) const {
    const auto& order = timing_.stations;
    const auto a = std::find(order.begin(), order.end(), from), b = std::find(order.begin(), order.end(), to);
    if (a == order.end() || b == order.end()) return 0;
    const size_t n = order.size();
    const size_t step = (static_cast<size_t>(b - a) + n) % n;
    // The same station again: the others' records came and were not published (unchanged).
    return step == 0 ? n - 1 : step - 1;
}

double SolutionClock::lineAt(double x) const {
    const double span = points_.back().x - points_.front().x;
    double slope = 1.0;
    if (span >= kSlopeSpan) {
        // The lower hull, left to right: its corners are the earliest arrivals. The slope joins
        // the corners a quarter of the window either side of the points' mean x, not the edge
        // over it: an edge between two corners a few tenths of a second apart, each late by a
        // different tenth of a millisecond, is hundreds of ppm off.
        std::vector<const Point*>& hull = hull_;
        hull.clear();
        double meanX = 0;
        for (const Point& p : points_) {
            meanX += p.x;
            while (hull.size() >= 2 && cross(hull[hull.size() - 2]->x, hull[hull.size() - 2]->y, hull.back()->x,
                                             hull.back()->y, p.x, p.y) <= 0)
                hull.pop_back();
            hull.push_back(&p);
        }
        meanX /= static_cast<double>(points_.size());
        size_t a = 0, b = hull.size() - 1;
        for (size_t i = 0; i < hull.size() && hull[i]->x <= meanX - span / 4; ++i) a = i;
        for (size_t i = hull.size(); i-- > 0 && hull[i]->x >= meanX + span / 4;) b = i;
        if (b > a) slope = (hull[b]->y - hull[a]->y) / (hull[b]->x - hull[a]->x);
        slope = std::min(std::max(slope, 1.0 - kMaxDrift), 1.0 + kMaxDrift);
    }
    // The rate from the whole window, the phase from its recent part: a slope fitted between
    // clusters of early arrivals is off by their depths over their distance, which the long
    // baseline keeps small, and the short one keeps what is left of it from adding up.
    double latest = std::numeric_limits<double>::infinity(), earliest = -latest;
    size_t together = 0, recent = 0;
    for (const Point& p : points_) {
        if (points_.back().x - p.x > kPhaseSpan) continue;
        ++recent;
        latest = std::min(latest, p.y - slope * p.x);
        earliest = std::max(earliest, p.z - slope * p.x);
        together += p.together;
    }
    // Only bursts bound the grid closely from below; records that come one by one bound it from
    // above closely and from below by chance (a record that came late), so they keep the upper.
    const double width = 4 * together >= recent ? latest - earliest : 0;
    // Deliveries in bursts (a USB adapter's) bound the grid from below too: the first record of a
    // burst ended after the burst before. When the two bounds come close, their middle.
    const double offset = width > 0 && width < timing_.solutionPeriod / 2 ? latest - width / 2 : latest;
    return offset + slope * x;
}

double SolutionClock::measured(double arrival, size_t bytes, uint32_t station) {
    const double tx = recordSeconds(bytes);
    const double period = timing_.solutionPeriod;
    // A record that takes longer than a solution period cannot go out for every solution: the line
    // then runs back to back, each record taking the latest solution when the line frees, up to a
    // period before; its phase is not in the arrivals, so the middle of that period is taken.
    const bool saturated = tx > period;
    // A clock stepped back. A gap is left to the arrivals: a host held up reads the records it
    // missed at once, and on the grid they are merely late; a tracker silent for a while comes back
    // late on every record, which the check below sees.
    if (locked_ > 0 && arrival < lastArrival_ - kEarly) relock();
    if (locked_ > 0) {
        const size_t skipped = skippedBetween(lastStation_, station);
        x_ += saturated ? lastBytes_ * 10.0 / timing_.baud + static_cast<double>(skipped) * tx
                        : static_cast<double>(skipped + 1) * period;
    }
    const double before = tx + timing_.latency + (saturated ? period / 2 : 0.0);
    const double y = arrival - before;
    // From the second record on, so that the bounds from above and below narrow together: a lower
    // bound that starts late is the looser one, and their middle then lies early.
    const double z = locked_ > 0 && arrival - lastArrival_ > kApart ? lastArrival_ - before
                                                                    : -std::numeric_limits<double>::infinity();
    if (locked_ > 1 && y < lineAt(x_) - kEarly) relock();
    points_.push_back(Point{x_, y, z, locked_ > 0 && arrival - lastArrival_ <= kApart});
    while (x_ - points_.front().x > kWindow) points_.pop_front();
    if (points_.size() >= 8) {
        // Every recent arrival a good part of a period late, and coming at the grid's pace (a held-up
        // host's backlog comes at once): the grid moved on without us (a silence, solutions lost
        // unseen). The recent arrivals alone hold the grid now. How recent: on a line whose
        // arrivals are seldom late, a few records tell; bursts take longer to show their earliest.
        const double line = lineAt(x_);
        std::vector<double>& late = late_;
        late.clear();
        for (const Point& p : points_) late.push_back(p.y - (line - (x_ - p.x)));
        std::vector<double>& sorted = sorted_;
        sorted.assign(late.begin(), late.end());
        const auto tenth = sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() * 9 / 10);
        std::nth_element(sorted.begin(), tenth, sorted.end());
        const bool steady = *tenth < period / 4;
        double least = std::numeric_limits<double>::infinity();
        size_t n = 0;
        auto p = points_.rbegin();
        for (; p != points_.rend() && (steady ? n < kLateRecords : x_ - p->x <= kLateSpan); ++p, ++n)
            least = std::min(least, late[late.size() - 1 - n]);
        const bool enough = p != points_.rend();
        const bool paced = n >= 2 && (points_.back().y - p[-1].y) >= 0.5 * (x_ - p[-1].x);
        if (enough && paced && least > period / 2) {
            while (points_.size() > n) points_.pop_front();
        }
    }
    lastArrival_ = arrival;
    lastStation_ = station;
    lastBytes_ = static_cast<double>(bytes);
    ++locked_;
    return lineAt(x_);
}

}  // namespace fastrakhost
