// ConsoleStream on Windows: a C runtime pipe on descriptor 1, the console's virtual terminal mode
// and its window's size. The module's DLL writes through the same msvcrt.dll descriptors as the
// program, so its lines come through the pipe too.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "view/ConsoleStream.h"

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace fastrakhost {
namespace {

volatile int signalTerminal = -1;
// The console's mode before the view turned on escape sequences, put back at the end.
bool modeChanged = false;
DWORD previousMode = 0;

HANDLE handleOf(int descriptor) { return reinterpret_cast<HANDLE>(_get_osfhandle(descriptor)); }

}  // namespace

bool ConsoleStream::canShowTable() {
    // Wine's console copies its screen to the terminal on a schedule of its own: a table redrawn
    // ten times a second shows there in pieces, never as a whole frame (seen in tmux and xterm).
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    if (ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr) return false;
    const HANDLE out = handleOf(1);
    DWORD mode = 0;
    if (out == INVALID_HANDLE_VALUE || !GetConsoleMode(out, &mode)) return false;  // a file, a pipe, NUL
    if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0) return true;
    // Refused by consoles older than Windows 10, which would print the sequences as text.
    if (!SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) return false;
    modeChanged = true;
    previousMode = mode;
    return true;
}

bool ConsoleStream::take() {
    int ends[2];
    // Binary: the lines reach the reader as written; the kept descriptor keeps its own mode.
    if (_pipe(ends, 65536, _O_BINARY | _O_NOINHERIT) != 0) return false;
    kept_ = _dup(1);
    if (kept_ < 0 || _dup2(ends[1], 1) != 0) {
        if (kept_ >= 0) _close(kept_);
        _close(ends[0]);
        _close(ends[1]);
        kept_ = -1;
        return false;
    }
    _close(ends[1]);
    pipeRead_ = ends[0];
    return true;
}

long ConsoleStream::read(char* buffer, size_t size) {
    return _read(pipeRead_, buffer, static_cast<unsigned>(size));  // 0 once every writer is gone
}

bool ConsoleStream::write(const std::string& text) const {
    size_t done = 0;
    while (done < text.size()) {
        const int wrote = _write(kept_, text.data() + done, static_cast<unsigned>(text.size() - done));
        if (wrote <= 0) return false;
        done += static_cast<size_t>(wrote);
    }
    return true;
}

bool ConsoleStream::size(size_t& rows, size_t& columns) const {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(handleOf(kept_), &info)) return false;
    const long width = info.srWindow.Right - info.srWindow.Left + 1;
    const long height = info.srWindow.Bottom - info.srWindow.Top + 1;
    if (width <= 0 || height <= 0) return false;
    rows = static_cast<size_t>(height);
    columns = static_cast<size_t>(width);
    return true;
}

void ConsoleStream::giveBack(bool toNowhere) {
    const int nowhere = toNowhere ? _open("NUL", _O_WRONLY | _O_BINARY) : -1;
    _dup2(nowhere >= 0 ? nowhere : kept_, 1);
    if (nowhere >= 0) _close(nowhere);
}

void ConsoleStream::close(bool keepOutput) {
    _close(pipeRead_);
    if (!keepOutput) _close(kept_);
    pipeRead_ = kept_ = -1;
    // Descriptor 1 is the console again (a new handle to it: take() closed the first).
    if (modeChanged) SetConsoleMode(handleOf(1), previousMode);
    modeChanged = false;
}

void ConsoleStream::tellOnError(const std::string& text) {
    // A console or a file: it does not hold a write for long.
    _write(2, text.data(), static_cast<unsigned>(text.size()));
}

void ConsoleStream::reachFromSignal(bool reach) const { signalTerminal = reach ? kept_ : -1; }

void ConsoleStream::writeFromSignal(const char* text, size_t size) {
    if (signalTerminal >= 0) _write(signalTerminal, text, static_cast<unsigned>(size));
}

}  // namespace fastrakhost
