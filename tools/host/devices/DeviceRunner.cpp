// DeviceRunner: the reception thread of one device and its recovery after a lost line.
#include "devices/DeviceRunner.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "devices/DeviceKeywords.h"
#include "HostLog.h"
#include "probe/ProbeLine.h"
#include "recording/LineRelay.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace fastrakhost {
namespace {

std::string seconds(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", value);
    return text;
}

// Why the port may be what failed: its device file missing or out of reach, or another program
// holding it (named where the system tells). "" when the port can be had.
std::string portTrouble(const std::string& port) {
    const std::string probe = " (fastrak-host --probe lists the serial ports and speeds)";
#if defined(_WIN32)
    const std::string path = port, shown = port;
#else
    const std::string path = serialPathOf(port);
    const std::string shown = port + (path == port ? "" : " (" + path + ")");
    struct stat status;
    if (stat(path.c_str(), &status) != 0 || access(path.c_str(), R_OK | W_OK) != 0)
        return "; cannot open its port " + shown + ": " + std::strerror(errno) + probe;
#endif
    // Tried as the probe tries it: the module's own message says only "busy" or "not found".
    const ProbeLine line(path);
    if (line.problem().empty()) return std::string();
    if (line.inUse()) return "; its port " + shown + " is " + line.problem() + probe;
    std::string problem = line.problem();
    if (problem.compare(0, 16, "cannot open it: ") == 0) problem.erase(0, 16);
    return "; cannot open its port " + shown + ": " + problem + probe;
}

}  // namespace

DeviceRunner::DeviceRunner(HostContext& context, const DeviceSection& section, const DeviceFacts& facts, size_t order)
    : context_(context), section_(section), facts_(facts), order_(order), logger_() {
    fillLogger(logger_, section.name.c_str());
    logger_.showDate = context.settings.logDate;
    logger_.showTime = context.settings.logTime;
    logger_.showThreadId = context.settings.logThreadId;
    logger_.debugLevel = context.settings.debugLevel;
    logger_.debugThreshold = context.settings.debugThreshold;
}

DeviceRunner::~DeviceRunner() { join(); }

void DeviceRunner::start() {
    thread_ = std::thread([this] { run(); });
}

void DeviceRunner::join() {
    if (thread_.joinable()) thread_.join();
}

void DeviceRunner::takeTurn() {
    std::unique_lock<std::mutex> hold(context_.setupMutex);
    while (context_.turn != order_ && context_.running()) {
        context_.turnChanged.wait_for(hold, std::chrono::milliseconds(100));
    }
}

void DeviceRunner::endTurn() {
    {
        std::lock_guard<std::mutex> hold(context_.setupMutex);
        ++context_.turn;
    }
    context_.turnChanged.notify_all();
}

bool DeviceRunner::pause(double secondsToWait) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(secondsToWait);
    while (context_.running() && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return context_.running();
}

static std::string outputRange(const char* kind, uint32_t first, uint32_t count) {
    return count == 1
               ? std::string(kind) + " output " + std::to_string(first)
               : std::string(kind) + " outputs " + std::to_string(first) + " to " + std::to_string(first + count - 1);
}

// The first set-up gives the device the next free block of host outputs, as many as it claimed.
bool DeviceRunner::placeOutputs(uint32_t trackers, uint32_t controllers) {
    const uint32_t trackerBase = context_.trackersGiven, controllerBase = context_.controllersGiven;
    std::string beyond;
    if (trackerBase + trackers > kSlots) beyond = outputRange("tracker", trackerBase + 1, trackers);
    if (controllerBase + controllers > kSlots) {
        beyond += (beyond.empty() ? "" : " and ") + outputRange("controller", controllerBase + 1, controllers);
    }
    if (!beyond.empty()) {
        hostError(name() + ": would need " + beyond + ", but the host has 32 of each kind; the device is stopped");
        context_.beyondLimits = true;
        return false;
    }
    trackerBase_ = trackerBase;
    trackerTotal_ = trackers;
    controllerBase_ = controllerBase;
    controllerTotal_ = controllers;
    context_.trackersGiven += trackers;
    context_.controllersGiven += controllers;
    placed_ = true;
    for (uint32_t n = 1; n <= trackers; ++n)
        context_.board->expect(name(), Sample::Kind::Tracker, trackerBase + n, facts_.trackerStation(n));
    for (uint32_t n = 1; n <= controllers; ++n)
        context_.board->expect(name(), Sample::Kind::Controller, controllerBase + n, facts_.stylusStation(n));
    return true;
}

