// Scenes, stylus presses and CSV trajectories for the emulated receivers.
#include "Motion.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <mutex>
#include <sstream>
#include <vector>

namespace fastraksim {

namespace {

constexpr double kPi = 3.14159265358979323846;

double wrapDegrees(double a) {
    if (a >= -180.0 && a <= 180.0) return a;
    a = std::fmod(a + 180.0, 360.0);
    if (a < 0) a += 360.0;
    return a - 180.0;
}

class Still : public Motion {
public:
    explicit Still(const Pose& pose) : pose_(pose) {}
    Sample at(double) const override { return Sample{pose_, false}; }

private:
    Pose pose_;
};

// Round the centre in the X-Y plane, facing along the way.
class Circle : public Motion {
public:
    explicit Circle(const SceneParams& p) : p_(p) {}
    Sample at(double t) const override {
        const double phase = 2 * kPi * t / p_.period;
        Sample s;
        s.pose = p_.centre;
        s.pose.x += p_.radius * std::cos(phase);
        s.pose.y += p_.radius * std::sin(phase);
        s.pose.azimuth = wrapDegrees(p_.centre.azimuth + phase * 180.0 / kPi + 90.0);
        return s;
    }

private:
    SceneParams p_;
};

// A lying eight (x: one lap, y: two), nodding a little.
class FigureEight : public Motion {
public:
    explicit FigureEight(const SceneParams& p) : p_(p) {}
    Sample at(double t) const override {
        const double w = 2 * kPi / p_.period;
        Sample s;
        s.pose = p_.centre;
        s.pose.x += p_.radius * std::sin(w * t);
        s.pose.y += 0.5 * p_.radius * std::sin(2 * w * t);
        const double vx = std::cos(w * t), vy = std::cos(2 * w * t);
        s.pose.azimuth = wrapDegrees(p_.centre.azimuth + std::atan2(vy, vx) * 180.0 / kPi);
        s.pose.elevation = p_.centre.elevation + 10.0 * std::sin(w * t);
        return s;
    }

private:
    SceneParams p_;
};

uint64_t splitmix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// Uniform in -1..1, fixed by (seed, knot, channel) alone so the walk does not depend on how
// often or in which order it is sampled.
double noiseAt(uint64_t seed, uint64_t knot, uint64_t channel) {
    const uint64_t h = splitmix(splitmix(seed ^ splitmix(knot)) + channel);
    return static_cast<double>(h >> 11) / static_cast<double>(1ull << 52) - 1.0;
}

// A mean-reverting walk on a 0.1 s grid, interpolated in between. Each knot grows from the one
// before, so only a short window of them is kept; an earlier time replays the walk from its start.
class RandomWalk : public Motion {
public:
    explicit RandomWalk(const SceneParams& p) : p_(p) { knots_[0] = p_.centre; }
    Sample at(double t) const override {
        t = std::clamp(t, 0.0, kLongest);
        const double grid = t / kStep;
        const auto k = static_cast<size_t>(grid);
        const double f = grid - static_cast<double>(k);
        Pose a, b;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            extendTo(k + 1);
            a = knots_[k % kKept];
            b = knots_[(k + 1) % kKept];
        }
        Sample s;
        s.pose.x = a.x + f * (b.x - a.x);
        s.pose.y = a.y + f * (b.y - a.y);
        s.pose.z = a.z + f * (b.z - a.z);
        s.pose.azimuth = wrapDegrees(a.azimuth + f * wrapDegrees(b.azimuth - a.azimuth));
        s.pose.elevation = a.elevation + f * (b.elevation - a.elevation);
        s.pose.roll = wrapDegrees(a.roll + f * wrapDegrees(b.roll - a.roll));
        return s;
    }

private:
    static constexpr double kStep = 0.1;
    static constexpr double kPull = 0.05;
    static constexpr size_t kKept = 64;      // knots in memory: a few seconds back from the latest
    static constexpr double kLongest = 1e9;  // seconds; keeps the knot index in range

    // Makes knots k - 1 and k available in the ring.
    void extendTo(size_t k) const {
        if (k - 1 < first_) {
            knots_[0] = p_.centre;
            first_ = 0;
            count_ = 1;
        }
        const double move = p_.speed * kStep * 1.7;  // uniform steps; about `speed` in/s on average
        const double turn = 30.0 * kStep * 1.7;      // and about 30 degrees per second
        while (first_ + count_ <= k) {
            const uint64_t n = first_ + count_;
            Pose q = knots_[(n - 1) % kKept];
            q.x += kPull * (p_.centre.x - q.x) + move * noiseAt(p_.seed, n, 0);
            q.y += kPull * (p_.centre.y - q.y) + move * noiseAt(p_.seed, n, 1);
            q.z += kPull * (p_.centre.z - q.z) + move * noiseAt(p_.seed, n, 2);
            q.azimuth = wrapDegrees(q.azimuth + kPull * wrapDegrees(p_.centre.azimuth - q.azimuth) +
                                    turn * noiseAt(p_.seed, n, 3));
            q.elevation = std::clamp(
                q.elevation + kPull * (p_.centre.elevation - q.elevation) + turn * noiseAt(p_.seed, n, 4), -85.0, 85.0);
            q.roll = wrapDegrees(q.roll + kPull * wrapDegrees(p_.centre.roll - q.roll) + turn * noiseAt(p_.seed, n, 5));
            knots_[n % kKept] = q;
            if (count_ < kKept)
                ++count_;
            else
                ++first_;
        }
    }

