// fastrak-host: loads the device module, runs one reception thread per configured device, and shows
// and records the poses.
#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "DeviceRunner.h"
#include "HostConfig.h"
#include "CaptureWriter.h"
#include "HostLog.h"
#include "LineRelay.h"
#include "LiveView.h"
#include "ModuleLibrary.h"
#include "OscOutput.h"
#include "Recorder.h"
#include "Simulator.h"
#include "Storage.h"

#if defined(_WIN32)
#  include <io.h>
#else
#  include <unistd.h>
#endif

using namespace fastrakhost;

namespace {

// The word the module polls; the signal handler clears it.
volatile int32_t runFlag = 1;
volatile std::sig_atomic_t stopSignals = 0;

extern "C" void onStopSignal(int) {
    if (stopSignals++ > 0) {  // the second Ctrl-C: no more waiting
        LiveView::restoreFromSignal();
        Simulator::terminateAllFromSignal();
        _exit(130);
    }
    runFlag = 0;
}

const char* kDescription =
    "fastrak-host: a host for the Fastrak device module. Loads the module, sets up every device of\n"
    "the configuration file on its own reception thread, shows the poses (a live table on a terminal,\n"
    "plain lines otherwise), records every published record to CSV or JSON lines and sends it\n"
    "over OSC.\n"
    "SIGINT or SIGTERM stops cleanly; a second Ctrl-C exits at once.";

const char* kFooter =
    "\nConfiguration file: sections [host] and [device NAME]; a device's lines are the module's option\n"
    "keywords with blank-separated arguments (\"double quotes\" keep blanks, # starts a comment).\n"
    "See docs/host.md and docs/configuration.md.\n"
    "Exit status: 0 after a clean stop, 1 when the module or a device could not run, 2 for a bad\n"
    "command line or configuration file.";

DeviceSection simulatedDevice() {
    DeviceSection device;
    device.name = "sim";
    device.options.push_back({0, "sensors", {"1", "1", "0", "0"}});
    device.options.push_back({0, "stylus", {"1"}});
    return device;
}

// The device's port lines give way to the emulator's terminal.
void pointAt(DeviceSection& device, const std::string& port) {
    std::vector<OptionText> kept;
    for (const OptionText& option : device.options) {
        std::string keyword = option.keyword;
        for (char& c : keyword) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (keyword != "port" && keyword != "serialport") kept.push_back(option);
    }
    kept.insert(kept.begin(), OptionText{0, "port", {port}});
    device.options = kept;
}

// The port the module would open: the device's last port line, else its default.
std::string portOf(const DeviceSection& device) {
    std::string port = "com1";
    for (const OptionText& option : device.options) {
        std::string keyword = option.keyword;
        for (char& c : keyword) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if ((keyword == "port" || keyword == "serialport") && option.args.size() == 1) port = option.args[0];
    }
    return port;
}

std::string makeScratchFolder() {
#if defined(_WIN32)
    return ".";
#else
    char pattern[] = "/tmp/fastrak-host-XXXXXX";
    const char* made = mkdtemp(pattern);
    return made != nullptr ? made : "/tmp";
#endif
}

bool stdoutIsTerminal() {
#if defined(_WIN32)
    return _isatty(_fileno(stdout)) != 0;
#else
    return isatty(STDOUT_FILENO) != 0;
#endif
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{kDescription, "fastrak-host"};
    app.footer(kFooter);
    app.set_version_flag("--version", std::string("fastrak-host ") + FASTRAK_VERSION);
    std::string configPath, modulePath, csvPath, jsonlPath, simArgs, simProgram, capturePath;
    std::vector<std::string> oscUrls;
    double duration = 0;
    uint64_t count = 0;
    bool strict = false, simulate = false, plain = false;
    app.add_option("--config", configPath, "Configuration file (see below)")->type_name("FILE");
    app.add_option("--module", modulePath, std::string("Device module to load (default: ") + ModuleLibrary::fileName() +
                                               " beside this program, else in the installed module folder)")
        ->type_name("PATH");
    app.add_option("--csv", csvPath, "Write every published record to FILE as CSV (overrides the file's csv)")
        ->type_name("FILE");
    app.add_option("--jsonl", jsonlPath, "Write every published record to FILE as JSON lines (overrides jsonl)")
        ->type_name("FILE");
    app.add_option("--osc", oscUrls,
                   OscOutput::available()
                       ? "Send every published record as OSC to URL (osc.udp://HOST:PORT, osc.tcp://HOST:PORT); "
                         "repeatable; overrides the file's osc lines"
                       : "Not in this build: it has no OSC output")
        ->type_name("URL")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.add_option("--capture", capturePath,
                   "Record every byte each device's line carries, both ways, with time stamps, to FILE "
                   "(for fastrak-sim --replay)")
        ->type_name("FILE");
    app.add_option("--duration", duration, "Stop S seconds after the first device is set up (0: run until a signal)")
        ->type_name("S");
    app.add_option("--count", count, "Stop after N published records (0: no limit)")->type_name("N");
    app.add_flag("--strict", strict, "Stop everything when one device fails its set-up");
    app.add_flag("--plain", plain, "Plain lines even when standard output is a terminal");
    app.add_flag("--simulate", simulate, "Run every device against its own fastrak-sim (one device 'sim' without --config)");
    app.add_option("--sim-args", simArgs, "Arguments for fastrak-sim instead of the built-in scene, in one string")
        ->type_name("ARGS");
    app.add_option("--sim", simProgram, "The fastrak-sim program (default: beside this program, then PATH)")
        ->type_name("PATH");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::cout << app.help();
        return 0;
    } catch (const CLI::CallForVersion& e) {
        std::cout << e.what() << "\n";
        return 0;
    } catch (const CLI::ParseError& e) {
        std::cerr << "fastrak-host: " << e.what() << "\nRun with --help for more information.\n";
        return 2;
    }
    if (duration < 0) {
        std::cerr << "fastrak-host: --duration: a number of seconds, 0 or more\nRun with --help for more information.\n";
        return 2;
    }
#if defined(_WIN32)
    if (!capturePath.empty()) {
        std::cerr << "fastrak-host: --capture relays each line through a pseudo-terminal, which Windows does not "
                     "have; capture with the Linux build\n";
        return 2;
    }
#endif
    if (configPath.empty() && !simulate) {
        std::cerr << "fastrak-host: nothing to run: give --config FILE or --simulate\n"
                     "Run with --help for more information.\n";
        return 2;
    }

