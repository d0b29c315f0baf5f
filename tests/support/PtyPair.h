// A serial line for tests: the test keeps one end, the code under test opens the other by name.
// On POSIX a pseudo-terminal pair (master kept, slave path handed out). Under Wine the harness
// joins COM1 and COM2 with socat: the code under test opens COM1 and the test keeps COM2.
#pragma once

#include <cstddef>
#include <string>

namespace testsupport {

class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    // False (with a reason in error()) where no pseudo-terminal could be made.
    bool ok() const { return master_ >= 0 || peer_ != nullptr || hungUp_; }
    const std::string& error() const { return error_; }

    // The slave device, e.g. /dev/pts/3, to be opened by the code under test.
    const std::string& slavePath() const { return slavePath_; }
    // The master end; -1 after hangUp() and on Windows.
    int masterFd() const { return master_; }
    // A slave descriptor the pair keeps open, so the line outlives the code under test closing its
    // own; also the way to look at the slave's termios. -1 on Windows.
    int slaveFd() const { return slave_; }

    // Up to count bytes that the slave side wrote, returning as soon as count have arrived or
    // after timeoutMs.
    std::string read(size_t count, int timeoutMs);
    // Everything that arrives until the line has been quiet for quietMs.
    std::string readAll(int quietMs);
    // Sends bytes to the slave side, where they arrive as input.
    bool write(const std::string& bytes);
    // Closes the master end: the slave side hangs up, like a cable whose other end went away.
    // (Under Wine the socat link stays up, so the other end sees no hang-up.)
    void hangUp();

private:
    int master_;
    int slave_;
    void* peer_;  // Windows: the test's COM port handle
    bool hungUp_;
    std::string slavePath_;
    std::string error_;
};

}  // namespace testsupport
