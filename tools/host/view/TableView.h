// TableView: the live table's text for a terminal of a given width, and the plain per-output line.
#pragma once

#include <string>
#include <vector>

#include "devices/PoseBoard.h"

namespace fastrakhost {

// What the head of the table says besides the board's counts and states.
struct ViewHead {
    struct Device {
        std::string name, port, baud;
    };
    double elapsedSeconds = 0;
    std::vector<std::string> files;  // what is being recorded
    std::vector<Device> devices;     // in the order of the file
    std::string note;                // more for the head (the outputs' counts); may be empty
};

// One string per line, none wider than width. The head wraps between its items; the table keeps
// whole columns, narrowing and then dropping the less needed ones until a row fits.
std::vector<std::string> renderTable(const PoseBoard& board, SteadyTime now, size_t width, const ViewHead& head);
// The plain line of one output, as written once a second without a terminal.
std::string plainLine(const PoseBoard::Row& row, SteadyTime now);

}  // namespace fastrakhost
