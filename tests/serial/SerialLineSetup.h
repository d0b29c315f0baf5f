// The line settings the device gives its port, shared by the serial tests.
#pragma once

#include <gtest/gtest.h>

#include "serial/CRS232H.h"

// The settings the device gives the port before programming the tracker. Binary records can hold
// the XON and XOFF codes, so software flow control must be off (a Linux tty starts with it on).
inline void configureLikeTheDevice(CRS232H& port, int32_t baud) {
    PortAttribute attribute;
    ASSERT_TRUE(port.fetchAttribute(&attribute));
    attribute.dcb.fBinary = 1;
    attribute.dcb.fOutX = 0;
    attribute.dcb.fInX = 0;
    attribute.dcb.ByteSize = 8;
    attribute.dcb.StopBits = ONESTOPBIT;
    attribute.timeouts = COMMTIMEOUTS{0, 0, 1000, 0, 0};
    ASSERT_TRUE(port.storeAttribute(&attribute));
    ASSERT_TRUE(port.setBaudRate(baud));
    ASSERT_TRUE(port.setAttribute());
}