    SceneParams p_;
    mutable std::mutex mutex_;
    mutable std::array<Pose, kKept> knots_;  // knot i lives at i % kKept
    mutable size_t first_ = 0;               // the oldest knot kept
    mutable size_t count_ = 1;
};

class Pressed : public Motion {
public:
    Pressed(MotionPtr base, const PressPattern& presses) : base_(std::move(base)), presses_(presses) {}
    Sample at(double t) const override {
        Sample s = base_->at(t);
        s.button = presses_.pressedAt(t);
        return s;
    }

private:
    MotionPtr base_;
    PressPattern presses_;
};

struct Row {
    double t;
    Sample s;
};

class Trajectory : public Motion {
public:
    Trajectory(std::vector<Row> rows, double duration, bool loop)
        : rows_(std::move(rows)), duration_(duration), loop_(loop) {}
    Sample at(double t) const override {
        if (loop_ && duration_ > 0) t = std::fmod(std::max(0.0, t), duration_);
        if (t <= rows_.front().t) return rows_.front().s;
        if (t >= rows_.back().t) return rows_.back().s;
        const auto next =
            std::upper_bound(rows_.begin(), rows_.end(), t, [](double v, const Row& r) { return v < r.t; });
        const Row& b = *next;
        const Row& a = *(next - 1);
        const double span = b.t - a.t;
        const double f = span > 0 ? (t - a.t) / span : 1.0;
        Sample s = a.s;
        s.pose.x += f * (b.s.pose.x - a.s.pose.x);
        s.pose.y += f * (b.s.pose.y - a.s.pose.y);
        s.pose.z += f * (b.s.pose.z - a.s.pose.z);
        s.pose.azimuth = wrapDegrees(a.s.pose.azimuth + f * wrapDegrees(b.s.pose.azimuth - a.s.pose.azimuth));
        s.pose.elevation += f * (b.s.pose.elevation - a.s.pose.elevation);
        s.pose.roll = wrapDegrees(a.s.pose.roll + f * wrapDegrees(b.s.pose.roll - a.s.pose.roll));
        return s;
    }

private:
    std::vector<Row> rows_;
    double duration_;
    bool loop_;
};

bool parseNumbers(const std::string& line, std::vector<double>& values) {
    values.clear();
    std::stringstream fields(line);
    std::string field;
    while (std::getline(fields, field, ',')) {
        const char* begin = field.c_str();
        char* end = nullptr;
        const double v = std::strtod(begin, &end);
        if (end == begin) return false;
        while (*end == ' ' || *end == '\t' || *end == '\r') ++end;
        if (*end != '\0' || !std::isfinite(v)) return false;
        values.push_back(v);
    }
    return true;
}

// Whether any field of the line starts like a number.
bool hasNumber(const std::string& line) {
    std::stringstream fields(line);
    std::string field;
    while (std::getline(fields, field, ',')) {
        const char* begin = field.c_str();
        char* end = nullptr;
        std::strtod(begin, &end);
        if (end != begin) return true;
    }
    return false;
}

}  // namespace

Pose defaultPose(int station) {
    Pose p;
    p.x = 12.0;
    p.y = -6.0 + 4.0 * (station - 1);
    p.z = 4.0;
    return p;
}

MotionPtr makeScene(const std::string& kind, const SceneParams& params) {
    SceneParams p = params;
    if (!(p.period > 0)) p.period = 4.0;
    if (kind == "still") return std::make_shared<Still>(p.centre);
    if (kind == "circle") return std::make_shared<Circle>(p);
    if (kind == "eight") return std::make_shared<FigureEight>(p);
    if (kind == "walk") return std::make_shared<RandomWalk>(p);
    return nullptr;
}

bool PressPattern::pressedAt(double t) const {
    if (!(period > 0) || t < offset) return false;
    return std::fmod(t - offset, period) < down;
}

MotionPtr withPresses(MotionPtr base, const PressPattern& presses) {
    return std::make_shared<Pressed>(std::move(base), presses);
}

bool loadCsvTrajectory(std::istream& in, bool loop, CsvTrajectory& out, std::string& error) {
    std::map<int, std::vector<Row>> rows;
    std::string line;
    std::vector<double> v;
    int lineNumber = 0;
    bool seenLine = false;
    auto fail = [&](const std::string& what) {
        error = "line " + std::to_string(lineNumber) + ": " + what;
        return false;
    };
    while (std::getline(in, line)) {
        ++lineNumber;
        const auto first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#') continue;
        const bool firstLine = !seenLine;
        seenLine = true;
        if (!parseNumbers(line, v)) {
            // Only a first line without a single number is a header; anything else is a mistake.
            if (firstLine && !hasNumber(line)) continue;
            return fail("not a list of finite numbers");
        }
        if (v.size() != 9) return fail("expected 9 fields, found " + std::to_string(v.size()));
        if (!(v[1] >= 1 && v[1] <= 4) || v[1] != std::floor(v[1])) return fail("station must be 1, 2, 3 or 4");
        if (v[0] < 0) return fail("time must not be negative");
        Row r;
        r.t = v[0];
        r.s.pose = Pose{v[2], v[3], v[4], v[5], v[6], v[7]};
        r.s.button = v[8] != 0;
        rows[static_cast<int>(v[1])].push_back(r);
    }
    if (rows.empty()) return fail("no trajectory rows, only a header, comments or blank lines");
    out = CsvTrajectory{};
    for (auto& entry : rows) {
        std::stable_sort(entry.second.begin(), entry.second.end(),
                         [](const Row& a, const Row& b) { return a.t < b.t; });
        out.duration = std::max(out.duration, entry.second.back().t);
    }
    for (auto& entry : rows)
        out.stations[entry.first - 1] = std::make_shared<Trajectory>(std::move(entry.second), out.duration, loop);
    return true;
}

}  // namespace fastraksim
