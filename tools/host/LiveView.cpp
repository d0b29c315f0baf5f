// LiveView: table rendering, and on POSIX the terminal with a scrolling region for log lines.
#include "LiveView.h"

#include <cstdarg>
#include <cstdio>
#include <iostream>

#if !defined(_WIN32)
#include <sys/ioctl.h>
#include <unistd.h>
#endif

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

double ageSeconds(const Sample& sample, SteadyTime now) {
    return std::chrono::duration<double>(now - sample.arrived).count();
}

}  // namespace

std::vector<std::string> renderTable(const PoseBoard& board, SteadyTime now, size_t width, const std::string& note) {
    std::vector<std::string> lines;
    const auto states = board.states();
    std::string head = format("fastrak-host: %llu records", static_cast<unsigned long long>(board.total()));
    for (const auto& state : states) head += "  " + state.first + " " + stateName(state.second);
    if (!note.empty()) head += "  " + note;
    lines.push_back(head);
    lines.push_back(format("%-12s %-4s %9s %9s %9s %8s %8s %8s %6s %7s %s", "device", "out", "x ft", "y ft", "z ft",
                           "az", "el", "roll", "Hz", "age s", "buttons"));
    for (const auto& entry : board.rows()) {
        const Sample& s = entry.second.last;
        const bool tracker = s.kind == Sample::Kind::Tracker;
        const std::string out = (tracker ? "T" : "C") + std::to_string(s.output);
        std::string line;
        if (entry.second.total == 0) {
            line = format("%-12.12s %-4s %9s", s.device.c_str(), out.c_str(), "waiting");
            if (board.state(s.device) != DeviceState::Running)
                line += std::string("  ") + stateName(board.state(s.device));
            lines.push_back(line);
            continue;
        }
        if (tracker) {
            line = format("%-12.12s %-4s %9.4f %9.4f %9.4f %8.2f %8.2f %8.2f", s.device.c_str(), out.c_str(), s.pose[0],
                          s.pose[1], s.pose[2], s.pose[3], s.pose[4], s.pose[5]);
        } else {
            line =
                format("%-12.12s %-4s %9s %9s %9s %8s %8s %8s", s.device.c_str(), out.c_str(), "", "", "", "", "", "");
        }
        line += format(" %6.1f %7.2f %s", PoseBoard::rate(entry.second, now), ageSeconds(s, now),
                       tracker ? "" : buttonText(s).c_str());
        if (board.state(s.device) != DeviceState::Running) line += std::string("  ") + stateName(board.state(s.device));
        lines.push_back(line);
    }
    lines.push_back(std::string(width < 200 ? width : 200, '-'));
    for (std::string& line : lines) {
        if (line.size() > width) line.resize(width);
    }
    return lines;
}

std::string plainLine(const PoseBoard::Row& row, SteadyTime now) {
    const Sample& s = row.last;
    if (s.kind == Sample::Kind::Tracker) {
        return format("%s T%u x %.4f y %.4f z %.4f az %.2f el %.2f roll %.2f (%.0f Hz)", s.device.c_str(), s.output,
                      s.pose[0], s.pose[1], s.pose[2], s.pose[3], s.pose[4], s.pose[5], PoseBoard::rate(row, now));
    }
    return format("%s C%u buttons %s (%.0f Hz)", s.device.c_str(), s.output, buttonText(s).c_str(),
                  PoseBoard::rate(row, now));
}

namespace {
volatile int activeTerminal = -1;  // for restoreFromSignal
}

LiveView::~LiveView() { stop(); }

#if defined(_WIN32)

bool LiveView::start() { return false; }
void LiveView::refresh(const PoseBoard&, const std::string&) {}
void LiveView::stop() {}
void LiveView::readLines() {}
void LiveView::writeTerminal(const std::string&) {}
void LiveView::restoreFromSignal() {}

#else

bool LiveView::start() {
    if (!isatty(STDOUT_FILENO)) return false;
    int ends[2];
    std::cout.flush();
    terminal_ = dup(STDOUT_FILENO);
    if (terminal_ < 0 || pipe(ends) != 0) return false;
    dup2(ends[1], STDOUT_FILENO);
    close(ends[1]);
    pipeRead_ = ends[0];
    active_ = true;
    activeTerminal = terminal_;
    reader_ = std::thread([this] { readLines(); });
    writeTerminal("\x1b[?25l\x1b[2J");
    return true;
}

void LiveView::restoreFromSignal() {
    static const char reset[] = "\x1b[r\x1b[999;1H\r\n\x1b[?25h";
    if (activeTerminal >= 0 && write(activeTerminal, reset, sizeof reset - 1) < 0) return;
}

void LiveView::readLines() {
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(pipeRead_, buffer, sizeof buffer);
        if (got <= 0) break;
        std::lock_guard<std::mutex> hold(linesMutex_);
        partial_.append(buffer, static_cast<size_t>(got));
        size_t end;
        while ((end = partial_.find('\n')) != std::string::npos) {
            pending_.push_back(partial_.substr(0, end));
            partial_.erase(0, end + 1);
        }
    }
}

void LiveView::writeTerminal(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t wrote = write(terminal_, text.data() + done, text.size() - done);
        if (wrote <= 0) return;
        done += static_cast<size_t>(wrote);
    }
}

void LiveView::refresh(const PoseBoard& board, const std::string& note) {
    if (!active_) return;
    winsize size{};
    size_t rows = 24, columns = 80;
    if (ioctl(terminal_, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 && size.ws_col > 0) {
        rows = size.ws_row;
        columns = size.ws_col;
    }
    std::vector<std::string> table = renderTable(board, std::chrono::steady_clock::now(), columns, note);
    if (table.size() + 2 > rows) table.resize(rows > 2 ? rows - 2 : 1);
    lastTable_ = table;
    std::string out;
    if (table.size() != tableHeight_ || rows != terminalRows_) {
        // The log scrolls in the lines below the table only, so its lines never overwrite it.
        tableHeight_ = table.size();
        terminalRows_ = rows;
        out += "\x1b[" + std::to_string(tableHeight_ + 1) + ";" + std::to_string(rows) + "r";
    }
    for (size_t i = 0; i < table.size(); ++i) out += "\x1b[" + std::to_string(i + 1) + ";1H\x1b[2K" + table[i];
    std::vector<std::string> lines;
    {
        std::lock_guard<std::mutex> hold(linesMutex_);
        lines.swap(pending_);
    }
    out += "\x1b[" + std::to_string(rows) + ";1H";
    for (std::string& line : lines) {
        if (line.size() > columns) line.resize(columns);
        out += "\n" + line;
    }
    writeTerminal(out);
}

void LiveView::stop() {
    if (!active_) return;
    std::cout.flush();
    std::fflush(stdout);
    dup2(terminal_, STDOUT_FILENO);  // closes the pipe's last writer, so the reader sees its end
    if (reader_.joinable()) reader_.join();
    close(pipeRead_);
    std::string rest;
    {
        std::lock_guard<std::mutex> hold(linesMutex_);
        for (const std::string& line : pending_) rest += line + "\n";
        pending_.clear();
        if (!partial_.empty()) rest += partial_ + "\n";
        partial_.clear();
    }
    // The last table once more below the log, so it stays on the screen and in the scrollback
    // whatever is written after it.
    std::string table;
    for (const std::string& line : lastTable_) table += line + "\n";
    writeTerminal("\x1b[999;1H\n" + rest + "\x1b[r\x1b[999;1H\n" + table + "\x1b[?25h");
    activeTerminal = -1;
    close(terminal_);
    active_ = false;
}

#endif

}  // namespace fastrakhost
