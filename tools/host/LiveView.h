// LiveView: the table of outputs on a terminal, the module's lines scrolling below it; plain lines otherwise.
#pragma once

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "PoseBoard.h"
#include "SummaryFilter.h"
#include "TableView.h"

namespace fastrakhost {

class LiveView {
public:
    LiveView() = default;
    ~LiveView();
    LiveView(const LiveView&) = delete;
    LiveView& operator=(const LiveView&) = delete;

    // Takes over standard output when it is a terminal: everything written to it from now on
    // (the module's lines, the host's) scrolls below the table. False: not a terminal, or this
    // platform has no live view; use plain lines.
    bool start();
    // Draws the table and the lines that came in since the last call.
    void refresh(const PoseBoard& board, const ViewHead& head);
    // Gives standard output back, leaving the last table and the log on the screen.
    void stop();
    // Resets the scrolling region and shows the cursor; safe in a signal handler.
    static void restoreFromSignal();

private:
    void readLines();
    void writeTerminal(const std::string& text);

    bool active_ = false;
    int terminal_ = -1;  // the terminal, kept aside
    int pipeRead_ = -1;  // standard output now feeds this pipe
    std::thread reader_;
    std::mutex linesMutex_;
    std::vector<std::string> pending_;
    std::string partial_;
    SummaryFilter summaries_;  // with linesMutex_
    size_t tableHeight_ = 0;
    size_t terminalRows_ = 0;  // a resized terminal needs its scrolling region set again
    std::vector<std::string> lastTable_;
};

}  // namespace fastrakhost
