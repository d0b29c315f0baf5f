// TrackerRecord operations.
#include "fastrak/Records.h"

TrackerRecord::TrackerRecord()
    : id(0), reserved1(0), timeSec(0), timeUsec(0), reserved2(0), x(0), y(0), z(0), azimuth(0), elevation(0),
      roll(0), clock() {}
