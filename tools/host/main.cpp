// fastrak-host: loads the device module, runs one reception thread per configured device, and shows
// and records the poses.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "devices/DeviceFacts.h"
#include "devices/DeviceRunner.h"
#include "devices/ModuleLines.h"
#include "devices/Simulator.h"
#include "HostConfig.h"
#include "HostLog.h"
#include "ModuleLibrary.h"
#include "outputs/IgtlOutput.h"
#include "outputs/LslOutput.h"
#include "outputs/OscOutput.h"
#include "outputs/WebOutput.h"
#include "ParseCommandLine.h"
#include "probe/Probe.h"
#include "recording/CaptureWriter.h"
#include "recording/LineRelay.h"
#include "recording/Recorder.h"
#include "Storage.h"
#include "view/LiveView.h"

#if defined(_WIN32)
#include <io.h>
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <dirent.h>
#include <signal.h>
#include <unistd.h>
#endif

using namespace fastrakhost;

namespace {

// The word the module polls; the signal handler and the device threads clear it.
std::atomic<int32_t> runFlag{1};
volatile std::sig_atomic_t stopSignals = 0;

extern "C" void onStopSignal(int number) {
    std::signal(number, onStopSignal);  // Windows resets the handler before calling it
    if (stopSignals++ > 0) {            // the second Ctrl-C: no more waiting
        LiveView::restoreFromSignal();
        Simulator::terminateAllFromSignal();
        _exit(130);
    }
    const int interrupted = errno;  // the interrupted code may be about to read it
    runFlag = 0;
    errno = interrupted;
}

#if defined(_WIN32)
// Set once the run has wound up (recordings closed, ports restored).
std::atomic<bool> woundUp{false};

// Ctrl-Break stops as Ctrl-C does. Closing the console window, logging off or shutting down ends
// the process once this returns (Windows waits about 5 s at most): stop, and return only when the
// run has wound up, so the recordings are whole and the ports restored.
BOOL WINAPI onConsoleEvent(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        onStopSignal(SIGINT);
        return TRUE;
    }
    runFlag = 0;
    for (int waited = 0; waited < 90 && !woundUp; ++waited) Sleep(50);
    return TRUE;
}
#endif

const char* kDescription =
    "fastrak-host: a host for the Fastrak device module. Loads the module, sets up every device of\n"
    "the configuration file on its own reception thread, shows the poses (a live table on a terminal,\n"
    "plain lines otherwise), records every published record to CSV or JSON lines and sends it\n"
    "over OSC, to OpenIGTLink clients and to the Lab Streaming Layer, and serves a live web view.\n"
    "SIGINT, SIGTERM or SIGHUP stops cleanly; a second Ctrl-C exits at once.";

const char* kFooter =
    "\nConfiguration file: sections [host] and [device NAME]; a device's lines are the module's option\n"
    "keywords with blank-separated arguments (\"double quotes\" keep blanks, # starts a comment).\n"
    "See docs/host.md and docs/configuration.md.\n"
    "Exit status:\n"
    "  0    a clean stop (a signal, --duration or --count) with every device delivering\n"
    "  1    a device or an output failed during the run (set-up, a line not back at the end,\n"
    "       a file that could not be written, outputs beyond 32, the module not loaded)\n"
    "  2    a usage or configuration error, found before anything started\n"
    "  130  a second Ctrl-C";

// The options that take a value; the rest are flags.
const char* const kValueOptions[] = {"--config", "--module",  "--csv",      "--jsonl", "--osc",      "--igtl",
                                     "--web",    "--capture", "--duration", "--count", "--sim-args", "--sim"};
// --probe takes any number of ports, none included.
const char* const kFlagOptions[] = {"--help",     "--version",   "--strict", "--plain",
                                    "--simulate", "--overwrite", "--probe",  "--lsl"};

