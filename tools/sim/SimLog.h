// What the emulator received and sent, with monotonic times, as entries and as JSON lines.
#pragma once

#include <cstdint>
#include <string>

#include "Motion.h"

namespace fastraksim {

struct LogEntry {
    enum class Kind {
        Command,
        Record,
        Reply,
        Noise,
        LongRun,
        SilenceStart,
        SilenceEnd,
        HangUp,
        ResetDone,
        Stylus,
        Dropped,    // a record or reply that never reached the line, and why
        LineSpeed,  // the driver's speed stopped or started matching the tracker's
    };
    Kind kind = Kind::Command;
    uint64_t index = 0;        // position among all entries since start
    uint64_t seq = 0;          // records only: 0, 1, 2, ... in the order sent
    int64_t time = 0;          // ns on the monotonic clock: when received, or when the first byte was written
    int64_t endTime = 0;       // ns: when the last byte was written (sent items)
    int64_t solutionTime = 0;  // ns: the instant the record's pose belongs to (records)
    int64_t solutionWallTime = 0;  // the same instant in ns since 1970 on the system clock
    int station = 0;           // records, dropped records, stylus events
    std::string bytes;         // received or sent, exactly
    std::string original;      // a record as built, before a fault changed it
    std::string note;          // command outcome or what a fault did
    int errorCode = 0;         // commands answered with an error record
    Pose pose;                 // records: the pose as reported
    bool hasTruePose = false;  // records under a distortion:
    Pose truePose;             // the pose reported without it
    bool button = false;
};

const char* kindName(LogEntry::Kind kind);

// One JSON object without the line break.
std::string toJsonLine(const LogEntry& entry);

}  // namespace fastraksim
