// fastrak-sim: the tracker emulated on a pseudo-terminal, for work and tests without the hardware.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <set>

#include "FastrakSim.h"
#include "ParseCommandLine.h"
#include "ReplayProgram.h"
#include "SimSpec.h"

using namespace fastraksim;

namespace {

const char* kDescription =
    "fastrak-sim: an emulator of the Fastrak tracker on a pseudo-terminal.\n"
    "Prints the path of the terminal a driver opens (and links --link PATH to it), then answers\n"
    "the tracker's serial commands until SIGINT, SIGTERM or SIGHUP: control-Y (reset: silent for\n"
    "--reset-time, then the power-up state), R/A (alignment frame), H (hemisphere, 0,0,0 = automatic),\n"
    "e (stylus button function), O (output list: items 0 1 2 4 16 52 54 66), l (station on/off),\n"
    "f/F (binary/ASCII), C/c (continuous on/off), P (one record per active station), u/U (cm/inches),\n"
    "S (status). A command it cannot parse is answered with the error record '2 E*ERROR* <input> <code>'.\n"
    "Records: 120 solutions per second shared among the active stations, paced at ten bits per byte\n"
    "at the speed the driver set on the terminal (9600 if unreadable) unless --baud or --unpaced.";

const char* kFooter =
    "\nScenes (--scene S=KIND[:key=value,...], one per station):\n"
    "  still | circle | eight | walk; keys x y z az el roll (pose or centre; inches, degrees),\n"
    "  radius, period (s), speed (walk, in/s). --seed makes 'walk' repeatable.\n"
    "  e.g. --scene 1=circle:radius=6,period=3 --scene 2=still:x=10,y=0,z=5,az=30\n"
    "Stylus (--press S=PERIOD,DOWN[,OFFSET]): button down DOWN s every PERIOD s from OFFSET s.\n"
    "CSV (--csv FILE [--loop]): lines time,station,x,y,z,azimuth,elevation,roll,button; time in s\n"
    "  since start; interpolated between rows; a station with rows follows them (no --scene for it).\n"
    "Faults (--fault NAME[:key=value,...], repeatable; rates are chances per record 0..1):\n"
    "  noise:rate=R,bytes=N    up to N random bytes before a record\n"
    "  corrupt:rate=R,bytes=N  N bytes of a record changed\n"
    "  drop:rate=R,bytes=N     N bytes of a record left out\n"
    "  overrun:rate=R,bytes=N  a run of N bytes of a record lost at a random place\n"
    "  longrun:rate=R,bytes=N  a \"0\" and N-1 bytes without CR or LF before a record\n"
    "  silence:at=S,for=S[,every=S]  nothing sent in that window (repeating with every)\n"
    "  hangup:at=S             close the emulator's side at S seconds; the program then exits\n"
    "Distortion (--distortion MODEL): room | custom, then :key=value,... with keys reach radial floor\n"
    "  depth decay swirl tilt (inches, degrees); bends poses more the farther from the transmitter\n"
    "  (room: about 2 cm at 30 cm, 15 to 32 cm at 1.5 m). See docs/calibration.md.\n"
    "Log (--log FILE): one JSON object per line for every command received (its bytes, outcome),\n"
    "  every record sent (seq, station, t = first byte written, t_end = last byte off the line,\n"
    "  t_solution in ns of the monotonic clock, solution_time in s since 1970 on the system clock,\n"
    "  hex bytes, pose, and true_pose under --distortion), every record or reply lost (type dropped: "
    "output buffer\n"
    "  full, no reader) and every fault event.\n"
    "Replay (--replay FILE [--device NAME] [--speed X] [--loop]): plays a device's captured line from\n"
    "  fastrak-host --capture: its tracker bytes at their captured times (divided by X), each held\n"
    "  until the commands captured before it have arrived; received commands are checked against the\n"
    "  capture and the first difference is reported. --loop repeats the longest run of output without\n"
    "  commands until the driver sends the next command. Exit status 3 when the commands differed.\n"
    "Usage errors (and a damaged capture) exit with status 2, a --link that cannot be made with 1.\n";

// The text as a finite number, or a message saying why not.
std::string readNumber(const std::string& text, double& value) {
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0') return "'" + text + "' is not a number";
    if (!std::isfinite(value)) return "'" + text + "' is not a finite number";
    return "";
}

// A finite number from `low` to `high` (or exactly 0 when `zeroToo`), whole if `whole`.
CLI::Validator numberIn(double low, double high, bool whole = false, bool zeroToo = false) {
    char range[96];
    std::snprintf(range, sizeof range, "%s%.10g to %.10g", zeroToo ? "0 or " : "", low, high);
    const std::string what = (whole ? "a whole number " : "a number ") + std::string(range);
    return CLI::Validator(
        [=](std::string& text) {
            double v;
            const std::string error = readNumber(text, v);
            if (!error.empty()) return error + " (expected " + what + ")";
            if ((whole && v != std::floor(v)) || !((v >= low && v <= high) || (zeroToo && v == 0)))
                return text + " is out of range (expected " + what + ")";
            return std::string();
        },
        what);
}

CLI::Validator wholeCount() {
    return CLI::Validator(
        [](std::string& text) {
            errno = 0;
            char* end = nullptr;
            std::strtoull(text.c_str(), &end, 10);
            if (text.empty() || text[0] == '-' || *end != '\0' || errno == ERANGE)
                return "'" + text + "' is not a whole number from 0 to 2^64-1";
            return std::string();
        },
        "a whole number");
}

// Log lines reach the file only once the terminal is linked, so a failed --link leaves an
// existing log untouched; lines written before that wait here.
class LogWriter {
public:
    void write(const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (file_)
            *file_ << line << '\n' << std::flush;
        else
            early_.push_back(line);
    }
    void attach(std::ofstream& file) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const std::string& line : early_) file << line << '\n';
        file << std::flush;
        early_.clear();
        file_ = &file;
    }

