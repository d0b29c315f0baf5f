// LineWrap: breaks at the last blank that fits, cuts only words wider than a row.
#include "view/LineWrap.h"

namespace fastrakhost {

std::vector<std::string> wrapLine(const std::string& line, size_t width) {
    if (width == 0) return {line};
    const std::string indent = width > 8 ? "  " : "";
    std::vector<std::string> rows;
    std::string rest = line;
    while (true) {
        const std::string prefix = rows.empty() ? "" : indent;
        const size_t room = width - prefix.size();
        if (rest.size() <= room) {
            rows.push_back(prefix + rest);
            return rows;
        }
        // The last blank within the row, or one just past it (the row then ends on a whole word).
        size_t cut = rest.rfind(' ', room);
        size_t next = cut;
        if (cut == std::string::npos || cut == 0) {
            cut = next = room;
        } else {
            while (cut > 0 && rest[cut - 1] == ' ') --cut;
            if (cut == 0) cut = next = room;
        }
        rows.push_back(prefix + rest.substr(0, cut));
        while (next < rest.size() && rest[next] == ' ') ++next;
        rest.erase(0, next);
        if (rest.empty()) return rows;
    }
}

}  // namespace fastrakhost