    HostConfig config;
    if (!configPath.empty()) {
        ConfigError error;
        if (!readConfigFile(configPath, config, error)) {
            std::cerr << "fastrak-host: " << error.text() << "\n";
            return 2;
        }
        if (config.devices.empty() && !simulate) {
            std::cerr << "fastrak-host: " << configPath << ": no [device NAME] section\n";
            return 2;
        }
    }
    if (!csvPath.empty()) config.host.csvPath = csvPath;
    if (!jsonlPath.empty()) config.host.jsonlPath = jsonlPath;
    if (!oscUrls.empty()) config.host.oscUrls = oscUrls;
    std::vector<std::string> simWords = defaultSceneArguments();
    if (!simArgs.empty()) {
        std::string problem;
        simWords.clear();
        if (!splitWords(simArgs, simWords, problem)) {
            std::cerr << "fastrak-host: --sim-args: " << problem << "\n";
            return 2;
        }
    }
    setHostLogStyle(config.host);

    // Destinations before anything starts: a bad one is a usage error, an unreachable one a failure.
    OscOutput osc;
    for (const std::string& url : config.host.oscUrls) {
        std::string message;
        const OscOutput::AddResult added = osc.add(url, message);
        if (added != OscOutput::AddResult::Added) {
            std::cerr << "fastrak-host: OSC destination " << message << "\n";
            return added == OscOutput::AddResult::BadUrl ? 2 : 1;
        }
    }

