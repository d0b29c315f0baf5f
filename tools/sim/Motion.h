// Where each emulated receiver is and whether its stylus button is down: scenes, presses, CSV.
#pragma once

#include <array>
#include <cstdint>
#include <istream>
#include <memory>
#include <string>

namespace fastraksim {

// Position in inches in the transmitter frame, angles in degrees.
struct Pose {
    double x = 0, y = 0, z = 0;
    double azimuth = 0, elevation = 0, roll = 0;
};

struct Sample {
    Pose pose;
    bool button = false;
};

// A motion answers for any time (seconds since the emulator started). The emulator calls it from
// its own thread, so an implementation that a test changes on the fly must synchronise itself.
class Motion {
public:
    virtual ~Motion() = default;
    virtual Sample at(double t) const = 0;
};

using MotionPtr = std::shared_ptr<const Motion>;

struct SceneParams {
    Pose centre;          // the still pose, or the centre of the moving scenes
    double radius = 5.0;  // inches, circle and figure eight
    double period = 4.0;  // seconds per lap
    double speed = 2.0;   // random walk: typical inches per second
    uint64_t seed = 1;
};

// Where a station rests when nobody says otherwise: a row in front of the transmitter.
Pose defaultPose(int station);

// kind: "still", "circle", "eight" (figure eight) or "walk" (random walk). Null for another kind.
MotionPtr makeScene(const std::string& kind, const SceneParams& params);

// The button is down for `down` seconds every `period` seconds, starting at `offset`.
struct PressPattern {
    double period = 1.0;
    double down = 0.2;
    double offset = 0.0;
    bool pressedAt(double t) const;
};

// `base` with its button driven by a press pattern.
MotionPtr withPresses(MotionPtr base, const PressPattern& presses);

// A trajectory read from CSV lines "time,station,x,y,z,azimuth,elevation,roll,button"; lines that
// are empty or start with '#' and a first line without any number (a header) are skipped. Between
// rows the pose is interpolated, the button is that of the last row. Each station with rows gets a
// motion. A bad line fails with "line N: what is wrong" in `error`.
struct CsvTrajectory {
    std::array<MotionPtr, 4> stations;
    double duration = 0.0;
};
bool loadCsvTrajectory(std::istream& in, bool loop, CsvTrajectory& out, std::string& error);

}  // namespace fastraksim
