// Software flow control and byte translation on a tty, set and checked by the reception tests.
#pragma once

namespace testsupport {

// Switches IXON, IXOFF, ICRNL, INLCR and ISTRIP on; false where the line has no termios (Windows).
bool cookLine(int fd);
// True when none of them is on.
bool lineIsRaw(int fd);

}  // namespace testsupport
