// Shared set-up of the controller tests: a Logger without date, time or thread id.
#pragma once

#include "controller/CConCommonH.h"
#include "fastrak/Logger.h"

namespace controllertest {

// Lines read "CFastrak: ERROR: ..." so whole lines can be compared.
inline Logger plainLogger() {
    Logger logger;
    logger.setDefaults();
    logger.setName("CFastrak");
    logger.showDate = logger.showTime = logger.showThreadId = 0;
    return logger;
}

// A processor set up as the device sets it up for a stylus on station 1.
inline void setUpStylusOnStationOne(CConCommonH& processor) {
    const bool stations[4] = {true, false, false, false};
    processor.numControllers = 1;
    processor.setupStylusTable(stations);
}

}  // namespace controllertest
