// Stands for a DLL that someone put into a host program's folder under ksuser.dll's name.
#include <windows.h>

extern "C" __declspec(dllexport) DWORD WINAPI KsCreatePin(HANDLE, void*, ACCESS_MASK, HANDLE*) {
    return ERROR_ACCESS_DENIED;
}

// How the check tells this DLL from the system's.
extern "C" __declspec(dllexport) int FeroxPlanted() {
    return 1;
}
