// PortClaim: a named mutex per port on Windows; nothing to do where the open locks the port.
#include "platform/PortClaim.h"

#include <cctype>
#include <string>

namespace platform {

#if defined(_WIN32)

HANDLE claimPort(const char* name) {
    // COM7, com7 and \\.\COM7 are one port.
    std::string port = name != nullptr ? name : "";
    if (port.compare(0, 4, "\\\\.\\") == 0) port.erase(0, 4);
    std::string object = "Local\\fastrak-port-";
    for (char c : port) object += c == '\\' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const HANDLE claim = CreateMutexA(nullptr, FALSE, object.c_str());
    if (claim != nullptr && GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(claim);
        SetLastError(ERROR_SHARING_VIOLATION);
        return nullptr;
    }
    return claim;
}

void releasePort(HANDLE claim) {
    if (claim != nullptr) CloseHandle(claim);
}

#else

HANDLE claimPort(const char*) {
    static int granted;
    return &granted;
}

void releasePort(HANDLE) {}

#endif

}  // namespace platform
