// LiveView: the table of outputs on a terminal, the module's lines scrolling below it; without a
// terminal the lines alone. Either way standard output passes through it, so a repeated
// configuration summary is left out.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devices/PoseBoard.h"
#include "view/ConsoleStream.h"
#include "view/OutputQueue.h"
#include "view/SummaryFilter.h"
#include "view/TableView.h"

namespace fastrakhost {

class LiveView {
public:
    LiveView() = default;
    ~LiveView();
    LiveView(const LiveView&) = delete;
    LiveView& operator=(const LiveView&) = delete;

    enum class Mode { Table, Lines };
    // Called on the reader's thread with every whole line written to standard output, once.
    using LineWatch = std::function<void(const std::string&)>;
    // Takes over standard output: everything written to it from now on (the module's lines, the
    // host's) scrolls below the table, wrapped to its width, or goes on as lines, and watch sees
    // each line. False: no terminal that can show the table (on Windows a console without virtual
    // terminal sequences), or no pipe; lines then go out as written, unwatched.
    bool start(Mode mode, LineWatch watch = LineWatch());
    // Draws the table (Table) and writes the lines that came in since the last call.
    void refresh(const PoseBoard& board, const ViewHead& head);
    // Gives standard output back, leaving the last table and the log on the screen. A real output
    // that took nothing for a while gets nothing more: standard output then goes to the null device.
    void stop();
    // The log lines the real output could not take (a pipe nobody reads, a paused console).
    uint64_t droppedLines() const { return dropped_; }
    // The terminal's width the table was last drawn at; 0 without a table.
    size_t columns() const { return mode_ == Mode::Table ? terminalColumns_ : 0; }
    // Whether standard output went to the null device at the stop.
    bool outputStuck() const { return stuck_; }
    // Resets the scrolling region and shows the cursor; safe in a signal handler.
    static void restoreFromSignal();

private:
    void readLines();
    void writeLines(std::vector<std::string>& lines);  // Lines mode, with linesMutex_
    // The last log lines that fit below the table, wrapped to the width: a resize draws them anew.
    std::string recentRows(size_t rows, size_t columns) const;

    bool active_ = false;
    Mode mode_ = Mode::Table;
    ConsoleStream console_;
    std::unique_ptr<OutputQueue> out_;  // to the real output; the only way anything reaches it
    uint64_t dropped_ = 0;
    bool stuck_ = false;
    std::thread reader_;
    std::mutex linesMutex_;
    std::vector<std::string> pending_;
    std::string partial_;
    SummaryFilter summaries_;  // with linesMutex_
    LineWatch watch_;
    size_t tableHeight_ = 0;
    // A resized terminal is cleared and drawn anew: the old table's lines, reflowed or cut by the
    // terminal, would stay on the screen otherwise.
    size_t terminalRows_ = 0, terminalColumns_ = 0;
    std::deque<std::string> recent_;  // the log lines shown last, for a redraw
    std::vector<std::string> lastTable_;
};

}  // namespace fastrakhost
