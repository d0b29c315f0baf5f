// HostLog: one locked write per line, so host lines never split each other.
#include "HostLog.h"

#include <ctime>
#include <iostream>
#include <mutex>

#include "view/LineWrap.h"

namespace fastrakhost {
namespace {

std::mutex logMutex;
HostSettings style;
size_t width = 0;

void line(const char* label, const std::string& text) {
    std::string out;
    if (style.logDate || style.logTime) {
        char stamp[64] = "";
        const std::time_t now = std::time(nullptr);
        std::tm local{};
#if defined(_WIN32)
        localtime_s(&local, &now);
#else
        localtime_r(&now, &local);
#endif
        std::string format = std::string(style.logDate ? "%b %d " : "") + (style.logTime ? "%X " : "");
        std::strftime(stamp, sizeof stamp, format.c_str(), &local);
        out += stamp;
    }
    out += std::string("fastrak-host: ") + label + ": " + text + "\n";
    std::lock_guard<std::mutex> hold(logMutex);
    if (width > 0 && out.size() > width + 1) {
        std::string rows;
        for (const std::string& row : wrapLine(out.substr(0, out.size() - 1), width)) rows += row + "\n";
        out.swap(rows);
    }
    std::cout << out << std::flush;
}

}  // namespace

void setHostLogStyle(const HostSettings& settings) { style = settings; }
void setHostLogWidth(size_t columns) {
    std::lock_guard<std::mutex> hold(logMutex);
    width = columns;
}
void hostInfo(const std::string& text) { line("INFO", text); }
void hostWarning(const std::string& text) { line("WARNING", text); }
void hostError(const std::string& text) { line("ERROR", text); }

}  // namespace fastrakhost
