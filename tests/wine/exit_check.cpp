// A process whose audio library closes the driver in its DLL_PROCESS_DETACH, after ExitProcess
// has ended the driver's streaming thread: the process ends, at once.
//
//   exit_check DLL LIBRARY REPORT          starts the child below and judges how it ended
//   exit_check child DLL LIBRARY REPORT    plays through the library, then ExitProcess
#include <windows.h>

#include <cstdio>
#include <string>

#include "wine/host_check.h"

namespace {

int Child(const char* dll, const char* library, const char* report) {
    HMODULE lib = LoadLibraryW(WindowsPath(library).c_str());
    CHECK(lib != nullptr);
    using OpenFn = BOOL (*)(const wchar_t*, const wchar_t*);
    auto open = lib ? reinterpret_cast<OpenFn>(
                          reinterpret_cast<void*>(GetProcAddress(lib, "HostLibraryOpen")))
                    : nullptr;
    CHECK(open != nullptr);
    CHECK(open && open(WindowsPath(dll).c_str(), WindowsPath(report).c_str()));
    std::printf("child: playing, now ExitProcess\n");
    std::fflush(stdout);
    ExitProcess(g_checkFailures == 0 ? 0 : 1);
}

}  // namespace

int main(int argc, char** argv) {
    ReportCrashes();
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc == 5 && std::string(argv[1]) == "child")
        return Child(argv[2], argv[3], argv[4]);
    if (argc != 4) {
        std::printf("usage: exit_check DLL LIBRARY REPORT\n");
        return 2;
    }
    std::wstring line = L"\"" + WindowsPath(argv[0]) + L"\" child \"" + WindowsPath(argv[1]) +
                        L"\" \"" + WindowsPath(argv[2]) + L"\" \"" + WindowsPath(argv[3]) + L"\"";
    // An exit may end the streaming thread anywhere, inside a device request too: several.
    constexpr int kExits = 8;
    DWORD slowest = 0;
    for (int round = 0; round < kExits; ++round) {
        DeleteFileW(WindowsPath(argv[3]).c_str());
        STARTUPINFOW si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        CHECK(CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si,
                             &pi));
        if (!pi.hProcess)
            return 1;
        const DWORD t0 = GetTickCount();
        const bool ended = WaitForSingleObject(pi.hProcess, 30000) == WAIT_OBJECT_0;
        const DWORD ms = GetTickCount() - t0;
        slowest = ms > slowest ? ms : slowest;
        DWORD code = 999;
        if (ended) {
            GetExitCodeProcess(pi.hProcess, &code);
        } else {
            TerminateProcess(pi.hProcess, 9);
            WaitForSingleObject(pi.hProcess, 5000);
        }
        char report[200] = "";
        if (FILE* f = _wfopen(WindowsPath(argv[3]).c_str(), L"r")) {
            if (!std::fgets(report, sizeof report, f))
                report[0] = 0;
            std::fclose(f);
        }
        if (!ended || code != 0 || round == 0) {
            std::printf("exit %d: the child %s after %lu ms (exit code %lu); the library: %s\n",
                        round + 1, ended ? "ended" : "still hangs", ms, code,
                        report[0] ? report : "(no report)");
        }
        CHECK(ended);
        CHECK(code == 0);
        CHECK(std::string(report).find("stop 0, disposeBuffers 0, Release 0") != std::string::npos);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    std::printf("%d exits, the slowest %lu ms from the child's start to its end\n", kExits,
                slowest);
    std::printf("%d checks failed\n", g_checkFailures);
    return g_checkFailures == 0 ? 0 : 1;
}
