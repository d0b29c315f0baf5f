// ConsoleStream: standard output taken over through a pipe, the real one kept aside for the live
// view. One implementation per platform: POSIX file descriptors, or the Windows console.
#pragma once

#include <cstddef>
#include <string>

namespace fastrakhost {

class ConsoleStream {
public:
    // Standard output is a terminal that shows the table's escape sequences (on Windows a console
    // that took the virtual terminal mode, which this turns on).
    static bool canShowTable();
    // Standard output now feeds a pipe. False: it stays as it was.
    bool take();
    // What was written to standard output since; 0 or less at the pipe's end.
    long read(char* buffer, size_t size);
    // Waits as long as the output makes it wait; false once the output is gone (a closed pipe).
    bool write(const std::string& text) const;
    // The real output's rows and columns; false when it has none.
    bool size(size_t& rows, size_t& columns) const;
    // Standard output back to the real one, or to the null device when the real one takes nothing:
    // the reader then meets the pipe's end.
    void giveBack(bool toNowhere);
    // Closes the pipe and, unless a write may still be blocked on it, the kept output, once the
    // reader has ended.
    void close(bool keepOutput);
    // A line on standard error if it can take it now; never waits.
    static void tellOnError(const std::string& text);
    // The kept output is where writeFromSignal goes (the table's terminal), or nowhere (-1).
    void reachFromSignal(bool reach) const;
    static void writeFromSignal(const char* text, size_t size);

private:
    int kept_ = -1;      // the real standard output
    int pipeRead_ = -1;  // standard output feeds this pipe
};

}  // namespace fastrakhost
