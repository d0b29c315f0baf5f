// HostLog: one locked write per line, so host lines never split each other.
#include "HostLog.h"

#include <ctime>
#include <iostream>
#include <mutex>

namespace fastrakhost {
namespace {

std::mutex logMutex;
HostSettings style;

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
    std::cout << out << std::flush;
}

}  // namespace

void setHostLogStyle(const HostSettings& settings) { style = settings; }
void hostInfo(const std::string& text) { line("INFO", text); }
void hostWarning(const std::string& text) { line("WARNING", text); }
void hostError(const std::string& text) { line("ERROR", text); }

}  // namespace fastrakhost
