// OutputStats: rate, gaps and the noise of a receiver that stands still.
#include "devices/OutputStats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace fastrakhost {
namespace {

constexpr double kMmPerFoot = 304.8;

double seconds(SteadyTime::duration span) { return std::chrono::duration<double>(span).count(); }

// An angle's difference folded into -180..180, so a receiver at the hemisphere's seam is not a jump.
double angleDifference(double a, double b) {
    double d = std::fmod(a - b, 360.0);
    if (d > 180) d -= 360;
    if (d <= -180) d += 360;
    return d;
}

std::string format(const char* pattern, double value) {
    char text[32];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

// Right-aligned in `width` columns, left-aligned in -width.
std::string padded(const std::string& text, int width) {
    const size_t columns = static_cast<size_t>(width < 0 ? -width : width);
    if (text.size() >= columns) return text;
    const std::string pad(columns - text.size(), ' ');
    return width < 0 ? text + pad : pad + text;
}

}  // namespace

void OutputStats::Line::hear(SteadyTime at) {
    if (any && at <= last) return;
    delivered = upTo(at);
    last = at;
    any = true;
}

double OutputStats::Line::upTo(SteadyTime at) const {
    const double gap = any ? seconds(at - last) : 0;
    return delivered + (gap > 0 && gap <= kHeardGapSeconds ? gap : 0);
}

void OutputStats::Stretch::begin(const Point& point) {
    heardAtStart = point.heard;
    for (int i = 0; i < 6; ++i) anchor[i] = point.pose[i], mean[i] = 0, m2[i] = 0;
    n = 0;
    take(point);
}

bool OutputStats::Stretch::holds(const Point& point) const {
    double squares = 0;
    for (int i = 0; i < 3; ++i) squares += (point.pose[i] - anchor[i]) * (point.pose[i] - anchor[i]);
    if (squares > kStillMm * kStillMm) return false;
    for (int i = 3; i < 6; ++i) {
        if (std::fabs(angleDifference(point.pose[i], anchor[i])) > kStillDeg) return false;
    }
    return true;
}

// Welford's update; angles as deviations from the anchor, so the mean never crosses the seam.
void OutputStats::Stretch::take(const Point& point) {
    ++n;
    for (int i = 0; i < 6; ++i) {
        const double value = i < 3 ? point.pose[i] : angleDifference(point.pose[i], anchor[i]);
        const double delta = value - mean[i];
        mean[i] += delta / static_cast<double>(n);
        m2[i] += delta * (value - mean[i]);
    }
}

void OutputStats::close(const Stretch& stretch, double heardAtEnd, uint64_t& records, double& stillFor,
                        double& positions, double& angles) {
    const double span = heardAtEnd - stretch.heardAtStart;
    if (stretch.n == 0 || span < kStillSeconds) return;
    records += stretch.n;
    stillFor += span;
    positions += stretch.m2[0] + stretch.m2[1] + stretch.m2[2];
    angles += stretch.m2[3] + stretch.m2[4] + stretch.m2[5];
}

void OutputStats::add(const Sample& sample) {
    Point point;
    point.at = sample.arrived;
    for (int i = 0; i < 6; ++i) point.pose[i] = i < 3 ? sample.pose[i] * kMmPerFoot : sample.pose[i];
    const bool tracker = sample.kind == Sample::Kind::Tracker;
    std::lock_guard<std::mutex> hold(mutex_);
    Line& line = lines_[sample.device];
    line.hear(point.at);
    point.heard = line.upTo(point.at);
    Track& track = tracks_[{tracker ? 0 : 1, sample.output}];
    if (track.records == 0) {
        track.device = sample.device;
        track.first = point.at;
        track.stretch.begin(point);
    } else {
        const double gap = seconds(point.at - track.last);
        if (gap > track.longestGap) track.longestGap = gap;
        if (!tracker || track.stretch.holds(point)) {
            track.stretch.take(point);
        } else {
            close(track.stretch, point.heard, track.stillRecords, track.stillSeconds, track.positionSquares,
                  track.angleSquares);
            track.stretch.begin(point);
        }
    }
    track.last = point.at;
    ++track.records;
    track.recent.push_back(point);
    // The latest point stays whatever its age: a receiver that stands still publishes nothing more.
    const SteadyTime oldest =
        point.at - std::chrono::duration_cast<SteadyTime::duration>(std::chrono::duration<double>(kWindowSeconds));
    while (track.recent.size() > 1 && track.recent.front().at < oldest) track.recent.pop_front();
}

void OutputStats::heard(const std::string& device, SteadyTime at) {
    std::lock_guard<std::mutex> hold(mutex_);
    lines_[device].hear(at);
}

std::map<OutputStats::Key, OutputFigures> OutputStats::window(SteadyTime now) const {
    std::lock_guard<std::mutex> hold(mutex_);
    std::map<Key, OutputFigures> result;
    const SteadyTime from =
        now - std::chrono::duration_cast<SteadyTime::duration>(std::chrono::duration<double>(kWindowSeconds));
    for (const auto& entry : tracks_) {
        const Track& track = entry.second;
        OutputFigures& figures = result[entry.first];
        figures.device = track.device;
        figures.output = entry.first.second;
        figures.kind = entry.first.first == 0 ? Sample::Kind::Tracker : Sample::Kind::Controller;
        if (track.recent.empty()) continue;
        size_t inside = 0;
        const Point* previous = nullptr;
        for (const Point& point : track.recent) {
            if (point.at < from) continue;
            ++inside;
            if (previous != nullptr)
                figures.longestGapMs = std::max(figures.longestGapMs, seconds(point.at - previous->at) * 1000);
            previous = &point;
        }
        figures.records = inside;
        const double span = std::min(kWindowSeconds, seconds(now - track.first));
        figures.rateHz = span > 0 ? static_cast<double>(inside) / span : 0;
        if (figures.kind != Sample::Kind::Tracker) continue;
        // The current stretch, back from the latest record while the records stay near it.
        Stretch stretch;
        stretch.begin(track.recent.back());
        for (auto it = track.recent.rbegin() + 1; it != track.recent.rend() && stretch.holds(*it); ++it) {
            stretch.take(*it);
            stretch.heardAtStart = it->heard;
        }
        figures.stillSeconds = lines_.at(track.device).upTo(now) - stretch.heardAtStart;
        figures.still = figures.stillSeconds >= kStillSeconds;
        if (figures.still) {
            const double n = static_cast<double>(stretch.n);
            figures.positionNoiseMm = std::sqrt((stretch.m2[0] + stretch.m2[1] + stretch.m2[2]) / n);
            figures.angleNoiseDeg = std::sqrt((stretch.m2[3] + stretch.m2[4] + stretch.m2[5]) / n);
        } else {
            figures.stillSeconds = 0;
        }
    }
    return result;
}

std::map<OutputStats::Key, OutputFigures> OutputStats::run(SteadyTime end) const {
    std::lock_guard<std::mutex> hold(mutex_);
    std::map<Key, OutputFigures> result;
    for (const auto& entry : tracks_) {
        const Track& track = entry.second;
        OutputFigures& figures = result[entry.first];
        figures.device = track.device;
        figures.output = entry.first.second;
        figures.kind = entry.first.first == 0 ? Sample::Kind::Tracker : Sample::Kind::Controller;
        figures.records = track.records;
        const double span = seconds(track.last - track.first);
        figures.rateHz = track.records > 1 && span > 0 ? static_cast<double>(track.records - 1) / span : 0;
        figures.longestGapMs = track.longestGap * 1000;
        if (figures.kind != Sample::Kind::Tracker) continue;
        uint64_t stillRecords = track.stillRecords;
        double stillFor = track.stillSeconds, positions = track.positionSquares, angles = track.angleSquares;
        close(track.stretch, lines_.at(track.device).upTo(end), stillRecords, stillFor, positions, angles);
        figures.still = stillRecords > 0;
        figures.stillSeconds = stillFor;
        if (figures.still) {
            figures.positionNoiseMm = std::sqrt(positions / static_cast<double>(stillRecords));
            figures.angleNoiseDeg = std::sqrt(angles / static_cast<double>(stillRecords));
        }
    }
    return result;
}

std::vector<std::string> OutputStats::table(const std::map<Key, OutputFigures>& figures, size_t width) {
    // Each output's cells: device and output first, then the rates, then the stillness.
    const char* const headers[] = {"device",      "out",     "records",  "mean Hz",
                                   "longest gap", "still s", "noise mm", "noise deg"};
    const int widths[] = {-12, -4, 9, 9, 11, 8, 11, 11};
    std::vector<std::vector<std::string>> rows;
    rows.push_back(std::vector<std::string>(std::begin(headers), std::end(headers)));
    for (const auto& entry : figures) {
        const OutputFigures& f = entry.second;
        const bool tracker = f.kind == Sample::Kind::Tracker;
        rows.push_back({f.device.substr(0, 12), (tracker ? "T" : "C") + std::to_string(f.output),
                        std::to_string(f.records), format("%.1f", f.rateHz), format("%.0f ms", f.longestGapMs),
                        tracker ? format("%.1f", f.stillSeconds) : "-",
                        f.still ? format("%.3f", f.positionNoiseMm) : "-",
                        f.still ? format("%.3f", f.angleNoiseDeg) : "-"});
    }
    auto render = [&](std::initializer_list<int> columns, std::vector<std::string>& lines) {
        for (const auto& row : rows) {
            std::string line;
            for (int c : columns) {
                line += (line.empty() ? "" : " ") + padded(row[c], widths[c]);
            }
            while (!line.empty() && line.back() == ' ') line.pop_back();
            lines.push_back(line);
        }
    };
    std::vector<std::string> lines;
    render({0, 1, 2, 3, 4, 5, 6, 7}, lines);
    size_t widest = 0;
    for (const std::string& line : lines) widest = std::max(widest, line.size());
    if (widest <= width) return lines;
    lines.clear();
    render({0, 1, 2, 3, 4}, lines);
    lines.push_back("");
    render({0, 1, 5, 6, 7}, lines);
    return lines;
}

}  // namespace fastrakhost
