// No termios here: the line is whatever the COM port harness made it.
#include "LineFlags.h"

namespace testsupport {

bool cookLine(int) { return false; }
bool lineIsRaw(int) { return false; }

}  // namespace testsupport
