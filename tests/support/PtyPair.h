// A pseudo-terminal pair for tests: the master end stays with the test, the slave path goes to the
// code under test as its serial port.
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
    bool ok() const { return master_ >= 0 || hungUp_; }
    const std::string& error() const { return error_; }

    // The slave device, e.g. /dev/pts/3, to be opened by the code under test.
    const std::string& slavePath() const { return slavePath_; }
    // The master end; -1 after hangUp().
    int masterFd() const { return master_; }
    // A slave descriptor the pair keeps open, so the line outlives the code under test closing its
    // own; also the way to look at the slave's termios.
    int slaveFd() const { return slave_; }

    // Up to count bytes that the slave side wrote, returning as soon as count have arrived or
    // after timeoutMs.
    std::string read(size_t count, int timeoutMs);
    // Everything that arrives until the line has been quiet for quietMs.
    std::string readAll(int quietMs);
    // Sends bytes to the slave side, where they arrive as input.
    bool write(const std::string& bytes);
    // Closes the master end: the slave side hangs up, like a cable whose other end went away.
    void hangUp();

private:
    int master_;
    int slave_;
    bool hungUp_;
    std::string slavePath_;
    std::string error_;
};

}  // namespace testsupport
