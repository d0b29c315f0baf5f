// LineWrap: a log line broken into rows of a terminal's width, between words where it can.
#pragma once

#include <string>
#include <vector>

namespace fastrakhost {

// Rows no wider than width. A row ends at the last blank that fits; a word longer than a row is
// cut. Rows after the first are indented by two blanks, so a wrapped line reads as one.
std::vector<std::string> wrapLine(const std::string& line, size_t width);

}  // namespace fastrakhost
