// config: this user's driver settings (HKEY_CURRENT_USER\Software\feroxasio).
#include <cstdlib>

#include "asio/settings.h"
#include "commands.h"

namespace ferox::host {
namespace {

int Config(const Args& all) {
    const std::vector<std::string>& args = all.rest;
    if (args.empty()) {
        std::printf("settings of this user (HKEY_CURRENT_USER\\Software\\feroxasio)\n");
        PrintBufferSetting();
        return 0;
    }
    if (args.size() != 2 || args[0] != "buffer")
        return Usage();
    char* end = nullptr;
    const long n = std::strtol(args[1].c_str(), &end, 10);
    if (end == args[1].c_str() || *end || !ferox::IsBufferSizeChoice(static_cast<AsioLong>(n))) {
        std::fprintf(stderr,
                     "feroxhost: the buffer size must be one of 64, 128, 256, 512, 1024 or 2048 "
                     "(not '%s')\n",
                     args[1].c_str());
        return kExitUsage;
    }
    const LONG rc = ferox::SetUserBufferSize(static_cast<AsioLong>(n));
    if (rc != ERROR_SUCCESS)
        return Error("cannot write HKEY_CURRENT_USER\\Software\\feroxasio (error %ld)", rc);
    PrintBufferSetting();
    std::printf("hosts see it the next time they load the driver\n");
    return 0;
}

}  // namespace

const Command kConfigCommand{"config",
                             "config                         (this user's driver settings)\n"
                             "config buffer N                (N: 64, 128, 256, 512, 1024 or 2048)",
                             0,
                             0,
                             SIZE_MAX,
                             &Config};

}  // namespace ferox::host
