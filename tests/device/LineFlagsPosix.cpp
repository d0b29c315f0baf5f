// Line flags through termios.
#include <termios.h>

#include "LineFlags.h"

namespace {
constexpr tcflag_t kCooked = IXON | IXOFF | ICRNL | INLCR | ISTRIP;
}

namespace testsupport {

bool cookLine(int fd) {
    termios line{};
    if (fd < 0 || tcgetattr(fd, &line) != 0) return false;
    line.c_iflag |= kCooked;
    // Hardware flow control on and modem control lines heeded: a cable without CTS would block.
    line.c_cflag = (line.c_cflag | CRTSCTS) & ~CLOCAL;
    return tcsetattr(fd, TCSANOW, &line) == 0;
}

bool lineIsRaw(int fd) {
    termios line{};
    return fd >= 0 && tcgetattr(fd, &line) == 0 && (line.c_iflag & (kCooked | IGNCR)) == 0 &&
           (line.c_cflag & CRTSCTS) == 0 && (line.c_cflag & CLOCAL) != 0;
}

}  // namespace testsupport
