// DeviceRunner: the reception thread of one device and its recovery after a lost line.
#include "DeviceRunner.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

#include "HostLog.h"

namespace fastrakhost {
namespace {

std::string seconds(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", value);
    return text;
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
    trackers_.reset(new Storage(Storage::Kind::Tracker, logger_));
    controllers_.reset(new Storage(Storage::Kind::Controller, logger_));
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
    if (!trackers_->ready() || !controllers_->ready()) {
        hostError(name() + ": cannot make the storage mutexes");
        return false;
    }
    record_.reset(new DeviceRecord(section_));
    device_ = context_.module->createDev()(record_->get(), &logger_);
    if (device_ == nullptr) {
        hostError(name() + ": the module made no device");
        return false;
    }
    Storage* storages[2] = {trackers_.get(), controllers_.get()};
    for (Storage* storage : storages) {
        storage->lock();
        storage->setCount(0);
        storage->unlock();
    }
    InitInfo info{};
    info.trackerStorage = trackers_->storage();
    info.controllerStorage = controllers_->storage();
    info.runFlag = const_cast<int32_t*>(context_.runFlag);
    const int32_t result = device_->init(&info);
    uint32_t claimed[2];
    for (int k = 0; k < 2; ++k) {
        storages[k]->lock();
        claimed[k] = storages[k]->count();
        storages[k]->unlock();
    }
    // The claim is made before the port is opened, so a device whose port fails keeps its block:
    // the numbers of the devices after it do not depend on whether it is plugged in.
    if (!placed_ && !placeOutputs(claimed[0], claimed[1])) return false;
    if (result != 1) {
        hostError(name() + ": set-up failed");
        return false;
    }
    return true;
}

void DeviceRunner::release() {
    if (device_ != nullptr) {
        device_->stop();
        context_.module->deleteDev()(device_);
        device_ = nullptr;
    }
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

size_t DeviceRunner::collect(const UpdateMask& mask) {
    size_t published = 0;
    const uint32_t words[2] = {fromNetwork(mask.trackers), fromNetwork(mask.controllers)};
    Storage* storages[2] = {trackers_.get(), controllers_.get()};
    const uint32_t bases[2] = {trackerBase_, controllerBase_};
    const uint32_t totals[2] = {trackerTotal_, controllerTotal_};
    for (int k = 0; k < 2; ++k) {
        for (uint32_t n = 1; n <= totals[k] && words[k] != 0; ++n) {
            if ((words[k] & (1u << (n - 1))) == 0) continue;
            Sample sample;
            bool found = false;
            storages[k]->lock();
            if (n <= storages[k]->count()) {
                sample =
                    k == 0 ? decodeTracker(*storages[k]->tracker(n)) : decodeController(*storages[k]->controller(n));
                found = sample.output == n;
            }
            storages[k]->unlock();
            if (!found) continue;
            sample.station = k == 0 ? facts_.trackerStation(n) : facts_.stylusStation(n);
            sample.output = bases[k] + n;
            sample.device = name();
            sample.hostTime = wallClockSeconds();
            sample.arrived = std::chrono::steady_clock::now();
            publish(sample);
            ++published;
        }
    }
    return published;
}

void DeviceRunner::receive() {
    // A call that waited out the module's one-second read timeout and published nothing met a
    // silent line; an unchanged record returns at the tracker's rate and is not silence.
    using Clock = std::chrono::steady_clock;
    const auto kTimedOut = std::chrono::milliseconds(900);
    const auto kSilence = std::chrono::seconds(5);
    Clock::time_point quietSince = Clock::now();
    bool silent = false;
    while (context_.running()) {
        UpdateMask mask{0, 0};
        const Clock::time_point called = Clock::now();
        if (device_->recvData(&mask, 0) != 1) return;
        const Clock::time_point now = Clock::now();
        const bool published = collect(mask) > 0;
        if (published) delivered_ = true;
        if (published || now - called < kTimedOut) {
            quietSince = now;
            if (silent) {
                silent = false;
                context_.board->setState(name(), DeviceState::Running);
                hostInfo(name() + ": records again");
            }
        } else if (!silent && now - quietSince >= kSilence) {
            silent = true;
            context_.board->setState(name(), DeviceState::Silent);
            hostWarning(name() + (delivered_ ? ": no record for 5 s" : ": no record in the 5 s since its set-up") +
                        "; check the port (" + facts_.port + "), the baud rate (" + facts_.baud +
                        ") against the tracker's switches, the "
                        "stations on the sensors line, and whether another program holds the port "
                        "(docs/troubleshooting.md)");
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
