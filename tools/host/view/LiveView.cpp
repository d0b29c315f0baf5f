// LiveView: the table at the top of the terminal, the log lines wrapped in a scrolling region
// below it; the platform's ConsoleStream carries standard output and reaches the terminal.
#include "view/LiveView.h"

#include <cstdio>
#include <iostream>
#include <utility>

#include "view/LineWrap.h"

namespace fastrakhost {

namespace {
// As many lines as the tallest terminal shows below a table.
const size_t kRecentLines = 300;
// How long a real output may take nothing before the stop gives up on it.
const std::chrono::milliseconds kPatience(1500);
}  // namespace

LiveView::~LiveView() { stop(); }

bool LiveView::start(Mode mode, LineWatch watch) {
    if (active_) return true;
    if (mode == Mode::Table && !ConsoleStream::canShowTable()) return false;
    mode_ = mode;
    watch_ = std::move(watch);
    std::cout.flush();
    std::fflush(stdout);
    if (!console_.take()) return false;
    // A copy of the stream: a write the output never takes may outlive this view.
    const ConsoleStream console = console_;
    out_.reset(new OutputQueue([console](const std::string& text) { return console.write(text); }));
    active_ = true;
    reader_ = std::thread([this] { readLines(); });
    if (mode_ == Mode::Table) {
        console_.reachFromSignal(true);
        out_->push("\x1b[?25l\x1b[2J", 0);
    }
    return true;
}

void LiveView::restoreFromSignal() {
    static const char reset[] = "\x1b[r\x1b[999;1H\r\n\x1b[?25h";
    ConsoleStream::writeFromSignal(reset, sizeof reset - 1);
}

void LiveView::readLines() {
    char buffer[4096];
    for (;;) {
        const long got = console_.read(buffer, sizeof buffer);
        if (got <= 0) break;
        std::lock_guard<std::mutex> hold(linesMutex_);
        partial_.append(buffer, static_cast<size_t>(got));
        size_t end;
        while ((end = partial_.find('\n')) != std::string::npos) {
            std::string line = partial_.substr(0, end);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (watch_) watch_(line);
            summaries_.take(line, pending_);
            partial_.erase(0, end + 1);
        }
        if (mode_ == Mode::Lines) writeLines(pending_);
    }
}

void LiveView::writeLines(std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& line : lines) out += line + "\n";
    out_->push(std::move(out), lines.size());
    lines.clear();
}

std::string LiveView::recentRows(size_t rows, size_t columns) const {
    std::vector<std::string> shown;
    for (auto line = recent_.rbegin(); line != recent_.rend() && shown.size() < rows; ++line) {
        const std::vector<std::string> wrapped = wrapLine(*line, columns);
        shown.insert(shown.begin(), wrapped.begin(), wrapped.end());
    }
    if (shown.size() > rows) shown.erase(shown.begin(), shown.end() - static_cast<long>(rows));
    std::string out;
    for (const std::string& row : shown) out += "\n" + row;
    return out;
}

void LiveView::refresh(const PoseBoard& board, const ViewHead& head) {
    if (!active_) return;
    if (mode_ == Mode::Lines) {
        std::lock_guard<std::mutex> hold(linesMutex_);
        summaries_.releaseIfHeldFor(std::chrono::seconds(2), pending_);
        writeLines(pending_);
        return;
    }
    size_t rows = 24, columns = 80;
    console_.size(rows, columns);
    std::vector<std::string> table = renderTable(board, std::chrono::steady_clock::now(), columns, head);
    if (table.size() + 2 > rows) table.resize(rows > 2 ? rows - 2 : 1);
    lastTable_ = table;
    std::string out;
    const bool resized = terminalRows_ != 0 && (rows != terminalRows_ || columns != terminalColumns_);
    if (resized) out += "\x1b[2J";
    if (table.size() != tableHeight_ || rows != terminalRows_ || columns != terminalColumns_) {
        // The log scrolls in the lines below the table only, so its lines never overwrite it.
        tableHeight_ = table.size();
        terminalRows_ = rows;
        terminalColumns_ = columns;
        out += "\x1b[" + std::to_string(tableHeight_ + 1) + ";" + std::to_string(rows) + "r";
    }
    for (size_t i = 0; i < table.size(); ++i) out += "\x1b[" + std::to_string(i + 1) + ";1H\x1b[2K" + table[i];
    std::vector<std::string> lines;
    {
        std::lock_guard<std::mutex> hold(linesMutex_);
        summaries_.releaseIfHeldFor(std::chrono::seconds(2), pending_);
        lines.swap(pending_);
    }
    out += "\x1b[" + std::to_string(rows) + ";1H";
    if (!resized) {
        for (const std::string& line : lines) {
            for (const std::string& row : wrapLine(line, columns)) out += "\n" + row;
        }
    }
    const size_t shown = resized ? 0 : lines.size();
    for (std::string& line : lines) recent_.push_back(std::move(line));
    while (recent_.size() > kRecentLines) recent_.pop_front();
    if (resized) out += recentRows(rows - tableHeight_, columns);
    out_->push(std::move(out), shown);
}

void LiveView::stop() {
    if (!active_) return;
    std::cout.flush();
    std::fflush(stdout);
    stuck_ = out_->stalled(kPatience);
    console_.giveBack(stuck_);  // closes the pipe's last writer, so the reader sees its end
    if (reader_.joinable()) reader_.join();
    std::string rest;
    {
        std::lock_guard<std::mutex> hold(linesMutex_);
        summaries_.release(pending_);
        for (const std::string& line : pending_) rest += line + "\n";
        pending_.clear();
        if (!partial_.empty()) {
            if (watch_) watch_(partial_);
            rest += partial_ + "\n";
        }
        partial_.clear();
    }
    if (mode_ == Mode::Table) {
        // The last table once more below the log, so it stays on the screen and in the scrollback
        // whatever is written after it.
        std::string table;
        for (const std::string& line : lastTable_) table += line + "\n";
        rest = "\x1b[999;1H\n" + rest + "\x1b[r\x1b[999;1H\n" + table + "\x1b[?25h";
        console_.reachFromSignal(false);
    }
    size_t lines = 0;
    for (char c : rest) lines += c == '\n';
    out_->push(std::move(rest), lines);
    const bool drained = out_->finish(kPatience);
    dropped_ = out_->droppedLines();
    out_.reset();
    console_.close(!drained);
    active_ = false;
}

}  // namespace fastrakhost
