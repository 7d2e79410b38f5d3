// list: the ASIO drivers installed in this process's registry view, as hosts find them.
#include "commands.h"

namespace ferox::host {
namespace {

int List(const Args&) {
    const auto drivers = InstalledDrivers();
    if (drivers.empty()) {
        std::printf(
            "No ASIO drivers are installed (HKLM\\SOFTWARE\\ASIO has no entries in this "
            "%d-bit view).\n",
            static_cast<int>(sizeof(void*) * 8));
        return 0;
    }
    std::printf("ASIO drivers (%d-bit view):\n", static_cast<int>(sizeof(void*) * 8));
    for (const auto& d : drivers) {
        std::printf("%s\n", Narrow(d.key).c_str());
        std::printf("  CLSID        %s%s\n", Narrow(d.clsidText).c_str(),
                    d.clsidValid ? "" : "  (not a class identifier)");
        std::printf("  Description  %s\n", Narrow(d.description).c_str());
        std::printf(
            "  DLL          %s  (%s)\n",
            d.dllPath.empty() ? "(not registered under HKCR\\CLSID)" : Narrow(d.dllPath).c_str(),
            d.dllExists ? "present" : "MISSING");
    }
    return 0;
}

}  // namespace

const Command kListCommand{"list", "list", 0, 0, 0, &List};

}  // namespace ferox::host
