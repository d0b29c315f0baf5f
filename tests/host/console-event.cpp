// console-event: delivers a console control event to a running program as Windows does, by starting
// a thread at kernelbase's CtrlRoutine in it (Wine's GenerateConsoleCtrlEvent sends only Ctrl-C).
// For close, logoff and shutdown it then ends the program as the system does: once the handlers
// return, or after 5 s.
// Usage: console-event IMAGE break|close|logoff|shutdown   (exit 0 once delivered)
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

DWORD findProcess(const char* image) {
    DWORD found = 0;
    HANDLE all = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(all, &entry); more && !found; more = Process32Next(all, &entry))
        if (_stricmp(entry.szExeFile, image) == 0) found = entry.th32ProcessID;
    CloseHandle(all);
    return found;
}

// Where kernelbase sits in the other process: system libraries need not share their base.
BYTE* kernelbaseIn(DWORD pid) {
    BYTE* base = nullptr;
    HANDLE modules = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, pid);
    MODULEENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Module32First(modules, &entry); more && !base; more = Module32Next(modules, &entry))
        if (_stricmp(entry.szModule, "kernelbase.dll") == 0) base = entry.modBaseAddr;
    CloseHandle(modules);
    return base;
}

}  // namespace

int main(int argc, char** argv) {
    const char* const names[] = {"c", "break", "close", nullptr, nullptr, "logoff", "shutdown"};
    DWORD event = 7;
    for (DWORD i = 1; argc == 3 && i < 7; ++i)
        if (names[i] && std::strcmp(argv[2], names[i]) == 0) event = i;
    if (event == 7) {
        std::fprintf(stderr, "usage: console-event IMAGE break|close|logoff|shutdown\n");
        return 2;
    }
    const DWORD pid = findProcess(argv[1]);
    HMODULE here = GetModuleHandleA("kernelbase.dll");
    FARPROC routine = here ? GetProcAddress(here, "CtrlRoutine") : nullptr;
    BYTE* there = pid ? kernelbaseIn(pid) : nullptr;
    if (!there || !routine) {
        std::fprintf(stderr, "console-event: no %s running, or no CtrlRoutine\n", argv[1]);
        return 1;
    }
    HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid);
    const auto start = reinterpret_cast<LPTHREAD_START_ROUTINE>(
        there + (reinterpret_cast<BYTE*>(routine) - reinterpret_cast<BYTE*>(here)));
    const DWORD began = GetTickCount();
    HANDLE thread =
        process ? CreateRemoteThread(process, nullptr, 0, start, reinterpret_cast<void*>(DWORD_PTR(event)), 0, nullptr)
                : nullptr;
    if (!thread) {
        std::fprintf(stderr, "console-event: cannot start a thread in %s: error %lu\n", argv[1], GetLastError());
        return 1;
    }
    const bool returned = WaitForSingleObject(thread, 5000) == WAIT_OBJECT_0;
    const DWORD took = GetTickCount() - began;
    if (event != CTRL_BREAK_EVENT) TerminateProcess(process, 0xC000013A);  // STATUS_CONTROL_C_EXIT
    std::printf("console-event: %s %s after %lu ms\n", argv[2], returned ? "handled" : "not handled", took);
    return 0;
}