bool DeviceRunner::setUp() {
    context_.board->setState(name(), DeviceState::SettingUp);
    record_.reset(new DeviceRecord(section_));
    session_.reset(
        new DeviceSession(*context_.module, record_->get(), &logger_, reinterpret_cast<int32_t*>(context_.runFlag)));
    if (!session_->ready()) {
        hostError(name() + ": cannot make the storage mutexes");
        return false;
    }
    const int32_t result = session_->setUp();
    if (session_->device() == nullptr) {
        hostError(name() + ": the module made no device");
        return false;
    }
    auto claimed = [](Storage& storage) {
        storage.lock();
        const uint32_t count = storage.count();
        storage.unlock();
        return count;
    };
    // The claim is made before the port is opened, so a device whose port fails keeps its block:
    // the numbers of the devices after it do not depend on whether it is plugged in.
    if (!placed_ && !placeOutputs(claimed(session_->trackers()), claimed(session_->controllers()))) return false;
    clock_.retime(lineTiming());
    clock_.relock();  // the tracker was reset and programmed anew
    if (result != 1) {
        // A line the module took for no option of its own: name the keyword it most likely meant.
        const std::string meant = keywordSuggestions(*record_->get());
        hostError(name() + ": set-up failed" + portTrouble(facts_.port) + (meant.empty() ? "" : "; " + meant));
        return false;
    }
    return true;
}

void DeviceRunner::release() {
    session_.reset();  // stops and deletes the device, which reads its record's options
    record_.reset();
}

void DeviceRunner::publish(const Sample& sample) {
    // Numbered as it is published, so a limit of N stops after exactly N records.
    if (context_.recordLimit > 0) {
        const uint64_t number = ++context_.published;
        if (number > context_.recordLimit) return;
        if (number == context_.recordLimit) *context_.runFlag = 0;
    }
    context_.board->publish(sample);
    for (HostOutput* output : context_.outputs) output->publish(sample);
    context_.stats->add(sample);
    context_.recorder->write(sample);
}

// A record from the device's own output n, under the host's number for it.
bool DeviceRunner::deliver(Sample sample, uint32_t n, uint32_t base, uint32_t total, uint32_t station, double arrived,
                           double measured) {
    if (sample.output != n || n > total) return false;
    sample.output = base + n;
    sample.station = station;
    sample.device = name();
    sample.hostTime = arrived;
    sample.measuredTime = measured;
    sample.arrived = std::chrono::steady_clock::now();
    publish(sample);
    return true;
}

LineTiming DeviceRunner::lineTiming() const {
    LineTiming timing;
    char* end = nullptr;
    const double baud = std::strtod(facts_.baud.c_str(), &end);
    timing.baud = end != facts_.baud.c_str() && baud >= 300 ? baud : 38400;
    timing.latency = section_.latencyMs / 1000.0;
    timing.stations = facts_.activeStations();
    return timing;
}

// The record's length as the module asks for it: a stylus station's carries the button too.
size_t DeviceRunner::recordBytes(uint32_t station) const {
    const auto& t = facts_.trackerStations;
    const auto& p = facts_.stylusStations;
    const bool tracker = std::count(t.begin(), t.end(), station) > 0;
    const bool stylus = std::count(p.begin(), p.end(), station) > 0;
    return tracker ? (stylus ? 31 : 29) : 7;
}

size_t DeviceRunner::collect(const UpdateMask& mask) {
    // One record per call: the tracker and stylus outputs it fed share its times.
    const double arrived = wallClockSeconds();
    double measured = -1;
    auto when = [&](uint32_t station) {
        if (measured < 0) measured = clock_.measured(arrived, recordBytes(station), station);
        return measured;
    };
    size_t published = 0;
    session_->collect(
        mask,
        [&](uint32_t n, const TrackerRecord& record) {
            const uint32_t station = facts_.trackerStation(n);
            published +=
                deliver(decodeTracker(record), n, trackerBase_, trackerTotal_, station, arrived, when(station));
        },
        [&](uint32_t n, const ControllerRecord& record) {
            const uint32_t station = facts_.stylusStation(n);
            published += deliver(decodeController(record), n, controllerBase_, controllerTotal_, station, arrived,
                                 when(station));
        });
    return published;
}