size_t editDistance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// What the option parser lets through: an unknown long option (named with the closest known one)
// and an option that would take the next option as its value. Returns the problem, or "".
std::string checkWords(int argc, char** argv) {
    std::vector<std::string> known(std::begin(kValueOptions), std::end(kValueOptions));
    known.insert(known.end(), std::begin(kFlagOptions), std::end(kFlagOptions));
    auto isKnown = [&](const std::string& word) { return std::find(known.begin(), known.end(), word) != known.end(); };
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--") break;
        if (word.size() < 3 || word.compare(0, 2, "--") != 0) continue;
        const std::string name = word.substr(0, word.find('='));
        if (!isKnown(name)) {
            std::string closest;
            size_t best = std::string::npos;
            for (const std::string& option : known) {
                const size_t distance = editDistance(name, option);
                if (distance < best) best = distance, closest = option;
            }
            return "unknown option " + name + (best <= name.size() / 2 ? "; did you mean " + closest + "?" : "");
        }
        const bool takesValue =
            std::find(std::begin(kValueOptions), std::end(kValueOptions), name) != std::end(kValueOptions);
        if (!takesValue || name != word || i + 1 >= argc) continue;
        const std::string value = argv[++i];
        // --sim-args carries the emulator's own options, so only one of ours counts as a slip there.
        const bool anOption = name == "--sim-args" ? isKnown(value.substr(0, value.find('=')))
                                                   : value.compare(0, 2, "--") == 0 || value == "-h";
        if (anOption) return name + " needs a value, not the option " + value;
    }
    return "";
}

// A finite number of seconds, 0 or more, written out whole.
bool readSeconds(const std::string& text, double& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return end != nullptr && *end == '\0' && std::isfinite(value) && value >= 0;
}

// A whole number, 0 or more, without a sign.
bool readCount(const std::string& text, uint64_t& value) {
    if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    value = std::strtoull(text.c_str(), nullptr, 10);
    return true;
}

int usageError(const std::string& text) { return fastraktools::usageError("fastrak-host", text); }

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
        if (!isPortLine(option)) kept.push_back(option);
    }
    kept.insert(kept.begin(), OptionText{0, "port", {port}});
    device.options = kept;
}

