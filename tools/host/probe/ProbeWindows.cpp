// ProbeLine on Windows COM ports: opened without sharing, its DCB and timeouts put back after.
#include <windows.h>

#include <string>

#include "probe/ProbeLine.h"

namespace fastrakhost {
namespace {

using Clock = std::chrono::steady_clock;

// From COM10 on, only the device namespace opens the port; it works for COM1 to COM9 too.
std::string devicePath(const std::string& port) { return port.rfind("\\\\.\\", 0) == 0 ? port : "\\\\.\\" + port; }

HANDLE openPort(const std::string& port) {
    return CreateFileA(devicePath(port).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

}  // namespace

struct ProbeLine::Held {
    HANDLE handle = INVALID_HANDLE_VALUE;
    DCB savedDcb{};
    COMMTIMEOUTS savedTimeouts{};
};

ProbeLine::ProbeLine(const std::string& port) {
    const HANDLE handle = openPort(port);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        missing_ = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
        // A COM port opens for one program at a time: denied means held elsewhere.
        inUse_ = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
        problem_ = inUse_     ? "in use by another program"
                   : missing_ ? "cannot open it: no such port"
                              : "cannot open it (error " + std::to_string(error) + ")";
        return;
    }
    std::unique_ptr<Held> held(new Held);
    held->handle = handle;
    held->savedDcb.DCBlength = sizeof held->savedDcb;
    if (!GetCommState(handle, &held->savedDcb) || !GetCommTimeouts(handle, &held->savedTimeouts)) {
        problem_ = "not a serial line";
        CloseHandle(handle);
        return;
    }
    held_ = std::move(held);
}

ProbeLine::~ProbeLine() {
    if (!held_) return;
    PurgeComm(held_->handle, PURGE_TXCLEAR);  // a request still waiting goes nowhere
    SetCommState(held_->handle, &held_->savedDcb);
    SetCommTimeouts(held_->handle, &held_->savedTimeouts);
    CloseHandle(held_->handle);
}

bool ProbeLine::setSpeed(unsigned baud) {
    DCB dcb = held_->savedDcb;
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fAbortOnError = FALSE;
    // Reads return what has arrived after at most 50 ms, so a signal is noticed soon.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = 50;
    if (!SetCommState(held_->handle, &dcb) || !SetCommTimeouts(held_->handle, &timeouts)) return false;
    PurgeComm(held_->handle, PURGE_RXCLEAR);
    return true;
}

void ProbeLine::send(const std::string& bytes) {
    DWORD written = 0;
    WriteFile(held_->handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

std::string ProbeLine::readFor(std::chrono::milliseconds window) {
    std::string got;
    const auto until = Clock::now() + window;
    char buffer[256];
    while (Clock::now() < until && !probeStopping()) {
        DWORD n = 0;
        if (!ReadFile(held_->handle, buffer, sizeof buffer, &n, nullptr)) break;
        got.append(buffer, n);
    }
    return got;
}

std::vector<std::string> systemSerialPorts() {
    std::vector<std::string> ports;
    for (int n = 1; n <= 256; ++n) {
        const std::string name = "COM" + std::to_string(n);
        const HANDLE h = openPort(name);
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
            ports.push_back(name);
        } else if (GetLastError() == ERROR_ACCESS_DENIED) {
            ports.push_back(name);  // held by another program: worth naming
        }
    }
    return ports;
}

std::string noPortAdvice() {
    return "  - the cable: plugged in at both ends, and the tracker switched on\n"
           "  - the USB-serial adapter's driver: installed, the adapter shows in the Device Manager under "
           "Ports (COM & LPT)\n"
           "  - the port's name: the COM number the Device Manager gives it (from COM10 on, \\\\.\\COM10)\n";
}

std::string permissionAdvice() { return "another program holds it: close that program and try again"; }

std::string portHolders(const std::string&) { return std::string(); }

}  // namespace fastrakhost
