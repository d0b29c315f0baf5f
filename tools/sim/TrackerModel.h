// The emulated tracker's command language, its settings and the records it builds from poses.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "Motion.h"
#include "SimMath.h"

namespace fastraksim {

// One piece of input as the tracker takes it.
struct CommandPiece {
    enum class End {
        Single,      // control-Y, a single-letter command, or a stray CR or LF on its own
        Terminated,  // a command ended by its CR
        Broken,      // a command ended by LF or by a single-letter command before its CR
        CutShort,    // a command abandoned by control-Y
        TooLong,     // a line that reached kMaxLine without a CR
    };
    std::string bytes;
    End end = End::Single;
};

// Cuts the received byte stream into commands as the tracker reads it: control-Y and the
// single-letter commands act at once, even in the middle of another command; everything else
// runs to CR.
class CommandFramer {
public:
    static constexpr size_t kMaxLine = 256;

    // Adds completed pieces to `out`.
    void feed(char c, std::vector<CommandPiece>& out);
    void clear() { buffer_.clear(); }
    const std::string& pending() const { return buffer_; }

private:
    std::string buffer_;
};

struct StationState {
    bool receiver = true;  // a receiver is plugged in
    bool active = true;    // switched on with `l`
    std::vector<int> items{2, 4, 1};
    Vec3 hemisphere{1, 0, 0};
    bool autoHemisphere = false;
    std::array<double, 9> alignment{0, 0, 0, 1, 0, 0, 0, 1, 0};  // last O, X, Y points, inches
    Frame frame;
    int stylusFunction = 1;
};

struct TrackerState {
    std::array<StationState, 4> stations;
    bool binary = false;
    bool continuous = false;
    bool centimetres = false;
};

struct CommandOutcome {
    enum class Effect { None, Reset, Point, Status, Continuous };
    bool ok = true;
    int errorCode = 0;  // -1 missing field, -2 not a number, -3 out of range, -99 unknown
    Effect effect = Effect::None;
    std::string reply;  // bytes the tracker answers with, if any
    std::string note;   // a word for the log: "ok", "error", "ignored", "cut short"
};

class TrackerModel {
public:
    static constexpr int kMaxItems = 32;
    static constexpr size_t kMaxRecord = 254;

    TrackerModel() = default;

    // The power-up state; which stations have a receiver is hardware and survives it.
    void powerUp();
    void setReceiver(int station, bool plugged);

    // Runs one piece from CommandFramer. Never throws.
    CommandOutcome execute(const CommandPiece& piece);

    // The station's record for a sample of the true pose, in the current format and list.
    std::string record(int station, const Sample& sample) const;
    std::string statusRecord() const;

    // The pose as reported: hemisphere, alignment frame and units applied.
    Pose reported(int station, const Pose& truePose) const;

    const TrackerState& state() const { return state_; }
    TrackerState& state() { return state_; }
    std::vector<int> activeStations() const;

    static bool knownItem(int item);
    static size_t itemSize(int item, bool binary);

private:
    CommandOutcome stationCommand(const std::string& text);

    TrackerState state_;
};

// "2 E*ERROR* <input> <code>" CR LF.
std::string errorRecord(const std::string& input, int code);

}  // namespace fastraksim