#if !defined(_WIN32)
// Removes the scratch folders of hosts that are gone (killed before they could clean up): their
// pty links point nowhere. A folder's name carries its host's process id.
void removeStaleScratchFolders() {
    DIR* tmp = opendir("/tmp");
    if (tmp == nullptr) return;
    const std::string prefix = "fastrak-host-";
    while (const dirent* entry = readdir(tmp)) {
        const std::string name = entry->d_name;
        if (name.compare(0, prefix.size(), prefix) != 0) continue;
        const long pid = std::strtol(name.c_str() + prefix.size(), nullptr, 10);
        if (pid <= 0 || name.find('-', prefix.size()) == std::string::npos) continue;
        if (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
        const std::string folder = "/tmp/" + name;
        if (DIR* inside = opendir(folder.c_str())) {
            while (const dirent* link = readdir(inside)) {
                const std::string file = link->d_name;
                if (file.size() > 4 && file.compare(file.size() - 4, 4, ".pty") == 0)
                    unlink((folder + "/" + file).c_str());
            }
            closedir(inside);
        }
        rmdir(folder.c_str());
    }
    closedir(tmp);
}
#endif

std::string makeScratchFolder() {
#if defined(_WIN32)
    return ".";
#else
    std::string pattern = "/tmp/fastrak-host-" + std::to_string(getpid()) + "-XXXXXX";
    const char* made = mkdtemp(&pattern[0]);
    return made != nullptr ? made : "/tmp";
#endif
}

// Removes what this run put in its scratch folder, then the folder.
void removeScratchFolder(const std::string& folder, const std::vector<std::string>& links) {
    if (folder.empty() || folder == "/tmp" || folder == ".") return;
    for (const std::string& link : links) std::remove(link.c_str());
    std::remove(folder.c_str());
}

bool stdoutIsTerminal() {
#if defined(_WIN32)
    return _isatty(_fileno(stdout)) != 0;
#else
    return isatty(STDOUT_FILENO) != 0;
#endif
}

// What the command line and the configuration file ask for.
struct Options {
    HostConfig config;
    std::string modulePath, simProgram, capturePath;
    std::vector<std::string> simWords;
    double duration = 0;
    uint64_t count = 0;
    bool strict = false, simulate = false, plain = false;
};

struct Outputs {
    OscOutput osc;
    IgtlOutput igtl;
    WebOutput web;
    LslOutput lsl;
};

const int kGoOn = -1;

// One run, from the devices' start to its report.
class Run {
public:
    Run(Options& given, Outputs& outputs)
        : options(given),
          config(given.config),
          osc(outputs.osc),
          igtl(outputs.igtl),
          web(outputs.web),
          lsl(outputs.lsl) {}

    // Loads the module, starts the emulators, opens the files and starts every device; 0, or the
    // status to exit with.
    int startDevices();
    // Shows and checks the run until a signal, --duration, --count, a failed output or no device left.
    void receive();
    void stop();
    // The run's figures and its last line; the exit status.
    int report();

private:
    void waitForTheDevices();
    void closeFiles();
    void cleanUp();
    std::string outputSummary() const;
    void outputFailure(const std::string& text);
    const ViewHead& viewHead();

    Options& options;
    HostConfig& config;
    OscOutput& osc;
    IgtlOutput& igtl;
    WebOutput& web;
    LslOutput& lsl;

    ModuleLibrary module;
    std::vector<std::unique_ptr<Simulator>> simulators;
    std::vector<std::string> links;
    std::string scratch;
    std::vector<DeviceFacts> facts;
    Recorder recorder;
    CaptureWriter captureWriter;
    std::vector<std::unique_ptr<LineRelay>> relays;
    PoseBoard board;
    OutputStats stats;
    HostContext context;
    std::vector<HostOutput*> senders;
    std::unique_ptr<ModuleLines> moduleLines;
    LiveView view;
    bool live = false;
    std::vector<std::unique_ptr<DeviceRunner>> runners;

    bool outputFailed = false;
    ViewHead head;
    SteadyTime launched;
    SteadyTime ended;
    // Who was not delivering when the run ended: a failed set-up, a line that never came back.
    std::vector<std::string> notDelivering, neverDelivered;
    size_t failedSetUps = 0;
};

// Reads the command line and the configuration file; kGoOn, or the status to exit with.
int readConfiguration(int argc, char** argv, Outputs& network, Options& options) {
    CLI::App app{kDescription, "fastrak-host"};
    app.footer(kFooter);
    app.set_version_flag("--version", std::string("fastrak-host ") + FASTRAK_VERSION);
    OscOutput& osc = network.osc;
    IgtlOutput& igtl = network.igtl;
    WebOutput& web = network.web;
    LslOutput& lsl = network.lsl;
    std::string& modulePath = options.modulePath;
    std::string& simProgram = options.simProgram;
    std::string& capturePath = options.capturePath;
    std::string configPath, csvPath, jsonlPath, simArgs;
    std::string durationText, countText;
    std::vector<std::string> oscUrls;
    std::string igtlAddress, webAddress;
    bool& strict = options.strict;
    bool& simulate = options.simulate;
    bool& plain = options.plain;
    bool overwrite = false, lslFlag = false;
    app.add_option("--config", configPath, "Configuration file (see below)")->type_name("FILE");
    app.add_option("--module", modulePath,
                   std::string("Device module to load (default: ") + ModuleLibrary::fileName() +
                       " beside this program, else in the installed module folder)")
        ->type_name("PATH");
    app.add_option("--csv", csvPath, "Write every published record to FILE as CSV (overrides the file's csv)")
        ->type_name("FILE");
    app.add_option("--jsonl", jsonlPath, "Write every published record to FILE as JSON lines (overrides jsonl)")
        ->type_name("FILE");
    app.add_option("--osc", oscUrls,
                   osc.available()
                       ? "Send every published record as OSC to URL (osc.udp://HOST:PORT, osc.tcp://HOST:PORT); "
                         "repeatable; overrides the file's osc lines"
                       : "Not in this build: it has no OSC output")
        ->type_name("URL")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.add_option("--igtl", igtlAddress,
                   igtl.available()
                       ? "Serve every published record to OpenIGTLink clients (3D Slicer and others) on "
                         "[ADDR:]PORT (address 127.0.0.1 unless given; ADDR alone takes the usual port, 18944); "
                         "overrides the file's igtl line"
                       : "Not in this build: it has no OpenIGTLink output")
        ->type_name("[ADDR:]PORT");
    app.add_option("--web", webAddress,
                   web.available()
                       ? "Serve a live view of the poses and per-output statistics to browsers on [ADDR:]PORT "
                         "(address 127.0.0.1 unless given; no login, read-only); overrides the file's web line"
                       : "Not in this build: it has no web view")
        ->type_name("[ADDR:]PORT");
    app.add_flag("--lsl", lslFlag,
                 lsl.available()
                     ? "Publish every tracker output as an LSL stream \"DEVICE Tn\" (type MoCap: metres and a "
                       "quaternion, stamped with the measured time) and each device's button changes as markers "
                       "\"DEVICE buttons\"; as the file's lsl yes"
                     : "Not in this build: it has no LSL output (built without liblsl)");
    app.add_option("--capture", capturePath,
                   "Record every byte each device's line carries, both ways, with time stamps, to FILE "
                   "(for fastrak-sim --replay)")
        ->type_name("FILE");
    app.add_flag("--overwrite", overwrite,
                 "Replace output files (csv, jsonl, capture) that exist; without it a file that holds "
                 "something stops the run at start");
    app.add_option("--duration", durationText,
                   "Stop S seconds after the first device is set up (0: run until a signal)")
        ->type_name("S");
    app.add_option("--count", countText, "Stop after exactly N published records (0: no limit)")->type_name("N");
    app.add_flag("--strict", strict, "Stop everything when one device fails its set-up");
    app.add_flag("--plain", plain, "Plain lines even when standard output is a terminal");
    app.add_flag("--simulate", simulate,
                 "Run every device against its own fastrak-sim (one device 'sim' without --config)");
    app.add_option("--sim-args", simArgs, "Arguments for fastrak-sim instead of the built-in scene, in one string")
        ->type_name("ARGS");
    app.add_option("--sim", simProgram, "The fastrak-sim program (default: beside this program, then PATH)")
        ->type_name("PATH");
    std::vector<std::string> probePorts;
    app.add_option("--probe", probePorts,
                   "Find the tracker: try each PORT (default: every serial port) at the tracker's speeds and print "
                   "the lines to use, stations included; sends only the status and single-record requests")
        ->expected(0, 256)
        ->type_name("[PORT...]");
    const std::string slip = checkWords(argc, argv);
    if (!slip.empty()) return usageError(slip);
    if (const auto status = fastraktools::parseCommandLine(app, argc, argv, "fastrak-host")) return *status;
    if (app.count("--probe") > 0) {
        // A bare --probe leaves one empty word behind.
        probePorts.erase(std::remove(probePorts.begin(), probePorts.end(), std::string()), probePorts.end());
        return runProbe(probePorts);
    }
    double& duration = options.duration;
    uint64_t& count = options.count;
    if (!durationText.empty() && !readSeconds(durationText, duration)) {
        return usageError("--duration " + durationText + ": a finite number of seconds, 0 or more");
    }
    if (!countText.empty() && !readCount(countText, count)) {
        return usageError("--count " + countText + ": a whole number of records, 0 or more");
    }
#if defined(_WIN32)
    if (!capturePath.empty()) {
        std::cerr << "fastrak-host: --capture relays each line through a pseudo-terminal, which Windows does not "
                     "have; capture with the Linux build\n";
        return 2;
    }
#endif
    if (configPath.empty() && !simulate) return usageError("nothing to run: give --config FILE or --simulate");

    HostConfig& config = options.config;
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
    // Every device claims at least one output and the host has 32 of each kind.
    if (config.devices.size() > kSlots) {
        std::cerr << "fastrak-host: " << configPath << ": " << config.devices.size()
                  << " devices; the host runs at most 32 (every device claims at least one of the 32 outputs)\n";
        return 2;
    }
    if (!csvPath.empty()) config.host.csvPath = csvPath;
    if (!jsonlPath.empty()) config.host.jsonlPath = jsonlPath;
    if (!oscUrls.empty()) config.host.oscUrls = oscUrls;
    if (!igtlAddress.empty()) config.host.igtl = igtlAddress;
    if (!webAddress.empty()) config.host.web = webAddress;
    if (lslFlag) config.host.lsl = true;
    if (!capturePath.empty() && config.devices.size() > 255) {
        std::cerr << "fastrak-host: --capture takes at most 255 devices\n";
        return 2;
    }
    // A recording is never replaced by accident: a re-run, or a run that fails, would wipe it.
    const std::string outputs[3] = {config.host.csvPath, config.host.jsonlPath, capturePath};
    for (size_t i = 0; i < 3; ++i) {
        for (size_t j = 0; j < i; ++j) {
            if (!outputs[i].empty() && !outputs[j].empty() && sameFile(outputs[i], outputs[j])) {
                std::cerr << "fastrak-host: " << outputs[i]
                          << (outputs[i] == outputs[j] ? "" : " (the same file as " + outputs[j] + ")")
                          << " is named for two outputs\n";
                return 2;
            }
        }
        const std::string occupied = overwrite ? "" : occupiedBy(outputs[i]);
        if (!occupied.empty()) {
            std::cerr << "fastrak-host: " << occupied << "\n";
            return 2;
        }
    }
    std::vector<std::string>& simWords = options.simWords;  // when empty, each emulator follows its section
    if (!simArgs.empty()) {
        std::string problem;
        if (!splitWords(simArgs, simWords, problem)) return usageError("--sim-args: " + problem);
    }
    setHostLogStyle(config.host);
    return kGoOn;
}

// Opens every output the configuration names; 0, or the status to exit with.
int openOutputs(const HostConfig& config, Outputs& outputs) {
    OscOutput& osc = outputs.osc;
    IgtlOutput& igtl = outputs.igtl;
    WebOutput& web = outputs.web;
    LslOutput& lsl = outputs.lsl;
    // Destinations and servers before anything starts: a bad address is a usage error, one the
    // system refuses a failure. The servers listen before the devices start, so that clients can be
    // there for the first record.
    auto openFailed = [](HostOutput& output, const char* what, const std::string& where) {
        std::string message;
        const OpenResult result = output.open(where, message);
        if (result == OpenResult::Opened) return 0;
        std::cerr << "fastrak-host: " << what << " " << message << "\n";
        return result == OpenResult::BadAddress ? 2 : 1;
    };
    for (const std::string& url : config.host.oscUrls)
        if (const int failed = openFailed(osc, "OSC destination", url)) return failed;
    if (!config.host.igtl.empty()) {
        if (const int failed = openFailed(igtl, "OpenIGTLink server", config.host.igtl)) return failed;
        hostInfo("OpenIGTLink server listening on " + igtl.address());
    }
    if (!config.host.web.empty())
        if (const int failed = openFailed(web, "web view", config.host.web)) return failed;
    if (config.host.lsl) {
        std::string message;
        if (lsl.open("--lsl", message) != OpenResult::Opened) {
            std::cerr << "fastrak-host: " << message << "\n";
            return 2;
        }
    }
    return 0;
}

int Run::startDevices() {
    std::string& modulePath = options.modulePath;
    std::string& simProgram = options.simProgram;
    const std::vector<std::string>& simWords = options.simWords;
    const std::string& capturePath = options.capturePath;
    const bool simulate = options.simulate, strict = options.strict, plain = options.plain;
    const uint64_t count = options.count;
    if (modulePath.empty()) modulePath = ModuleLibrary::defaultPath();
    if (!module.load(modulePath)) {
        std::cerr << "fastrak-host: " << module.error() << "\n";
        return 1;
    }

    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
#if defined(SIGHUP)
    std::signal(SIGHUP, onStopSignal);  // the terminal closed: stop as for SIGTERM
#endif
#if defined(_WIN32)
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);  // after the runtime's own, so it is asked first
#else
    // A standard output that closes (`| head`) ends the view, not the run: the write fails instead.
    std::signal(SIGPIPE, SIG_IGN);
#endif
#if !defined(_WIN32)
    removeStaleScratchFolders();
#endif

    // Emulators first: a device needs its terminal before it can be set up.
    if (simulate) {
        if (config.devices.empty()) config.devices.push_back(simulatedDevice());
        if (simProgram.empty()) simProgram = Simulator::findProgram();
        scratch = makeScratchFolder();
        for (size_t i = 0; i < config.devices.size(); ++i) {
            std::unique_ptr<Simulator> sim(new Simulator);
            std::string error;
            // Numbered, not named after the device: a name is the user's text ("../x") and the
            // link must stay inside the folder this run made.
            const std::string link = scratch + "/device-" + std::to_string(i + 1) + ".pty";
            links.push_back(link);
            const std::vector<std::string> words =
                simWords.empty() ? sceneArguments(factsOf(config.devices[i])) : simWords;
            if (!sim->start(simProgram, link, words, error)) {
                std::cerr << "fastrak-host: " << error << "\n";
                const bool usage = sim->refusedItsArguments();
                cleanUp();
                return usage ? 2 : 1;
            }
            pointAt(config.devices[i], link);
            simulators.push_back(std::move(sim));
        }
    }

    // What each section means for its line, before a capture relay takes the section's port.
    for (const DeviceSection& device : config.devices) facts.push_back(factsOf(device));

    // The files last, once everything before them has been checked.
    if (!recorder.open(config.host.csvPath, config.host.jsonlPath)) {
        std::cerr << "fastrak-host: cannot write " << recorder.error() << "\n";
        cleanUp();
        return 1;
    }

    // The capture relays sit between each device and its line; the device opens the relay's terminal.
    if (!capturePath.empty()) {
        if (!captureWriter.open(capturePath)) {
            std::cerr << "fastrak-host: cannot write " << captureWriter.error() << "\n";
            cleanUp();
            return 1;
        }
        if (scratch.empty()) scratch = makeScratchFolder();
        for (size_t i = 0; i < config.devices.size(); ++i) {
            DeviceSection& device = config.devices[i];
            std::unique_ptr<LineRelay> relay(
                new LineRelay(captureWriter, static_cast<uint8_t>(i), device.name, facts[i].port));
            std::string error;
            const std::string link = scratch + "/capture-" + std::to_string(i) + ".pty";
            links.push_back(link);
            if (!relay->start(link, error)) {
                std::cerr << "fastrak-host: --capture: " << device.name << ": " << error << "\n";
                relays.clear();
                cleanUp();
                return 1;
            }
            pointAt(device, link);
            relays.push_back(std::move(relay));
        }
    }

    web.attach(&board, &stats);
    context.module = &module;
    context.runFlag = &runFlag;
    context.board = &board;
    context.recorder = &recorder;
    senders = {&osc, &igtl, &web, &lsl};
    for (HostOutput* output : senders)
        if (!output->empty()) context.outputs.push_back(output);
    context.stats = &stats;
    context.settings = config.host;
    context.strict = strict;
    context.recordLimit = count;

    // The module's reports about each line reach the board from the one reader of standard output.
    std::vector<std::string> deviceNames;
    for (const DeviceSection& device : config.devices) deviceNames.push_back(device.name);
    moduleLines.reset(new ModuleLines(deviceNames));
    auto watch = [this](const std::string& line) {
        LineReport report;
        if (moduleLines->read(line, report)) board.take(report, std::chrono::steady_clock::now());
    };
    live = !plain && stdoutIsTerminal() && view.start(LiveView::Mode::Table, watch);
    if (!live) view.start(LiveView::Mode::Lines, watch);
    for (size_t i = 0; i < config.devices.size(); ++i) {
        board.setState(config.devices[i].name, DeviceState::Waiting);
        runners.emplace_back(new DeviceRunner(context, config.devices[i], facts[i], i));
        const std::string& name = config.devices[i].name;
        const PoseAngles angles = facts[i].caveAngles ? PoseAngles::Cave : PoseAngles::Tracker;
        igtl.setAngles(name, angles);
        lsl.setDevice(name, angles, facts[i].activeStations().size());
        if (!igtl.empty() && IgtlOutput::devicePart(name) != name) {
            hostWarning(name + ": OpenIGTLink names hold 20 bytes; this device's are " + IgtlOutput::devicePart(name) +
                        "/T<n> and " + IgtlOutput::devicePart(name) + "/C<n>");
        }
    }
    for (HostOutput* output : senders) output->start();
    if (!web.empty()) hostInfo("web view on " + web.url());
    for (auto& runner : runners) runner->start();
    return 0;
}

