// TableView: columns that fit the terminal, a head that wraps between its items.
#include "view/TableView.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <set>

#include "view/LineWrap.h"

namespace fastrakhost {
namespace {

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* pattern, ...) {
    char text[512];
    va_list args;
    va_start(args, pattern);
    std::vsnprintf(text, sizeof text, pattern, args);
    va_end(args);
    return text;
}

std::string buttonText(const Sample& sample) {
    std::string text;
    for (uint32_t n = 1; n <= sample.buttonCount; ++n) text += (sample.buttons >> (n - 1)) & 1u ? '1' : '0';
    return text.empty() ? "-" : text;
}

std::string outputName(const Sample& sample) {
    return (sample.kind == Sample::Kind::Tracker ? "T" : "C") + std::to_string(sample.output);
}

double ageSeconds(const Sample& sample, SteadyTime now) {
    return std::chrono::duration<double>(now - sample.arrived).count();
}

enum Column { kDevice, kOut, kStation, kX, kY, kZ, kAz, kEl, kRoll, kHz, kAge, kState, kColumns };

struct Layout {
    const char* header[kColumns] = {"device", "out", "station", "x ft", "y ft",  "z ft",
                                    "az",     "el",  "roll",    "Hz",   "age s", "state"};
    size_t width[kColumns] = {6, 3, 7, 9, 9, 9, 8, 8, 8, 6, 7, 5};
    int precision[kColumns] = {0, 0, 0, 4, 4, 4, 2, 2, 2, 1, 2, 0};
    bool shown[kColumns] = {true, true, true, true, true, true, true, true, true, true, true, true};

