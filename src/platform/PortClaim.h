// PortClaim: one owner per serial port among the programs that load this module.
#pragma once

#include "platform/win32.h"

namespace platform {

// Claims the port by its name, or returns nullptr with ERROR_SHARING_VIOLATION as the last error
// when another owner holds it. On Windows a named mutex per port: the open's share mode alone lets
// a second program in where the driver (or Wine) does not enforce it. Elsewhere the open's own lock
// refuses a second owner, and the claim is always granted.
HANDLE claimPort(const char* name);
// Gives a claim back; nullptr is none.
void releasePort(HANDLE claim);

}  // namespace platform
