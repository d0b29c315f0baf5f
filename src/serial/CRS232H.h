// CRS232H: a synchronous serial port that keeps the settings it found and a pending copy to apply.
#pragma once

#include <cstdint>

#include "fastrak/Logger.h"
#include "platform/win32.h"

// A port's complete line configuration, always read, stored, copied and applied as one value.
struct PortAttribute {
    DCB dcb;
    COMMTIMEOUTS timeouts;
};

class CRS232H {
public:
    enum : uint32_t { kMaxNameLength = 255 };

    // The port's lines carry the owner's logger settings when one is given.
    explicit CRS232H(const Logger* ownerLogger = nullptr);
    ~CRS232H();
    CRS232H(const CRS232H&) = delete;
    CRS232H& operator=(const CRS232H&) = delete;

    // Refuses anything that is not a serial line (a file, /dev/null): the command sequence would be
    // written into it. Only tests and fuzz targets pass false, to read a regular file as the line.
    bool openPort(const char* name, bool serialLineOnly = true);
    bool getAttribute(PortAttribute* attribute);
    // Applies the given settings, or the pending ones when none are given.
    bool setAttribute(const PortAttribute* attribute = nullptr);
    bool storeAttribute(const PortAttribute* attribute);
    bool fetchAttribute(PortAttribute* attribute) const;
    // Only changes the pending settings; setAttribute applies them.
    bool setBaudRate(int32_t rate);
    // Bytes the port accepted; a failure is logged and leaves the count as far as it got.
    uint32_t writePort(const void* bytes, uint32_t count);
    // Bytes read, 0 when nothing arrived within the read timeout, or -1 when the read failed (the
    // line hung up or the device is gone) after the failure was logged: a reader stops on -1.
    int32_t readPort(void* buffer, uint32_t count);
    // Makes a line fully raw: binary, 8 data bits, one stop bit, no flow control or handshake of any
    // kind, nothing replaced or dropped, no abort on errors, RTS and DTR held on. Parity, speed and
    // timeouts stay as they are.
    static void makeRaw(PortAttribute& attribute);
    // Restores the settings found at open and releases the port.
    bool closePort();
    bool isOpen() const { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

private:
    void debugLine(const char* text) const;
    void reportSystemError(const char* message) const;
    void reportTakenBytes();

    bool ownsLogger;
    char portName[kMaxNameLength + 1];
    HANDLE handle;
    HANDLE claim;  // the port's owner mark while it is open (platform/PortClaim.h)
    PortAttribute savedAttribute;
    PortAttribute pendingAttribute;
    Logger* logger;
    int64_t lastTakenReportMs;  // when another reader of the port was last named
};
