// panel: the driver's settings window outside any host, as a player's settings button opens it.
#include "commands.h"

namespace ferox::host {
namespace {

int Panel(const Args& args) {
    Com com;
    DriverRef ref;
    std::string name;
    if (!CreateDriver(args.rest.empty() ? std::wstring() : Widen(args.rest[0]), ref, &name))
        return kExitFailure;
    // As a host loads it: initialised, so the window can tell the DAC's state. Without the DAC
    // the window still opens and says so.
    Init(ref.asio, name);
    // Started from the Start menu the console is this program's alone and only in the way; in a
    // command prompt it stays.
    DWORD processes[2];
    if (GetConsoleProcessList(processes, 2) == 1)
        FreeConsole();
    const ASIOError e = ref.asio->controlPanel();
    if (e != ASE_OK) {
        return Error("driver '%s' shows no settings window (%s)", name.c_str(), ErrorText(e));
    }
    return 0;
}

}  // namespace

const Command kPanelCommand{"panel", "panel [NAME]", 0, 0, 1, &Panel};

}  // namespace ferox::host