void DeviceRunner::receive() {
    // A call that waited out the module's one-second read timeout and published nothing met a
    // silent line. One that returns sooner met bytes: an unchanged record at the tracker's rate,
    // a record of a station outside the sensors line, or, after about 100 ms, bytes that form no
    // frame, which the module's damage reports tell apart (the board then shows a damaged line).
    using Clock = std::chrono::steady_clock;
    const auto kTimedOut = std::chrono::milliseconds(900);
    const auto kSilence = std::chrono::seconds(5);
    Clock::time_point quietSince = Clock::now();
    bool silent = false;
    while (context_.running()) {
        UpdateMask mask{0, 0};
        const Clock::time_point called = Clock::now();
        if (session_->receive(mask) != 1) return;
        const Clock::time_point now = Clock::now();
        const bool published = collect(mask) > 0;
        if (published) delivered_ = true;
        if (context_.board->takeDamageWarning(name())) {
            hostWarning(name() +
                        ": damaged line: more frames dropped than records received; check for another "
                        "program reading the port (" +
                        facts_.port + "), the baud rate (" + facts_.baud +
                        ") against the tracker's switches, and the cable (docs/troubleshooting.md)");
        }
        if (context_.board->takeStrayWarning(name())) {
            hostWarning(name() + ": records arrive from " + context_.board->strayStations(name()) +
                        ", which the sensors line leaves off; to take them, write `" +
                        sensorsLineWith(facts_, context_.board->notes(name()).strayStations) + "` in [device " +
                        name() + "]");
        }
        if (published || now - called < kTimedOut) {
            context_.stats->heard(name(), now);  // a receiver standing still keeps its line busy
            quietSince = now;
            if (silent) {
                silent = false;
                context_.board->setState(name(), DeviceState::Running);
                hostInfo(name() + (published ? ": records again" : ": data on the line again"));
            }
        } else if (!silent && now - quietSince >= kSilence) {
            silent = true;
            context_.board->setState(name(), DeviceState::Silent);
            hostWarning(name() + (delivered_ ? ": no record for 5 s" : ": no record in the 5 s since its set-up") +
                        "; check the port (" + facts_.port + "), the baud rate (" + facts_.baud +
                        ") against the tracker's switches, the "
                        "stations on the sensors line, and whether another program holds the port; "
                        "fastrak-host --probe finds the port, the speed and the stations (docs/troubleshooting.md)");
        }
    }
}

void DeviceRunner::run() {
    takeTurn();
    if (!context_.running()) {
        endTurn();
        context_.board->setState(name(), DeviceState::Stopped);
        return;
    }
    bool ready = setUp();
    endTurn();
    if (!ready) {
        release();
        context_.board->setState(name(), DeviceState::Failed);
        if (context_.strict) {
            context_.setupFailed = true;
            *context_.runFlag = 0;
        }
        return;
    }
    context_.board->setState(name(), DeviceState::Running);
    double wait = context_.firstRetrySeconds;
    while (context_.running()) {
        receive();
        if (!context_.running()) break;
        // The module gave up reading while we still want records: the line is gone.
        lineLost_ = true;
        context_.board->setState(name(), DeviceState::Disconnected);
        hostError(name() + ": reading failed; releasing the device, next try in " + seconds(wait));
        release();
        while (context_.running()) {
            if (!pause(wait)) break;
            // Alone: the device's block of outputs is fixed, and its storages are its own.
            const bool back = setUp();
            wait = std::min(wait * 2, context_.longestRetrySeconds);
            if (back) {
                lineLost_ = false;
                hostInfo(name() + ": the device is back");
                context_.board->setState(name(), DeviceState::Running);
                wait = context_.firstRetrySeconds;
                break;
            }
            release();
            context_.board->setState(name(), DeviceState::Disconnected);
            hostWarning(name() + ": still not back, next try in " + seconds(wait));
        }
    }
    release();
    context_.board->setState(name(), DeviceState::Stopped);
}

}  // namespace fastrakhost
