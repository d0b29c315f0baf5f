// fastrak-sim: the tracker emulated on a pseudo-terminal, for work and tests without the hardware.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>

#include "FastrakSim.h"
#include "SimSpec.h"

using namespace fastraksim;

namespace {

const char* kDescription =
    "fastrak-sim: an emulator of the Fastrak tracker on a pseudo-terminal.\n"
    "Prints the path of the terminal a driver opens (and links --link PATH to it), then answers\n"
    "the tracker's serial commands until SIGINT or SIGTERM: control-Y (reset: silent for\n"
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
    "  since start; interpolated between rows; a station with rows follows them.\n"
    "Faults (--fault NAME[:key=value,...], repeatable; rates are chances per record 0..1):\n"
    "  noise:rate=R,bytes=N    up to N random bytes before a record\n"
    "  corrupt:rate=R,bytes=N  N bytes of a record changed\n"
    "  drop:rate=R,bytes=N     N bytes of a record left out\n"
    "  longrun:rate=R,bytes=N  a \"0\" and N-1 bytes without CR or LF before a record\n"
    "  silence:at=S,for=S[,every=S]  nothing sent in that window (repeating with every)\n"
    "  hangup:at=S             close the emulator's side at S seconds; the program then exits\n"
    "Log (--log FILE): one JSON object per line for every command received (its bytes, outcome),\n"
    "  every record sent (seq, station, t = first byte written, t_end, t_solution in ns of the\n"
    "  monotonic clock, hex bytes, pose) and every fault event.\n";

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{kDescription, "fastrak-sim"};
    app.footer(kFooter);
    std::string linkPath, logPath, csvPath, receivers = "1,2,3,4";
    std::vector<std::string> scenes, presses, faultSpecs;
    SimOptions options;
    bool unpaced = false, loop = false;
    double latencyMs = options.latencySeconds * 1000.0;
    double duration = 0;
    app.add_option("--link", linkPath, "Make PATH a symbolic link to the terminal (replaced if it is a link)");
    app.add_option("--baud", options.baud, "Pace at this speed instead of the terminal's setting")
        ->check(CLI::Range(50u, 4000000u));
    app.add_flag("--unpaced", unpaced, "Write records as fast as the terminal takes them (benchmarks)");
    app.add_option("--rate", options.solutionRate, "Solutions per second (0: as fast as the reader reads)")->capture_default_str()
        ->check(CLI::Range(0.0, 100000.0));
    app.add_option("--reset-time", options.resetSeconds, "Seconds of silence after control-Y")->capture_default_str()
        ->check(CLI::Range(0.0, 3600.0));
    app.add_option("--latency", latencyMs, "Milliseconds from a solution to its first byte")->capture_default_str()
        ->check(CLI::Range(0.0, 1000.0));
    app.add_option("--receivers", receivers, "Stations with a receiver plugged in")->capture_default_str();
    app.add_option("--seed", options.seed, "Seed for the random walk and the faults")->capture_default_str();
    app.add_option("--scene", scenes, "S=KIND[:key=value,...] motion of station S (see below)");
    app.add_option("--press", presses, "S=PERIOD,DOWN[,OFFSET] stylus presses of station S");
    app.add_option("--csv", csvPath, "Trajectory file (see below)")->check(CLI::ExistingFile);
    app.add_flag("--loop", loop, "Repeat the CSV trajectory");
    app.add_option("--fault", faultSpecs, "NAME[:key=value,...] fault to inject (see below)");
    app.add_option("--log", logPath, "Write every byte received and record sent to FILE as JSON lines");
    app.add_option("--duration", duration, "Exit after this many seconds (0: run until a signal)")->capture_default_str()
        ->check(CLI::Range(0.0, 1e9));
    CLI11_PARSE(app, argc, argv);

