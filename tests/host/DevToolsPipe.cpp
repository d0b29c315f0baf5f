// DevToolsPipe: the browser reads commands on its descriptor 3 and writes answers and events on 4,
// each message a JSON text ended by a NUL byte.
#include "DevToolsPipe.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <vector>

#include "HostProcess.h"

extern char** environ;

namespace hosttest {
namespace {

using json = nlohmann::json;

// A pipe whose ends sit above the descriptors the child gets, closed on exec in this process.
bool highPipe(int (&ends)[2]) {
    int made[2];
    if (pipe(made) != 0) return false;
    for (int i = 0; i < 2; ++i) {
        ends[i] = fcntl(made[i], F_DUPFD_CLOEXEC, 10);
        close(made[i]);
    }
    return ends[0] >= 0 && ends[1] >= 0;
}

}  // namespace

DevToolsPipe::DevToolsPipe(const std::string& chromium, const std::string& profile, const std::string& logPath) {
    int commands[2], answers[2];
    if (!highPipe(commands) || !highPipe(answers)) return;
    std::vector<std::string> words = {chromium,
                                      "--headless",
                                      "--disable-gpu",
                                      "--no-sandbox",
                                      "--no-first-run",
                                      "--remote-debugging-pipe",
                                      "--user-data-dir=" + profile,
                                      "about:blank"};
    std::vector<char*> args;
    for (std::string& word : words) args.push_back(&word[0]);
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, commands[0], 3);
    posix_spawn_file_actions_adddup2(&actions, answers[1], 4);
    posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(commands[0]);
    close(answers[1]);
    toBrowser_ = commands[1];
    fromBrowser_ = answers[0];
}

DevToolsPipe::~DevToolsPipe() {
    if (pid_ > 0) {
        call("Browser.close", json::object(), false);
        int status = 0;
        if (!eventually([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, std::chrono::seconds(10))) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    if (toBrowser_ >= 0) close(toBrowser_);
    if (fromBrowser_ >= 0) close(fromBrowser_);
}

json DevToolsPipe::call(const std::string& method, const json& params, bool inPage) {
    if (pid_ <= 0) return json();
    const int id = ++nextId_;
    json message = {{"id", id}, {"method", method}, {"params", params}};
    if (inPage) message["sessionId"] = session_;
    const std::string text = message.dump() + '\0';
    if (write(toBrowser_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return json();
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < until) {
        for (size_t end; (end = pending_.find('\0')) != std::string::npos;) {
            const json answer = json::parse(pending_.substr(0, end), nullptr, false);
            pending_.erase(0, end + 1);
            if (answer.is_object() && answer.value("id", 0) == id)
                return answer.contains("result") ? answer["result"] : json();
        }
        pollfd ready{fromBrowser_, POLLIN, 0};
        if (poll(&ready, 1, 100) <= 0) continue;
        char buffer[65536];
        const ssize_t got = read(fromBrowser_, buffer, sizeof buffer);
        if (got <= 0) break;
        pending_.append(buffer, static_cast<size_t>(got));
    }
    return json();
}

bool DevToolsPipe::open(const std::string& url, int width, int height) {
    const json target = call("Target.createTarget", {{"url", "about:blank"}}, false);
    if (!target.contains("targetId")) return false;
    const json attached = call("Target.attachToTarget", {{"targetId", target["targetId"]}, {"flatten", true}}, false);
    if (!attached.contains("sessionId")) return false;
    session_ = attached["sessionId"];
    const json screen = {{"width", width}, {"height", height}, {"deviceScaleFactor", 1}, {"mobile", true}};
    return call("Emulation.setDeviceMetricsOverride", screen, true).is_object() &&
           call("Page.navigate", {{"url", url}}, true).contains("frameId");
}

json DevToolsPipe::evaluate(const std::string& expression) {
    const json result = call("Runtime.evaluate", {{"expression", expression}, {"returnByValue", true}}, true);
    if (!result.contains("result") || result.contains("exceptionDetails")) return json();
    return result["result"].value("value", json());
}

}  // namespace hosttest