std::string Run::outputSummary() const {
    std::string text;
    for (const HostOutput* output : senders) {
        const std::string part = output->summary();
        if (!part.empty()) text += (text.empty() ? "" : "; ") + part;
    }
    return text;
}

// An output that cannot take its records stops the run as Ctrl-C does, and fails it.
void Run::outputFailure(const std::string& text) {
    hostError("cannot write " + text + "; stopping");
    outputFailed = true;
    runFlag = 0;
}

const ViewHead& Run::viewHead() {
    head.elapsedSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - launched).count();
    head.note = outputSummary();
    return head;
}

void Run::cleanUp() {
    simulators.clear();
    removeScratchFolder(scratch, links);
}

void Run::receive() {
    const std::string& capturePath = options.capturePath;
    const double duration = options.duration;
    for (const std::string& file : {config.host.csvPath, config.host.jsonlPath, capturePath})
        if (!file.empty()) head.files.push_back(file);
    for (size_t i = 0; i < config.devices.size(); ++i)
        head.devices.push_back({config.devices[i].name, facts[i].port, facts[i].baud});
    launched = std::chrono::steady_clock::now();
    auto started = launched;
    bool receiving = false;
    auto lastPlain = started;
    std::map<std::pair<int, uint32_t>, uint64_t> printed;
    while (runFlag != 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const auto now = std::chrono::steady_clock::now();
        if (recorder.failed()) {
            outputFailure(recorder.error());
            break;
        }
        if (captureWriter.failed()) {
            outputFailure(captureWriter.error());
            break;
        }
        for (HostOutput* output : senders) output->report();
        view.refresh(board, viewHead());
        if (!live && now - lastPlain >= std::chrono::seconds(1)) {
            lastPlain = now;
            for (const auto& row : board.rows()) {
                if (row.second.total == 0 || printed[row.first] == row.second.total) continue;
                printed[row.first] = row.second.total;
                hostInfo(plainLine(row.second, now));
            }
        }
        // The duration counts from the end of the first device's set-up, which itself takes seconds.
        if (!receiving) {
            for (const auto& state : board.states())
                receiving =
                    receiving || state.second == DeviceState::Running || state.second == DeviceState::DamagedLine;
            if (receiving) started = now;
        }
        if (duration > 0 && receiving && now - started >= std::chrono::duration<double>(duration)) break;
        bool anyAlive = false;
        for (const auto& state : board.states()) {
            anyAlive = anyAlive || (state.second != DeviceState::Failed && state.second != DeviceState::Stopped);
        }
        if (!anyAlive) break;
    }
}

