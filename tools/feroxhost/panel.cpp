#include "panel.h"

#include <windows.h>

#include <cstdio>

int ShowPanel(IASIO* asio, const char* name) {
    // Started from the Start menu the console is this program's alone and only in the way; in a
    // command prompt it stays.
    DWORD processes[2];
    if (GetConsoleProcessList(processes, 2) == 1)
        FreeConsole();
    const ASIOError e = asio->controlPanel();
    if (e != ASE_OK) {
        std::fprintf(stderr, "feroxhost: driver '%s' shows no settings window (error %ld)\n", name,
                     static_cast<long>(e));
        return 1;
    }
    return 0;
}
