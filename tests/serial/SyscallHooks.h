// Counts the terminal system calls that the serial shim makes, and can make one terminal write fail.
// A test program that links SyscallHooks.cpp routes its read, write, poll, ioctl, tcgetattr and
// tcsetattr calls through these hooks, which pass every call on to the C library.
#pragma once

namespace syscallhooks {

struct Counts {
    int read;
    int write;
    int poll;
    int ioctl;
    int tcgetattr;
    int tcsetattr;
};

// Counts only calls on terminals, so the test's own file output does not disturb them.
void resetCounts();
Counts counts();

// The nth terminal write from now (1 = the next one) fails with the given errno, sending nothing.
void failTerminalWrite(int nth, int error);

}  // namespace syscallhooks