// A set-up in progress is not cut short (a reset line makes it last about 20 s): say so at once,
// and keep the view and its clock going until every device has stopped.
void Run::waitForTheDevices() {
    bool toldOfSetUp = false;
    for (;;) {
        std::string settingUp;
        bool allEnded = true;
        for (const auto& state : board.states()) {
            allEnded = allEnded && (state.second == DeviceState::Stopped || state.second == DeviceState::Failed);
            if (state.second == DeviceState::SettingUp) settingUp = state.first;
        }
        if (allEnded) break;
        if (!toldOfSetUp && !settingUp.empty()) {
            toldOfSetUp = true;
            hostInfo("stopping once the set-up of " + settingUp + " is done (a reset line makes it last about 20 s)" +
                     (stopSignals > 0 ? "; Ctrl-C again exits at once" : ""));
        }
        view.refresh(board, viewHead());
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    for (auto& runner : runners) runner->join();
    ended = std::chrono::steady_clock::now();
    // Who was not delivering when the run ended: a failed set-up, a line that never came back.
    for (auto& runner : runners) {
        const bool failed = board.state(runner->name()) == DeviceState::Failed;
        failedSetUps += failed;
        if (failed || runner->lineLost()) {
            notDelivering.push_back(runner->name());
        } else if (!runner->delivered()) {
            neverDelivered.push_back(runner->name());
        }
    }
}

void Run::closeFiles() {
    const std::string& capturePath = options.capturePath;
    if (!recorder.close() && !outputFailed) outputFailure(recorder.error());
    if (recorder.notWritten() > 0)
        hostError("the recording lacks " + std::to_string(recorder.notWritten()) + " of the run's " +
                  std::to_string(board.total()) + " records: those from the write error on");
    for (auto& relay : relays) relay->stop();
    if (!capturePath.empty()) {
        if (captureWriter.close()) {
            hostInfo(captureWriter.wroteAny() ? "capture written to " + capturePath
                                              : "nothing crossed the lines; no capture written");
        } else {
            if (!outputFailed) outputFailure(captureWriter.error());
            hostError("capture " + capturePath + " is incomplete: " + captureWriter.error());
        }
    }
    relays.clear();
}

// The files first, whole, whatever the outputs' clients do; then the outputs, each within seconds;
// the view last, so the devices' last reports have been read.
void Run::stop() {
    runFlag = 0;
    waitForTheDevices();
    closeFiles();
    for (HostOutput* output : senders) output->stop();
    if (live) view.refresh(board, viewHead());
    view.stop();                      // after the devices' stop, so their last reports have been read
    setHostLogWidth(view.columns());  // the terminal wraps no word of the lines below the table
}

int Run::report() {
    if (view.droppedLines() > 0) {
        const std::string text = "standard output took nothing for a while: " + std::to_string(view.droppedLines()) +
                                 " lines of this run's log were dropped";
        if (view.outputStuck())
            ConsoleStream::tellOnError("fastrak-host: WARNING: " + text + "\n");
        else
            hostWarning(text);
    }
    std::string damage;
    for (auto& runner : runners)
        damage += (damage.empty() ? "" : ", ") + runner->name() + " " +
                  std::to_string(board.notes(runner->name()).damagedFrames);
    if (!runners.empty()) hostInfo("damaged frames dropped per device: " + damage);
    // The run's figures per output, on the terminal below the last table as in plain mode.
    if (board.total() > 0) {
        hostInfo("statistics per output (noise: RMS while still, within " + std::to_string(int(OutputStats::kStillMm)) +
                 " mm and " + std::to_string(int(OutputStats::kStillDeg)) + " degrees for " +
                 std::to_string(OutputStats::kStillSeconds).substr(0, 3) + " s or more):");
        std::string table;
        const size_t columns = view.columns() > 4 ? view.columns() - 4 : static_cast<size_t>(-1);
        for (const std::string& line : OutputStats::table(stats.run(ended), columns))
            table += (line.empty() ? "" : "    ") + line + "\n";
        std::cout << table << std::flush;
    }
    cleanUp();
#if defined(_WIN32)
    woundUp = true;
#endif

    const std::string summary = std::to_string(board.total()) + (board.total() == 1 ? " record" : " records") +
                                (outputSummary().empty() ? "" : "; " + outputSummary());
    if (context.setupFailed) {
        hostError("a device failed its set-up and --strict is on");
        return 1;
    }
    if (failedSetUps == runners.size()) {
        hostError("no device could be set up");
        return 1;
    }
    if (outputFailed || context.beyondLimits || !notDelivering.empty() || !neverDelivered.empty()) {
        auto list = [&](const std::vector<std::string>& names) {
            std::string text;
            for (const std::string& name : names) {
                const std::string stray = board.strayStations(name);
                std::string fix;
                for (size_t i = 0; i < config.devices.size(); ++i)
                    if (config.devices[i].name == name)
                        fix = "; write `" + sensorsLineWith(facts[i], board.notes(name).strayStations) + "`";
                text += (text.empty() ? "" : ", ") + name +
                        (stray.empty()
                             ? ""
                             : " (records came from " + stray + ", which the sensors line leaves off" + fix + ")");
            }
            return text;
        };
        hostError("stopped; " + summary + (notDelivering.empty() ? "" : "; not delivering: " + list(notDelivering)) +
                  (neverDelivered.empty() ? "" : "; never delivered a record: " + list(neverDelivered)) +
                  (outputFailed ? "; an output failed" : ""));
        return 1;
    }
    hostInfo("stopped; " + summary);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Outputs outputs;
    Options options;
    const int status = readConfiguration(argc, argv, outputs, options);
    if (status != kGoOn) return status;
    if (const int failed = openOutputs(options.config, outputs)) return failed;
    Run run(options, outputs);
    if (const int failed = run.startDevices()) return failed;
    run.receive();
    run.stop();
    return run.report();
}