    size_t total() const {
        size_t sum = 0, count = 0;
        for (int c = 0; c < kColumns; ++c) {
            if (shown[c]) sum += width[c], ++count;
        }
        return count == 0 ? 0 : sum + count - 1;
    }
};

// Applied in this order until a row fits: first narrower columns, then the less needed ones go.
using Step = void (*)(Layout&);
const Step kSteps[] = {
    [](Layout& l) { l.width[kAz] = l.width[kEl] = l.width[kRoll] = 7; },
    [](Layout& l) { l.width[kHz] = 5; },
    [](Layout& l) { l.width[kAge] = 5, l.precision[kAge] = 1; },
    [](Layout& l) { l.header[kStation] = "stn", l.width[kStation] = 3; },
    [](Layout& l) { l.shown[kState] = false; },  // the head says it too
    [](Layout& l) {
        for (int c = kX; c <= kZ; ++c) l.width[c] = 8, l.precision[c] = 3;
    },
    [](Layout& l) { l.shown[kAge] = false; },  // before the device's name is cut
    [](Layout& l) { l.width[kDevice] = std::min<size_t>(l.width[kDevice], 8); },
    [](Layout& l) { l.shown[kHz] = false; },
    [](Layout& l) {
        for (int c = kAz; c <= kRoll; ++c) l.width[c] = 6, l.precision[c] = 1;
    },
    [](Layout& l) { l.shown[kStation] = false; },
    // A pose is only shown whole: all three angles go together, then the position.
    [](Layout& l) { l.shown[kAz] = l.shown[kEl] = l.shown[kRoll] = false; },
    [](Layout& l) { l.shown[kX] = l.shown[kY] = l.shown[kZ] = false; },
};

// The value in its column: fewer decimals when it is too wide, #### when even none fit.
std::string number(double value, size_t width, int precision) {
    for (int p = precision; p >= 0; --p) {
        const std::string text = format("%*.*f", static_cast<int>(width), p, value);
        if (text.size() <= width) return text;
    }
    return std::string(width, '#');
}

std::string cell(const std::string& text, size_t width, bool right) {
    const std::string cut = text.substr(0, width);
    const std::string pad(width - cut.size(), ' ');
    return right ? pad + cut : cut + pad;
}

// A column that a span before it covers.
const char* const kSpanned = "";

std::string joinRow(const Layout& layout, const std::string (&cells)[kColumns]) {
    std::string line;
    bool first = true;
    for (int c = 0; c < kColumns; ++c) {
        if (!layout.shown[c] || cells[c] == kSpanned) continue;
        if (!first) line += ' ';
        line += cells[c];
        first = false;
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    return line;
}

// Text in place of the pose (a controller's buttons, a row still waiting), across the pose columns
// that are shown.
void spanPose(const Layout& layout, const std::string& text, std::string (&cells)[kColumns]) {
    int first = -1, last = -1;
    size_t width = 0;
    for (int c = kX; c <= kRoll; ++c) {
        if (!layout.shown[c]) continue;
        width += (first < 0 ? 0 : 1) + layout.width[c];
        if (first < 0) first = c;
        last = c;
    }
    if (first < 0) return;
    // The span is one cell: its first column takes it all, the others are left out of the join.
    cells[first] = cell(text, width, false);
    for (int c = first + 1; c <= last; ++c) cells[c] = kSpanned;
}

std::string elapsed(double seconds) {
    const long whole = seconds > 0 ? static_cast<long>(seconds) : 0;
    return format("%ld:%02ld:%02ld", whole / 3600, whole / 60 % 60, whole % 60);
}

std::vector<std::string> headLines(const PoseBoard& board, size_t width, const ViewHead& head) {
    std::vector<std::string> items;
    items.push_back("fastrak-host " + elapsed(head.elapsedSeconds));
    const uint64_t total = board.total();
    items.push_back(std::to_string(total) + (total == 1 ? " record" : " records"));
    std::string files;
    for (const std::string& file : head.files) files += (files.empty() ? "" : ", ") + file;
    items.push_back(files.empty() ? "not recording" : "recording " + files);
    items.push_back("units: feet, degrees");  // the columns' headers name feet, not the angles
    std::set<std::string> delivering;
    for (const auto& row : board.rows())
        if (row.second.total > 0) delivering.insert(row.second.last.device);
    for (const auto& state : board.states()) {
        std::string item = state.first;
        for (const ViewHead::Device& device : head.devices) {
            if (device.name == state.first) item += " on " + device.port + " at " + device.baud + " baud";
        }
        const std::string hint = board.hint(state.first);
        // Set up is not yet receiving: a wrong speed delivers nothing, and "running" would hide it.
        const bool waiting = state.second == DeviceState::Running && delivering.count(state.first) == 0;
        items.push_back(item + ": " + (waiting ? "waiting for records" : stateName(state.second)) +
                        (hint.empty() ? "" : "; " + hint));
    }
    if (!head.note.empty()) items.push_back(head.note);
    // Items side by side while they fit; one wider than the terminal wraps between its words, so
    // the state at its end is never cut off.
    std::vector<std::string> lines(1);
    for (const std::string& item : items) {
        std::string& line = lines.back();
        if (line.empty() && item.size() <= width) {
            line = item;
        } else if (!line.empty() && line.size() + 2 + item.size() <= width) {
            line += "  " + item;
        } else {
            std::vector<std::string> rows = wrapLine(item, width);
            if (line.empty()) lines.pop_back();
            lines.insert(lines.end(), rows.begin(), rows.end());
        }
    }
    return lines;
}

}  // namespace

std::vector<std::string> renderTable(const PoseBoard& board, SteadyTime now, size_t width, const ViewHead& head) {
    std::vector<std::string> lines = headLines(board, width, head);
    const auto rows = board.rows();
    Layout layout;
    bool anyState = false;
    for (const auto& entry : rows) {
        const std::string& device = entry.second.last.device;
        layout.width[kDevice] = std::min<size_t>(16, std::max(layout.width[kDevice], device.size()));
        const DeviceState state = board.state(device);
        if (state != DeviceState::Running) {
            anyState = true;
            layout.width[kState] = std::max(layout.width[kState], std::string(stateName(state)).size());
        }
    }
    layout.shown[kState] = anyState;
    for (const Step step : kSteps) {
        if (layout.total() <= width) break;
        step(layout);
    }

    std::string cells[kColumns];
    for (int c = 0; c < kColumns; ++c) {
        const bool right = c != kDevice && c != kOut && c != kState;
        cells[c] = cell(layout.header[c], layout.width[c], right);
    }
    lines.push_back(joinRow(layout, cells));
    const size_t tableWidth = lines.back().size();
    for (const auto& entry : rows) {
        const PoseBoard::Row& row = entry.second;
        const Sample& s = row.last;
        const DeviceState state = board.state(s.device);
        cells[kDevice] = cell(s.device, layout.width[kDevice], false);
        cells[kOut] = cell(outputName(s), layout.width[kOut], false);
        cells[kStation] = cell(s.station == 0 ? "-" : std::to_string(s.station), layout.width[kStation], true);
        cells[kState] = cell(state == DeviceState::Running ? "" : stateName(state), layout.width[kState], false);
        if (row.total == 0) {
            spanPose(layout, "waiting", cells);
            cells[kHz] = cell("", layout.width[kHz], true);
            cells[kAge] = cell("", layout.width[kAge], true);
        } else {
            if (s.kind == Sample::Kind::Tracker) {
                for (int c = kX; c <= kRoll; ++c)
                    cells[c] = number(s.pose[c - kX], layout.width[c], layout.precision[c]);
            } else {
                spanPose(layout, "buttons " + buttonText(s), cells);
            }
            cells[kHz] = number(PoseBoard::rate(row, now), layout.width[kHz], layout.precision[kHz]);
            cells[kAge] = number(ageSeconds(s, now), layout.width[kAge], layout.precision[kAge]);
        }
        lines.push_back(joinRow(layout, cells));
    }
    lines.push_back(std::string(std::min(width, std::max<size_t>(tableWidth, 1)), '-'));
    // Only a terminal narrower than the two columns that always stay is cut.
    for (std::string& line : lines) {
        if (line.size() > width) line.resize(width);
    }
    return lines;
}

std::string plainLine(const PoseBoard::Row& row, SteadyTime now) {
    const Sample& s = row.last;
    const std::string station = s.station == 0 ? "" : " station " + std::to_string(s.station);
    if (s.kind == Sample::Kind::Tracker) {
        return format("%s T%u%s x %.4f y %.4f z %.4f ft az %.2f el %.2f roll %.2f deg (%.0f Hz)", s.device.c_str(),
                      s.output, station.c_str(), s.pose[0], s.pose[1], s.pose[2], s.pose[3], s.pose[4], s.pose[5],
                      PoseBoard::rate(row, now));
    }
    return format("%s C%u%s buttons %s (%.0f Hz)", s.device.c_str(), s.output, station.c_str(), buttonText(s).c_str(),
                  PoseBoard::rate(row, now));
}

}  // namespace fastrakhost
