// Reads the emulator's command-line specifications: scenes, presses, faults, station lists.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "FastrakSim.h"
#include "Motion.h"

namespace fastraksim {

// "S=KIND[:key=value,...]": KIND still|circle|eight|walk; keys x y z az el roll (the pose or
// centre), radius, period, speed. The station's own seed is derived from `seed`.
bool parseScene(const std::string& text, uint64_t seed, int& station, MotionPtr& motion, std::string& error);

// "S=PERIOD,DOWN[,OFFSET]" in seconds.
bool parsePress(const std::string& text, int& station, PressPattern& presses, std::string& error);

// "NAME[:key=value,...]" added to `faults`:
//   noise:rate=R,bytes=N   corrupt:rate=R,bytes=N   drop:rate=R,bytes=N   longrun:rate=R,bytes=N
//   silence:at=S,for=S[,every=S]   hangup:at=S
bool parseFault(const std::string& text, FaultSettings& faults, std::string& error);

// "1,3" -> stations 1 and 3 have a receiver.
bool parseStations(const std::string& text, std::array<bool, 4>& stations, std::string& error);

}  // namespace fastraksim
