// ControllerRecord operations.
#include "fastrak/Records.h"

ControllerRecord::ControllerRecord()
    : id(0), reserved1(0), timeSec(0), timeUsec(0), reserved2(0), numValuators(0), numButtons(0),
      valuatorOffset(0), buttonOffset(0), valuators(), buttons(), buttonBytes(kButtonBytes), clock() {}
