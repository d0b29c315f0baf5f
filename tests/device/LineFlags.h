// Flow control, modem control and byte translation on a tty, set and checked by the reception tests.
#pragma once

namespace testsupport {

// Switches IXON, IXOFF, ICRNL, INLCR, ISTRIP and CRTSCTS on and CLOCAL off; false where the line
// has no termios (Windows).
bool cookLine(int fd);
// True when none of the first six is on and CLOCAL is.
bool lineIsRaw(int fd);

}  // namespace testsupport