    ModuleLibrary module;
    if (modulePath.empty()) modulePath = ModuleLibrary::defaultPath();
    if (!module.load(modulePath)) {
        std::cerr << "fastrak-host: " << module.error() << "\n";
        return 1;
    }
    Recorder recorder;
    if (!recorder.open(config.host.csvPath, config.host.jsonlPath)) {
        std::cerr << "fastrak-host: cannot write " << recorder.error() << "\n";
        return 1;
    }

    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);

    // Emulators first: a device needs its terminal before it can be set up.
    std::vector<std::unique_ptr<Simulator>> simulators;
    std::string scratch;
    if (simulate) {
        if (config.devices.empty()) config.devices.push_back(simulatedDevice());
        if (simProgram.empty()) simProgram = Simulator::findProgram();
        scratch = makeScratchFolder();
        for (size_t i = 0; i < config.devices.size(); ++i) {
            std::unique_ptr<Simulator> sim(new Simulator);
            std::string error;
            const std::string link = scratch + "/" + config.devices[i].name + ".pty";
            if (!sim->start(simProgram, link, simWords, error)) {
                std::cerr << "fastrak-host: " << error << "\n";
                return 1;
            }
            pointAt(config.devices[i], link);
            simulators.push_back(std::move(sim));
        }
    }

    // The capture relays sit between each device and its line; the device opens the relay's terminal.
    CaptureWriter captureWriter;
    std::vector<std::unique_ptr<LineRelay>> relays;
    if (!capturePath.empty()) {
        if (config.devices.size() > 255) {
            std::cerr << "fastrak-host: --capture takes at most 255 devices\n";
            return 2;
        }
        if (!captureWriter.open(capturePath)) {
            std::cerr << "fastrak-host: cannot write " << captureWriter.error() << "\n";
            return 1;
        }
        if (scratch.empty()) scratch = makeScratchFolder();
        for (size_t i = 0; i < config.devices.size(); ++i) {
            DeviceSection& device = config.devices[i];
            std::unique_ptr<LineRelay> relay(new LineRelay(captureWriter, static_cast<uint8_t>(i), device.name, portOf(device)));
            std::string error;
            const std::string link = scratch + "/capture-" + std::to_string(i) + ".pty";
            if (!relay->start(link, error)) {
                std::cerr << "fastrak-host: --capture: " << device.name << ": " << error << "\n";
                return 1;
            }
            pointAt(device, link);
            relays.push_back(std::move(relay));
        }
    }

    Logger storageLogger;
    fillLogger(storageLogger, "fastrak-host");
    storageLogger.showDate = config.host.logDate;
    storageLogger.showTime = config.host.logTime;
    storageLogger.showThreadId = config.host.logThreadId;
    Storage trackers(Storage::Kind::Tracker, storageLogger);
    Storage controllers(Storage::Kind::Controller, storageLogger);
    if (!trackers.ready() || !controllers.ready()) {
        std::cerr << "fastrak-host: cannot make the storage mutexes\n";
        return 1;
    }
    PoseBoard board;
    HostContext context;
    context.module = &module;
    context.trackers = &trackers;
    context.controllers = &controllers;
    context.runFlag = &runFlag;
    context.board = &board;
    context.recorder = &recorder;
    context.osc = osc.empty() ? nullptr : &osc;
    context.settings = config.host;
    context.strict = strict;

    LiveView view;
    const bool live = !plain && stdoutIsTerminal() && view.start();
    std::vector<std::unique_ptr<DeviceRunner>> runners;
    for (size_t i = 0; i < config.devices.size(); ++i) {
        board.setState(config.devices[i].name, DeviceState::Waiting);
        runners.emplace_back(new DeviceRunner(context, config.devices[i], i));
    }
    osc.start();
    for (auto& runner : runners) runner->start();

    auto started = std::chrono::steady_clock::now();
    bool receiving = false;
    auto lastPlain = started;
    std::map<std::pair<int, uint32_t>, uint64_t> printed;
    while (runFlag != 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const auto now = std::chrono::steady_clock::now();
        context.settleClaims(false);
        recorder.flushIfDue();
        osc.report();
        if (live) {
            view.refresh(board, osc.summary());
        } else if (now - lastPlain >= std::chrono::seconds(1)) {
            lastPlain = now;
            for (const auto& row : board.rows()) {
                if (printed[row.first] == row.second.total) continue;
                printed[row.first] = row.second.total;
                hostInfo(plainLine(row.second, now));
            }
        }
        // The duration counts from the first device's reception, not from its set-up (seconds long).
        if (!receiving) {
            for (const auto& state : board.states()) receiving = receiving || state.second == DeviceState::Running;
            if (receiving) started = now;
        }
        if (duration > 0 && receiving && now - started >= std::chrono::duration<double>(duration)) break;
        if (count > 0 && board.total() >= count) break;
        bool anyAlive = false;
        for (const auto& state : board.states()) {
            anyAlive = anyAlive || (state.second != DeviceState::Failed && state.second != DeviceState::Stopped);
        }
        if (!anyAlive) break;
    }
    runFlag = 0;
    for (auto& runner : runners) runner->join();
    osc.stop();
    if (live) view.refresh(board, osc.summary());
    view.stop();
    recorder.close();
    for (auto& relay : relays) relay->stop();
    if (!capturePath.empty()) {
        if (captureWriter.close()) {
            hostInfo("capture written to " + capturePath);
        } else {
            hostError("capture " + capturePath + " is incomplete: " + captureWriter.error());
        }
    }
    for (auto& sim : simulators) sim->stop();
    if (!scratch.empty() && scratch != "/tmp") std::remove(scratch.c_str());

    bool anyRan = false;
    for (const auto& state : board.states()) anyRan = anyRan || state.second == DeviceState::Stopped;
    if (context.setupFailed) {
        hostError("a device failed its set-up and --strict is on");
        return 1;
    }
    if (!anyRan) {
        hostError("no device could be set up");
        return 1;
    }
    hostInfo("stopped; " + std::to_string(board.total()) + " records" + (osc.empty() ? "" : "; " + osc.summary()));
    return 0;
}
