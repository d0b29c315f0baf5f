// Counts the terminal system calls that the serial shim makes, can make one terminal write fail or
// take only part of its bytes, and keeps the last line settings handed to tcsetattr.
// A test program that links SyscallHooks.cpp routes its read, write, poll, ioctl, tcgetattr,
// tcsetattr and tcdrain calls through these hooks, which pass every call on to the C library.
#pragma once

#include <termios.h>

#include <cstddef>
#include <string>

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
// Since resetCounts, in order: 'w' a terminal write, 'd' a drain, 's' a tcsetattr.
std::string writesDrainsAndSettings();

// The nth terminal write from now (1 = the next one) fails with the given errno, sending nothing.
void failTerminalWrite(int nth, int error);

// The nth terminal write from now passes on at most bytes of what it was given.
void shortenTerminalWrite(int nth, size_t bytes);

// The next count terminal reads find nothing (EAGAIN), as when another reader took the bytes.
void missTerminalReads(int count);

// What the last tcsetattr asked for, before the driver had its say (a pseudo-terminal drops parity).
termios lastRequestedLine();

}  // namespace syscallhooks