private:
    std::mutex mutex_;
    std::ofstream* file_ = nullptr;
    std::vector<std::string> early_;
};

// "1 record", "2 records".
template <typename N>
std::string counted(N n, const char* noun) {
    return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

int usage(const std::string& message) { return fastraktools::usageError("fastrak-sim", message); }

std::string stationList(const std::array<bool, 4>& stations) {
    std::string out;
    for (int s = 0; s < 4; ++s)
        if (stations[s]) out += (out.empty() ? "" : ",") + std::to_string(s + 1);
    return out.empty() ? "none" : out;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{kDescription, "fastrak-sim"};
    app.footer(kFooter);
    app.set_version_flag("--version", std::string("fastrak-sim ") + FASTRAK_VERSION);
    std::string linkPath, logPath, csvPath, receivers = "1,2,3,4";
    std::vector<std::string> scenes, presses, faultSpecs;
    SimOptions options;
    bool unpaced = false, loop = false;
    double latencyMs = options.latencySeconds * 1000.0;
    double duration = 0, usbMs = 0;
    app.add_option("--link", linkPath, "Make PATH a symbolic link to the terminal (replaced if it is a link)");
    app.add_option("--baud", options.baud, "The tracker's speed: pace at it; a driver at another speed reads garbage")
        ->check(numberIn(50, 4000000, true));
    app.add_flag("--unpaced", unpaced, "Write records as fast as the terminal takes them (benchmarks)");
    app.add_option("--rate", options.solutionRate, "Solutions per second (0: as fast as the reader reads)")
        ->capture_default_str()
        ->check(numberIn(kMinRate, kMaxRate, false, true));
    app.add_option("--reset-time", options.resetSeconds, "Seconds of silence after control-Y")
        ->capture_default_str()
        ->check(numberIn(0, kMaxResetSeconds));
    app.add_option("--latency", latencyMs, "Milliseconds from a solution to its first byte")
        ->capture_default_str()
        ->check(numberIn(0, 1000));
    app.add_option("--usb", usbMs,
                   "Deliver as a USB-serial adapter with this latency timer in ms (16 is its default; 0: off)")
        ->capture_default_str()
        ->check(numberIn(0, 1000));
    app.add_option("--receivers", receivers, "Stations with a receiver plugged in")->capture_default_str();
    app.add_option("--seed", options.seed, "Seed for the random walk and the faults")
        ->capture_default_str()
        ->check(wholeCount());
    app.add_option("--scene", scenes, "S=KIND[:key=value,...] motion of station S (see below)");
    app.add_option("--press", presses, "S=PERIOD,DOWN[,OFFSET] stylus presses of station S");
    app.add_option("--csv", csvPath, "Trajectory file (see below)");
    app.add_flag("--loop", loop, "Repeat the CSV trajectory, or the replay's continuous output");
    ReplayRun replay;
    CLI::Option* replayOption =
        app.add_option("--replay", replay.file, "Play a capture of fastrak-host --capture (see below)")
            ->type_name("FILE");
    app.add_option("--speed", replay.speed, "Replay X times as fast as captured")
        ->capture_default_str()
        ->check(numberIn(0.01, 1000))
        ->needs(replayOption);
    app.add_option("--device", replay.device, "The captured device to replay (when the capture holds several)")
        ->needs(replayOption);
    app.add_option("--fault", faultSpecs, "NAME[:key=value,...] fault to inject (see below)");
    std::string distortion;
    app.add_option("--distortion", distortion, "MODEL: bend the reported poses as metal does (see below)");
    app.add_option("--log", logPath, "Write every byte received and record sent to FILE as JSON lines");
    app.add_option("--duration", duration, "Exit after this many seconds (0: run until a signal)")
        ->capture_default_str()
        ->check(numberIn(0, 1e9));
    if (const auto status = fastraktools::parseCommandLine(app, argc, argv, "fastrak-sim")) return *status;

    if (!replay.file.empty()) {
        for (const char* other : {"--csv", "--scene", "--press", "--fault", "--distortion", "--log", "--baud",
                                  "--unpaced", "--rate", "--reset-time", "--latency", "--usb", "--receivers",
                                  "--seed"})
            if (app.count(other) > 0)
                return usage(std::string("--replay plays a capture; ") + other + " does not apply");
    } else if (loop && csvPath.empty()) {
        return usage("--loop needs --csv or --replay");
    }
    if (!replay.file.empty()) {
        sigset_t signals;
        sigemptyset(&signals);
        sigaddset(&signals, SIGINT);
        sigaddset(&signals, SIGTERM);
        sigaddset(&signals, SIGHUP);
        pthread_sigmask(SIG_BLOCK, &signals, nullptr);
        signal(SIGPIPE, SIG_IGN);
        replay.link = linkPath;
        replay.loop = loop;
        replay.duration = duration;
        return runReplay(replay, signals);
    }

    std::string error;
    options.paced = !unpaced;
    options.latencySeconds = latencyMs / 1000.0;
    options.usbSeconds = usbMs / 1000.0;
    options.logCapacity = 0;       // the program logs to a file only
    options.receivedCapacity = 0;  // and the file has every command
    if (!parseStations(receivers, options.receivers, error)) return usage("--receivers: " + error);
    if (!distortion.empty() && !parseDistortion(distortion, options.distortion, error))
        return usage("--distortion: " + error);
    FaultSettings faults;
    for (const std::string& f : faultSpecs)
        if (!parseFault(f, faults, error)) return usage("--fault: " + error);
    // Each station's motion comes from one source, and only a station with a receiver moves.
    std::array<std::string, 4> source;
    auto claim = [&](int station, const std::string& what) {
        if (!options.receivers[station - 1])
            return usage(what + ": station " + std::to_string(station) + " has no receiver (--receivers " +
                         stationList(options.receivers) + ")");
        if (!source[station - 1].empty())
            return usage(what + ": station " + std::to_string(station) + " already follows " + source[station - 1]);
        source[station - 1] = what;
        return 0;
    };
    std::array<MotionPtr, 4> motion;
    for (int s = 1; s <= 4; ++s) motion[s - 1] = makeScene("still", SceneParams{defaultPose(s)});
    for (const std::string& text : scenes) {
        int station;
        MotionPtr m;
        if (!parseScene(text, options.seed, station, m, error)) return usage("--scene: " + error);
        if (const int status = claim(station, "--scene " + text)) return status;
        motion[station - 1] = m;
    }
    if (!csvPath.empty()) {
        std::ifstream in(csvPath);
        if (!in) return usage("--csv: cannot read " + csvPath + ": " + std::strerror(errno));
        CsvTrajectory trajectory;
        if (!loadCsvTrajectory(in, loop, trajectory, error)) return usage("--csv " + csvPath + ": " + error);
        for (int s = 1; s <= 4; ++s)
            if (trajectory.stations[s - 1]) {
                if (const int status = claim(s, "--csv " + csvPath)) return status;
                motion[s - 1] = trajectory.stations[s - 1];
            }
    }
    std::set<int> pressed;
    for (const std::string& text : presses) {
        int station;
        PressPattern p;
        if (!parsePress(text, station, p, error)) return usage("--press: " + error);
        if (!options.receivers[station - 1] || !pressed.insert(station).second)
            return usage("--press " + text + ": station " + std::to_string(station) +
                         (options.receivers[station - 1] ? " has a --press already" : " has no receiver"));
        motion[station - 1] = withPresses(motion[station - 1], p);
    }

    // Signals are taken synchronously by the main thread; block them before the I/O thread starts.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    FastrakSim sim(options);
    for (int s = 1; s <= 4; ++s) sim.setMotion(s, motion[s - 1]);
    sim.setFaults(faults);
    LogWriter logWriter;
    std::ofstream logFile;
    if (!logPath.empty()) sim.setLogSink([&logWriter](const LogEntry& e) { logWriter.write(toJsonLine(e)); });
    if (!sim.start(error)) {
        std::cerr << "fastrak-sim: cannot open a pseudo-terminal: " << error << "\n";
        return 1;
    }
    const std::string path = sim.slavePath();
    int status = 0;
    bool linked = false;
    if (!linkPath.empty()) {
        struct stat st {};
        if (::lstat(linkPath.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
            std::cerr << "fastrak-sim: --link " << linkPath << " exists and is not a symbolic link\n";
            status = 1;
        } else if ((::unlink(linkPath.c_str()) != 0 && errno != ENOENT) ||
                   ::symlink(path.c_str(), linkPath.c_str()) != 0) {
            std::cerr << "fastrak-sim: --link: cannot link " << linkPath << ": " << std::strerror(errno) << "\n";
            status = 1;
        } else {
            linked = true;
        }
    }
    if (status == 0 && !logPath.empty()) {
        logFile.open(logPath, std::ios::out | std::ios::trunc);
        if (!logFile) {
            std::cerr << "fastrak-sim: --log: cannot write " << logPath << ": " << std::strerror(errno) << "\n";
            status = 2;
        } else {
            logWriter.attach(logFile);
        }
    }
    if (status == 0) {
        std::cout << path << std::endl;
        const auto begin = FastrakSim::Clock::now();
        for (;;) {
            const timespec tick{0, 100000000};
            const int sig = sigtimedwait(&signals, nullptr, &tick);
            if (sig == SIGINT || sig == SIGTERM || sig == SIGHUP) break;
            if (sim.stats().hungUp) {
                std::cerr << "fastrak-sim: hung up\n";
                break;
            }
            if (duration > 0 && std::chrono::duration<double>(FastrakSim::Clock::now() - begin).count() >= duration)
                break;
        }
    }
    sim.stop();
    if (linked) {
        char target[256];
        const ssize_t n = ::readlink(linkPath.c_str(), target, sizeof target - 1);
        if (n >= 0 && std::string(target, static_cast<size_t>(n)) == path) ::unlink(linkPath.c_str());
    }
    const SimStats s = sim.stats();
    std::cerr << "fastrak-sim: " << counted(s.commands, "command") << " (" << counted(s.errors, "error") << "), "
              << counted(s.records, "record") << ", " << counted(s.bytesSent, "byte") << " sent, "
              << counted(s.solutionsDropped, "solution") << " dropped, " << s.overflows
              << " lost to a full output buffer, " << s.lostNoReader << " lost with no reader\n";
    return status;
}