    std::string error;
    options.paced = !unpaced;
    options.latencySeconds = latencyMs / 1000.0;
    options.logCapacity = 0;  // the program logs to a file only
    if (!parseStations(receivers, options.receivers, error)) {
        std::cerr << "fastrak-sim: " << error << "\n";
        return 2;
    }
    FaultSettings faults;
    for (const std::string& f : faultSpecs)
        if (!parseFault(f, faults, error)) {
            std::cerr << "fastrak-sim: " << error << "\n";
            return 2;
        }
    std::array<MotionPtr, 4> motion;
    for (int s = 1; s <= 4; ++s) motion[s - 1] = makeScene("still", SceneParams{defaultPose(s)});
    for (const std::string& text : scenes) {
        int station;
        MotionPtr m;
        if (!parseScene(text, options.seed, station, m, error)) {
            std::cerr << "fastrak-sim: " << error << "\n";
            return 2;
        }
        motion[station - 1] = m;
    }
    if (!csvPath.empty()) {
        std::ifstream in(csvPath);
        CsvTrajectory trajectory;
        if (!in || !loadCsvTrajectory(in, loop, trajectory, error)) {
            std::cerr << "fastrak-sim: " << csvPath << ": " << (in ? error : std::strerror(errno)) << "\n";
            return 2;
        }
        for (int s = 0; s < 4; ++s)
            if (trajectory.stations[s]) motion[s] = trajectory.stations[s];
    }
    for (const std::string& text : presses) {
        int station;
        PressPattern p;
        if (!parsePress(text, station, p, error)) {
            std::cerr << "fastrak-sim: " << error << "\n";
            return 2;
        }
        motion[station - 1] = withPresses(motion[station - 1], p);
    }

    std::ofstream logFile;
    if (!logPath.empty()) {
        logFile.open(logPath, std::ios::out | std::ios::trunc);
        if (!logFile) {
            std::cerr << "fastrak-sim: cannot write " << logPath << ": " << std::strerror(errno) << "\n";
            return 2;
        }
    }

    // Signals are taken synchronously by the main thread; block them before the I/O thread starts.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    FastrakSim sim(options);
    for (int s = 1; s <= 4; ++s) sim.setMotion(s, motion[s - 1]);
    sim.setFaults(faults);
    if (logFile.is_open())
        sim.setLogSink([&logFile](const LogEntry& e) { logFile << toJsonLine(e) << '\n' << std::flush; });
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
            std::cerr << "fastrak-sim: " << linkPath << " exists and is not a symbolic link\n";
            status = 1;
        } else if ((::unlink(linkPath.c_str()) != 0 && errno != ENOENT) || ::symlink(path.c_str(), linkPath.c_str()) != 0) {
            std::cerr << "fastrak-sim: cannot link " << linkPath << ": " << std::strerror(errno) << "\n";
            status = 1;
        } else {
            linked = true;
        }
    }
    if (status == 0) {
        std::cout << path << std::endl;
        const auto begin = FastrakSim::Clock::now();
        for (;;) {
            const timespec tick{0, 100000000};
            const int sig = sigtimedwait(&signals, nullptr, &tick);
            if (sig == SIGINT || sig == SIGTERM) break;
            if (sim.stats().hungUp) {
                std::cerr << "fastrak-sim: hung up\n";
                break;
            }
            if (duration > 0 && std::chrono::duration<double>(FastrakSim::Clock::now() - begin).count() >= duration) break;
        }
    }
    sim.stop();
    if (linked) {
        char target[256];
        const ssize_t n = ::readlink(linkPath.c_str(), target, sizeof target - 1);
        if (n >= 0 && std::string(target, static_cast<size_t>(n)) == path) ::unlink(linkPath.c_str());
    }
    const SimStats s = sim.stats();
    std::cerr << "fastrak-sim: " << s.commands << " commands (" << s.errors << " errors), " << s.records
              << " records, " << s.bytesSent << " bytes sent, " << s.solutionsDropped << " solutions dropped\n";
    return status;
}
