// CRS232H: open, configure, read, write and close one serial port, reporting every system failure.
#include "serial/CRS232H.h"

#include <chrono>
#include <cstring>
#include <iostream>
#include <new>
#include <string>

#include "log/LogLine.h"
#include "log/OwnedLogger.h"
#include "platform/PortClaim.h"
#include "platform/SystemMessage.h"

namespace {

const int32_t kAcceptedRates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

}  // namespace

CRS232H::CRS232H(const Logger* ownerLogger)
    : ownsLogger(true),
      portName(),
      handle(nullptr),
      claim(nullptr),
      logger(newOwnedLogger(ownerLogger, "CRS232H", 3)),
      lastTakenReportMs(INT64_MIN / 2) {
    std::memset(&savedAttribute, 0, sizeof savedAttribute);
    std::memset(&pendingAttribute, 0, sizeof pendingAttribute);
    // A fresh record shows the port's trace only when the host asks for level 3 or 4 and up.
    if (ownerLogger == nullptr && logger != nullptr) logger->setDebugThreshold(4);
    debugLine("CRS232H: \"constructor\" called.");
}

CRS232H::~CRS232H() {
    debugLine("CRS232H: \"destructor\" called.");
    if (handle != nullptr) closePort();
    if (ownsLogger) deleteOwnedLogger(logger);
}

void CRS232H::debugLine(const char* text) const {
    if (logger != nullptr) logger->debug(text, true);
}

void CRS232H::reportSystemError(const char* message) const {
    const DWORD code = GetLastError();
    const std::string text = platform::systemMessage(code);
    // One line, written whole: other devices' threads log meanwhile.
    const std::string tail = std::string(portName) + ": " + text;
    if (logger != nullptr)
        logLine(*logger, LogLevel::Error, message, tail);
    else
        std::cout << tail << std::endl;
}

bool CRS232H::openPort(const char* name, bool serialLineOnly) {
    debugLine("CRS232H: \"openPort\" called.");
    if (name == nullptr) name = "";
    const size_t length = std::strlen(name);
    if (length > kMaxNameLength) {
        if (logger != nullptr) logger->error("CRS232H: Port name is too long. ", false);
        std::cout << static_cast<unsigned>(kMaxNameLength) << ' ' << length << std::endl;
        return false;
    }
    // Opening over an open port would lose its handle and leave the line held and unrestored.
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) closePort();
    std::memcpy(portName, name, length + 1);
    if (logger != nullptr) logger->debugFormat("CRS232H: Opening %s.\n", portName);
    claim = platform::claimPort(portName);
    handle = claim == nullptr ? INVALID_HANDLE_VALUE
                              : CreateFileA(portName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                            FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        reportSystemError("CRS232H: Opening port ");
        platform::releasePort(claim);
        claim = nullptr;
        return false;
    }
    DCB probe;
    std::memset(&probe, 0, sizeof probe);
    if (serialLineOnly && !GetCommState(handle, &probe)) {
        reportSystemError("CRS232H: Not a serial line, refused: ");
        CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
        platform::releasePort(claim);
        claim = nullptr;
        return false;
    }
    getAttribute(&pendingAttribute);
    getAttribute(&savedAttribute);
    return true;
}

bool CRS232H::getAttribute(PortAttribute* attribute) {
    if (attribute == nullptr) return false;
    // Read into a clean value, so reserved bits compare equal and a failure changes nothing.
    PortAttribute current;
    std::memset(&current, 0, sizeof current);
    if (!GetCommState(handle, &current.dcb)) {
        reportSystemError("CRS232H: Getting attribute(DCB) from ");
        return false;
    }
    if (!GetCommTimeouts(handle, &current.timeouts)) {
        reportSystemError("CRS232H: Getting attribute(COMMTIMEOUTS) from ");
        return false;
    }
    *attribute = current;
    return true;
}

bool CRS232H::setAttribute(const PortAttribute* attribute) {
    PortAttribute source = attribute != nullptr ? *attribute : pendingAttribute;
    if (!SetCommState(handle, &source.dcb)) {
        reportSystemError("CRS232H: Setting attribute(DCB) to ");
        return false;
    }
    if (!SetCommTimeouts(handle, &source.timeouts)) {
        reportSystemError("CRS232H: Setting attribute(COMMTIMEOUTS) to ");
        return false;
    }
    if (attribute != nullptr) pendingAttribute = *attribute;
    return true;
}

bool CRS232H::storeAttribute(const PortAttribute* attribute) {
    if (attribute == nullptr) return false;
    pendingAttribute = *attribute;
    return true;
}

bool CRS232H::fetchAttribute(PortAttribute* attribute) const {
    if (attribute == nullptr) return false;
    *attribute = pendingAttribute;
    return true;
}

bool CRS232H::setBaudRate(int32_t rate) {
    for (const int32_t accepted : kAcceptedRates) {
        if (rate == accepted) {
            pendingAttribute.dcb.BaudRate = static_cast<DWORD>(rate);
            return true;
        }
    }
    if (logger != nullptr) logger->error("CRS232H: Could not set the baud rate ", false);
    std::cout << rate << std::endl;
    return false;
}

uint32_t CRS232H::writePort(const void* bytes, uint32_t count) {
    DWORD written = 0;
    if (!WriteFile(handle, bytes, count, &written, nullptr)) reportSystemError("CRS232H: Writing to ");
    return written;
}

int32_t CRS232H::readPort(void* buffer, uint32_t count) {
    DWORD done = 0;
    if (!ReadFile(handle, buffer, count, &done, nullptr)) {
        reportSystemError("CRS232H: Reading from ");
        return -1;
    }
    if (done == 0 && GetLastError() == ERROR_BUSY) reportTakenBytes();
    return static_cast<int32_t>(done);
}

// The line offered bytes that this read did not get: another program reads the port (a `cat`
// left running, a second host without the lock). Said at most every 10 seconds while it lasts.
void CRS232H::reportTakenBytes() {
    SetLastError(ERROR_SUCCESS);
    const int64_t now =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    if (now - lastTakenReportMs < 10000 || logger == nullptr) return;
    lastTakenReportMs = now;
    logLine(*logger, LogLevel::Warning, "CRS232H: The line offered bytes that a read of ",
            std::string(portName) + " did not get: another program may be reading " + portName);
}

void CRS232H::makeRaw(PortAttribute& attribute) {
    DCB& dcb = attribute.dcb;
    dcb.fBinary = 1;
    dcb.ByteSize = 8;
    dcb.StopBits = ONESTOPBIT;
    // Binary data carries XON, XOFF, CR, LF and NUL bytes: no flow control by characters and no
    // byte replaced or removed, or records are corrupted and the line can stall.
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    // No handshake: a cable need not carry CTS or DSR, and a port left waiting for one blocks the
    // first write for ever. RTS and DTR are simply held on.
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDsrSensitivity = 0;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    // With abort-on-error one framing error would fail every later read until it is cleared.
    dcb.fAbortOnError = 0;
}

bool CRS232H::closePort() {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return false;
    // The stop command leaves at the speed it was written for before the saved settings return. A
    // line that cannot drain (hung up) has nothing more to say, so a failure here is not reported.
    FlushFileBuffers(handle);
    const bool restored = setAttribute(&savedAttribute);
    const bool closed = CloseHandle(handle) != 0;
    if (!closed) reportSystemError("CRS232H: Closing port ");
    handle = nullptr;
    platform::releasePort(claim);
    claim = nullptr;
    return closed && restored;
}
