// LiveView: on POSIX the terminal, with a scrolling region for the log lines below the table.
#include "LiveView.h"

#include <cstdio>
#include <iostream>
#include <utility>

#if !defined(_WIN32)
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace fastrakhost {

namespace {
volatile int activeTerminal = -1;  // for restoreFromSignal
}

LiveView::~LiveView() { stop(); }

#if defined(_WIN32)

bool LiveView::start(Mode, LineWatch) { return false; }
void LiveView::refresh(const PoseBoard&, const ViewHead&) {}
void LiveView::stop() {}
void LiveView::readLines() {}
void LiveView::writeTerminal(const std::string&) {}
void LiveView::writeLines(std::vector<std::string>&) {}
void LiveView::restoreFromSignal() {}

#else

bool LiveView::start(Mode mode, LineWatch watch) {
    if (mode == Mode::Table && !isatty(STDOUT_FILENO)) return false;
    mode_ = mode;
    watch_ = std::move(watch);
    int ends[2];
    std::cout.flush();
    terminal_ = dup(STDOUT_FILENO);
    if (terminal_ < 0 || pipe(ends) != 0) return false;
    dup2(ends[1], STDOUT_FILENO);
    close(ends[1]);
    pipeRead_ = ends[0];
    active_ = true;
    reader_ = std::thread([this] { readLines(); });
    if (mode_ == Mode::Table) {
        activeTerminal = terminal_;
        writeTerminal("\x1b[?25l\x1b[2J");
    }
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
            const std::string line = partial_.substr(0, end);
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
    lines.clear();
    writeTerminal(out);
}

void LiveView::writeTerminal(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t wrote = write(terminal_, text.data() + done, text.size() - done);
        if (wrote <= 0) return;
        done += static_cast<size_t>(wrote);
    }
}

void LiveView::refresh(const PoseBoard& board, const ViewHead& head) {
    if (!active_) return;
    if (mode_ == Mode::Lines) {
        std::lock_guard<std::mutex> hold(linesMutex_);
        summaries_.releaseIfHeldFor(std::chrono::seconds(2), pending_);
        writeLines(pending_);
        return;
    }
    winsize size{};
    size_t rows = 24, columns = 80;
    if (ioctl(terminal_, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 && size.ws_col > 0) {
        rows = size.ws_row;
        columns = size.ws_col;
    }
    std::vector<std::string> table = renderTable(board, std::chrono::steady_clock::now(), columns, head);
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
        summaries_.releaseIfHeldFor(std::chrono::seconds(2), pending_);
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
        summaries_.release(pending_);
        for (const std::string& line : pending_) rest += line + "\n";
        pending_.clear();
        if (!partial_.empty()) {
            if (watch_) watch_(partial_);
            rest += partial_ + "\n";
        }
        partial_.clear();
    }
    if (mode_ == Mode::Lines) {
        writeTerminal(rest);
        close(terminal_);
        active_ = false;
        return;
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
