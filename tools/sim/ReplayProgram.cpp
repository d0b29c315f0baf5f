// fastrak-sim --replay: reads and checks the capture, picks the stream, plays it until a signal.
#include "ReplayProgram.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "Replay.h"

namespace fastraksim {

int runReplay(const ReplayRun& run, const sigset_t& signals) {
    const std::string what = "fastrak-sim: --replay " + run.file + ": ";
    std::ifstream in(run.file, std::ios::binary);
    if (!in) {
        std::cerr << what << "cannot read the file: " << std::strerror(errno) << "\n";
        return 2;
    }
    std::ostringstream bytes;
    bytes << in.rdbuf();
    fastrakcapture::Capture capture;
    uint64_t offset = 0;
    std::string error;
    if (!fastrakcapture::parseCapture(bytes.str(), capture, offset, error, true)) {
        std::cerr << what << "offset " << offset << ": " << error << "\n";
        return 2;
    }
    // A capture cut short is what a crash leaves: every chunk before the cut is intact and plays.
    if (!capture.complete()) {
        std::cerr << what << "offset " << capture.cutOffset << ": " << capture.cutReason << "; played up to here\n";
    }
    const fastrakcapture::Stream* stream = nullptr;
    std::string names;
    for (const auto& s : capture.streams) {
        names += (names.empty() ? "" : ", ") + s.name;
        if (s.name == run.device || (run.device.empty() && capture.streams.size() == 1)) stream = &s;
    }
    if (stream == nullptr) {
        if (capture.streams.empty()) {
            std::cerr << what << "the capture holds no device's line\n";
        } else if (run.device.empty()) {
            std::cerr << what << "the capture holds several devices (" << names << "); choose one with --device\n";
        } else {
            std::cerr << what << "no device \"" << run.device << "\" in the capture (it holds " << names << ")\n";
        }
        return 2;
    }

    Replayer replayer(capture, stream->id, ReplayOptions{run.speed, run.loop});
    if (!replayer.start(error)) {
        std::cerr << "fastrak-sim: cannot open a pseudo-terminal: " << error << "\n";
        return 1;
    }
    const std::string path = replayer.slavePath();
    bool linked = false;
    if (!run.link.empty()) {
        struct stat st {};
        if (::lstat(run.link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
            std::cerr << "fastrak-sim: --link " << run.link << " exists and is not a symbolic link\n";
            return 1;
        }
        if ((::unlink(run.link.c_str()) != 0 && errno != ENOENT) || ::symlink(path.c_str(), run.link.c_str()) != 0) {
            std::cerr << "fastrak-sim: --link: cannot link " << run.link << ": " << std::strerror(errno) << "\n";
            return 1;
        }
        linked = true;
    }
    std::cout << path << std::endl;
    std::cerr << "fastrak-sim: replaying " << stream->name << " (port " << stream->port << ", " << stream->settings.baud
              << " baud) at speed " << run.speed << "\n";
    const auto begin = Replayer::Clock::now();
    bool told = false, toldDone = false;
    for (;;) {
        const timespec tick{0, 100000000};
        const int sig = sigtimedwait(&signals, nullptr, &tick);
        if (sig == SIGINT || sig == SIGTERM || sig == SIGHUP) break;
        const ReplayStatus s = replayer.status();
        if (s.differed && !told) {
            std::cerr << "fastrak-sim: replay: " << s.difference << "\n";
            told = true;
        }
        if (s.finished && !toldDone) {
            std::cerr << "fastrak-sim: replay: every captured byte played\n";
            toldDone = true;
        }
        if (s.lineLost) {
            std::cerr << "fastrak-sim: replay: the captured line was lost here; hung up\n";
            break;
        }
        if (run.duration > 0 && std::chrono::duration<double>(Replayer::Clock::now() - begin).count() >= run.duration)
            break;
    }
    replayer.stop();
    if (linked) {
        char target[256];
        const ssize_t n = ::readlink(run.link.c_str(), target, sizeof target - 1);
        if (n >= 0 && std::string(target, static_cast<size_t>(n)) == path) ::unlink(run.link.c_str());
    }
    const ReplayStatus s = replayer.status();
    std::cerr << "fastrak-sim: replayed " << s.bytesSent << " bytes" << (s.finished ? " (all)" : " (not all)") << ", "
              << s.commandBytes << " command bytes received, "
              << (s.differed ? "commands differed: " + s.difference
                             : std::to_string(s.commandsMatched) + " of the " + std::to_string(s.commandsCaptured) +
                                   " captured command bytes received as captured")
              << "\n";
    return s.differed ? 3 : 0;
}

}  // namespace fastraksim
