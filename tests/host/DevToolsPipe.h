// DevToolsPipe: headless Chromium driven over its DevTools pipe, for page tests that need the
// layout (sizes and positions) that a dump of the page's DOM does not carry.
#pragma once

#include <sys/types.h>

#include <nlohmann/json.hpp>
#include <string>

namespace hosttest {

class DevToolsPipe {
public:
    // Starts the browser with a profile folder of its own; its messages go to logPath.
    DevToolsPipe(const std::string& chromium, const std::string& profile, const std::string& logPath);
    ~DevToolsPipe();  // closes the browser, killing it if it does not go
    DevToolsPipe(const DevToolsPipe&) = delete;
    DevToolsPipe& operator=(const DevToolsPipe&) = delete;

    // Opens url in a page of width x height CSS pixels, as a phone shows it (meta viewport
    // honoured); false when the browser did not do so.
    bool open(const std::string& url, int width, int height);
    // The value of a JavaScript expression in the page; null when it threw or nothing came.
    nlohmann::json evaluate(const std::string& expression);

private:
    // A command's result (in the page's session when inPage); null on an error or after 20 s.
    nlohmann::json call(const std::string& method, const nlohmann::json& params, bool inPage);

    pid_t pid_ = -1;
    int toBrowser_ = -1, fromBrowser_ = -1;
    std::string pending_;
    int nextId_ = 0;
    std::string session_;
};

}  // namespace hosttest
